#include <gtest/gtest.h>

#include "module_fixture.h"

namespace external {
namespace {

// The strings the bridge passes to createCSR, exactly.
const std::vector<std::string> kExtensions{
    "keyUsage",
    "digitalSignature,keyEncipherment,dataEncipherment,nonRepudiation",
    "extendedKeyUsage",
    "1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,"
    "1.2.643.5.1.28.4,1.2.643.3.6.0.15,1.2.643.3.6.78.4.5",
    "1.2.643.100.111",
    "DER:0C59D0A1D09AD097D09820C2ABD09AD180D0B8D0BFD182D0BED182D0BED0BAD0B5D0BDC2BB20D0B220D181D0"
    "BED181D182D0B0D0B2D0B520D0B8D0B7D0B4D0B5D0BBD0B8D18F20C2AB4A61436172746120D093D09ED0A1D0A2C2"
    "BB",
    "2.5.29.32",
    "DER:3014300806062A8503647101300806062A8503647102",
};

const std::vector<std::string> kSubject{
    "CN",
    "ООО \"Ромашка\"",
    "C",
    "RU",
    "ST",
    "77 г. Москва",
    "L",
    "Москва",
    "O",
    "ООО \"Ромашка\"",
    "1.2.643.3.131.1.1",
    "007701234567",
    "1.2.643.100.1",
    "1027700132195",
    "2.5.4.12",
    "Генеральный директор",
};

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const auto& s : strings) {
        out.push_back(const_cast<char*>(s.c_str()));
    }
    return out;
}

class ExtensionsTest : public TokenTest {
  protected:
    // A request for a new key pair, as the bridge makes it.
    std::string Request(Module& module, const std::string& id, CK_RV* rv = nullptr) {
        auto [publicKey, privateKey] = module.GenerateBridgeKeyPair(id, id);
        auto subject = Pointers(kSubject);
        auto extensions = Pointers(kExtensions);
        ModuleBuffer request(module);
        CK_RV result = module.createCsr(module.session, publicKey, subject.data(), subject.size(),
                                        &request.data, &request.length, 0, nullptr, 0,
                                        extensions.data(), extensions.size());
        if (rv != nullptr) {
            *rv = result;
        }
        EXPECT_EQ(result, static_cast<CK_RV>(CKR_OK));
        return request.Text();
    }

    std::string CerttoolInfo(const std::string& pem) {
        WriteFile(dir_.File("request.pem"), pem);
        auto info = RunTool("certtool --crq-info --infile " + Quote(dir_.File("request.pem")));
        EXPECT_EQ(info.status, 0) << info.output;
        return info.output;
    }

    Bytes Sign(Module& module, CK_OBJECT_HANDLE certificate, const std::string& data,
               CK_ULONG flags, CK_RV* rv) {
        ModuleBuffer signature(module);
        *rv = module.pkcs7Sign(
            module.session, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data.data())),
            data.size(), certificate, &signature.data, &signature.length, 0, nullptr, 0, flags);
        return signature.Value();
    }

    TestCa ca_;
};

TEST_F(ExtensionsTest, RequestReadsInCerttoolAndOpensslAndGetsACertificate) {
    Module module;
    std::string pem = Request(module, "7701234567");
    ASSERT_EQ(pem.rfind("-----BEGIN CERTIFICATE REQUEST-----", 0), 0u) << pem;

    std::string info = CerttoolInfo(pem);
    // certtool shows the last RDN first.
    EXPECT_NE(info.find("Subject: title=Генеральный директор,OGRN=1027700132195,"
                        "INN=007701234567,O=ООО \\\"Ромашка\\\",L=Москва,ST=77 г. Москва,C=RU,"
                        "CN=ООО \\\"Ромашка\\\"\n"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("Self signature: verified"), std::string::npos) << info;
    std::size_t at = 0;
    for (const char* expected :
         {"Key Usage (not critical):", "Digital signature.", "Non repudiation.",
          "Key encipherment.", "Data encipherment.", "Key Purpose (not critical):",
          "Email protection.", "TLS WWW Client.", "1.2.643.2.2.34.6", "1.2.643.5.1.28.2",
          "1.2.643.5.1.28.3", "1.2.643.5.1.28.4", "1.2.643.3.6.0.15", "1.2.643.3.6.78.4.5",
          "Subject Signing Tool", "СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»",
          "Certificate Policies (not critical):", "1.2.643.100.113.1", "1.2.643.100.113.2"}) {
        auto found = info.find(expected, at);
        ASSERT_NE(found, std::string::npos) << expected << " in order in\n" << info;
        at = found;
    }
    auto verify =
        RunTool("openssl req -engine gost -verify -noout -in " + Quote(dir_.File("request.pem")));
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("verify OK"), std::string::npos) << verify.output;

    ca_.Issue(pem, dir_.File("cert.pem"), dir_.File("cert.der"));
    auto certificate =
        RunTool("certtool --certificate-info --infile " + Quote(dir_.File("cert.pem")));
    EXPECT_NE(certificate.output.find("Subject: title=Генеральный директор"), std::string::npos)
        << certificate.output;
}

