#include <gtest/gtest.h>

#include "test_ca.h"

namespace softtoken::crypto {
namespace {

using namespace testing_tools;

const StringPairs kSignerExtensions{
    {"keyUsage", "digitalSignature,nonRepudiation"},
    {"extendedKeyUsage", "1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2"},
};

// A key pair with the certificate certtool issued for it.
struct Signer {
    explicit Signer(const TestCa& ca, const TempDir& dir, const std::string& name)
        : keys(GenerateKeyPair(kCryptoProA)),
          pem(ca.Issue(MakeCertificateRequest(kCryptoProA, keys.privateKey, keys.publicValue,
                                              {{"CN", name}}, kSignerExtensions))),
          der(PemToDer(dir, "x509", pem)),
          pemPath(dir.File(name + ".pem")) {
        WriteFile(pemPath, pem);
    }
    KeyPair keys;
    std::string pem;
    Bytes der;
    std::string pemPath;
};

struct SignCase {
    const char* name;
    std::string data;
    bool detached;
    friend void PrintTo(const SignCase& c, std::ostream* os) { *os << c.name; }
};

class SignedDataTest : public ::testing::TestWithParam<SignCase> {
  protected:
    TempDir dir_;
    TestCa ca_;
    Signer signer_{ca_, dir_, "signer"};
};

TEST_P(SignedDataTest, VerifiesWithCerttoolAndOpenssl) {
    const auto& c = GetParam();
    Bytes signature = MakeSignedData(kCryptoProA, signer_.keys.privateKey, signer_.der,
                                     reinterpret_cast<const unsigned char*>(c.data.data()),
                                     c.data.size(), c.detached);
    WriteFile(dir_.File("sig.der"), signature);
    WriteFile(dir_.File("data"), c.data);

    // certtool takes empty content, embedded or loaded, for no content at all.
    if (!c.data.empty()) {
        auto certtool =
            RunTool("certtool --p7-verify --inder --infile " + Quote(dir_.File("sig.der")) +
                    " --load-certificate " + Quote(signer_.pemPath) +
                    (c.detached ? " --load-data " + Quote(dir_.File("data")) : ""));
        EXPECT_EQ(certtool.status, 0) << certtool.output;
        EXPECT_NE(certtool.output.find("Signature status: ok"), std::string::npos)
            << certtool.output;
    }

    auto openssl = RunTool(
        "openssl cms -verify -engine gost -binary -purpose any -inform DER -in " +
        Quote(dir_.File("sig.der")) + " -CAfile " + Quote(ca_.Certificate()) + " -out " +
        Quote(dir_.File("out")) + (c.detached ? " -content " + Quote(dir_.File("data")) : ""));
    EXPECT_EQ(openssl.status, 0) << openssl.output;
    EXPECT_EQ(ReadFile(dir_.File("out")), c.data);

    if (c.detached) {
        WriteFile(dir_.File("other"), c.data + "x");
        auto tampered =
            RunTool("openssl cms -verify -engine gost -binary -purpose any -inform DER -in " +
                    Quote(dir_.File("sig.der")) + " -CAfile " + Quote(ca_.Certificate()) +
                    " -content " + Quote(dir_.File("other")) + " -out /dev/null");
        EXPECT_NE(tampered.status, 0) << tampered.output;
    }

    auto print = RunTool("openssl cms -cmsout -print -noout -engine gost -inform DER -in " +
                         Quote(dir_.File("sig.der")));
    ASSERT_EQ(print.status, 0) << print.output;
    for (const char* attribute : {"contentType", "messageDigest", "signingTime"}) {
        EXPECT_NE(print.output.find("object: " + std::string(attribute)), std::string::npos)
            << attribute << "\n"
            << print.output;
    }
    EXPECT_EQ(print.output.find("SMIMECapabilities"), std::string::npos) << print.output;
    EXPECT_NE(print.output.find("CN=signer"), std::string::npos) << "certificate included";
    EXPECT_EQ(print.output.find("eContent: <ABSENT>") != std::string::npos, c.detached)
        << print.output;
}

// Line ends must survive as they are: the data is signed as binary.
INSTANTIATE_TEST_SUITE_P(
    Data, SignedDataTest,
    ::testing::Values(SignCase{"EmptyDetached", "", true}, SignCase{"EmptyAttached", "", false},
                      SignCase{"TextDetached", "line one\nline two\n", true},
                      SignCase{"TextAttached", "line one\nline two\n", false},
                      SignCase{"BinaryAttached", std::string("\0\r\n\xff\x01", 5), false},
                      SignCase{"BinaryDetached", std::string("\0\r\n\xff\x01", 5), true}),
    CaseName());

// A key certtool made, its private value as certtool prints it: the first use of the engine in
// this process is a CMS signature, whose certificate must be read with the engine already there.
TEST(SignedDataKeyTest, KeyCerttoolMadeSignsFirstThingInAProcess) {
    TempDir dir;
    TestCa ca;
    WriteFile(dir.File("t"), "cn = \"Certtool Key\"\n");
    ASSERT_EQ(RunTool("certtool --generate-privkey --key-type gost12-256 --outfile " +
                      Quote(dir.File("key.pem")))
                  .status,
              0);
    auto request =
        RunTool("certtool --generate-request --load-privkey " + Quote(dir.File("key.pem")) +
                " --template " + Quote(dir.File("t")) + " --outfile " + Quote(dir.File("req.pem")));
    ASSERT_EQ(request.status, 0) << request.output;
    std::string pem = ca.Issue(ReadFile(dir.File("req.pem")));
    WriteFile(dir.File("cert.pem"), pem);
    auto info = RunTool("certtool -k --infile " + Quote(dir.File("key.pem")));
    ASSERT_NE(info.output.find("CryptoPro-A"), std::string::npos) << info.output;
    Bytes privateKey = LittleEndian32(HexBlockAfter(info.output, "private key:"));
    ASSERT_EQ(privateKey.size(), 32u) << info.output;

    const std::string data = "подпись ключом certtool";
    Bytes signature =
        MakeSignedData(kCryptoProA, privateKey, PemToDer(dir, "x509", pem),
                       reinterpret_cast<const unsigned char*>(data.data()), data.size(), true);
    WriteFile(dir.File("sig.der"), signature);
    WriteFile(dir.File("data"), data);
    auto verify = RunTool("certtool --p7-verify --inder --infile " + Quote(dir.File("sig.der")) +
                          " --load-certificate " + Quote(dir.File("cert.pem")) + " --load-data " +
                          Quote(dir.File("data")));
    EXPECT_NE(verify.output.find("Signature status: ok"), std::string::npos) << verify.output;
}

TEST(SignedDataRefusalTest, CertificateOfAnotherKeyIsRefused) {
    TempDir dir;
    TestCa ca;
    Signer signer(ca, dir, "signer");
    KeyPair other = GenerateKeyPair(kCryptoProA);
    const unsigned char data[] = "data";
    for (bool detached : {true, false}) {
        EXPECT_THROW(MakeSignedData(kCryptoProA, other.privateKey, signer.der, data, 4, detached),
                     CryptoError);
    }
}

TEST(SignedDataRefusalTest, MissingDataIsRefused) {
    TempDir dir;
    TestCa ca;
    Signer signer(ca, dir, "signer");
    EXPECT_THROW(MakeSignedData(kCryptoProA, signer.keys.privateKey, signer.der, nullptr, 1, true),
                 CryptoError);
    EXPECT_THROW(Streebog256(nullptr, 1), CryptoError);
    EXPECT_EQ(Streebog256(nullptr, 0).size(), 32u);
}

TEST(SignedDataRefusalTest, CertificateThatIsNotDerIsRefused) {
    KeyPair keys = GenerateKeyPair(kCryptoProA);
    const unsigned char data[] = "data";
    for (const Bytes& certificate :
         {Bytes(), ToBytes("-----BEGIN CERTIFICATE-----"), Bytes(40, 0x30)}) {
        try {
            MakeSignedData(kCryptoProA, keys.privateKey, certificate, data, 4, true);
            ADD_FAILURE() << "signed with " << Hex(certificate);
        } catch (const CryptoError& e) {
            EXPECT_EQ(e.rv(), static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
        }
    }
}

}  // namespace
}  // namespace softtoken::crypto
