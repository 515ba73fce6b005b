// The client against small stand-in libraries whose exports and results the tests choose.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/token_client.h"
#include "fake_token.h"

namespace certdesk {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Calls = std::vector<std::string>;

constexpr const char* kFull = "libtc_keyporter_full.so";
constexpr const char* kNoEku = "libtc_keyporter_no_eku.so";
constexpr const char* kNoRelease = "libtc_keyporter_no_release.so";
constexpr const char* kReleaseOnly = "libtc_keyporter_release_only.so";
constexpr const char* kAbsent = "libtc_keyporter_absent.so";
constexpr const char* kNoVendor = "libtc_keyporter_no_vendor.so";

bool IsLoaded(const std::string& file) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

// Gives back every reference still held, so the next test starts without the library.
void UnloadCompletely(const std::string& file) {
    while (void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        dlclose(handle);
        dlclose(handle);
    }
}

// The raised message in UTF-8, so that a mismatch reads plainly.
std::string ErrorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Error& error) {
        return Utf8FromAnsi(error.Message());
    }
    ADD_FAILURE() << "no error raised";
    return {};
}

tc_fake::TokenScript& Script() {
    return tc_fake::Script();
}

const std::string kBytes("\x30\x82\x00\x05\xff\x00\x01", 7);

struct Operation {
    const char* name;
    const char* mainExport;
    std::function<void()> run;
};

void PrintTo(const Operation& operation, std::ostream* out) {
    *out << operation.name;
}

std::vector<Operation> Operations() {
    return {
        {"GenCertRequestsEKU", "GenCertRequestsEKU",
         [] {
             TokenGenCertRequestsEKU("1234", "77", "77", "1.2.3", {"CN", "x"});
         }},
        {"GenCertRequests", "GenCertRequests",
         [] {
             TokenGenCertRequests("1234", "77", "77", {"CN", "x"});
         }},
        {"InstallCertificate", "InstallCertificate",
         [] { TokenInstallCertificate("1234", "77", "77", kBytes); }},
        {"GetPublicKeys", "GetTokenPublicKeys",
         [] {
             std::vector<std::string> keys;
             TokenGetPublicKeys(keys);
         }},
        {"GetCertificatesGost", "GetTokenCertificates",
         [] {
             std::vector<std::string> certificates;
             TokenGetCertificates(certificates, TokenPartition::Gost);
         }},
        {"GetCertificatesPki", "GetTokenCertificatesPKI",
         [] {
             std::vector<std::string> certificates;
             TokenGetCertificates(certificates, TokenPartition::Pki);
         }},
        {"Sign", "GetSign", [] { TokenSign("1234", "TestData", kBytes); }},
    };
}

std::string OperationName(const ::testing::TestParamInfo<Operation>& caseInfo) {
    return caseInfo.param.name;
}

class FakeLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Script() = tc_fake::TokenScript{};
        Script().output = kBytes;
        Use(kFull);
    }
    void TearDown() override {
        TokenLibraryUnpin();
        UnloadCompletely(TokenLibraryName());
        SetTokenLibraryName(defaultName_);
    }
    static void Use(const char* file) { SetTokenLibraryName(file); }

  private:
    std::string defaultName_ = TokenLibraryName();
};

template <typename Param>
class FakeLibraryParamTest : public FakeLibraryTest, public ::testing::WithParamInterface<Param> {};

TEST(TokenLibrary, ProgramBindsKeyPorterByDefault) {
    EXPECT_EQ(TokenLibraryName(), "libKeyPorter.so");
}

class RequestGeneration : public FakeLibraryParamTest<bool> {};

TEST_P(RequestGeneration, PassesTheArgumentsUnchangedAndCopiesTheExactRequest) {
    const bool withEku = GetParam();
    const std::string pin = Ansi("пин 5829");
    const std::vector<std::string> subject = {"2.5.4.3", "Иванов Иван", "2.5.4.10", ""};

    const std::string request =
        withEku
            ? TokenGenCertRequestsEKU(pin, "7701234567-770101001", "7701234567-770101001",
                                      "1.3.6.1.5.5.7.3.2;1.2.643.3.6.0.6", subject)
            : TokenGenCertRequests(pin, "7701234567-770101001", "7701234567-770101001", subject);

    EXPECT_EQ(request, kBytes);
    const char* generator = withEku ? "GenCertRequestsEKU" : "GenCertRequests";
    EXPECT_THAT(Script().calls, ElementsAre(generator, "FreeBuffMemory"));
    EXPECT_EQ(Script().releasedBuffer, Script().output.data());
    EXPECT_EQ(Script().pin, pin);
    EXPECT_EQ(Script().label, "7701234567-770101001");
    EXPECT_EQ(Script().id, "7701234567-770101001");
    EXPECT_EQ(Script().ekuList, withEku ? "1.3.6.1.5.5.7.3.2;1.2.643.3.6.0.6" : "");
    EXPECT_EQ(Script().subject, subject);
    EXPECT_TRUE(Script().subjectRoomEmpty);
    EXPECT_FALSE(IsLoaded(kFull));
}