TEST_F(ExtensionsTest, RequestIsForTheKeyOfTheGivenHandle) {
    Module module;
    std::string first = Request(module, "1111");
    std::string second = Request(module, "2222");
    auto publicKeyLine = [this](const std::string& pem) {
        std::string info = CerttoolInfo(pem);
        auto start = info.find("sha256:");
        return info.substr(start, info.find('\n', start) - start);
    };
    EXPECT_NE(publicKeyLine(first), publicKeyLine(second));
}

// The bridge loads and unloads token libraries within one process; the GOST engine the first
// load set up must serve the next one.
TEST_F(ExtensionsTest, ModuleLoadedAgainInTheSameProcessStillMakesRequests) {
    for (const char* id : {"first", "second"}) {
        Module module;
        std::string pem = Request(module, id);
        EXPECT_NE(CerttoolInfo(pem).find("Self signature: verified"), std::string::npos) << id;
    }
}

struct SignCase {
    const char* name;
    std::string data;
    CK_ULONG flags;
    friend void PrintTo(const SignCase& c, std::ostream* os) { *os << c.name; }
};

class Pkcs7SignTest : public ExtensionsTest, public ::testing::WithParamInterface<SignCase> {};

TEST_P(Pkcs7SignTest, VerifiesWithCerttoolAgainstTheIssuedCertificate) {
    const auto& c = GetParam();
    Module module;
    ca_.Issue(Request(module, "7701234567"), dir_.File("cert.pem"), dir_.File("cert.der"));
    CK_OBJECT_HANDLE certificate =
        module.CreateCertificate(ToBytes(ReadFile(dir_.File("cert.der"))), "7701234567");
    CK_RV rv = CKR_GENERAL_ERROR;
    Bytes signature = Sign(module, certificate, c.data, c.flags, &rv);
    ASSERT_EQ(rv, static_cast<CK_RV>(CKR_OK));
    WriteFile(dir_.File("sig.der"), signature);
    WriteFile(dir_.File("data"), c.data);
    bool detached = c.flags == SOFTTOKEN_PKCS7_DETACHED;

    // certtool takes empty content, embedded or loaded, for no content at all.
    if (!c.data.empty()) {
        auto certtool =
            RunTool("certtool --p7-verify --inder --infile " + Quote(dir_.File("sig.der")) +
                    " --load-certificate " + Quote(dir_.File("cert.pem")) +
                    (detached ? " --load-data " + Quote(dir_.File("data")) : ""));
        EXPECT_EQ(certtool.status, 0) << certtool.output;
        EXPECT_NE(certtool.output.find("Signature status: ok"), std::string::npos)
            << certtool.output;
    }

    auto openssl = RunTool(
        "openssl cms -verify -engine gost -binary -purpose any -inform DER -in " +
        Quote(dir_.File("sig.der")) + " -CAfile " + Quote(ca_.Certificate()) + " -out " +
        Quote(dir_.File("out")) + (detached ? " -content " + Quote(dir_.File("data")) : ""));
    EXPECT_EQ(openssl.status, 0) << openssl.output;
    EXPECT_EQ(ReadFile(dir_.File("out")), c.data);
}

INSTANTIATE_TEST_SUITE_P(Flags, Pkcs7SignTest,
                         ::testing::Values(SignCase{"Detached", "Тестовая подпись\n",
                                                    SOFTTOKEN_PKCS7_DETACHED},
                                           SignCase{"Attached", std::string("\0\r\nbinary", 9),
                                                    SOFTTOKEN_PKCS7_ATTACHED},
                                           SignCase{"EmptyDetached", "", SOFTTOKEN_PKCS7_DETACHED},
                                           SignCase{"EmptyAttached", "", SOFTTOKEN_PKCS7_ATTACHED}),
                         [](const ::testing::TestParamInfo<SignCase>& p) { return p.param.name; });

// The program learns from this failure that a certificate does not belong to a key on the token.
TEST_F(ExtensionsTest, CertificateOfAnotherKeyMakesPkcs7SignFail) {
    Module module;
    Request(module, "7701234567");
    // certtool's own key, with a certificate that carries the token key's ID.
    WriteFile(dir_.File("other.tmpl"), "cn = \"Other\"\n");
    TestCa::Require(RunTool("certtool --generate-privkey --key-type gost12-256 --outfile " +
                            Quote(dir_.File("other.key"))));
    TestCa::Require(RunTool("certtool --generate-request --load-privkey " +
                            Quote(dir_.File("other.key")) + " --template " +
                            Quote(dir_.File("other.tmpl")) + " --outfile " +
                            Quote(dir_.File("other.req"))));
    ca_.Issue(ReadFile(dir_.File("other.req")), dir_.File("other.pem"), dir_.File("other.der"));
    Bytes der = ToBytes(ReadFile(dir_.File("other.der")));
    for (const char* id : {"7701234567", "no-such-key"}) {
        CK_OBJECT_HANDLE certificate = module.CreateCertificate(der, id);
        for (CK_ULONG flags : {SOFTTOKEN_PKCS7_DETACHED, SOFTTOKEN_PKCS7_ATTACHED}) {
            CK_RV rv = CKR_OK;
            Bytes signature = Sign(module, certificate, "data", flags, &rv);
            EXPECT_NE(rv, static_cast<CK_RV>(CKR_OK)) << id;
            EXPECT_TRUE(signature.empty());
        }
    }
}

}  // namespace
}  // namespace external
