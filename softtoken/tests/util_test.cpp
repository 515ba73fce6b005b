// softtoken-util as a person or a setup script calls it.
#include <gtest/gtest.h>

#include "token_fixture.h"

namespace softtoken::test {
namespace {

struct UtilCase {
    const char* name;
    std::string arguments;
    int status;
    std::string output;  // a part of what it prints
};

void PrintTo(const UtilCase& c, std::ostream* os) {
    *os << c.name;
}

class UtilTest : public ::testing::TestWithParam<UtilCase> {
  protected:
    void SetUp() override {
        setenv("SOFTTOKEN_DIR", dir.path().c_str(), 1);
        setenv("SOFTTOKEN_KDF_ITERATIONS", "1000", 1);
    }
    int Run(const std::string& arguments, std::string* output) {
        return RunCommand(std::string(SOFTTOKEN_UTIL_PATH) + " " + arguments, output);
    }
    TempDir dir;
};

TEST_P(UtilTest, AnswersWithItsStatusAndMessage) {
    ASSERT_EQ(Run("init --label Mine", nullptr), 0);
    std::string output;
    EXPECT_EQ(Run(GetParam().arguments, &output), GetParam().status);
    EXPECT_NE(output.find(GetParam().output), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UtilTest,
    ::testing::Values(
        UtilCase{"Help", "--help", 0, "import-cert FILE"},
        UtilCase{"HelpDocumentsDelete", "--help", 0, "delete (--handle H"},
        UtilCase{"Slots", "slots", 0, "gost slot 0: token \"Mine\""},
        UtilCase{"OtherPartitionIsApart", "--partition pki slots", 0,
                 "pki slot 0: token not initialised"},
        UtilCase{"KeepExisting", "init --keep-existing --label Other", 0, "already initialised"},
        UtilCase{"ReinitialiseNeedsTheSoPin", "init --so-pin 11112222", 1, "CKR_PIN_INCORRECT"},
        UtilCase{"NoCommand", "", 1, "no command given"},
        UtilCase{"UnknownCommand", "frobnicate", 1, "unknown command \"frobnicate\""},
        UtilCase{"UnknownPartition", "--partition rsa slots", 1, "gost or pki"},
        UtilCase{"UnknownOption", "list --verbose", 1, "unknown option --verbose"},
        UtilCase{"MissingValue", "list --slot", 1, "--slot needs a value"},
        UtilCase{"BadSlot", "list --slot x1", 1, "the slot is a number"},
        UtilCase{"AbsentSlot", "list --slot 3", 1, "CKR_SLOT_ID_INVALID"},
        UtilCase{"WrongPin", "list --pin 0000", 1, "CKR_PIN_INCORRECT"},
        UtilCase{"MissingFile", "import-cert /nonexistent/c.der", 1, "cannot read"},
        UtilCase{"DeleteUnknownLabel", "delete --label nothing", 1, "no object has the label"},
        UtilCase{"DeleteWithoutTarget", "delete", 1, "needs --handle or --label"}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(UtilTest, ImportedCertificatesAreListedAndDeleted) {
    ASSERT_EQ(Run("init", nullptr), 0);
    std::filesystem::path der = dir.path() / "holder.der";
    std::string output;
    ASSERT_EQ(RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                         "-keyout '" +
                             (dir.path() / "k").string() +
                             "' -subj /CN=Holder "
                             "-days 30 -outform DER -out '" +
                             der.string() + "'",
                         &output),
              0)
        << output;
    ASSERT_EQ(Run("import-cert '" + der.string() + "'", &output), 0) << output;
    ASSERT_EQ(Run("import-cert '" + der.string() + "' --label second --id 4142", &output), 0);
    ASSERT_EQ(Run("list", &output), 0);
    std::size_t size = std::filesystem::file_size(der);
    EXPECT_NE(output.find("certificate label \"holder\" id 686F6C646572 value " +
                          std::to_string(size) + " bytes\n    subject CN=Holder\n    valid "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("label \"second\" id 34313432"), std::string::npos) << output;
    ASSERT_EQ(Run("delete --label holder --class certificate", &output), 0) << output;
    ASSERT_EQ(Run("list", &output), 0);
    EXPECT_EQ(output.find("\"holder\""), std::string::npos) << output;
    EXPECT_NE(output.find("\"second\""), std::string::npos) << output;
}

}  // namespace
}  // namespace softtoken::test
