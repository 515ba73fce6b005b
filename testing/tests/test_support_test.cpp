#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "certdesk/test_support.h"

namespace certdesk::test {
namespace {

namespace fs = std::filesystem;

struct CommandCase {
    const char* name;
    std::vector<std::string> argv;
    std::vector<std::string> extraEnv;
    int exitCode;
    std::string output;
};

class RunCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(RunCommandTest, GivesTheExitStatusAndBothStreams) {
    const CommandCase& c = GetParam();
    const ScopedEnv kept("CERTDESK_TEST_KEPT", "outer");
    CommandResult result = runCommand(c.argv, c.extraEnv);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.output, c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunCommandTest,
    ::testing::Values(
        CommandCase{"BothStreamsInOrder",
                    {"sh", "-c", "echo out; echo err >&2; exit 3"},
                    {},
                    3,
                    "out\nerr\n"},
        CommandCase{"ArgumentsAreNotSplit", {"printf", "[%s]", "a b", "'c'"}, {}, 0, "[a b]['c']"},
        CommandCase{"ExtraEnvironmentReplacesAValue",
                    {"sh", "-c", "echo $CERTDESK_TEST_KEPT $CERTDESK_TEST_NEW"},
                    {"CERTDESK_TEST_KEPT=inner", "CERTDESK_TEST_NEW=new"},
                    0,
                    "inner new\n"},
        CommandCase{
            "EnvironmentIsInherited", {"sh", "-c", "echo $CERTDESK_TEST_KEPT"}, {}, 0, "outer\n"},
        CommandCase{"KilledProgram", {"sh", "-c", "kill -9 $$"}, {}, -1, ""},
        CommandCase{"MissingProgram", {"certdesk-no-such-program"}, {}, 127, ""}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ShellQuoteTest, TheShellGetsTheTextBack) {
    for (const std::string text : {"", "plain", "two words", "it's", "'", "$HOME `x` \\ \"q\""}) {
        CommandResult result = runCommand({"sh", "-c", "printf %s " + shellQuote(text)});
        EXPECT_EQ(result.output, text);
    }
}

TEST(ScopedEnvTest, RestoresTheOldValueOrItsAbsence) {
    unsetenv("CERTDESK_TEST_VAR");
    {
        const ScopedEnv set("CERTDESK_TEST_VAR", "one");
        EXPECT_STREQ(std::getenv("CERTDESK_TEST_VAR"), "one");
        {
            const ScopedEnv unset("CERTDESK_TEST_VAR", std::nullopt);
            EXPECT_EQ(std::getenv("CERTDESK_TEST_VAR"), nullptr);
        }
        EXPECT_STREQ(std::getenv("CERTDESK_TEST_VAR"), "one");
    }
    EXPECT_EQ(std::getenv("CERTDESK_TEST_VAR"), nullptr);
}

TEST(TempDirTest, RemovesEverythingInside) {
    std::filesystem::path kept;
    {
        TempDir dir;
        kept = dir.path();
        std::filesystem::create_directory(dir.path() / "sub");
        writeText(dir.path() / "sub" / "file", "text");
        EXPECT_EQ(readText(dir.path() / "sub" / "file"), "text");
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
    EXPECT_THROW(readText(kept / "sub" / "file"), std::runtime_error);
}

TEST(HexTest, RoundTripsEveryByte) {
    Bytes all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<unsigned char>(b));
    }
    EXPECT_EQ(hex({0x00, 0x0f, 0xa5, 0xff}), "000fa5ff");
    EXPECT_EQ(fromHex(hex(all)), all);
    EXPECT_EQ(fromHex("0A0"), Bytes{0x0a});
}

TEST(TestCaTest, IssuesForPemAndDerRequestsWithTheGivenValidity) {
    TempDir dir;
    const std::string key = (dir.path() / "user.key").string();
    const std::string pem = (dir.path() / "user.req").string();
    const std::string der = (dir.path() / "user.der").string();
    writeText(dir.path() / "user.tmpl", "cn = \"User\"\n");
    ASSERT_EQ(
        runCommand({"certtool", "--generate-privkey", "--key-type", "gost12-256", "--outfile", key})
            .exitCode,
        0);
    ASSERT_EQ(runCommand({"certtool", "--generate-request", "--load-privkey", key, "--template",
                          (dir.path() / "user.tmpl").string(), "--outfile", pem})
                  .exitCode,
              0);
    ASSERT_EQ(runCommand({"certtool", "--crq-info", "--infile", pem, "--outder", "--outfile", der})
                  .exitCode,
              0);

    TestCa ca(7);
    const fs::path fromDer = dir.path() / "from-der.pem";
    const fs::path fromPem = dir.path() / "from-pem.pem";
    writeBytes(dir.path() / "issued.der", ca.issue(readBytes(der)));
    ASSERT_EQ(runCommand({"certtool", "--certificate-info", "--inder", "--infile",
                          (dir.path() / "issued.der").string(), "--outfile", fromDer.string()})
                  .exitCode,
              0);
    writeText(fromPem, ca.issuePem(readBytes(pem)));
    for (const fs::path& issued : {fromDer, fromPem}) {
        CommandResult verified =
            runCommand({"certtool", "--verify", "--load-ca-certificate",
                        ca.certificateFile().string(), "--infile", issued.string()});
        EXPECT_EQ(verified.exitCode, 0) << verified.output;
        EXPECT_NE(verified.output.find("Subject: CN=User"), std::string::npos) << verified.output;
        // Valid for seven days: still after six, no longer after eight.
        for (auto [days, expires] : {std::pair{6, 0}, std::pair{8, 1}}) {
            EXPECT_EQ(runCommand({"openssl", "x509", "-noout", "-in", issued.string(), "-checkend",
                                  std::to_string(days * 86400)})
                          .exitCode,
                      expires)
                << days;
        }
    }
    EXPECT_EQ(ca.certificateDer().front(), 0x30);
}

}  // namespace
}  // namespace certdesk::test
