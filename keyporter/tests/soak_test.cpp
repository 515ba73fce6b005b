#include "fixtures.h"

#include <gmock/gmock.h>

#include <atomic>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

namespace kptest {
namespace {

// A token with a key pair and its installed certificate, so that every export can succeed.
class ReadyTokenTest : public TokenTest {
  public:
    ReadyTokenTest() {
        certificate = ca.issue(makeRequest(tag));
        EXPECT_EQ(kp.installCertificate(kDefaultPin, tag.c_str(), tag.c_str(), certificate.data(),
                                        certificate.size()),
                  RES_OK);
        store.initToken("pki", kDefaultPin, 0, "pki");
        ModuleSession pki(binDir() / "libasepkcs.so");
        pki.addCertificate(certificate);
    }

    int sign() const {
        unsigned char* signature = nullptr;
        CK_ULONG length = 0;
        const int code = kp.getSign(kDefaultPin, certificate.data(), certificate.size(),
                                    data.data(), data.size(), &signature, &length);
        kp.freeBuffMemory(signature);
        return code;
    }

    const std::string tag = "7701234567";
    TestCa ca;
    Bytes certificate;
    const Bytes data{'s', 'o', 'a', 'k'};
};

struct SoakCase {
    const char* name;
    // One call of the export; true when its result is the one expected.
    std::function<bool(ReadyTokenTest&)> once;
    // Objects the calls add under this label are removed now and then, so that the store
    // stays small.
    const char* addedLabel = nullptr;
};

void PrintTo(const SoakCase& c, std::ostream* out) {
    *out << c.name;
}

void removeObjects(const char* label) {
    ModuleSession token;
    for (CK_OBJECT_CLASS objectClass : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY, CKO_CERTIFICATE}) {
        for (CK_OBJECT_HANDLE object : token.find(objectClass, label)) {
            token.destroy(object);
        }
    }
}

class SoakTest : public ReadyTokenTest, public ::testing::WithParamInterface<SoakCase> {};

bool generate(ReadyTokenTest& t, const char* ekuList) {
    Subject subject = sampleSubject();
    unsigned char* request = nullptr;
    CK_ULONG length = 0;
    const int code =
        ekuList == nullptr
            ? t.kp.genCertRequests(kDefaultPin, "soak", "soak", subject.array(), subject.count(),
                                   &request, &length)
            : t.kp.genCertRequestsEKU(kDefaultPin, "soak", "soak", ekuList, subject.array(),
                                      subject.count(), &request, &length);
    t.kp.freeBuffMemory(request);
    return code == RES_OK && length > 0;
}

TEST_P(SoakTest, ThousandCallsLeaveNothingBehind) {
    const std::filesystem::path journal = store.dir() / "journal";
    ScopedEnv journalEnv("SOFTTOKEN_JOURNAL", journal.string());
    int failures = 0;
    for (int i = 0; i < 1000; ++i) {
        failures += GetParam().once(*this) ? 0 : 1;
        if (GetParam().addedLabel != nullptr && i % 10 == 9) {
            removeObjects(GetParam().addedLabel);
        }
    }
    EXPECT_EQ(failures, 0);

    // Every initialisation finalised, every session closed.
    std::map<std::string, int> counts;
    std::istringstream lines(readText(journal));
    std::string partition, name, rv;
    while (lines >> partition >> name >> rv) {
        ++counts[partition + " " + name];
    }
    for (const char* part : {"gost", "pki"}) {
        const std::string p = part;
        EXPECT_EQ(counts[p + " C_Initialize"], counts[p + " C_Finalize"]) << p;
        EXPECT_EQ(counts[p + " C_OpenSession"], counts[p + " C_CloseSession"]) << p;
    }
    EXPECT_GE(counts["gost C_Initialize"] + counts["pki C_Initialize"], 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Exports, SoakTest,
    ::testing::Values(
        SoakCase{"GenCertRequests", [](ReadyTokenTest& fx) { return generate(fx, nullptr); },
                 "soak"},
        SoakCase{"GenCertRequestsEKU",
                 [](ReadyTokenTest& fx) { return generate(fx, "1.3.6.1.5.5.7.3.2"); }, "soak"},
        SoakCase{"InstallCertificate",
                 [](ReadyTokenTest& fx) {
                     const Bytes value{0x30, 0x01, 0x00};
                     return fx.kp.installCertificate(kDefaultPin, "soak", "soak", value.data(),
                                                     value.size()) == RES_OK;
                 },
                 "soak"},
        SoakCase{"GetTokenCertificates",
                 [](ReadyTokenTest& fx) { return !fx.kp.certificates().empty(); }},
        SoakCase{"GetTokenCertificatesPKI",
                 [](ReadyTokenTest& fx) { return fx.kp.certificates(true).size() == 1; }},
        SoakCase{"GetTokenPublicKeys",
                 [](ReadyTokenTest& fx) { return fx.kp.publicKeys().size() == 1; }},
        SoakCase{"GetSign", [](ReadyTokenTest& fx) { return fx.sign() == RES_OK; }}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(ReadyTokenTest, TwoThreadsAtOnceGetCorrectResults) {
    std::atomic<int> wrong{0};
    std::thread lister([&] {
        for (int i = 0; i < 100; ++i) {
            wrong += kp.certificates() == std::vector<Bytes>{certificate} ? 0 : 1;
            wrong += kp.publicKeys().size() == 1 ? 0 : 1;
        }
    });
    std::thread signer([&] {
        for (int i = 0; i < 100; ++i) {
            wrong += sign() == RES_OK ? 0 : 1;
        }
    });
    lister.join();
    signer.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace kptest