TEST_P(RequestGeneration, NoBufferGivesAnEmptyRequestAndReleasesNothing) {
    Script().giveOutput = false;
    const std::string request = GetParam() ? TokenGenCertRequestsEKU("1", "2", "3", "4", {})
                                           : TokenGenCertRequests("1", "2", "3", {});
    EXPECT_THAT(request, IsEmpty());
    EXPECT_EQ(Script().calls.size(), 1u);
    EXPECT_TRUE(Script().subject.empty());
}

INSTANTIATE_TEST_SUITE_P(Exports, RequestGeneration, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& caseInfo) {
                             return caseInfo.param ? "WithEku" : "Plain";
                         });

struct FailureCase {
    const char* operation;  // an entry of Operations()
    int code;
    const char* message;  // UTF-8
    bool handsOutBuffer;
};

class FailureCode : public FakeLibraryParamTest<FailureCase> {};

TEST_P(FailureCode, RaisesItsMessageReleasesTheBufferAndUnloads) {
    const FailureCase& failure = GetParam();
    Script().result = failure.code;
    std::function<void()> run;
    for (const Operation& operation : Operations()) {
        if (std::string(operation.name) == failure.operation) {
            run = operation.run;
        }
    }
    ASSERT_TRUE(run);

    EXPECT_EQ(ErrorOf(run), failure.message);
    EXPECT_EQ(Script().releasedBuffer, failure.handsOutBuffer ? Script().output.data() : nullptr);
    EXPECT_FALSE(IsLoaded(kFull));
}

constexpr const char* kNoMatch =
    "Работать с выбранным сертификатом невозможно, т.к. он не соответствует ключам, имеющимся на "
    "JaCarta";

INSTANTIATE_TEST_SUITE_P(
    Codes, FailureCode,
    ::testing::Values(
        FailureCase{"GenCertRequestsEKU", RES_ERR_LOGIN, "Ошибка подключения к токену", true},
        FailureCase{"GenCertRequestsEKU", RES_ERR_GENERATE_KEY_PAIR,
                    "Ошибка генерации ключевой пары", true},
        FailureCase{"GenCertRequests", RES_ERR_CREATE_REQUEST,
                    "Ошибка генерации запроса на сертификат", true},
        FailureCase{"GenCertRequests", 0, "Ошибка с кодом 0", true},
        FailureCase{"InstallCertificate", RES_ERR_CREATE_OBJECT,
                    "Ошибка записи сертификата пользователя на токен", false},
        FailureCase{"InstallCertificate", RES_ERR_NO_TOKEN,
                    "Ошибка получения слота с доступным токеном", false},
        FailureCase{"InstallCertificate", -9, "Ошибка с кодом -9", false},
        FailureCase{"Sign", RES_ERR_CERT_NOT_FOUND,
                    "Указанный сертификат не установлен на jaCarta!", true},
        FailureCase{"Sign", RES_ERR_SIGN, kNoMatch, true},
        FailureCase{"Sign", RES_ERR_INITIALIZE, "Ошибка инициализации библиотеки jaCarta", true},
        FailureCase{"Sign", 0, "Ошибка с кодом 0", true},
        FailureCase{"Sign", -9, "Ошибка с кодом -9", true}),
    [](const ::testing::TestParamInfo<FailureCase>& caseInfo) {
        return std::string(caseInfo.param.operation) + "_" +
               (caseInfo.param.code < 0 ? "minus" + std::to_string(-caseInfo.param.code)
                                        : std::to_string(caseInfo.param.code));
    });

TEST_F(FakeLibraryTest, InstallPassesTheCertificateBytesWithTheirLength) {
    TokenInstallCertificate("5829301746", "771234567890", "771234567890", kBytes);
    EXPECT_THAT(Script().calls, ElementsAre("InstallCertificate"));
    EXPECT_EQ(Script().certificate, kBytes);
    EXPECT_EQ(Script().pin, "5829301746");
    EXPECT_EQ(Script().label, "771234567890");
    EXPECT_EQ(Script().id, "771234567890");
    EXPECT_FALSE(IsLoaded(kFull));
}

TEST_F(FakeLibraryTest, SignPassesCertificateAndDataAndCopiesTheSignature) {
    const std::string certificate("\x30\x00\x01", 3);
    EXPECT_EQ(TokenSign("5829301746", "TestData", certificate), kBytes);
    EXPECT_THAT(Script().calls, ElementsAre("GetSign", "FreeBuffMemory"));
    EXPECT_EQ(Script().releasedBuffer, Script().output.data());
    EXPECT_EQ(Script().certificate, certificate);
    EXPECT_EQ(Script().data, "TestData");
    EXPECT_EQ(Script().pin, "5829301746");
}

