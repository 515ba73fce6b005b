#include <gtest/gtest.h>

#include <ctime>

#include "test_ca.h"

namespace softtoken::crypto {
namespace {

using namespace testing_tools;

// "notBefore=Dec 10 10:29:16 2026 GMT" as openssl x509 prints it.
long long OpensslDate(const std::string& line) {
    std::tm tm{};
    auto eq = line.find('=');
    EXPECT_NE(strptime(line.c_str() + eq + 1, "%b %d %H:%M:%S %Y GMT", &tm), nullptr) << line;
    return static_cast<long long>(timegm(&tm));
}

std::string OpensslField(const TempDir& dir, const std::string& option) {
    auto result = RunTool("openssl x509 -noout " + option + " -in " + Quote(dir.File("cert.pem")));
    EXPECT_EQ(result.status, 0) << result.output;
    return result.output.substr(0, result.output.find('\n'));
}

TEST(DecodeCertificateTest, ReadsTheFieldsOfAnIssuedCertificate) {
    TempDir dir;
    TestCa ca;
    KeyPair keys = GenerateKeyPair(kCryptoProA);
    std::string pem = ca.Issue(MakeCertificateRequest(
        kCryptoProA, keys.privateKey, keys.publicValue,
        {{"C", "RU"}, {"O", "ООО \"Ромашка\""}, {"CN", "Иванов, Иван"}}, {}));
    WriteFile(dir.File("cert.pem"), pem);
    Bytes der = PemToDer(dir, "x509", pem);

    auto fields = DecodeCertificate(der);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(Hex(fields->publicValue), Hex(keys.publicValue));
    EXPECT_EQ(fields->subjectText, "CN=Иванов\\, Иван,O=ООО \\\"Ромашка\\\",C=RU");

    // The Name and INTEGER encodings appear in the certificate as they are.
    auto contains = [&](const Bytes& part) {
        return !part.empty() &&
               std::search(der.begin(), der.end(), part.begin(), part.end()) != der.end();
    };
    EXPECT_TRUE(contains(fields->subject));
    EXPECT_TRUE(contains(fields->issuer));
    EXPECT_EQ(fields->subject[0], 0x30);
    EXPECT_NE(fields->subject, fields->issuer);
    ASSERT_GE(fields->serialNumber.size(), 3u);
    EXPECT_EQ(fields->serialNumber[0], 0x02);
    std::string serial = OpensslField(dir, "-serial");  // serial=HEX
    Bytes value(fields->serialNumber.begin() + 2, fields->serialNumber.end());
    std::string hex = Hex(value);
    std::string expected = serial.substr(serial.find('=') + 1);
    for (auto& ch : expected) {
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    EXPECT_EQ(hex.substr(hex.size() - expected.size()), expected);

    EXPECT_EQ(fields->notBefore, OpensslDate(OpensslField(dir, "-startdate")));
    EXPECT_EQ(fields->notAfter, OpensslDate(OpensslField(dir, "-enddate")));
    EXPECT_EQ(fields->notAfter - fields->notBefore, 10 * 24 * 3600);
}

TEST(DecodeCertificateTest, KeepsOtherKeysAsTheBitStringHoldsThem) {
    TempDir dir;
    WriteFile(dir.File("t"), "cn = \"EC\"\nexpiration_days = 1\n");
    auto key = RunTool("certtool --generate-privkey --key-type ecdsa --curve secp256r1 --outfile " +
                       Quote(dir.File("ec.key")));
    ASSERT_EQ(key.status, 0) << key.output;
    auto cert =
        RunTool("certtool --generate-self-signed --load-privkey " + Quote(dir.File("ec.key")) +
                " --template " + Quote(dir.File("t")) + " --outfile " + Quote(dir.File("ec.pem")));
    ASSERT_EQ(cert.status, 0) << cert.output;
    auto fields = DecodeCertificate(PemToDer(dir, "x509", ReadFile(dir.File("ec.pem"))));
    ASSERT_TRUE(fields.has_value());
    ASSERT_EQ(fields->publicValue.size(), 65u);  // uncompressed point
    EXPECT_EQ(fields->publicValue[0], 0x04);
    EXPECT_EQ(fields->subjectText, "CN=EC");
    EXPECT_EQ(fields->subject, fields->issuer);
}

struct GarbageCase {
    const char* name;
    Bytes input;
    friend void PrintTo(const GarbageCase& c, std::ostream* os) { *os << c.name; }
};

class DecodeGarbageTest : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(DecodeGarbageTest, GivesNothing) {
    EXPECT_FALSE(DecodeCertificate(GetParam().input));
}

TEST(DecodeCertificateTest, OnlyTheExactDerOfACertificateDecodes) {
    TempDir dir;
    TestCa ca;
    std::string pem = ReadFile(ca.Certificate());
    Bytes der = PemToDer(dir, "x509", pem);
    ASSERT_TRUE(DecodeCertificate(der).has_value());
    EXPECT_FALSE(DecodeCertificate(ToBytes(pem)).has_value());
    Bytes trailing = der;
    trailing.push_back(0x00);
    EXPECT_FALSE(DecodeCertificate(trailing).has_value());
    EXPECT_FALSE(DecodeCertificate(Bytes(der.begin(), der.end() - 1)).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DecodeGarbageTest,
    ::testing::Values(GarbageCase{"Empty", {}}, GarbageCase{"Text", ToBytes("not a certificate")},
                      GarbageCase{"Zeros", Bytes(64, 0)},
                      GarbageCase{"HugeLength", {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x30}},
                      GarbageCase{"EmptySequence", {0x30, 0x00}}),
    CaseName());

}  // namespace
}  // namespace softtoken::crypto
