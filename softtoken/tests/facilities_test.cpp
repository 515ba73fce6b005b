// The call journal, injected failures, the export list and the two partitions side by side.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "token_fixture.h"

namespace softtoken::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

using FacilitiesTest = TokenTest;

TEST_F(FacilitiesTest, JournalRecordsEveryCallWithItsResult) {
    InitToken();
    std::string journal = (dir.path() / "journal").string();
    setenv("SOFTTOKEN_JOURNAL", journal.c_str(), 1);
    CK_SESSION_HANDLE s = Open();
    EXPECT_EQ(Login(s, "0000"), CKR_PIN_INCORRECT);
    ASSERT_EQ(gost->C_CloseSession(s), CKR_OK);
    CK_BYTE_PTR nothing = nullptr;
    auto freeBuffer = gost.Symbol<CK_RV (*)(CK_BYTE_PTR)>("freeBuffer");
    ASSERT_EQ(freeBuffer(nothing), CKR_OK);
    unsetenv("SOFTTOKEN_JOURNAL");
    EXPECT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(
        Lines(ReadFile(journal)),
        (std::vector<std::string>{"gost C_OpenSession 0x00000000", "gost C_Login 0x000000A0",
                                  "gost C_CloseSession 0x00000000", "gost freeBuffer 0x00000000"}));
}

