#include "fixtures.h"
#include "request_info.h"

#include <gmock/gmock.h>

namespace kptest {
namespace {

using ::testing::ElementsAreArray;

const std::vector<std::string> kBuiltInUsage{
    "1.3.6.1.5.5.7.3.4", "1.3.6.1.5.5.7.3.2", "1.2.643.2.2.34.6", "1.2.643.5.1.28.2",
    "1.2.643.5.1.28.3",  "1.2.643.5.1.28.4",  "1.2.643.3.6.0.15", "1.2.643.3.6.78.4.5"};

std::vector<std::pair<std::string, std::string>> expectedSubject() {
    // Short names come back as the OIDs they stand for.
    const std::map<std::string, std::string> oids{{"CN", "2.5.4.3"}, {"C", "2.5.4.6"},
                                                  {"ST", "2.5.4.8"}, {"L", "2.5.4.7"},
                                                  {"O", "2.5.4.10"}, {"OU", "2.5.4.11"}};
    const Subject sample = sampleSubject();
    const std::vector<std::string>& strings = sample.strings();
    std::vector<std::pair<std::string, std::string>> subject;
    for (std::size_t i = 0; i + 1 < strings.size(); i += 2) {
        auto known = oids.find(strings[i]);
        subject.emplace_back(known == oids.end() ? strings[i] : known->second, strings[i + 1]);
    }
    return subject;
}

TEST_F(TokenTest, RequestCarriesSubjectBytesAndFourExtensions) {
    const Bytes request = makeRequest("7701234567-770101001");
    const RequestInfo info = readRequest(request);

    EXPECT_THAT(info.subject, ElementsAreArray(expectedSubject()));
    ASSERT_EQ(info.extensions.size(), 4u);
    // digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment
    EXPECT_EQ(toHex(info.extensions.at("2.5.29.15")), "030204F0");
    EXPECT_THAT(info.extendedKeyUsage, ElementsAreArray(kBuiltInUsage));
    EXPECT_EQ(toHex(info.extensions.at("1.2.643.100.111")),
              "0C59D0A1D09AD097D09820C2ABD09AD180D0B8D0BFD182D0BED182D0BED0BAD0B5D0BDC2BB20D0B2"
              "20D181D0BED181D182D0B0D0B2D0B520D0B8D0B7D0B4D0B5D0BBD0B8D18F20C2AB4A61436172746120"
              "D093D09ED0A1D0A2C2BB");
    EXPECT_EQ(toHex(info.extensions.at("2.5.29.32")),
              "3014300806062A8503647101300806062A8503647102");

    // An independent reader sees the same request.
    TempDir dir;
    writeBytes(dir.path() / "request.req", request);
    const CommandResult shown =
        runCommand({"certtool", "--crq-info", "--infile", (dir.path() / "request.req").string()});
    ASSERT_EQ(shown.exitCode, 0) << shown.output;
    for (const char* expected :
         {"Self signature: verified", "Digital signature.", "Key encipherment.",
          "Data encipherment.", "Non repudiation.", "Email protection.", "TLS WWW Client.",
          "1.2.643.3.6.78.4.5", "Subject Signing Tool",
          "СКЗИ «Криптотокен» в составе изделия «JaCarta ГОСТ»", "1.2.643.100.113.1",
          "1.2.643.100.113.2", "surName=Иванов", "title=Генеральный директор"}) {
        EXPECT_NE(shown.output.find(expected), std::string::npos) << expected << "\n"
                                                                  << shown.output;
    }
}

struct EkuCase {
    const char* name;
    const char* ekuList;
    std::vector<std::string> expectedUsage;
};

void PrintTo(const EkuCase& c, std::ostream* out) {
    *out << c.name;
}

class ExtendedKeyUsageTest : public TokenTest, public ::testing::WithParamInterface<EkuCase> {};

TEST_P(ExtendedKeyUsageTest, ListReplacesOnlyTheExtendedKeyUsage) {
    const RequestInfo plain = readRequest(makeRequest("tag"));
    const RequestInfo withList = readRequest(makeRequest("tag", GetParam().ekuList));

    EXPECT_THAT(withList.extendedKeyUsage, ElementsAreArray(GetParam().expectedUsage));
    auto others = [](std::map<std::string, Bytes> extensions) {
        extensions.erase("2.5.29.37");
        return extensions;
    };
    EXPECT_EQ(others(withList.extensions), others(plain.extensions));
    EXPECT_EQ(withList.extensions.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ExtendedKeyUsageTest,
    ::testing::Values(EkuCase{"Empty", "", kBuiltInUsage},
                      EkuCase{"Given",
                              "1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.100.114.36",
                              {"1.3.6.1.5.5.7.3.2", "1.2.643.2.2.34.6", "1.2.643.100.114.36"}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(TokenTest, EachCallAddsAKeyPairWithLabelAndId) {
    const std::string tag = "7701234567-770101001";
    makeRequest(tag);
    makeRequest(tag);

    ModuleSession token;
    for (CK_OBJECT_CLASS objectClass : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        const std::vector<CK_OBJECT_HANDLE> keys = token.find(objectClass);
        ASSERT_EQ(keys.size(), 2u) << "class " << objectClass;
        for (CK_OBJECT_HANDLE key : keys) {
            EXPECT_EQ(token.attribute(key, CKA_LABEL), Bytes(tag.begin(), tag.end()));
            EXPECT_EQ(token.attribute(key, CKA_ID), Bytes(tag.begin(), tag.end()));
            EXPECT_EQ(toHex(token.attribute(key, CKA_GOSTR3410_PARAMS)), "06072A850302022301");
        }
    }
}

TEST_F(TokenTest, EmptyLabelAndIdAreStoredEmpty) {
    makeRequest("");
    ModuleSession token;
    const std::vector<CK_OBJECT_HANDLE> keys = token.find(CKO_PUBLIC_KEY);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_TRUE(token.attribute(keys[0], CKA_LABEL).empty());
    EXPECT_TRUE(token.attribute(keys[0], CKA_ID).empty());
}

TEST_F(TokenTest, FailingRequestKeepsTheKeyPairAndTheOutParameters) {
    ScopedEnv fail("SOFTTOKEN_FAIL", "gost:createCSR=0x5");
    Subject subject = sampleSubject();
    unsigned char sentinel = 0;
    unsigned char* request = &sentinel;
    CK_ULONG length = 77;
    EXPECT_EQ(kp.genCertRequests(kDefaultPin, "tag", "tag", subject.array(), subject.count(),
                                 &request, &length),
              RES_ERR_CREATE_REQUEST);
    EXPECT_EQ(request, &sentinel);
    EXPECT_EQ(length, 77u);

    ModuleSession token;
    EXPECT_EQ(token.find(CKO_PUBLIC_KEY, "tag").size(), 1u);
    EXPECT_EQ(token.find(CKO_PRIVATE_KEY, "tag").size(), 1u);
}

TEST_F(TokenTest, PublicKeyListingReturnsTheRequestsKey) {
    const RequestInfo info = readRequest(makeRequest("tag"));
    ASSERT_EQ(info.publicKey.size(), 64u);
    EXPECT_THAT(kp.publicKeys(), ElementsAreArray({info.publicKey}));
}

}  // namespace
}  // namespace kptest
