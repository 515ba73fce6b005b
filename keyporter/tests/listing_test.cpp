#include "fixtures.h"
#include "request_info.h"

#include <gmock/gmock.h>

#include <algorithm>

namespace kptest {
namespace {

using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAreArray;

namespace fs = std::filesystem;

Bytes certificateOfSize(std::size_t size, unsigned char mark) {
    Bytes value(size, mark);
    value[0] = 0x30;
    return value;
}

// Certificate values in the order the token's own search returns them.
std::vector<Bytes> searchOrder(CK_OBJECT_CLASS objectClass) {
    ModuleSession token;
    std::vector<Bytes> values;
    for (CK_OBJECT_HANDLE object : token.find(objectClass)) {
        values.push_back(token.attribute(object, CKA_VALUE));
    }
    return values;
}

TEST_F(TokenTest, AtMost128CertificatesAreListed) {
    {
        ModuleSession token;
        for (int i = 0; i < 130; ++i) {
            token.addCertificate(certificateOfSize(40, static_cast<unsigned char>(i)));
        }
    }
    std::vector<Bytes> expected = searchOrder(CKO_CERTIFICATE);
    ASSERT_EQ(expected.size(), 130u);
    expected.resize(128);
    EXPECT_EQ(kp.certificates(), expected);
}

struct SizeCase {
    std::size_t size;
    bool listed;
};

void PrintTo(const SizeCase& c, std::ostream* out) {
    *out << c.size << " bytes";
}

class CertificateSizeTest : public TokenTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(CertificateSizeTest, ValuesBeyondTheBufferAreLeftOut) {
    {
        ModuleSession token;
        token.addCertificate(certificateOfSize(100, 'a'));
        token.addCertificate(certificateOfSize(GetParam().size, 'b'));
        token.addCertificate(certificateOfSize(200, 'c'));
    }
    std::vector<Bytes> expected;
    for (const Bytes& value : searchOrder(CKO_CERTIFICATE)) {
        if (value.size() <= 8192) {
            expected.push_back(value);
        }
    }
    CK_ULONG count = 0;
    TokenCertificate* list = kp.getTokenCertificates(&count);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(count, GetParam().listed ? 3u : 2u);
    std::vector<Bytes> listed;
    for (CK_ULONG i = 0; i < count; ++i) {
        listed.emplace_back(list[i].data, list[i].data + list[i].length);
    }
    EXPECT_EQ(listed, expected);
    if (!GetParam().listed) {
        EXPECT_EQ(list[2].length, 0u);
        EXPECT_EQ(list[2].data, nullptr);
    }
    kp.freeTokenCertificates(list, count);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CertificateSizeTest,
                         ::testing::Values(SizeCase{8192, true}, SizeCase{8193, false},
                                           SizeCase{20000, false}));

TEST_F(TokenTest, UnreadableCertificatesOnlyGiveAnEmptyArray) {
    {
        ModuleSession token;
        token.addCertificate(certificateOfSize(9000, 'x'));
    }
    CK_ULONG count = 7;
    TokenCertificate* list = kp.getTokenCertificates(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(list[0].length, 0u);
    EXPECT_EQ(list[0].data, nullptr);
    kp.freeTokenCertificates(list, 0);
}

TEST_F(TokenTest, EmptyTokenListsNothing) {
    CK_ULONG count = 7;
    EXPECT_EQ(kp.getTokenCertificates(&count), nullptr);
    EXPECT_EQ(count, 0u);
    unsigned char* keys = reinterpret_cast<unsigned char*>(&count);
    EXPECT_EQ(kp.getTokenPublicKeys(&keys), 0);
    EXPECT_EQ(keys, nullptr);
}

TEST_F(TokenTest, PublicKeyRecordsArePaddedAndUnreadableOnesLeaveZeroRecords) {
    {
        ModuleSession token;
        token.addPublicKey(Bytes(32, 0x11));
        token.addPublicKey(Bytes(128, 0x22));
        token.addPublicKey(Bytes(64, 0x33));
    }
    std::vector<Bytes> expected;
    for (Bytes value : searchOrder(CKO_PUBLIC_KEY)) {
        if (value.size() <= 64) {
            value.resize(64, 0);
            expected.push_back(value);
        }
    }
    expected.emplace_back(64, 0);
    EXPECT_EQ(kp.publicKeys(), expected);
}

TEST_F(TokenTest, PkiListingReadsThePkiPartition) {
    store.initToken("pki", kDefaultPin, 0, "pki");
    const Bytes onGost = certificateOfSize(50, 'g');
    const Bytes onPki = certificateOfSize(60, 'p');
    {
        ModuleSession gost;
        gost.addCertificate(onGost);
    }
    {
        ModuleSession pki(binDir() / "libasepkcs.so");
        pki.addCertificate(onPki);
    }
    EXPECT_EQ(kp.certificates(true), std::vector<Bytes>{onPki});
    EXPECT_EQ(kp.certificates(false), std::vector<Bytes>{onGost});
}

// Runs the probe over a KeyPorter with `libraryPath` as the whole library search path.
CommandResult probe(const fs::path& keyPorter, const fs::path& libraryPath,
                    const std::vector<std::string>& env = {}) {
    std::vector<std::string> fullEnv{"LD_LIBRARY_PATH=" + libraryPath.string()};
    fullEnv.insert(fullEnv.end(), env.begin(), env.end());
    return runCommand({(binDir() / "keyporter_pki_probe").string(), keyPorter.string()}, fullEnv);
}

TEST(PkiListing, AbsentLibraryGivesNullAndZero) {
    TempDir alone;
    TempDir emptyPath;
    for (const char* file : {"libKeyPorter.so", "libsofttoken.so"}) {
        fs::copy_file(binDir() / file, alone.path() / file);
    }
    ASSERT_FALSE(fs::exists(alone.path() / "libasepkcs.so"));
    const CommandResult result = probe(alone.path() / "libKeyPorter.so", emptyPath.path());
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "null 0\n");
}

TEST(PkiListing, ThirdPartyModuleListsExactlyItsCertificates) {
    const fs::path softhsm = "/usr/lib/softhsm/libsofthsm2.so";
    ASSERT_TRUE(fs::exists(softhsm)) << "softhsm2 is not installed";
    TempDir dir;
    fs::create_directory(dir.path() / "tokens");
    const fs::path conf = dir.path() / "softhsm2.conf";
    writeText(conf, "directories.tokendir = " + (dir.path() / "tokens").string() +
                        "\nobjectstore.backend = file\nlog.level = ERROR\n");
    ScopedEnv confEnv("SOFTHSM2_CONF", conf.string());
    auto mustRun = [](const std::vector<std::string>& argv) {
        const CommandResult result = runCommand(argv);
        ASSERT_EQ(result.exitCode, 0) << argv[0] << ": " << result.output;
    };
    mustRun({"softhsm2-util", "--init-token", "--free", "--label", "pki", "--so-pin", "12345678",
             "--pin", "1234"});
    const TestCa first;
    const TestCa second;
    std::vector<std::string> expected;
    int n = 0;
    for (const TestCa* ca : {&first, &second}) {
        const Bytes der = ca->certificateDer();
        const fs::path file = dir.path() / ("cert" + std::to_string(++n) + ".der");
        writeBytes(file, der);
        mustRun({"pkcs11-tool", "--module", softhsm.string(), "--login", "--pin", "1234",
                 "--write-object", file.string(), "--type", "cert", "--label",
                 "cert" + std::to_string(n), "--id", "0" + std::to_string(n)});
        expected.push_back(toHex(der));
    }
    fs::create_directory(dir.path() / "lib");
    fs::create_symlink(softhsm, dir.path() / "lib" / "libasepkcs.so");

    const CommandResult result = probe(binDir() / "libKeyPorter.so", dir.path() / "lib");
    ASSERT_EQ(result.exitCode, 0) << result.output;
    std::istringstream lines(result.output);
    std::string kind;
    CK_ULONG count = 0;
    lines >> kind >> count;
    EXPECT_EQ(kind, "list");
    std::vector<std::string> listed;
    for (std::string line; lines >> line;) {
        listed.push_back(line);
    }
    EXPECT_EQ(count, listed.size());
    EXPECT_THAT(listed, UnorderedElementsAreArray(expected));
}

}  // namespace
}  // namespace kptest