struct FailCase {
    const char* name;
    std::string setting;
    std::vector<CK_RV> expectedLogins;  // three C_Login calls in a row
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

class FailInjectionTest : public TokenTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FailInjectionTest, NamedFunctionReturnsTheChosenResult) {
    InitToken();
    CK_SESSION_HANDLE s = Open();
    std::string journal = (dir.path() / "journal").string();
    setenv("SOFTTOKEN_JOURNAL", journal.c_str(), 1);
    setenv("SOFTTOKEN_FAIL", GetParam().setting.c_str(), 1);
    std::vector<CK_RV> results;
    std::vector<std::string> expectedLines;
    for (int i = 0; i < 3; ++i) {
        CK_RV rv = Login(s);
        results.push_back(rv);
        if (rv == CKR_OK) {
            EXPECT_EQ(gost->C_Logout(s), CKR_OK);
        }
        char line[64];
        std::snprintf(line, sizeof line, "gost C_Login 0x%08lX", rv);
        expectedLines.push_back(line);
        if (rv == CKR_OK) {
            expectedLines.push_back("gost C_Logout 0x00000000");
        }
    }
    unsetenv("SOFTTOKEN_FAIL");
    unsetenv("SOFTTOKEN_JOURNAL");
    EXPECT_EQ(results, GetParam().expectedLogins);
    EXPECT_EQ(Lines(ReadFile(journal)), expectedLines) << "injected results are journaled";
    EXPECT_FALSE(TokenInfo().flags & CKF_USER_PIN_COUNT_LOW) << "no PIN was tried";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailInjectionTest,
    ::testing::Values(FailCase{"Always",
                               "C_Login=0xA0",
                               {CKR_PIN_INCORRECT, CKR_PIN_INCORRECT, CKR_PIN_INCORRECT}},
                      FailCase{"Once", "C_Login=0x000000A4/once", {CKR_PIN_LOCKED, CKR_OK, CKR_OK}},
                      FailCase{"Decimal",
                               "C_Login=6",
                               {CKR_FUNCTION_FAILED, CKR_FUNCTION_FAILED, CKR_FUNCTION_FAILED}},
                      FailCase{"ThisPartition",
                               "gost:C_Login=5",
                               {CKR_GENERAL_ERROR, CKR_GENERAL_ERROR, CKR_GENERAL_ERROR}},
                      FailCase{"OtherPartition", "pki:C_Login=5", {CKR_OK, CKR_OK, CKR_OK}},
                      FailCase{"OtherFunction", "C_Logi=5,C_Sign=6", {CKR_OK, CKR_OK, CKR_OK}},
                      FailCase{"BadEntryIgnored",
                               "C_Login=oops,C_Login=0x30/once",
                               {CKR_DEVICE_ERROR, CKR_OK, CKR_OK}}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(FacilitiesTest, OnceRearmsWhenTheSettingChanges) {
    InitToken();
    CK_SESSION_HANDLE s = Open();
    setenv("SOFTTOKEN_FAIL", "C_GetSessionInfo=0x30/once", 1);
    CK_SESSION_INFO info;
    EXPECT_EQ(gost->C_GetSessionInfo(s, &info), CKR_DEVICE_ERROR);
    EXPECT_EQ(gost->C_GetSessionInfo(s, &info), CKR_OK);
    setenv("SOFTTOKEN_FAIL", "C_GetSessionInfo=0x31/once", 1);
    EXPECT_EQ(gost->C_GetSessionInfo(s, &info), CKR_DEVICE_MEMORY);
    EXPECT_EQ(gost->C_GetSessionInfo(s, &info), CKR_OK);
    unsetenv("SOFTTOKEN_FAIL");
    EXPECT_EQ(gost->C_GetSessionInfo(s, &info), CKR_OK);
    setenv("SOFTTOKEN_FAIL", "C_GetSessionInfo=0x31/once", 1);
    EXPECT_EQ(gost->C_GetSessionInfo(s, &info), CKR_DEVICE_MEMORY) << "unset in between";
    unsetenv("SOFTTOKEN_FAIL");
}

TEST(ExportsTest, OnlyThePkcs11FunctionsAndTheExtensionsAreExported) {
    const std::set<std::string> expected = {"C_Initialize",
                                            "C_Finalize",
                                            "C_GetInfo",
                                            "C_GetFunctionList",
                                            "C_GetSlotList",
                                            "C_GetSlotInfo",
                                            "C_GetTokenInfo",
                                            "C_GetMechanismList",
                                            "C_GetMechanismInfo",
                                            "C_InitToken",
                                            "C_InitPIN",
                                            "C_SetPIN",
                                            "C_OpenSession",
                                            "C_CloseSession",
                                            "C_CloseAllSessions",
                                            "C_GetSessionInfo",
                                            "C_GetOperationState",
                                            "C_SetOperationState",
                                            "C_Login",
                                            "C_Logout",
                                            "C_CreateObject",
                                            "C_CopyObject",
                                            "C_DestroyObject",
                                            "C_GetObjectSize",
                                            "C_GetAttributeValue",
                                            "C_SetAttributeValue",
                                            "C_FindObjectsInit",
                                            "C_FindObjects",
                                            "C_FindObjectsFinal",
                                            "C_EncryptInit",
                                            "C_Encrypt",
                                            "C_EncryptUpdate",
                                            "C_EncryptFinal",
                                            "C_DecryptInit",
                                            "C_Decrypt",
                                            "C_DecryptUpdate",
                                            "C_DecryptFinal",
                                            "C_DigestInit",
                                            "C_Digest",
                                            "C_DigestUpdate",
                                            "C_DigestKey",
                                            "C_DigestFinal",
                                            "C_SignInit",
                                            "C_Sign",
                                            "C_SignUpdate",
                                            "C_SignFinal",
                                            "C_SignRecoverInit",
                                            "C_SignRecover",
                                            "C_VerifyInit",
                                            "C_Verify",
                                            "C_VerifyUpdate",
                                            "C_VerifyFinal",
                                            "C_VerifyRecoverInit",
                                            "C_VerifyRecover",
                                            "C_DigestEncryptUpdate",
                                            "C_DecryptDigestUpdate",
                                            "C_SignEncryptUpdate",
                                            "C_DecryptVerifyUpdate",
                                            "C_GenerateKey",
                                            "C_GenerateKeyPair",
                                            "C_WrapKey",
                                            "C_UnwrapKey",
                                            "C_DeriveKey",
                                            "C_SeedRandom",
                                            "C_GenerateRandom",
                                            "C_GetFunctionStatus",
                                            "C_CancelFunction",
                                            "C_WaitForSlotEvent",
                                            "createCSR",
                                            "pkcs7Sign",
                                            "freeBuffer"};
    for (const char* library : {SOFTTOKEN_MODULE_PATH, SOFTTOKEN_PKI_MODULE_PATH}) {
        std::string output;
        ASSERT_EQ(RunCommand(std::string("nm -D --defined-only '") + library + "'", &output), 0)
            << output;
        std::set<std::string> exported;
        for (const std::string& line : Lines(output)) {
            std::istringstream fields(line);
            std::string address, kind, name;
            fields >> address >> kind >> name;
            exported.insert(name);
        }
        EXPECT_EQ(exported, expected) << library;
    }
}

TEST_F(FacilitiesTest, EachPartitionAnswersFromItsOwnStore) {
    LoadedModule pki(SOFTTOKEN_PKI_MODULE_PATH);
    ASSERT_NE(pki.get(), nullptr);
    ASSERT_NE(pki.get(), gost.get());
    ASSERT_EQ(pki->C_Initialize(nullptr), CKR_OK);
    InitToken("GOST token");
    ASSERT_EQ(InitToken(pki.get(), 0, "PKI token"), CKR_OK);
    CK_SESSION_HANDLE g = Open();
    ASSERT_EQ(Login(g), CKR_OK);
    CK_SESSION_HANDLE p = Open(pki.get());
    ASSERT_EQ(pki->C_Login(p, CKU_USER, Text(kUserPin), kUserPin.size()), CKR_OK);
    CreateCertificate(g, "gost-cert", ToBytes("g"));
    CreateCertificate(p, "pki-cert-1", ToBytes("p1"), pki.get());
    CreateCertificate(p, "pki-cert-2", ToBytes("p2"), pki.get());
    EXPECT_EQ(Find(g, {}).size(), 1u);
    EXPECT_EQ(Find(p, {}, pki.get()).size(), 2u);
    CK_TOKEN_INFO info;
    ASSERT_EQ(pki->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 9), "PKI token");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(TokenInfo().label), 10), "GOST token");
    EXPECT_TRUE(std::filesystem::exists(StoreFile("pki")));
    // Finalising one leaves the other working.
    ASSERT_EQ(pki->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(Find(g, {}).size(), 1u);
}

}  // namespace
}  // namespace softtoken::test
