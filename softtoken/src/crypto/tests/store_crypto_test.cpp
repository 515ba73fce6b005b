#include <gtest/gtest.h>

#include "test_ca.h"

namespace softtoken::crypto {
namespace {

using namespace testing_tools;

TEST(RandomBytesTest, GivesTheCountAskedForAndDiffers) {
    EXPECT_TRUE(RandomBytes(0).empty());
    Bytes a = RandomBytes(32);
    ASSERT_EQ(a.size(), 32u);
    EXPECT_NE(a, RandomBytes(32));
}

// PBKDF2-HMAC-SHA256 vectors of RFC 7914, first 32 bytes.
TEST(DeriveKeyTest, MatchesPublishedVectors) {
    EXPECT_EQ(Hex(DeriveKey("passwd", ToBytes("salt"), 1)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
    EXPECT_EQ(Hex(DeriveKey("Password", ToBytes("NaCl"), 80000)),
              "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56");
    EXPECT_NE(DeriveKey("passwd", ToBytes("salt2"), 1), DeriveKey("passwd", ToBytes("salt"), 1));
    EXPECT_THROW(DeriveKey("passwd", ToBytes("salt"), 0), CryptoError);
}

class SealTest : public ::testing::Test {
  protected:
    Bytes key_ = RandomBytes(32);
};

TEST_F(SealTest, OpensWhatItSealed) {
    for (const Bytes& plain : {Bytes(), Bytes{1}, RandomBytes(1000)}) {
        Bytes sealed = Seal(key_, plain);
        EXPECT_EQ(sealed.size(), 12 + plain.size() + 16);
        auto opened = Open(key_, sealed);
        ASSERT_TRUE(opened.has_value());
        EXPECT_EQ(*opened, plain);
    }
    EXPECT_NE(Seal(key_, Bytes(16, 1)), Seal(key_, Bytes(16, 1))) << "fresh nonce each time";
}

TEST_F(SealTest, AnyChangedByteOrWrongKeyOpensNothing) {
    Bytes sealed = Seal(key_, ToBytes("private key value"));
    // First nonce byte, last nonce byte, ciphertext, first and last tag byte.
    for (std::size_t at : {std::size_t{0}, std::size_t{11}, std::size_t{12}, sealed.size() - 16,
                           sealed.size() - 1}) {
        Bytes changed = sealed;
        changed[at] ^= 0x01;
        EXPECT_FALSE(Open(key_, changed).has_value()) << "byte " << at;
    }
    EXPECT_FALSE(Open(RandomBytes(32), sealed).has_value());
    EXPECT_FALSE(Open(key_, Bytes(sealed.begin(), sealed.end() - 1)).has_value());
    EXPECT_FALSE(Open(key_, Bytes(27)).has_value());
}

TEST_F(SealTest, KeyOfWrongSizeIsRefused) {
    EXPECT_THROW(Seal(Bytes(16), Bytes(4)), CryptoError);
    EXPECT_THROW(Open(Bytes(31), Seal(key_, Bytes(4))), CryptoError);
}

}  // namespace
}  // namespace softtoken::crypto
