#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "test_ca.h"

namespace softtoken::crypto {
namespace {

using namespace testing_tools;

struct ParamSetCase {
    const char* name;
    Bytes der;
    friend void PrintTo(const ParamSetCase& c, std::ostream* os) { *os << c.name; }
};

class KeyPairTest : public ::testing::TestWithParam<ParamSetCase> {};

TEST_P(KeyPairTest, GeneratesKeysThatSignAndVerify) {
    const Bytes& params = GetParam().der;
    ASSERT_TRUE(IsSupportedParamSet(params));
    KeyPair keys = GenerateKeyPair(params);
    ASSERT_EQ(keys.privateKey.size(), 32u);
    ASSERT_EQ(keys.publicValue.size(), 64u);
    EXPECT_NE(GenerateKeyPair(params).privateKey, keys.privateKey);

    Bytes digest = Streebog256(reinterpret_cast<const unsigned char*>("message"), 7);
    Bytes signature = SignDigest(params, keys.privateKey, digest);
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_TRUE(VerifyDigest(params, keys.publicValue, digest, signature));

    Bytes flipped = signature;
    flipped[flipped.size() / 2] ^= 0x01;
    EXPECT_FALSE(VerifyDigest(params, keys.publicValue, digest, flipped));
    Bytes otherDigest = digest;
    otherDigest[0] ^= 0x80;
    EXPECT_FALSE(VerifyDigest(params, keys.publicValue, otherDigest, signature));
    EXPECT_FALSE(VerifyDigest(params, GenerateKeyPair(params).publicValue, digest, signature));
}

INSTANTIATE_TEST_SUITE_P(
    ParamSets, KeyPairTest,
    ::testing::Values(
        ParamSetCase{"CryptoProA", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01}},
        ParamSetCase{"CryptoProB", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x02}},
        ParamSetCase{"CryptoProC", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x03}},
        ParamSetCase{"CryptoProXchA", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00}},
        ParamSetCase{"CryptoProXchB", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x01}},
        ParamSetCase{"Tc26A", {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x01, 0x01}}),
    CaseName());

class UnsupportedParamSetTest : public ::testing::TestWithParam<ParamSetCase> {};

TEST_P(UnsupportedParamSetTest, IsRefused) {
    const Bytes& params = GetParam().der;
    EXPECT_FALSE(IsSupportedParamSet(params));
    try {
        GenerateKeyPair(params);
        FAIL() << "a key was generated";
    } catch (const CryptoError& e) {
        EXPECT_EQ(e.rv(), static_cast<CK_RV>(CKR_DOMAIN_PARAMS_INVALID));
    }
}

INSTANTIATE_TEST_SUITE_P(
    ParamSets, UnsupportedParamSetTest,
    ::testing::Values(
        ParamSetCase{"Empty", {}},
        ParamSetCase{"Truncated", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23}},
        ParamSetCase{"TrailingByte", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01, 0x00}},
        ParamSetCase{"CryptoProTest", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x00}},
        ParamSetCase{"Tc26_512A",
                     {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x02, 0x01}}),
    CaseName());

struct BadKeyCase {
    const char* name;
    Bytes digest;
    Bytes signature;
    CK_RV rv;
    friend void PrintTo(const BadKeyCase& c, std::ostream* os) { *os << c.name; }
};

class BadSignatureInputTest : public ::testing::TestWithParam<BadKeyCase> {};

TEST_P(BadSignatureInputTest, IsRefusedWithItsResult) {
    KeyPair keys = GenerateKeyPair(kCryptoProA);
    const auto& c = GetParam();
    try {
        if (c.signature.empty()) {
            SignDigest(kCryptoProA, keys.privateKey, c.digest);
        } else {
            VerifyDigest(kCryptoProA, keys.publicValue, c.digest, c.signature);
        }
        FAIL() << "accepted";
    } catch (const CryptoError& e) {
        EXPECT_EQ(e.rv(), c.rv);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BadSignatureInputTest,
    ::testing::Values(
        BadKeyCase{"ShortDigestSign", Bytes(31), {}, CKR_DATA_LEN_RANGE},
        BadKeyCase{"LongDigestSign", Bytes(33), {}, CKR_DATA_LEN_RANGE},
        BadKeyCase{"ShortDigestVerify", Bytes(31), Bytes(64, 1), CKR_DATA_LEN_RANGE},
        BadKeyCase{"ShortSignature", Bytes(32), Bytes(63, 1), CKR_SIGNATURE_LEN_RANGE},
        BadKeyCase{"LongSignature", Bytes(32), Bytes(65, 1), CKR_SIGNATURE_LEN_RANGE}),
    CaseName());

TEST(KeyValueTest, PrivateValuesOutsideTheGroupAreRefused) {
    Bytes digest(32, 7);
    Bytes order(32, 0xFF);  // above the CryptoPro A group order
    for (const Bytes& value : {Bytes(32, 0), Bytes(31, 1), order}) {
        EXPECT_THROW(SignDigest(kCryptoProA, value, digest), CryptoError) << Hex(value);
    }
}

TEST(KeyValueTest, PublicValueOffTheCurveIsRefused) {
    KeyPair keys = GenerateKeyPair(kCryptoProA);
    Bytes digest(32, 7);
    Bytes signature = SignDigest(kCryptoProA, keys.privateKey, digest);
    Bytes offCurve = keys.publicValue;
    offCurve[40] ^= 0x01;
    EXPECT_THROW(VerifyDigest(kCryptoProA, offCurve, digest, signature), CryptoError);
    EXPECT_THROW(VerifyDigest(kCryptoProA, Bytes(63, 1), digest, signature), CryptoError);
}

// Streebog-256 and the signature layout checked by openssl's own digest and verification.
struct DataCase {
    const char* name;
    std::string data;
    friend void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }
};