TEST_F(FakeLibraryTest, PublicKeysAreAppendedAsRecordsOfSixtyFourBytes) {
    std::string first(64, '\0');
    for (std::size_t index = 0; index < first.size(); ++index) {
        first[index] = static_cast<char>(255 - index);
    }
    const std::string zero(64, '\0');
    Script().publicKeys = first + zero + first;
    Script().publicKeyCount = 3;
    std::vector<std::string> keys = {"earlier"};

    TokenGetPublicKeys(keys);

    EXPECT_THAT(keys, ElementsAre("earlier", first, zero, first));
    EXPECT_THAT(Script().calls, ElementsAre("GetTokenPublicKeys"));
}

struct EmptyKeys {
    const char* name;
    int count;
    bool array;
};

class EmptyPublicKeyListing : public FakeLibraryParamTest<EmptyKeys> {};

TEST_P(EmptyPublicKeyListing, LeavesTheListAsItWas) {
    Script().publicKeyCount = GetParam().count;
    Script().publicKeys = GetParam().array ? std::string(128, 'k') : std::string();
    std::vector<std::string> keys = {"earlier"};
    TokenGetPublicKeys(keys);
    EXPECT_THAT(keys, ElementsAre("earlier"));
}

INSTANTIATE_TEST_SUITE_P(Listings, EmptyPublicKeyListing,
                         ::testing::Values(EmptyKeys{"NoneAndNoArray", 0, false},
                                           EmptyKeys{"NoneWithArray", 0, true},
                                           EmptyKeys{"CountWithoutArray", 2, false},
                                           EmptyKeys{"NegativeCount", -1, true}),
                         [](const ::testing::TestParamInfo<EmptyKeys>& caseInfo) {
                             return caseInfo.param.name;
                         });

class CertificateListing : public FakeLibraryParamTest<TokenPartition> {};

TEST_P(CertificateListing, AppendsEachCertificateAndReleasesTheList) {
    const bool pki = GetParam() == TokenPartition::Pki;
    const std::vector<std::string> gost = {kBytes, std::string("\x30\x03\x00\x00\x00", 5)};
    const std::vector<std::string> other = {std::string("\x30\x01\x00", 3)};
    Script().gostCertificates = pki ? other : gost;
    Script().pkiCertificates = pki ? gost : other;
    std::vector<std::string> certificates = {"earlier"};

    TokenGetCertificates(certificates, GetParam());

    EXPECT_THAT(certificates, ElementsAre("earlier", gost[0], gost[1]));
    EXPECT_THAT(Script().calls,
                ElementsAre(pki ? "GetTokenCertificatesPKI" : "GetTokenCertificates",
                            "FreeTokenCertificates"));
    EXPECT_EQ(Script().releasedRecords, Script().records.data());
    EXPECT_EQ(Script().releasedCount, 2u);
}

