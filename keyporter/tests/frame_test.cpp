#include "fixtures.h"

#include <gmock/gmock.h>

#include <sstream>

namespace kptest {
namespace {

using ::testing::ElementsAreArray;

enum class Export {
    install,
    generate,
    generateEku,
    sign,
    signEx,
    signUnknown,
    certificates,
    certificatesPki,
    keys
};

const Bytes kCertificate{0x30, 0x82, 0x01, 0x00, 'c', 'e', 'r', 't'};
const Bytes kUnknownCertificate{0x30, 0x82, 0x01, 0x00, 'o', 't', 'h', 'e', 'r'};

// Coded exports give their code; listings the number of records they return.
int call(const KeyPorterLibrary& kp, Export which) {
    Subject subject = sampleSubject();
    unsigned char* buffer = nullptr;
    CK_ULONG length = 0;
    const Bytes data{'d', 'a', 't', 'a'};
    int result = 0;
    switch (which) {
        case Export::install:
            return kp.installCertificate(kDefaultPin, "tag", "tag", kCertificate.data(),
                                         kCertificate.size());
        case Export::generate:
            result = kp.genCertRequests(kDefaultPin, "tag", "tag", subject.array(), subject.count(),
                                        &buffer, &length);
            break;
        case Export::generateEku:
            result = kp.genCertRequestsEKU(kDefaultPin, "tag", "tag", "1.2.643.1", subject.array(),
                                           subject.count(), &buffer, &length);
            break;
        case Export::signEx:
            result = kp.getSignEx(kDefaultPin, kCertificate.data(), kCertificate.size(),
                                  data.data(), data.size(), 0, &buffer, &length);
            break;
        case Export::sign:
        case Export::signUnknown: {
            const Bytes& certificate = which == Export::sign ? kCertificate : kUnknownCertificate;
            result = kp.getSign(kDefaultPin, certificate.data(), certificate.size(), data.data(),
                                data.size(), &buffer, &length);
            break;
        }
        case Export::certificates:
            return static_cast<int>(kp.certificates().size());
        case Export::certificatesPki:
            return static_cast<int>(kp.certificates(true).size());
        case Export::keys:
            return static_cast<int>(kp.publicKeys().size());
    }
    kp.freeBuffMemory(buffer);
    return result;
}

// The journal as "name" for a call that succeeded and "name!" for one that failed.
std::vector<std::string> journalCalls(const std::filesystem::path& file,
                                      const std::string& partition) {
    std::istringstream lines(std::filesystem::exists(file) ? readText(file) : "");
    std::vector<std::string> calls;
    std::string linePartition, name, rv;
    while (lines >> linePartition >> name >> rv) {
        if (linePartition == partition) {
            calls.push_back(name + (rv == "0x00000000" ? "" : "!"));
        }
    }
    return calls;
}

using Calls = std::vector<std::string>;

Calls operator+(Calls head, const Calls& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const Calls kOpen{"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_OpenSession"};
const Calls kOpenPki{"C_GetFunctionList", "C_Initialize",   "C_GetSlotList",
                     "C_GetSlotList",     "C_GetTokenInfo", "C_OpenSession"};
const Calls kLogin = kOpen + Calls{"C_Login"};
const Calls kCodedEnd{"C_Logout", "C_CloseSession", "C_Finalize"};
const Calls kListingEnd{"C_CloseSession", "C_Finalize"};
const Calls kReadAll{"C_FindObjectsInit", "C_FindObjects", "C_GetAttributeValue",
                     "C_FindObjectsFinal"};

struct FrameCase {
    const char* name;
    Export which;
    const char* fail;  // SOFTTOKEN_FAIL while the export runs; "" for none
    bool removeToken;
    int expected;
    Calls calls;
};

void PrintTo(const FrameCase& c, std::ostream* out) {
    *out << c.name;
}

class FrameTest : public ::testing::TestWithParam<FrameCase> {
  protected:
    FrameTest() {
        store.initToken();
        store.initToken("pki", kDefaultPin, 0, "pki");
        {
            ModuleSession gost;
            gost.addCertificate(kCertificate);
            gost.addPublicKey(Bytes(64, 0x42));
        }
        ModuleSession pki(binDir() / "libasepkcs.so");
        pki.addCertificate(kCertificate);
    }

    SoftTokenStore store;
    KeyPorterLibrary kp;
    TempDir dir;
};

TEST_P(FrameTest, StepsAndTeardownAsJournaled) {
    const FrameCase& c = GetParam();
    if (c.removeToken) {
        store.util({"remove-token", "--slot", "0"});
    }
    const std::filesystem::path journal = dir.path() / "journal";
    int result = 0;
    {
        ScopedEnv journalEnv("SOFTTOKEN_JOURNAL", journal.string());
        ScopedEnv failEnv("SOFTTOKEN_FAIL",
                          c.fail[0] != '\0' ? std::optional<std::string>(c.fail) : std::nullopt);
        result = call(kp, c.which);
    }
    EXPECT_EQ(result, c.expected);
    const std::string partition = c.which == Export::certificatesPki ? "pki" : "gost";
    EXPECT_THAT(journalCalls(journal, partition), ElementsAreArray(c.calls));
}

// Failing the second C_GetSlotList: the first is made to succeed without doing its work.
constexpr const char* kSecondSlotList = "C_GetSlotList=0x0/once,C_GetSlotList=0x5";

INSTANTIATE_TEST_SUITE_P(
    Steps, FrameTest,
    ::testing::Values(
        FrameCase{"InstallSucceeds", Export::install, "", false, RES_OK,
                  kLogin + Calls{"C_CreateObject"} + kCodedEnd},
        FrameCase{"InitializeFails",
                  Export::install,
                  "C_Initialize=0x5",
                  false,
                  RES_ERR_INITIALIZE,
                  {"C_Initialize!", "C_Finalize!"}},
        FrameCase{"SlotCountFails",
                  Export::install,
                  "C_GetSlotList=0x5",
                  false,
                  RES_ERR_SLOT_COUNT,
                  {"C_Initialize", "C_GetSlotList!", "C_Finalize"}},
        FrameCase{"SlotListFails",
                  Export::install,
                  kSecondSlotList,
                  false,
                  RES_ERR_SLOT_LIST,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList!", "C_Finalize"}},
        FrameCase{"NoTokenInstall",
                  Export::install,
                  "",
                  true,
                  RES_ERR_NO_TOKEN,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize"}},
        FrameCase{
            "OpenSessionFails",
            Export::install,
            "C_OpenSession=0x5",
            false,
            RES_ERR_OPEN_SESSION,
            {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_OpenSession!", "C_Finalize"}},
        FrameCase{"LoginFails", Export::install, "C_Login=0xA0", false, RES_ERR_LOGIN,
                  kOpen + Calls{"C_Login!", "C_Logout!", "C_CloseSession", "C_Finalize"}},
        FrameCase{"CreateObjectFails", Export::install, "C_CreateObject=0x5", false,
                  RES_ERR_CREATE_OBJECT, kLogin + Calls{"C_CreateObject!"} + kCodedEnd},
        FrameCase{
            "GenerateSucceeds", Export::generate, "", false, RES_OK,
            kLogin + Calls{"C_GenerateKeyPair", "createCSR"} + kCodedEnd + Calls{"freeBuffer"}},
        FrameCase{"GenerateKeyPairFails", Export::generate, "C_GenerateKeyPair=0x5", false,
                  RES_ERR_GENERATE_KEY_PAIR, kLogin + Calls{"C_GenerateKeyPair!"} + kCodedEnd},
        FrameCase{"CreateRequestFails", Export::generate, "createCSR=0x5", false,
                  RES_ERR_CREATE_REQUEST,
                  kLogin + Calls{"C_GenerateKeyPair", "createCSR!"} + kCodedEnd},
        FrameCase{"NoTokenGenerate",
                  Export::generate,
                  "",
                  true,
                  RES_ERR_NO_TOKEN,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize"}},
        FrameCase{"SignLoginFails", Export::sign, "C_Login=0xA0", false, RES_ERR_LOGIN,
                  kOpen + Calls{"C_Login!", "C_Logout!", "C_CloseSession", "C_Finalize"}},
        FrameCase{"SearchInitFails", Export::sign, "C_FindObjectsInit=0x5", false,
                  RES_ERR_CERT_NOT_FOUND, kLogin + Calls{"C_FindObjectsInit!"} + kCodedEnd},
        FrameCase{"SearchFails", Export::sign, "C_FindObjects=0x5", false, RES_ERR_CERT_NOT_FOUND,
                  kLogin + Calls{"C_FindObjectsInit", "C_FindObjects!"} + kCodedEnd},
        FrameCase{
            "CertificateNotFound", Export::signUnknown, "", false, RES_ERR_CERT_NOT_FOUND,
            kLogin + Calls{"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"} + kCodedEnd},
        FrameCase{
            "SigningFails", Export::sign, "pkcs7Sign=0x5", false, RES_ERR_SIGN,
            kLogin +
                Calls{"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "pkcs7Sign!"} +
                kCodedEnd},
        FrameCase{"NoTokenSign",
                  Export::sign,
                  "",
                  true,
                  RES_ERR_NO_TOKEN,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize"}},
        FrameCase{"NoTokenGenerateEku",
                  Export::generateEku,
                  "",
                  true,
                  RES_ERR_NO_TOKEN,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize"}},
        FrameCase{"NoTokenSignEx",
                  Export::signEx,
                  "",
                  true,
                  RES_ERR_NO_TOKEN,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize"}},
        FrameCase{"EkuCreateRequestFails", Export::generateEku, "createCSR=0x5", false,
                  RES_ERR_CREATE_REQUEST,
                  kLogin + Calls{"C_GenerateKeyPair", "createCSR!"} + kCodedEnd},
        FrameCase{
            "SignExSigningFails", Export::signEx, "pkcs7Sign=0x5", false, RES_ERR_SIGN,
            kLogin +
                Calls{"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "pkcs7Sign!"} +
                kCodedEnd},
        FrameCase{"NoGostTokenPkiStillListed", Export::certificatesPki, "", true, 1,
                  kOpenPki + kReadAll + kListingEnd},
        FrameCase{"ListingSucceeds", Export::certificates, "", false, 1,
                  kOpen + kReadAll + kListingEnd},
        FrameCase{"ListingInitializeFails",
                  Export::certificates,
                  "C_Initialize=0x5",
                  false,
                  0,
                  {"C_Initialize!", "C_Finalize!"}},
        FrameCase{"ListingSlotListFails",
                  Export::certificates,
                  kSecondSlotList,
                  false,
                  0,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList!", "C_Finalize"}},
        FrameCase{
            "ListingOpenSessionFails",
            Export::certificates,
            "C_OpenSession=0x5",
            false,
            0,
            {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_OpenSession!", "C_Finalize"}},
        FrameCase{"ListingSearchInitFails", Export::certificates, "C_FindObjectsInit=0x5", false, 0,
                  kOpen + Calls{"C_FindObjectsInit!"} + kListingEnd},
        FrameCase{"ListingSearchFails", Export::certificates, "C_FindObjects=0x5", false, 0,
                  kOpen + Calls{"C_FindObjectsInit", "C_FindObjects!"} + kListingEnd},
        FrameCase{"ListingReadFails", Export::certificates, "C_GetAttributeValue=0x150", false, 0,
                  kOpen +
                      Calls{"C_FindObjectsInit", "C_FindObjects", "C_GetAttributeValue!",
                            "C_FindObjectsFinal"} +
                      kListingEnd},
        FrameCase{"NoTokenListing",
                  Export::certificates,
                  "",
                  true,
                  0,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize"}},
        FrameCase{"KeysSucceed", Export::keys, "", false, 1, kOpen + kReadAll + kListingEnd},
        FrameCase{"KeysSlotCountFails",
                  Export::keys,
                  "C_GetSlotList=0x5",
                  false,
                  0,
                  {"C_Initialize", "C_GetSlotList!", "C_Finalize"}},
        FrameCase{"NoTokenKeys",
                  Export::keys,
                  "",
                  true,
                  0,
                  {"C_Initialize", "C_GetSlotList", "C_GetSlotList", "C_Finalize"}},
        FrameCase{"PkiSucceeds", Export::certificatesPki, "", false, 1,
                  kOpenPki + kReadAll + kListingEnd},
        FrameCase{"PkiInitializeFails",
                  Export::certificatesPki,
                  "pki:C_Initialize=0x5",
                  false,
                  0,
                  {"C_GetFunctionList", "C_Initialize!", "C_Finalize!"}},
        FrameCase{"PkiTokenInfoFails",
                  Export::certificatesPki,
                  "pki:C_GetTokenInfo=0x5",
                  false,
                  0,
                  {"C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                   "C_GetTokenInfo!", "C_Finalize"}},
        FrameCase{"PkiOpenSessionFails",
                  Export::certificatesPki,
                  "pki:C_OpenSession=0x5",
                  false,
                  0,
                  {"C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                   "C_GetTokenInfo", "C_OpenSession!", "C_Finalize"}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(FrameTwoTokens, OnlyTheFirstSlotsTokenIsUsed) {
    SoftTokenStore store;
    store.initToken("first");
    store.util({"add-slot"});
    store.initToken("second", kDefaultPin, 1);
    const Bytes onFirst{0x30, 0x01, 'A'};
    const Bytes onSecond{0x30, 0x01, 'B'};
    {
        ModuleSession first;
        first.addCertificate(onFirst);
    }
    {
        ModuleSession second(binDir() / "libsofttoken.so", kDefaultPin, 1);
        second.addCertificate(onSecond);
    }
    KeyPorterLibrary kp;
    EXPECT_EQ(kp.certificates(), std::vector<Bytes>{onFirst});
    EXPECT_EQ(call(kp, Export::install), RES_OK);
    EXPECT_EQ(call(kp, Export::generate), RES_OK);

    {
        ModuleSession first;
        EXPECT_EQ(first.find(CKO_CERTIFICATE).size(), 2u);
        EXPECT_EQ(first.find(CKO_PUBLIC_KEY).size(), 1u);
    }
    ModuleSession second(binDir() / "libsofttoken.so", kDefaultPin, 1);
    EXPECT_EQ(second.find(CKO_CERTIFICATE).size(), 1u);
    EXPECT_TRUE(second.find(CKO_PUBLIC_KEY).empty());
}

}  // namespace
}  // namespace kptest
