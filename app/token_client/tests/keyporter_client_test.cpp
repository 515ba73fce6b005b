// The client over the real KeyPorter and the software token, bound by its ordinary file name.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/token_client.h"
#include "test_support.h"

namespace certdesk {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;

constexpr const char* kLibrary = "libKeyPorter.so";
constexpr const char* kPin = kptest::kDefaultPin;
constexpr const char* kTag = "007701234567-770101001";
constexpr const char* kOrganisation = "ООО «Ромашка»";  // reaches the token as UTF-8

const std::vector<std::string> kSubject = {"CN", kOrganisation,       "C",
                                           "RU", "1.2.643.3.131.1.1", "007701234567"};

bool IsLoaded() {
    void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
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

std::string Text(const kptest::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

kptest::Bytes BytesOf(const std::string& text) {
    return kptest::Bytes(text.begin(), text.end());
}

// The length a DER encoding's header announces, header included.
std::size_t DerLength(const std::string& der) {
    const auto byte = [&der](std::size_t index) { return static_cast<unsigned char>(der[index]); };
    if (der.size() < 2) {
        return 0;
    }
    if (byte(1) < 0x80) {
        return 2 + byte(1);
    }
    const std::size_t octets = byte(1) & 0x7f;
    std::size_t length = 0;
    for (std::size_t index = 0; index < octets && 2 + index < der.size(); ++index) {
        length = length * 256 + byte(2 + index);
    }
    return 2 + octets + length;
}

// The DER bytes of a request the token gave in PEM or in DER; empty when PEM does not decode or
// text follows the PEM block.
std::string RequestDer(const std::string& request) {
    if (request.rfind("-----BEGIN", 0) != 0) {
        return request;
    }
    BIO* bio = BIO_new_mem_buf(request.data(), static_cast<int>(request.size()));
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    std::string der;
    if (PEM_read_bio(bio, &name, &header, &data, &length) == 1 &&
        std::string(name) == "CERTIFICATE REQUEST" && BIO_pending(bio) == 0) {
        der.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    BIO_free(bio);
    return der;
}

class KeyPorterClientTest : public ::testing::Test {
  protected:
    void SetUp() override { store_.initToken(); }
    void TearDown() override { TokenLibraryUnpin(); }

    // A certificate of the test CA for a new key pair, written to the token.
    std::string InstalledCertificate() {
        const std::string request = TokenGenCertRequests(kPin, kTag, kTag, kSubject);
        const std::string certificate = Text(ca_.issue(BytesOf(request)));
        TokenInstallCertificate(kPin, kTag, kTag, certificate);
        return certificate;
    }

    kptest::SoftTokenStore store_;
    kptest::TestCa ca_;
};

TEST_F(KeyPorterClientTest, FreshTokenListsNothing) {
    std::vector<std::string> keys = {"earlier"};
    std::vector<std::string> certificates = {"earlier"};
    TokenGetPublicKeys(keys);
    TokenGetCertificates(certificates, TokenPartition::Gost);
    EXPECT_THAT(keys, ElementsAre("earlier"));
    EXPECT_THAT(certificates, ElementsAre("earlier"));
}

struct RequestCase {
    const char* name;
    bool withEku;
    const char* ekuList;
    const char* usage;        // a key purpose certtool must show in the request
    const char* absentUsage;  // and one it must not
};

class KeyPorterRequest : public KeyPorterClientTest,
                         public ::testing::WithParamInterface<RequestCase> {};

TEST_P(KeyPorterRequest, CopiesTheWholeRequestAndListsItsKey) {
    const RequestCase& param = GetParam();
    const std::string request =
        param.withEku ? TokenGenCertRequestsEKU(kPin, kTag, kTag, param.ekuList, kSubject)
                      : TokenGenCertRequests(kPin, kTag, kTag, kSubject);

    const std::string der = RequestDer(request);
    ASSERT_FALSE(der.empty()) << request;
    EXPECT_EQ(static_cast<unsigned char>(der[0]), 0x30);
    EXPECT_EQ(DerLength(der), der.size());
    EXPECT_THAT(der, HasSubstr(kOrganisation));

    std::vector<std::string> keys;
    TokenGetPublicKeys(keys);
    ASSERT_THAT(keys, SizeIs(1));
    EXPECT_THAT(keys[0], SizeIs(64));
    EXPECT_THAT(der, HasSubstr(keys[0])) << "the listed key is the request's key";

    kptest::TempDir dir;
    kptest::writeBytes(dir.path() / "request.der", BytesOf(der));
    const kptest::CommandResult info = kptest::runCommand(
        {"certtool", "--crq-info", "--inder", "--infile", (dir.path() / "request.der").string()});
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_THAT(info.output, HasSubstr(param.usage));
    EXPECT_THAT(info.output, Not(HasSubstr(param.absentUsage)));
    EXPECT_FALSE(IsLoaded());
}

INSTANTIATE_TEST_SUITE_P(
    Exports, KeyPorterRequest,
    ::testing::Values(
        RequestCase{"BuiltInUsages", false, "", "1.2.643.3.6.0.15", "1.2.643.3.6.0.6"},
        RequestCase{"EmptyUsageList", true, "", "1.2.643.3.6.0.15", "1.2.643.3.6.0.6"},
        RequestCase{"SixMonths", true, "1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2,1.2.643.3.6.0.6",
                    "1.2.643.3.6.0.6", "1.2.643.3.6.0.15"}),
    [](const ::testing::TestParamInfo<RequestCase>& caseInfo) { return caseInfo.param.name; });

TEST_F(KeyPorterClientTest, InstalledCertificateIsListedAndSigns) {
    const std::string certificate = InstalledCertificate();

    std::vector<std::string> certificates;
    TokenGetCertificates(certificates, TokenPartition::Gost);
    EXPECT_THAT(certificates, ElementsAre(certificate));

    const std::string signature = TokenSign(kPin, "TestData", certificate);
    EXPECT_GT(signature.size(), certificate.size());
    EXPECT_EQ(DerLength(signature), signature.size());

    kptest::TempDir dir;
    kptest::writeBytes(dir.path() / "signature.der", BytesOf(signature));
    kptest::writeText(dir.path() / "data", "TestData");
    const kptest::CommandResult verified = kptest::runCommand(
        {"certtool", "--p7-verify", "--inder", "--infile", (dir.path() / "signature.der").string(),
         "--load-data", (dir.path() / "data").string(), "--load-ca-certificate",
         ca_.certificateFile().string()});
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
    EXPECT_FALSE(IsLoaded());
}

TEST_F(KeyPorterClientTest, TokenFailuresRaiseTheirMessages) {
    const std::string certificate = InstalledCertificate();
    const std::string foreign = Text(kptest::readBytes(ca_.certificateFile()));

    EXPECT_EQ(ErrorOf([] { TokenGenCertRequests("0000", kTag, kTag, kSubject); }),
              "Ошибка подключения к токену");
    EXPECT_EQ(ErrorOf([&] { TokenInstallCertificate("0000", kTag, kTag, certificate); }),
              "Ошибка подключения к токену");
    EXPECT_EQ(ErrorOf([&] { TokenSign(kPin, "TestData", foreign); }),
              "Указанный сертификат не установлен на jaCarta!");
    store_.util({"remove-token"});
    EXPECT_EQ(ErrorOf([&] { TokenInstallCertificate(kPin, kTag, kTag, certificate); }),
              "Ошибка получения слота с доступным токеном");
    EXPECT_FALSE(IsLoaded());
}

TEST_F(KeyPorterClientTest, PkiPartitionIsListedThroughItsOwnLibrary) {
    const kptest::Bytes certificate = kptest::readBytes(ca_.certificateFile());
    store_.initToken("pki", kPin, 0, "pki");
    {
        kptest::ModuleSession pki(kptest::binDir() / "libasepkcs.so");
        pki.addCertificate(certificate);
    }
    std::vector<std::string> certificates = {"earlier"};
    TokenGetCertificates(certificates, TokenPartition::Pki);
    EXPECT_THAT(certificates, ElementsAre("earlier", Text(certificate)));

    certificates.clear();
    TokenGetCertificates(certificates, TokenPartition::Gost);
    EXPECT_THAT(certificates, IsEmpty());
}

TEST_F(KeyPorterClientTest, PinnedLibraryStaysForTheWholeSequence) {
    ASSERT_TRUE(TokenHasEKUSupport());
    ASSERT_TRUE(IsLoaded());
    void* probed = dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD);
    dlclose(probed);
    dlclose(probed);
    ASSERT_FALSE(IsLoaded()) << "the probe holds one reference";

    TokenLibraryPin();
    InstalledCertificate();
    std::vector<std::string> keys;
    TokenGetPublicKeys(keys);
    EXPECT_THAT(keys, SizeIs(1));
    EXPECT_TRUE(IsLoaded());
    TokenLibraryUnpin();
    EXPECT_FALSE(IsLoaded());
}

}  // namespace
}  // namespace certdesk
