#include "fixtures.h"
#include "request_info.h"

#include <gmock/gmock.h>

#include <functional>

namespace kptest {
namespace {

using ::testing::Contains;

// A token holding a key pair and the certificate the test CA issued for it.
class IssuedCertificateTest : public TokenTest {
  protected:
    IssuedCertificateTest() {
        certificate = ca.issue(makeRequest(tag));
        EXPECT_EQ(kp.installCertificate(kDefaultPin, tag.c_str(), tag.c_str(), certificate.data(),
                                        certificate.size()),
                  RES_OK);
    }

    // Runs certtool --p7-verify over a DER signature; detached ones get the data beside.
    CommandResult verify(const Bytes& signature, bool detached) {
        TempDir dir;
        writeBytes(dir.path() / "signature.p7s", signature);
        writeBytes(dir.path() / "data.bin", data);
        std::vector<std::string> argv{"certtool",
                                      "--p7-verify",
                                      "--inder",
                                      "--infile",
                                      (dir.path() / "signature.p7s").string(),
                                      "--load-ca-certificate",
                                      ca.certificateFile().string()};
        if (detached) {
            argv.insert(argv.end(), {"--load-data", (dir.path() / "data.bin").string()});
        }
        return runCommand(argv);
    }

    const std::string tag = "7701234567-770101001";
    TestCa ca;
    Bytes certificate;
    const Bytes data{'t', 'e', 's', 't', ' ', 0x00, 0xD0, 0x9F, '\n'};
};

TEST_F(IssuedCertificateTest, InstalledCertificateIsListedWithTheKeyPairsLabelAndId) {
    EXPECT_THAT(kp.certificates(), Contains(certificate));
    ModuleSession token;
    const std::vector<CK_OBJECT_HANDLE> objects = token.find(CKO_CERTIFICATE, tag);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(token.attribute(objects[0], CKA_ID), Bytes(tag.begin(), tag.end()));
    EXPECT_EQ(token.attribute(objects[0], CKA_VALUE), certificate);
}

TEST_F(IssuedCertificateTest, InstallingTwiceMakesASecondObject) {
    EXPECT_EQ(kp.installCertificate(kDefaultPin, tag.c_str(), tag.c_str(), certificate.data(),
                                    certificate.size()),
              RES_OK);
    EXPECT_EQ(kp.certificates(), (std::vector<Bytes>{certificate, certificate}));
}

struct SignCase {
    const char* name;
    std::function<int(const KeyPorterLibrary&, const char* pin, const Bytes& certificate,
                      const Bytes& data, unsigned char** signature, CK_ULONG* length)>
        call;
    bool detached;
};

void PrintTo(const SignCase& c, std::ostream* out) {
    *out << c.name;
}

int viaGetSign(const KeyPorterLibrary& kp, const char* pin, const Bytes& certificate,
               const Bytes& data, unsigned char** signature, CK_ULONG* length) {
    return kp.getSign(pin, certificate.data(), certificate.size(), data.data(), data.size(),
                      signature, length);
}

auto viaGetSignEx(int detached) {
    return [detached](const KeyPorterLibrary& kp, const char* pin, const Bytes& certificate,
                      const Bytes& data, unsigned char** signature, CK_ULONG* length) {
        return kp.getSignEx(pin, certificate.data(), certificate.size(), data.data(), data.size(),
                            detached, signature, length);
    };
}

class SignTest : public IssuedCertificateTest, public ::testing::WithParamInterface<SignCase> {};

TEST_P(SignTest, SignatureVerifiesWithTheIssuedCertificate) {
    unsigned char* signature = nullptr;
    CK_ULONG length = 0;
    ASSERT_EQ(GetParam().call(kp, kDefaultPin, certificate, data, &signature, &length), RES_OK);
    const Bytes copy(signature, signature + length);
    kp.freeBuffMemory(signature);

    const SignatureInfo info = readSignature(copy);
    EXPECT_EQ(info.detached, GetParam().detached);
    EXPECT_EQ(info.content, GetParam().detached ? Bytes{} : data);
    const CommandResult verified = verify(copy, GetParam().detached);
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
}

TEST_P(SignTest, UnknownCertificateAndWrongPinLeaveTheOutParameters) {
    Bytes other = certificate;
    other.back() ^= 0x01;
    const struct {
        const char* pin;
        const Bytes& certificate;
        int expected;
    } cases[]{
        {kDefaultPin, other, RES_ERR_CERT_NOT_FOUND},
        {"0000", other, RES_ERR_LOGIN},
        {"0000", certificate, RES_ERR_LOGIN},
    };
    for (const auto& c : cases) {
        unsigned char sentinel = 0;
        unsigned char* signature = &sentinel;
        CK_ULONG length = 5;
        EXPECT_EQ(GetParam().call(kp, c.pin, c.certificate, data, &signature, &length), c.expected)
            << c.pin;
        EXPECT_EQ(signature, &sentinel);
        EXPECT_EQ(length, 5u);
    }
}

INSTANTIATE_TEST_SUITE_P(Exports, SignTest,
                         ::testing::Values(SignCase{"GetSign", viaGetSign, true},
                                           SignCase{"GetSignExAttached", viaGetSignEx(0), false},
                                           SignCase{"GetSignExDetached", viaGetSignEx(1), true},
                                           SignCase{"GetSignExTwo", viaGetSignEx(2), true}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(IssuedCertificateTest, EmptyDataIsSigned) {
    unsigned char* signature = nullptr;
    CK_ULONG length = 0;
    ASSERT_EQ(kp.getSignEx(kDefaultPin, certificate.data(), certificate.size(), data.data(), 0, 0,
                           &signature, &length),
              RES_OK);
    const Bytes copy(signature, signature + length);
    kp.freeBuffMemory(signature);
    EXPECT_TRUE(readSignature(copy).content.empty());
}

TEST_F(TokenTest, WrongPinIsRefusedBeforeAnyWork) {
    Subject subject = sampleSubject();
    unsigned char* request = nullptr;
    CK_ULONG length = 0;
    const Bytes junk{0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(
        kp.genCertRequests("1111", "t", "t", subject.array(), subject.count(), &request, &length),
        RES_ERR_LOGIN);
    EXPECT_EQ(kp.genCertRequestsEKU("1111", "t", "t", "1.2.3", subject.array(), subject.count(),
                                    &request, &length),
              RES_ERR_LOGIN);
    EXPECT_EQ(kp.installCertificate("1111", "t", "t", junk.data(), junk.size()), RES_ERR_LOGIN);
    EXPECT_EQ(request, nullptr);
    ModuleSession token;
    EXPECT_TRUE(token.find(CKO_PUBLIC_KEY).empty());
    EXPECT_TRUE(token.find(CKO_CERTIFICATE).empty());
}

}  // namespace
}  // namespace kptest