class OpensslAgreementTest : public ::testing::TestWithParam<DataCase> {};

TEST_P(OpensslAgreementTest, DigestAndSignatureVerifyWithOpenssl) {
    TempDir dir;
    const std::string& data = GetParam().data;
    WriteFile(dir.File("data"), data);
    Bytes digest = Streebog256(reinterpret_cast<const unsigned char*>(data.data()), data.size());

    auto dgst = RunTool("openssl dgst -engine gost -md_gost12_256 -r " + Quote(dir.File("data")));
    ASSERT_EQ(dgst.status, 0) << dgst.output;
    EXPECT_NE(dgst.output.find(Hex(digest) + " "), std::string::npos) << dgst.output;

    // A certificate for the key carries its public value the way openssl reads it.
    TestCa ca;
    KeyPair keys = GenerateKeyPair(kCryptoProA);
    std::string certificate = ca.Issue(MakeCertificateRequest(
        kCryptoProA, keys.privateKey, keys.publicValue, {{"CN", "Signer"}}, {}));
    WriteFile(dir.File("cert.pem"), certificate);
    auto pub = RunTool("openssl x509 -engine gost -pubkey -noout -in " +
                       Quote(dir.File("cert.pem")) + " -out " + Quote(dir.File("pub.pem")));
    ASSERT_EQ(pub.status, 0) << pub.output;
    WriteFile(dir.File("sig"), SignDigest(kCryptoProA, keys.privateKey, digest));
    auto verify =
        RunTool("openssl dgst -engine gost -md_gost12_256 -verify " + Quote(dir.File("pub.pem")) +
                " -signature " + Quote(dir.File("sig")) + " " + Quote(dir.File("data")));
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;
}

INSTANTIATE_TEST_SUITE_P(Data, OpensslAgreementTest,
                         ::testing::Values(DataCase{"Empty", ""}, DataCase{"Short", "abc"},
                                           DataCase{"LongWithZero",
                                                    std::string(1000, 'Z') + std::string(1, '\0')}),
                         CaseName());

// The public value is the certificate's OCTET STRING: X then Y, each little-endian; certtool
// prints both coordinates big-endian.
TEST(PublicValueLayoutTest, MatchesTheCertificateCerttoolIssues) {
    TestCa ca;
    TempDir dir;
    KeyPair keys = GenerateKeyPair(kCryptoProA);
    std::string pem = ca.Issue(MakeCertificateRequest(kCryptoProA, keys.privateKey,
                                                      keys.publicValue, {{"CN", "Layout"}}, {}));
    WriteFile(dir.File("cert.pem"), pem);
    auto info = RunTool("certtool -i --infile " + Quote(dir.File("cert.pem")));
    ASSERT_EQ(info.status, 0) << info.output;
    Bytes x = LittleEndian32(HexBlockAfter(info.output, "X:"));
    Bytes y = LittleEndian32(HexBlockAfter(info.output, "Y:"));
    ASSERT_EQ(x.size(), 32u) << info.output;
    ASSERT_EQ(y.size(), 32u) << info.output;
    x.insert(x.end(), y.begin(), y.end());
    EXPECT_EQ(Hex(x), Hex(keys.publicValue));

    auto fields = DecodeCertificate(PemToDer(dir, "x509", pem));
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(Hex(fields->publicValue), Hex(keys.publicValue));
}

}  // namespace
}  // namespace softtoken::crypto
