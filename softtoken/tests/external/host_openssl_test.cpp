// The module inside a program that set up OpenSSL on its own: the GOST engine made the default
// by a configuration, as the openssl tool does, and a narrowed string mask.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/crypto.h>

#include "module_fixture.h"

namespace external {
namespace {

class HostOpensslTest : public TokenTest {};

TEST_F(HostOpensslTest, ModuleWorksBesideTheHostsOwnGostEngine) {
    WriteFile(dir_.File("openssl.cnf"),
              "openssl_conf = openssl_def\n[openssl_def]\nengines = engines\n"
              "[engines]\ngost = gost\n[gost]\nengine_id = gost\ndefault_algorithms = ALL\n");
    std::unique_ptr<OPENSSL_INIT_SETTINGS, decltype(&OPENSSL_INIT_free)> settings(
        OPENSSL_INIT_new(), OPENSSL_INIT_free);
    ASSERT_TRUE(settings);
    ASSERT_EQ(OPENSSL_INIT_set_config_filename(settings.get(), dir_.File("openssl.cnf").c_str()),
              1);
    ASSERT_EQ(OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, settings.get()), 1);
    std::string folder = OpenSSL_version(OPENSSL_ENGINES_DIR);  // ENGINESDIR: "..."
    folder = folder.substr(folder.find('"') + 1);
    folder.pop_back();
    void* engine = dlopen((folder + "/gost.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(engine, nullptr) << "the host loaded the engine from " << folder;
    dlclose(engine);
    // A host may also narrow the string types OpenSSL picks for names, as openssl req does.
    ASSERT_EQ(ASN1_STRING_set_default_mask_asc("nombstr"), 1);

    Module module;
    auto [publicKey, privateKey] = module.GenerateBridgeKeyPair("7701234567", "7701234567");
    std::vector<std::string> strings{"CN", "Хост", "keyUsage", "digitalSignature"};
    std::vector<char*> subject{strings[0].data(), strings[1].data()};
    std::vector<char*> extensions{strings[2].data(), strings[3].data()};
    ModuleBuffer request(module);
    ASSERT_EQ(module.createCsr(module.session, publicKey, subject.data(), 2, &request.data,
                               &request.length, 0, nullptr, 0, extensions.data(), 2),
              static_cast<CK_RV>(CKR_OK));
    WriteFile(dir_.File("request.pem"), request.Text());
    auto verify =
        RunTool("openssl req -engine gost -verify -noout -in " + Quote(dir_.File("request.pem")));
    EXPECT_NE(verify.output.find("verify OK"), std::string::npos) << verify.output;
    auto parsed = RunTool("openssl asn1parse -in " + Quote(dir_.File("request.pem")));
    EXPECT_NE(parsed.output.find("UTF8STRING        :Хост"), std::string::npos) << parsed.output;

    TestCa ca;
    ca.Issue(request.Text(), dir_.File("cert.pem"), dir_.File("cert.der"));
    CK_OBJECT_HANDLE certificate =
        module.CreateCertificate(ToBytes(ReadFile(dir_.File("cert.der"))), "7701234567");
    std::string data = "данные";
    ModuleBuffer signature(module);
    ASSERT_EQ(module.pkcs7Sign(module.session, reinterpret_cast<CK_BYTE_PTR>(data.data()),
                               data.size(), certificate, &signature.data, &signature.length, 0,
                               nullptr, 0, SOFTTOKEN_PKCS7_DETACHED),
              static_cast<CK_RV>(CKR_OK));
    WriteFile(dir_.File("sig.der"), signature.Value());
    WriteFile(dir_.File("data"), data);
    auto certtool = RunTool("certtool --p7-verify --inder --infile " + Quote(dir_.File("sig.der")) +
                            " --load-certificate " + Quote(dir_.File("cert.pem")) +
                            " --load-data " + Quote(dir_.File("data")));
    EXPECT_NE(certtool.output.find("Signature status: ok"), std::string::npos) << certtool.output;
}

}  // namespace
}  // namespace external
