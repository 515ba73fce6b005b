// The module's PKCS#11 behaviour, through its function list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "token_fixture.h"

namespace softtoken::test {
namespace {

std::string Padded(const unsigned char* field, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(field), size);
}
std::string Blank(const std::string& text, std::size_t size) {
    return text + std::string(size - text.size(), ' ');
}

// A self-signed EC certificate made by openssl, DER.
Bytes MakeCertificate(const std::filesystem::path& dir, const std::string& cn) {
    std::filesystem::path der = dir / (cn + ".der");
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
        "-keyout '" +
        (dir / (cn + ".key")).string() + "' -subj '/CN=" + cn + "' -days 30 -outform DER -out '" +
        der.string() + "'";
    std::string output;
    EXPECT_EQ(RunCommand(command, &output), 0) << output;
    std::string text = ReadFile(der);
    return Bytes(text.begin(), text.end());
}

using ModuleTest = TokenTest;

TEST_F(ModuleTest, InfoNamesTheLibrary) {
    CK_INFO info;
    ASSERT_EQ(gost->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    EXPECT_EQ(Padded(info.manufacturerID, 32), Blank("CertDesk", 32));
    EXPECT_EQ(Padded(info.libraryDescription, 32), Blank("CertDesk software token", 32));
}

TEST_F(ModuleTest, InitializeAndFinalizeFollowTheStandard) {
    EXPECT_EQ(gost->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    int marker = 0;
    EXPECT_EQ(gost->C_Finalize(&marker), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(gost->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_ULONG count = 0;
    EXPECT_EQ(gost->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(gost->C_Initialize(&args), CKR_OK);
}

TEST_F(ModuleTest, SlotListUsesTheTwoCallProtocol) {
    EXPECT_EQ(gost->C_GetSlotList(CK_TRUE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    CK_ULONG count = 99;
    ASSERT_EQ(gost->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    CK_SLOT_ID slots[4] = {77, 77, 77, 77};
    count = 0;
    EXPECT_EQ(gost->C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(slots[0], 77u);
    count = 4;
    ASSERT_EQ(gost->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(slots[0], 0u);
}

TEST_F(ModuleTest, FreshStoreHoldsOneUninitialisedToken) {
    CK_TOKEN_INFO info = TokenInfo();
    EXPECT_FALSE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_FALSE(info.flags & CKF_USER_PIN_INITIALIZED);
    CK_SESSION_HANDLE s;
    EXPECT_EQ(gost->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s),
              CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_FALSE(std::filesystem::exists(StoreFile())) << "reading writes nothing";
    InitToken("Fresh");
    info = TokenInfo();
    EXPECT_TRUE(info.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_USER_PIN_INITIALIZED);
    EXPECT_TRUE(info.flags & CKF_LOGIN_REQUIRED);
    EXPECT_EQ(Padded(info.label, 32), Blank("Fresh", 32));
    EXPECT_EQ(Padded(info.manufacturerID, 32), Blank("CertDesk", 32));
    auto mode = [](const std::filesystem::path& p) {
        return std::filesystem::status(p).permissions() & std::filesystem::perms::all;
    };
    EXPECT_EQ(mode(StoreFile()),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(mode(StoreFile().parent_path()), std::filesystem::perms::owner_all);
}

TEST_F(ModuleTest, SlotsAndTokensSetUpByTheUtilityAreSeenAtOnce) {
    InitToken();
    std::string util = SOFTTOKEN_UTIL_PATH;
    ASSERT_EQ(RunCommand(util + " add-slot"), 0);
    ASSERT_EQ(RunCommand(util + " init --slot 1 --label Second"), 0);
    ASSERT_EQ(RunCommand(util + " remove-token --slot 0"), 0);
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    ASSERT_EQ(gost->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(slots[0], 1u);
    EXPECT_EQ(Padded(TokenInfo(1).label, 32), Blank("Second", 32));
    count = 4;
    ASSERT_EQ(gost->C_GetSlotList(CK_FALSE, slots, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    CK_TOKEN_INFO info;
    EXPECT_EQ(gost->C_GetTokenInfo(0, &info), CKR_TOKEN_NOT_PRESENT);
    CK_SLOT_INFO slotInfo;
    ASSERT_EQ(gost->C_GetSlotInfo(0, &slotInfo), CKR_OK);
    EXPECT_FALSE(slotInfo.flags & CKF_TOKEN_PRESENT);
    EXPECT_EQ(gost->C_GetSlotInfo(2, &slotInfo), CKR_SLOT_ID_INVALID);
    ASSERT_EQ(RunCommand(util + " insert-token --slot 0"), 0);
    count = 4;
    ASSERT_EQ(gost->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Padded(TokenInfo(0).label, 32), Blank("Test", 32)) << "kept while removed";
}

TEST_F(ModuleTest, MechanismsListedAndDescribed) {
    CK_ULONG count = 0;
    ASSERT_EQ(gost->C_GetMechanismList(0, nullptr, &count), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> list(count);
    ASSERT_EQ(gost->C_GetMechanismList(0, list.data(), &count), CKR_OK);
    for (CK_MECHANISM_TYPE type :
         {CKM_GOSTR3410_KEY_PAIR_GEN, CKM_GOSTR3410, CKM_GOSTR3410_WITH_GOSTR3411}) {
        EXPECT_NE(std::find(list.begin(), list.end(), type), list.end()) << type;
    }
    CK_MECHANISM_INFO info;
    ASSERT_EQ(gost->C_GetMechanismInfo(0, CKM_GOSTR3410, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_SIGN);
    ASSERT_EQ(gost->C_GetMechanismInfo(0, CKM_GOSTR3410_KEY_PAIR_GEN, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_GENERATE_KEY_PAIR);
    EXPECT_EQ(gost->C_GetMechanismInfo(0, CKM_RSA_PKCS, &info), CKR_MECHANISM_INVALID);
}

TEST_F(ModuleTest, SessionsNeedTheSerialFlagAndKnowTheirState) {
    InitToken();
    CK_SESSION_HANDLE s;
    EXPECT_EQ(gost->C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &s),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(gost->C_OpenSession(5, CKF_SERIAL_SESSION, nullptr, nullptr, &s),
              CKR_SLOT_ID_INVALID);
    CK_SESSION_HANDLE ro = Open(nullptr, false);
    CK_SESSION_HANDLE rw = Open();
    CK_SESSION_INFO info;
    ASSERT_EQ(gost->C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    ASSERT_EQ(Login(rw), CKR_OK);
    ASSERT_EQ(gost->C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS) << "login is per token";
    ASSERT_EQ(gost->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(Login(ro), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(Login(ro, kSoPin, CKU_SO), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    ASSERT_EQ(gost->C_CloseSession(ro), CKR_OK);
    EXPECT_EQ(gost->C_CloseSession(ro), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(gost->C_Logout(rw), CKR_OK);
    EXPECT_EQ(gost->C_Logout(rw), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(Login(rw), CKR_OK);
    ASSERT_EQ(gost->C_CloseAllSessions(0), CKR_OK);
    CK_SESSION_HANDLE again = Open();
    ASSERT_EQ(gost->C_GetSessionInfo(again, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION) << "closing every session logs out";
}

struct LoginCase {
    const char* name;
    CK_USER_TYPE user;
    std::string pin;
    CK_RV expected;
};

void PrintTo(const LoginCase& c, std::ostream* os) {
    *os << c.name;
}

class LoginTest : public TokenTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LoginTest, ChecksThePin) {
    InitToken();
    CK_SESSION_HANDLE s = Open();
    EXPECT_EQ(Login(s, GetParam().pin, GetParam().user), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginTest,
    ::testing::Values(LoginCase{"UserRight", CKU_USER, kUserPin, CKR_OK},
                      LoginCase{"UserWrong", CKU_USER, "5829301747", CKR_PIN_INCORRECT},
                      LoginCase{"UserEmpty", CKU_USER, "", CKR_PIN_INCORRECT},
                      LoginCase{"UserPrefix", CKU_USER, "582930174", CKR_PIN_INCORRECT},
                      LoginCase{"SoRight", CKU_SO, kSoPin, CKR_OK},
                      LoginCase{"SoWithUserPin", CKU_SO, kUserPin, CKR_PIN_INCORRECT},
                      LoginCase{"UnknownUserType", 7, kUserPin, CKR_USER_TYPE_INVALID}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(ModuleTest, WrongUserPinsLockThePinUntilTheSoSetsANewOne) {
    InitToken();
    CK_SESSION_HANDLE s = Open();
    const CK_FLAGS pinFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
    EXPECT_EQ(TokenInfo().flags & pinFlags, 0u);
    for (int attempt = 1; attempt <= 10; ++attempt) {
        ASSERT_EQ(Login(s, "0000"), CKR_PIN_INCORRECT) << attempt;
        CK_FLAGS flags = TokenInfo().flags & pinFlags;
        if (attempt < 9) {
            EXPECT_EQ(flags, CKF_USER_PIN_COUNT_LOW) << attempt;
        } else if (attempt == 9) {
            EXPECT_TRUE(flags & CKF_USER_PIN_FINAL_TRY);
        } else {
            EXPECT_EQ(flags, CKF_USER_PIN_LOCKED);
        }
    }
    EXPECT_EQ(Login(s), CKR_PIN_LOCKED) << "the right PIN no longer opens it";
    // The count lives in the store, not in this process.
    ASSERT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(gost->C_Initialize(nullptr), CKR_OK);
    s = Open();
    EXPECT_EQ(Login(s), CKR_PIN_LOCKED);
    ASSERT_EQ(Login(s, kSoPin, CKU_SO), CKR_OK);
    const std::string fresh = "1111";
    ASSERT_EQ(gost->C_InitPIN(s, Text(fresh), fresh.size()), CKR_OK);
    ASSERT_EQ(gost->C_Logout(s), CKR_OK);
    EXPECT_EQ(TokenInfo().flags & pinFlags, 0u);
    EXPECT_EQ(Login(s), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(s, fresh), CKR_OK);
}

TEST_F(ModuleTest, RightPinResetsTheCount) {
    InitToken();
    CK_SESSION_HANDLE s = Open();
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(Login(s, "0000"), CKR_PIN_INCORRECT);
    }
    ASSERT_EQ(Login(s), CKR_OK);
    EXPECT_FALSE(TokenInfo().flags & CKF_USER_PIN_COUNT_LOW);
    ASSERT_EQ(gost->C_Logout(s), CKR_OK);
    EXPECT_EQ(Login(s, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(Login(s), CKR_OK) << "nine more tries, not one";
}

struct KeyParamCase {
    const char* name;
    Bytes params;
};

void PrintTo(const KeyParamCase& c, std::ostream* os) {
    *os << c.name;
}

class KeyGenerationTest : public TokenTest, public ::testing::WithParamInterface<KeyParamCase> {};

TEST_P(KeyGenerationTest, BridgeTemplateMakesAGostKeyPairWithTheTokenDefaults) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(GenerateKeyPair(s, "7707083893-773601001", "7707083893-773601001", &pub, &priv,
                              GetParam().params),
              CKR_OK);
    const Bytes yes = {CK_TRUE}, no = {CK_FALSE};
    const Bytes streebog = {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    const Bytes tag = ToBytes("7707083893-773601001");
    struct Expected {
        CK_ATTRIBUTE_TYPE type;
        Bytes publicValue;
        Bytes privateValue;
    };
    for (const Expected& e :
         std::vector<Expected>{{CKA_CLASS, UlongBytes(CKO_PUBLIC_KEY), UlongBytes(CKO_PRIVATE_KEY)},
                               {CKA_KEY_TYPE, UlongBytes(CKK_GOSTR3410), UlongBytes(CKK_GOSTR3410)},
                               {CKA_TOKEN, yes, yes},
                               {CKA_PRIVATE, no, yes},
                               {CKA_LABEL, tag, tag},
                               {CKA_ID, tag, tag},
                               {CKA_GOSTR3410_PARAMS, GetParam().params, GetParam().params},
                               {CKA_GOSTR3411_PARAMS, streebog, streebog},
                               {CKA_LOCAL, yes, yes},
                               {CKA_KEY_GEN_MECHANISM, UlongBytes(CKM_GOSTR3410_KEY_PAIR_GEN),
                                UlongBytes(CKM_GOSTR3410_KEY_PAIR_GEN)}}) {
        EXPECT_EQ(Attribute(s, pub, e.type), e.publicValue) << "public " << e.type;
        EXPECT_EQ(Attribute(s, priv, e.type), e.privateValue) << "private " << e.type;
    }
    for (auto [type, value] :
         std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>{{CKA_SENSITIVE, yes},
                                                          {CKA_EXTRACTABLE, no},
                                                          {CKA_SIGN, yes},
                                                          {CKA_ALWAYS_SENSITIVE, yes},
                                                          {CKA_NEVER_EXTRACTABLE, yes}}) {
        EXPECT_EQ(Attribute(s, priv, type), value) << "private " << type;
    }
    EXPECT_EQ(Attribute(s, pub, CKA_VERIFY), yes);
    EXPECT_EQ(Attribute(s, pub, CKA_VALUE).size(), 64u);
    CK_ATTRIBUTE secret{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(gost->C_GetAttributeValue(s, priv, &secret, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(secret.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

INSTANTIATE_TEST_SUITE_P(
    ParamSets, KeyGenerationTest,
    ::testing::Values(
        KeyParamCase{"CryptoProA", kCryptoProA},
        KeyParamCase{"CryptoProB", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x02}},
        KeyParamCase{"CryptoProC", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x03}},
        KeyParamCase{"CryptoProXchA", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00}},
        KeyParamCase{"CryptoProXchB", {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x01}},
        KeyParamCase{"Tc26A", {0x06, 0x09, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x01, 0x01}}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(ModuleTest, KeyGenerationRefusesWhatItCannotDo) {
    InitToken();
    CK_SESSION_HANDLE s = Open();
    CK_OBJECT_HANDLE pub, priv;
    EXPECT_EQ(GenerateKeyPair(s, "a", "a", &pub, &priv), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(Login(s), CKR_OK);
    EXPECT_EQ(GenerateKeyPair(s, "a", "a", &pub, &priv, {0x06, 0x03, 0x2A, 0x03, 0x04}),
              CKR_DOMAIN_PARAMS_INVALID);
    CK_MECHANISM rsa = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    EXPECT_EQ(gost->C_GenerateKeyPair(s, &rsa, nullptr, 0, nullptr, 0, &pub, &priv),
              CKR_MECHANISM_INVALID);
    CK_MECHANISM gen = {CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    EXPECT_EQ(gost->C_GenerateKeyPair(s, &gen, nullptr, 0, nullptr, 0, &pub, &priv),
              CKR_TEMPLATE_INCOMPLETE);
    EXPECT_TRUE(Find(s, {}).empty());
}

TEST_F(ModuleTest, SignsADigestThatItsPublicKeyVerifies) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE pub, priv;
    ASSERT_EQ(GenerateKeyPair(s, "k", "k", &pub, &priv), CKR_OK);
    Bytes digest(32, 0x5A);
    CK_MECHANISM m = {CKM_GOSTR3410, nullptr, 0};
    ASSERT_EQ(gost->C_SignInit(s, &m, priv), CKR_OK);
    EXPECT_EQ(gost->C_SignInit(s, &m, priv), CKR_OPERATION_ACTIVE);
    CK_ULONG length = 0;
    ASSERT_EQ(gost->C_Sign(s, digest.data(), digest.size(), nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 64u);
    Bytes signature(64);
    length = 10;
    EXPECT_EQ(gost->C_Sign(s, digest.data(), digest.size(), signature.data(), &length),
              CKR_BUFFER_TOO_SMALL);
    length = 64;
    ASSERT_EQ(gost->C_Sign(s, digest.data(), digest.size(), signature.data(), &length), CKR_OK);
    ASSERT_EQ(gost->C_VerifyInit(s, &m, pub), CKR_OK);
    EXPECT_EQ(gost->C_Verify(s, digest.data(), digest.size(), signature.data(), 64), CKR_OK);
    signature[7] ^= 1;
    ASSERT_EQ(gost->C_VerifyInit(s, &m, pub), CKR_OK);
    EXPECT_EQ(gost->C_Verify(s, digest.data(), digest.size(), signature.data(), 64),
              CKR_SIGNATURE_INVALID);
    ASSERT_EQ(gost->C_SignInit(s, &m, priv), CKR_OK);
    length = 64;
    EXPECT_EQ(gost->C_Sign(s, digest.data(), 31, signature.data(), &length), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(gost->C_Sign(s, digest.data(), 32, signature.data(), &length),
              CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(gost->C_SignInit(s, &m, pub), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(gost->C_SignInit(s, &m, 12345), CKR_KEY_HANDLE_INVALID);
}

TEST_F(ModuleTest, HashingMechanismSignsInOneOrManyParts) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE pub, priv;
    ASSERT_EQ(GenerateKeyPair(s, "k", "k", &pub, &priv), CKR_OK);
    CK_MECHANISM m = {CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
    Bytes data = ToBytes("any length of data to be hashed first");
    Bytes signature(64);
    CK_ULONG length = 64;
    ASSERT_EQ(gost->C_SignInit(s, &m, priv), CKR_OK);
    ASSERT_EQ(gost->C_SignUpdate(s, data.data(), 10), CKR_OK);
    ASSERT_EQ(gost->C_SignUpdate(s, data.data() + 10, data.size() - 10), CKR_OK);
    ASSERT_EQ(gost->C_SignFinal(s, signature.data(), &length), CKR_OK);
    ASSERT_EQ(gost->C_VerifyInit(s, &m, pub), CKR_OK);
    EXPECT_EQ(gost->C_Verify(s, data.data(), data.size(), signature.data(), 64), CKR_OK);
}

TEST_F(ModuleTest, AttributeReadsFollowTheLengthProtocol) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE cert = CreateCertificate(s, "label", Bytes(100, 0x30));
    char small[3];
    char big[200];
    CK_ATTRIBUTE t[] = {{CKA_LABEL, nullptr, 0},
                        {CKA_VALUE, small, sizeof small},
                        {CKA_MODULUS, big, sizeof big},
                        {CKA_ID, big, sizeof big}};
    EXPECT_EQ(gost->C_GetAttributeValue(s, cert, t, 4), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(t[0].ulValueLen, 5u) << "length query";
    EXPECT_EQ(t[1].ulValueLen, 100u) << "a short buffer learns the length it needs";
    EXPECT_EQ(t[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(t[3].ulValueLen, 5u) << "the attributes after a failing one are still read";
    EXPECT_EQ(std::string(big, 5), "label");
    CK_ATTRIBUTE unknown{CKA_MODULUS, nullptr, 0};
    EXPECT_EQ(gost->C_GetAttributeValue(s, cert, &unknown, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(gost->C_GetAttributeValue(s, 4242, &unknown, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ModuleTest, CertificatesGetTheirTypeAndNamesFromTheirValue) {
    CK_SESSION_HANDLE s = UserSession();
    Bytes der = MakeCertificate(dir.path(), "Holder");
    ASSERT_FALSE(der.empty());
    CK_OBJECT_HANDLE cert = CreateCertificate(s, "c", der);
    EXPECT_EQ(Attribute(s, cert, CKA_CERTIFICATE_TYPE), UlongBytes(CKC_X_509));
    EXPECT_EQ(Attribute(s, cert, CKA_PRIVATE), Bytes{CK_FALSE});
    EXPECT_EQ(Attribute(s, cert, CKA_VALUE), der);
    Bytes subject = Attribute(s, cert, CKA_SUBJECT);
    EXPECT_EQ(subject, Attribute(s, cert, CKA_ISSUER)) << "self-signed";
    std::string text(subject.begin(), subject.end());
    EXPECT_NE(text.find("Holder"), std::string::npos);
    EXPECT_FALSE(Attribute(s, cert, CKA_SERIAL_NUMBER).empty());
    // A value that does not decode is kept as it is, without derived names.
    CK_OBJECT_HANDLE junk = CreateCertificate(s, "j", Bytes(9000, 0xAB));
    EXPECT_EQ(Attribute(s, junk, CKA_VALUE), Bytes(9000, 0xAB));
    EXPECT_TRUE(Attribute(s, junk, CKA_SUBJECT).empty());
}

struct CreateCase {
    const char* name;
    std::vector<CK_ATTRIBUTE> attributes;
    CK_RV expected;
};

CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
CK_OBJECT_CLASS publicKeyClass = CKO_PUBLIC_KEY;
CK_OBJECT_CLASS dataClass = CKO_DATA;
CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
CK_CERTIFICATE_TYPE attributeCertificate = CKC_X_509_ATTR_CERT;
CK_BBOOL trueValue = CK_TRUE;
CK_ULONG wideBool = 1;
unsigned char bytes32[32] = {1};
unsigned char bytes128[128] = {2};
unsigned char someBytes[5] = {3};

void PrintTo(const CreateCase& c, std::ostream* os) {
    *os << c.name;
}

class CreateObjectTest : public TokenTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(CreateObjectTest, ChecksTheTemplate) {
    CK_SESSION_HANDLE s = UserSession();
    std::vector<CK_ATTRIBUTE> attributes = GetParam().attributes;
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(gost->C_CreateObject(s, attributes.data(), attributes.size(), &object),
              GetParam().expected);
    EXPECT_EQ(Find(s, {}).size(), GetParam().expected == CKR_OK ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CreateObjectTest,
    ::testing::Values(
        CreateCase{"PublicKey32Bytes",
                   {{CKA_CLASS, &publicKeyClass, sizeof publicKeyClass},
                    {CKA_TOKEN, &trueValue, 1},
                    {CKA_VALUE, bytes32, sizeof bytes32}},
                   CKR_OK},
        CreateCase{"PublicKey128Bytes",
                   {{CKA_CLASS, &publicKeyClass, sizeof publicKeyClass},
                    {CKA_VALUE, bytes128, sizeof bytes128}},
                   CKR_OK},
        CreateCase{
            "Data",
            {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_VALUE, someBytes, sizeof someBytes}},
            CKR_OK},
        CreateCase{"NoClass", {{CKA_VALUE, someBytes, sizeof someBytes}}, CKR_TEMPLATE_INCOMPLETE},
        CreateCase{"CertificateWithoutValue",
                   {{CKA_CLASS, &certificateClass, sizeof certificateClass}},
                   CKR_TEMPLATE_INCOMPLETE},
        CreateCase{"AttributeCertificate",
                   {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                    {CKA_CERTIFICATE_TYPE, &attributeCertificate, sizeof attributeCertificate},
                    {CKA_VALUE, someBytes, sizeof someBytes}},
                   CKR_ATTRIBUTE_VALUE_INVALID},
        CreateCase{"SecretKey",
                   {{CKA_CLASS, &secretClass, sizeof secretClass}},
                   CKR_ATTRIBUTE_VALUE_INVALID},
        CreateCase{
            "AttributeTheClassLacks",
            {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_MODULUS, someBytes, sizeof someBytes}},
            CKR_ATTRIBUTE_TYPE_INVALID},
        CreateCase{
            "BooleanOfWrongSize",
            {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_TOKEN, &wideBool, sizeof wideBool}},
            CKR_ATTRIBUTE_VALUE_INVALID},
        CreateCase{"ValueWithoutPointer",
                   {{CKA_CLASS, &dataClass, sizeof dataClass}, {CKA_VALUE, nullptr, 4}},
                   CKR_ARGUMENTS_BAD},
        CreateCase{
            "TokenSetsLocal",
            {{CKA_CLASS, &publicKeyClass, sizeof publicKeyClass}, {CKA_LOCAL, &trueValue, 1}},
            CKR_ATTRIBUTE_READ_ONLY}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(ModuleTest, TokenObjectsNeedAReadWriteSession) {
    InitToken();
    CK_SESSION_HANDLE ro = Open(nullptr, false);
    CK_OBJECT_CLASS c = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &c, sizeof c}, {CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE object;
    EXPECT_EQ(gost->C_CreateObject(ro, t, 2, &object), CKR_SESSION_READ_ONLY);
    CK_ATTRIBUTE privateData[] = {{CKA_CLASS, &c, sizeof c}, {CKA_PRIVATE, &yes, 1}};
    EXPECT_EQ(gost->C_CreateObject(ro, privateData, 2, &object), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(ModuleTest, FindMatchesBytesExactlyInCreationOrder) {
    CK_SESSION_HANDLE s = UserSession();
    std::vector<CK_OBJECT_HANDLE> made;
    for (const char* label : {"alpha", "alphabet", "alpha", "beta"}) {
        made.push_back(CreateCertificate(s, label, ToBytes(label)));
    }
    std::string alpha = "alpha";
    CK_OBJECT_CLASS c = CKO_CERTIFICATE;
    auto found = Find(s, {{CKA_LABEL, alpha.data(), alpha.size()}, {CKA_CLASS, &c, sizeof c}});
    EXPECT_EQ(found, (std::vector<CK_OBJECT_HANDLE>{made[0], made[2]}));
    EXPECT_EQ(Find(s, {}), made);
    std::string none = "alph";
    EXPECT_TRUE(Find(s, {{CKA_LABEL, none.data(), none.size()}}).empty());
    // Further calls go on where the last one stopped.
    ASSERT_EQ(gost->C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE batch[3];
    CK_ULONG count = 0;
    ASSERT_EQ(gost->C_FindObjects(s, batch, 3, &count), CKR_OK);
    EXPECT_EQ(count, 3u);
    ASSERT_EQ(gost->C_FindObjects(s, batch, 3, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(batch[0], made[3]);
    ASSERT_EQ(gost->C_FindObjects(s, batch, 3, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(gost->C_FindObjectsInit(s, nullptr, 0), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(gost->C_FindObjectsFinal(s), CKR_OK);
    EXPECT_EQ(gost->C_FindObjects(s, batch, 3, &count), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(ModuleTest, PrivateObjectsShowOnlyToTheUser) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE pub, priv;
    ASSERT_EQ(GenerateKeyPair(s, "k", "k", &pub, &priv), CKR_OK);
    EXPECT_EQ(Find(s, {}).size(), 2u);
    ASSERT_EQ(gost->C_Logout(s), CKR_OK);
    EXPECT_EQ(Find(s, {}), std::vector<CK_OBJECT_HANDLE>{pub});
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(gost->C_GetAttributeValue(s, priv, &label, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ModuleTest, HundredsOfCertificatesAreAllFound) {
    CK_SESSION_HANDLE s = UserSession();
    std::vector<CK_OBJECT_HANDLE> made;
    for (int i = 0; i < 130; ++i) {
        made.push_back(CreateCertificate(s, "c" + std::to_string(i), Bytes(700, i & 0xFF)));
    }
    CK_OBJECT_CLASS c = CKO_CERTIFICATE;
    EXPECT_EQ(Find(s, {{CKA_CLASS, &c, sizeof c}}), made);
}

TEST_F(ModuleTest, LabelAndIdCanBeChangedAndOthersNot) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE cert = CreateCertificate(s, "old", ToBytes("value"));
    std::string label = "new label", id = "new id";
    CK_ATTRIBUTE change[] = {{CKA_LABEL, label.data(), label.size()},
                             {CKA_ID, id.data(), id.size()}};
    ASSERT_EQ(gost->C_SetAttributeValue(s, cert, change, 2), CKR_OK);
    CK_ATTRIBUTE value{CKA_VALUE, label.data(), label.size()};
    EXPECT_EQ(gost->C_SetAttributeValue(s, cert, &value, 1), CKR_ATTRIBUTE_READ_ONLY);
    ASSERT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(gost->C_Initialize(nullptr), CKR_OK);
    s = Open();
    EXPECT_EQ(Attribute(s, cert, CKA_LABEL), ToBytes(label));
    EXPECT_EQ(Attribute(s, cert, CKA_ID), ToBytes(id));
    EXPECT_EQ(Attribute(s, cert, CKA_VALUE), ToBytes("value"));
}

TEST_F(ModuleTest, DestroyedObjectsAreGone) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE a = CreateCertificate(s, "a", ToBytes("a"));
    CK_OBJECT_HANDLE b = CreateCertificate(s, "b", ToBytes("b"));
    ASSERT_EQ(gost->C_DestroyObject(s, a), CKR_OK);
    EXPECT_EQ(gost->C_DestroyObject(s, a), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(Find(s, {}), std::vector<CK_OBJECT_HANDLE>{b});
}

TEST_F(ModuleTest, SessionObjectsLiveAsLongAsTheirSession) {
    CK_SESSION_HANDLE s = UserSession();
    CK_SESSION_HANDLE other = Open();
    CK_OBJECT_CLASS c = CKO_DATA;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &c, sizeof c}};
    CK_OBJECT_HANDLE object;
    ASSERT_EQ(gost->C_CreateObject(other, t, 1, &object), CKR_OK);
    EXPECT_EQ(Find(s, {}).size(), 1u);
    ASSERT_EQ(gost->C_CloseSession(other), CKR_OK);
    EXPECT_TRUE(Find(s, {}).empty());
    EXPECT_FALSE(std::filesystem::exists(StoreFile()) &&
                 ReadFile(StoreFile()).find("object") != std::string::npos);
}

TEST_F(ModuleTest, ObjectsPersistAcrossFinalizeAndProcesses) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE pub, priv;
    ASSERT_EQ(GenerateKeyPair(s, "persisted-key", "id1", &pub, &priv), CKR_OK);
    Bytes publicValue = Attribute(s, pub, CKA_VALUE);
    ASSERT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(gost->C_Initialize(nullptr), CKR_OK);
    s = Open();
    ASSERT_EQ(Login(s), CKR_OK);
    EXPECT_EQ(Find(s, {}), (std::vector<CK_OBJECT_HANDLE>{pub, priv}));
    EXPECT_EQ(Attribute(s, pub, CKA_VALUE), publicValue);
    // The private key still signs after the reload.
    CK_MECHANISM m = {CKM_GOSTR3410, nullptr, 0};
    Bytes digest(32, 1), signature(64);
    CK_ULONG length = 64;
    ASSERT_EQ(gost->C_SignInit(s, &m, priv), CKR_OK);
    EXPECT_EQ(gost->C_Sign(s, digest.data(), 32, signature.data(), &length), CKR_OK);
    // Another process sees the objects and adds one this process sees.
    std::string util = SOFTTOKEN_UTIL_PATH, output;
    ASSERT_EQ(RunCommand(util + " list", &output), 0) << output;
    EXPECT_NE(output.find("public-key label \"persisted-key\" id 696431 value 64 bytes"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("private-key"), std::string::npos) << "private without the PIN";
    Bytes der = MakeCertificate(dir.path(), "Imported");
    ASSERT_EQ(RunCommand(util + " import-cert '" + (dir.path() / "Imported.der").string() +
                             "' --label imported --id 7777",
                         &output),
              0)
        << output;
    std::string label = "imported";
    auto found = Find(s, {{CKA_LABEL, label.data(), label.size()}});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(Attribute(s, found[0], CKA_VALUE), der);
    EXPECT_EQ(Attribute(s, found[0], CKA_ID), ToBytes("7777"));
    ASSERT_EQ(RunCommand(util + " list", &output), 0);
    EXPECT_NE(output.find("subject CN=Imported"), std::string::npos) << output;
}

TEST_F(ModuleTest, PinChangesKeepTheKeys) {
    CK_SESSION_HANDLE s = UserSession();
    CK_OBJECT_HANDLE pub, priv;
    ASSERT_EQ(GenerateKeyPair(s, "k", "k", &pub, &priv), CKR_OK);
    auto signs = [&](CK_SESSION_HANDLE session) {
        CK_MECHANISM m = {CKM_GOSTR3410, nullptr, 0};
        Bytes digest(32, 9), signature(64);
        CK_ULONG length = 64;
        return gost->C_SignInit(session, &m, priv) == CKR_OK &&
               gost->C_Sign(session, digest.data(), 32, signature.data(), &length) == CKR_OK;
    };
    const std::string second = "24681357";
    EXPECT_EQ(gost->C_SetPIN(s, Text("9999"), 4, Text(second), second.size()), CKR_PIN_INCORRECT);
    EXPECT_EQ(gost->C_SetPIN(s, Text(kUserPin), kUserPin.size(), Text("12"), 2), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(gost->C_SetPIN(s, Text(kUserPin), kUserPin.size(), Text(second), second.size()),
              CKR_OK);
    ASSERT_EQ(gost->C_CloseSession(s), CKR_OK);
    s = Open();
    EXPECT_EQ(Login(s), CKR_PIN_INCORRECT);
    ASSERT_EQ(Login(s, second), CKR_OK);
    EXPECT_TRUE(signs(s));
    ASSERT_EQ(gost->C_Logout(s), CKR_OK);
    // The SO sets a third PIN; the keys open under it too, and the SO can change its own.
    ASSERT_EQ(Login(s, kSoPin, CKU_SO), CKR_OK);
    const std::string third = "97531", newSo = "13572468";
    ASSERT_EQ(gost->C_InitPIN(s, Text(third), third.size()), CKR_OK);
    ASSERT_EQ(gost->C_SetPIN(s, Text(kSoPin), kSoPin.size(), Text(newSo), newSo.size()), CKR_OK);
    ASSERT_EQ(gost->C_Logout(s), CKR_OK);
    EXPECT_EQ(Login(s, kSoPin, CKU_SO), CKR_PIN_INCORRECT);
    ASSERT_EQ(Login(s, newSo, CKU_SO), CKR_OK);
    ASSERT_EQ(gost->C_Logout(s), CKR_OK);
    ASSERT_EQ(Login(s, third), CKR_OK);
    EXPECT_TRUE(signs(s));
}

TEST_F(ModuleTest, StoreWithoutPinHoldsNoPrivateBytes) {
    CK_SESSION_HANDLE s = UserSession();
    Bytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<unsigned char>(0xC0 + i);
    }
    Bytes secretData = ToBytes("secret data only the user may read");
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY, data = CKO_DATA;
    CK_KEY_TYPE gostKey = CKK_GOSTR3410;
    CK_BBOOL yes = CK_TRUE;
    Create(s, {{CKA_CLASS, &keyClass, sizeof keyClass},
               {CKA_KEY_TYPE, &gostKey, sizeof gostKey},
               {CKA_TOKEN, &yes, 1},
               {CKA_GOSTR3410_PARAMS, const_cast<unsigned char*>(kCryptoProA.data()),
                kCryptoProA.size()},
               {CKA_VALUE, key.data(), key.size()}});
    CK_OBJECT_HANDLE privateData = Create(s, {{CKA_CLASS, &data, sizeof data},
                                              {CKA_TOKEN, &yes, 1},
                                              {CKA_PRIVATE, &yes, 1},
                                              {CKA_VALUE, secretData.data(), secretData.size()}});
    CK_OBJECT_HANDLE pub, priv;
    ASSERT_EQ(GenerateKeyPair(s, "k", "k", &pub, &priv), CKR_OK);
    std::string store = ReadFile(StoreFile());
    EXPECT_NE(store.find(Hex(Attribute(s, pub, CKA_VALUE))), std::string::npos)
        << "public values are stored as they are";
    EXPECT_EQ(store.find(Hex(key)), std::string::npos);
    EXPECT_EQ(store.find(Hex(secretData)), std::string::npos);
    EXPECT_EQ(store.find(Hex(ToBytes(kUserPin))), std::string::npos);
    EXPECT_EQ(store.find(Hex(ToBytes(kSoPin))), std::string::npos);
    EXPECT_EQ(Attribute(s, privateData, CKA_VALUE), secretData) << "the user reads it back";
}

struct DamageCase {
    const char* name;
    std::function<std::string(const std::string&)> damage;
    CK_RV expected;
};

void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << c.name;
}

class DamagedStoreTest : public TokenTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedStoreTest, IsRefusedAndLeftAsItIs) {
    InitToken();
    ASSERT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    std::string damaged = GetParam().damage(ReadFile(StoreFile()));
    { std::ofstream(StoreFile(), std::ios::binary | std::ios::trunc) << damaged; }
    testing::internal::CaptureStderr();
    EXPECT_EQ(gost->C_Initialize(nullptr), GetParam().expected);
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_NE(message.find("token store"), std::string::npos) << message;
    std::string output;
    EXPECT_EQ(RunCommand(std::string(SOFTTOKEN_UTIL_PATH) + " init", &output), 1);
    EXPECT_EQ(ReadFile(StoreFile()), damaged);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedStoreTest,
    ::testing::Values(
        DamageCase{"LaterVersion",
                   [](std::string text) { return text.replace(0, 17, "softtoken-store 2"); },
                   CKR_TOKEN_NOT_RECOGNIZED},
        DamageCase{"ChangedByte",
                   [](std::string text) {
                       text[text.find("token 1 ") + 8] ^= 1;
                       return text;
                   },
                   CKR_DEVICE_ERROR},
        DamageCase{"Truncated", [](std::string text) { return text.substr(0, text.size() / 2); },
                   CKR_DEVICE_ERROR},
        DamageCase{"Empty", [](std::string) { return std::string(); }, CKR_DEVICE_ERROR},
        DamageCase{"NotAStore",
                   [](std::string) {
                       return std::string(
                           "\x7f"
                           "ELF\1\1");
                   },
                   CKR_DEVICE_ERROR}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(ModuleTest, UnsupportedFunctionsSaySo) {
    CK_SESSION_HANDLE s = UserSession();
    CK_MECHANISM m = {CKM_GOSTR3410, nullptr, 0};
    EXPECT_EQ(gost->C_EncryptInit(s, &m, 1), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(gost->C_WrapKey(s, &m, 1, 2, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(gost->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    Bytes random(40, 0);
    ASSERT_EQ(gost->C_GenerateRandom(s, random.data(), random.size()), CKR_OK);
    EXPECT_NE(random, Bytes(40, 0));
}

}  // namespace
}  // namespace softtoken::test