TEST_P(CertificateListing, EmptyPartitionAddsNothingAndReleasesNothing) {
    std::vector<std::string> certificates = {"earlier"};
    TokenGetCertificates(certificates, GetParam());
    EXPECT_THAT(certificates, ElementsAre("earlier"));
    EXPECT_EQ(Script().calls.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Partitions, CertificateListing,
                         ::testing::Values(TokenPartition::Gost, TokenPartition::Pki),
                         [](const ::testing::TestParamInfo<TokenPartition>& caseInfo) {
                             return caseInfo.param == TokenPartition::Gost ? "Gost" : "Pki";
                         });

TEST_F(FakeLibraryTest, WorksWithoutTheReleaseFunctions) {
    Use(kNoRelease);
    Script().gostCertificates = {kBytes};
    std::vector<std::string> certificates;

    EXPECT_EQ(TokenGenCertRequestsEKU("1", "2", "3", "4", {}), kBytes);
    EXPECT_EQ(TokenGenCertRequests("1", "2", "3", {}), kBytes);
    EXPECT_EQ(TokenSign("1", "TestData", kBytes), kBytes);
    TokenGetCertificates(certificates, TokenPartition::Gost);

    EXPECT_THAT(certificates, ElementsAre(kBytes));
    EXPECT_THAT(Script().calls, ElementsAre("GenCertRequestsEKU", "GenCertRequests", "GetSign",
                                            "GetTokenCertificates"));
    EXPECT_FALSE(IsLoaded(kNoRelease));
}

class EveryOperation : public FakeLibraryParamTest<Operation> {};

TEST_P(EveryOperation, UnloadsTheLibraryItLoaded) {
    GetParam().run();
    EXPECT_FALSE(Script().calls.empty());
    EXPECT_FALSE(IsLoaded(kFull));
}

TEST_P(EveryOperation, MissingMainExportIsNamedAndTheLibraryUnloaded) {
    Use(kReleaseOnly);
    EXPECT_EQ(ErrorOf(GetParam().run),
              std::string("Не найдена точка входа: ") + GetParam().mainExport);
    EXPECT_THAT(Script().calls, IsEmpty());
    EXPECT_FALSE(IsLoaded(kReleaseOnly));
}

TEST_P(EveryOperation, LibraryThatDoesNotLoadIsNamedWithTheReason) {
    const std::string cannotOpen = ": cannot open shared object file: No such file or directory";
    const std::pair<const char*, std::string> failures[] = {
        {kAbsent, std::string(kAbsent) + cannotOpen},
        {kNoVendor, std::string(kNoVendor) + ": libtc_vendor.so" + cannotOpen}};
    for (const auto& [file, reason] : failures) {
        SCOPED_TRACE(file);
        Use(file);
        EXPECT_EQ(ErrorOf(GetParam().run), "Ошибка функции Win32 API\n" + reason);
    }
    EXPECT_THAT(Script().calls, IsEmpty());
}

TEST_P(EveryOperation, LeavesALibraryLoadedByOthersLoaded) {
    void* handle = dlopen(kFull, RTLD_NOW);
    ASSERT_NE(handle, nullptr) << dlerror();
    GetParam().run();
    EXPECT_TRUE(IsLoaded(kFull));
    dlclose(handle);
    EXPECT_FALSE(IsLoaded(kFull)) << "the operation kept a reference of its own";
}

INSTANTIATE_TEST_SUITE_P(Operations, EveryOperation, ::testing::ValuesIn(Operations()),
                         OperationName);

TEST_F(FakeLibraryTest, PinnedLibraryStaysLoadedUntilUnpinned) {
    TokenLibraryPin();
    for (const Operation& operation : Operations()) {
        operation.run();
        EXPECT_TRUE(IsLoaded(kFull)) << operation.name;
    }
    TokenLibraryUnpin();
    EXPECT_FALSE(IsLoaded(kFull));
}

TEST_F(FakeLibraryTest, PinningTwiceHoldsOneHandle) {
    TokenLibraryPin();
    TokenLibraryPin();
    TokenLibraryUnpin();
    EXPECT_FALSE(IsLoaded(kFull));
}

TEST_F(FakeLibraryTest, PinnedLibraryStaysAfterAFailingOperation) {
    TokenLibraryPin();
    Script().result = RES_ERR_LOGIN;
    EXPECT_EQ(ErrorOf([] { TokenInstallCertificate("0", "1", "1", kBytes); }),
              "Ошибка подключения к токену");
    EXPECT_TRUE(IsLoaded(kFull));
}

TEST_F(FakeLibraryTest, PinningALibraryThatDoesNotLoadRaisesTheLoadFailure) {
    Use(kNoVendor);
    EXPECT_EQ(ErrorOf([] { TokenLibraryPin(); }),
              std::string("Ошибка функции Win32 API\n") + kNoVendor +
                  ": libtc_vendor.so: cannot open shared object file: No such file or directory");
    TokenLibraryUnpin();
}

struct EkuCase {
    const char* file;
    bool supported;
    bool loadedAfter;
};

class EkuSupport : public FakeLibraryParamTest<EkuCase> {};

TEST_P(EkuSupport, AnswersAndLeavesTheLibraryLoaded) {
    Use(GetParam().file);
    EXPECT_EQ(TokenHasEKUSupport(), GetParam().supported);
    EXPECT_EQ(IsLoaded(GetParam().file), GetParam().loadedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, EkuSupport,
    ::testing::Values(EkuCase{kFull, true, true}, EkuCase{kNoRelease, true, true},
                      EkuCase{kNoEku, false, true}, EkuCase{kReleaseOnly, false, true},
                      EkuCase{kAbsent, false, false}, EkuCase{kNoVendor, false, false}),
    [](const ::testing::TestParamInfo<EkuCase>& caseInfo) {
        std::string name = caseInfo.param.file;
        name = name.substr(std::string("libtc_keyporter_").size());
        return name.substr(0, name.size() - std::string(".so").size());
    });

TEST_F(FakeLibraryTest, ProbedLibraryServesLaterOperationsAndHoldsOneReference) {
    ASSERT_TRUE(TokenHasEKUSupport());
    ASSERT_TRUE(TokenHasEKUSupport());
    EXPECT_EQ(TokenGenCertRequests("1", "2", "3", {}), kBytes);
    EXPECT_TRUE(IsLoaded(kFull));

    void* handle = dlopen(kFull, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    dlclose(handle);
    dlclose(handle);
    EXPECT_FALSE(IsLoaded(kFull));
}

}  // namespace
}  // namespace certdesk
