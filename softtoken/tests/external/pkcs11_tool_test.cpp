#include <gtest/gtest.h>

#include <cctype>

#include "module_fixture.h"

namespace external {
namespace {

class Pkcs11ToolTest : public TokenTest {
  protected:
    std::string Expect(const std::string& arguments) {
        auto result = Pkcs11Tool(arguments);
        EXPECT_EQ(result.status, 0) << arguments << "\n" << result.output;
        return result.output;
    }
    std::string Login() const { return "--login --pin " + kPin + " "; }
};

TEST_F(Pkcs11ToolTest, ListsSlotsAndMechanisms) {
    std::string slots = Expect("--list-slots");
    EXPECT_NE(slots.find("token label        : External"), std::string::npos) << slots;
    EXPECT_NE(slots.find("token initialized"), std::string::npos) << slots;
    std::string mechanisms = Expect("--list-mechanisms");
    for (const char* name :
         {"GOSTR3410-KEY-PAIR-GEN", "GOSTR3410, ", "GOSTR3410-WITH-GOSTR3411", "GOSTR3411"}) {
        EXPECT_NE(mechanisms.find(name), std::string::npos) << name << "\n" << mechanisms;
    }
}

TEST_F(Pkcs11ToolTest, WrongPinIsRefused) {
    auto result = Pkcs11Tool("--login --pin 99990000 --list-objects");
    EXPECT_NE(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("CKR_PIN_INCORRECT"), std::string::npos) << result.output;
}

struct KeyTypeCase {
    const char* name;
    const char* keyType;  // as pkcs11-tool takes it
    const char* params;   // the DER of the curve OID the key must get
    friend void PrintTo(const KeyTypeCase& c, std::ostream* os) { *os << c.name; }
};

class Pkcs11ToolKeyTest : public Pkcs11ToolTest,
                          public ::testing::WithParamInterface<KeyTypeCase> {};

// The DER SubjectPublicKeyInfo of a GOST R 34.10-2012 256 key with Streebog-256.
Bytes PublicKeyInfo(const Bytes& params, const Bytes& value) {
    Bytes algorithm = FromHex("06082a85030701010101");
    Bytes parameters = params;
    Bytes streebog = FromHex("06082a85030701010202");
    parameters.insert(parameters.end(), streebog.begin(), streebog.end());
    parameters.insert(parameters.begin(), {0x30, static_cast<unsigned char>(parameters.size())});
    algorithm.insert(algorithm.end(), parameters.begin(), parameters.end());
    algorithm.insert(algorithm.begin(), {0x30, static_cast<unsigned char>(algorithm.size())});
    Bytes bits{0x03, 0x43, 0x00, 0x04, 0x40};
    bits.insert(bits.end(), value.begin(), value.end());
    Bytes out = algorithm;
    out.insert(out.end(), bits.begin(), bits.end());
    out.insert(out.begin(), {0x30, static_cast<unsigned char>(out.size())});
    return out;
}

TEST_P(Pkcs11ToolKeyTest, GeneratesAKeyWhoseSignaturesOpensslVerifies) {
    const auto& c = GetParam();
    std::string generated =
        Expect(Login() + "--keypairgen --key-type " + c.keyType + " --id 01 --label Key");
    EXPECT_NE(generated.find(std::string("PARAMS OID: ") + c.params), std::string::npos)
        << generated;

    std::string objects = Expect(Login() + "--list-objects");
    // "VALUE:" and the hex of the public key's value on two lines.
    auto at = objects.find("VALUE:", objects.find("Public Key Object;"));
    ASSERT_NE(at, std::string::npos) << objects;
    std::string digits;
    for (std::size_t i = at + 6, lines = 0; i < objects.size() && lines < 2; ++i) {
        if (objects[i] == '\n') {
            ++lines;
        } else if (std::isxdigit(static_cast<unsigned char>(objects[i]))) {
            digits += objects[i];
        }
    }
    Bytes value = FromHex(digits);
    ASSERT_EQ(value.size(), 64u) << objects;
    EXPECT_NE(objects.find("Private Key Object"), std::string::npos) << objects;
    WriteFile(dir_.File("pub.der"), PublicKeyInfo(FromHex(c.params), value));

    WriteFile(dir_.File("data"), "Данные для подписи\n");
    WriteFile(dir_.File("other"), "Данные для подписи.\n");
    auto digest = RunTool("openssl dgst -engine gost -md_gost12_256 -binary -out " +
                          Quote(dir_.File("digest")) + " " + Quote(dir_.File("data")));
    ASSERT_EQ(digest.status, 0) << digest.output;

    Expect(Login() + "--sign -m GOSTR3410 --id 01 -i " + Quote(dir_.File("digest")) + " -o " +
           Quote(dir_.File("raw.sig")));
    Expect(Login() + "--sign -m GOSTR3410-WITH-GOSTR3411 --id 01 -i " + Quote(dir_.File("data")) +
           " -o " + Quote(dir_.File("hashed.sig")));
    for (const char* signature : {"raw.sig", "hashed.sig"}) {
        auto verify = [&](const char* data) {
            return RunTool("openssl dgst -engine gost -md_gost12_256 -keyform DER -verify " +
                           Quote(dir_.File("pub.der")) + " -signature " +
                           Quote(dir_.File(signature)) + " " + Quote(dir_.File(data)));
        };
        auto good = verify("data");
        EXPECT_NE(good.output.find("Verified OK"), std::string::npos) << signature << good.output;
        EXPECT_EQ(verify("other").output.find("Verified OK"), std::string::npos) << signature;
    }
    Expect(Login() + "--verify -m GOSTR3410 --id 01 -i " + Quote(dir_.File("digest")) +
           " --signature-file " + Quote(dir_.File("raw.sig")));
}

INSTANTIATE_TEST_SUITE_P(
    KeyTypes, Pkcs11ToolKeyTest,
    ::testing::Values(KeyTypeCase{"Tc26A", "GOSTR3410-2012-256:A", "06092a8503070102010101"},
                      KeyTypeCase{"CryptoProA", "GOSTR3410-2012-256:B", "06072a850302022301"},
                      KeyTypeCase{"CryptoProB", "GOSTR3410-2012-256:C", "06072a850302022302"},
                      KeyTypeCase{"CryptoProC", "GOSTR3410-2012-256:D", "06072a850302022303"}),
    [](const ::testing::TestParamInfo<KeyTypeCase>& p) { return p.param.name; });

TEST_F(Pkcs11ToolTest, WritesListsAndReadsACertificate) {
    TestCa ca;
    WriteFile(dir_.File("user.tmpl"), "cn = \"Token User\"\n");
    TestCa::Require(RunTool("certtool --generate-privkey --key-type gost12-256 --outfile " +
                            Quote(dir_.File("user.key"))));
    TestCa::Require(RunTool("certtool --generate-request --load-privkey " +
                            Quote(dir_.File("user.key")) + " --template " +
                            Quote(dir_.File("user.tmpl")) + " --outfile " +
                            Quote(dir_.File("user.req"))));
    ca.Issue(ReadFile(dir_.File("user.req")), dir_.File("user.pem"), dir_.File("user.der"));

    Expect(Login() + "--write-object " + Quote(dir_.File("user.der")) +
           " --type cert --id 0a0b --label UserCert");
    std::string objects = Expect("--list-objects");  // certificates are public
    EXPECT_NE(objects.find("Certificate Object; type = X.509 cert"), std::string::npos) << objects;
    EXPECT_NE(objects.find("label:      UserCert"), std::string::npos) << objects;
    EXPECT_NE(objects.find("subject:    DN: CN=Token User"), std::string::npos) << objects;
    EXPECT_NE(objects.find("ID:         0a0b"), std::string::npos) << objects;

    Expect("--read-object --type cert --id 0a0b -o " + Quote(dir_.File("read.der")));
    EXPECT_EQ(ReadFile(dir_.File("read.der")), ReadFile(dir_.File("user.der")));

    Expect(Login() + "--delete-object --type cert --id 0a0b");
    EXPECT_EQ(Expect("--list-objects").find("UserCert"), std::string::npos);
}

}  // namespace
}  // namespace external
