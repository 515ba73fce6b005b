#include "certdesk/store_selection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "certdesk/codec.h"
#include "certdesk/scripted_dialogs.h"
#include "test_support.h"

namespace certdesk {
namespace {

namespace fs = std::filesystem;
using testing::Quote;
using testing::ReadBytes;
using testing::RunTool;
using testing::TempDir;

struct SelectionCase {
    const char* name;
    bool withDatabase;
    int answer;
    int expectedRow;  // 1-based row whose certificate comes back; 0 for none
};

void PrintTo(const SelectionCase& c, std::ostream* os) {
    *os << c.name;
}

const char* const kHolders[] = {"Иванов Иван", "Петров Пётр"};
const char* const kIssuer = "Тестовый УЦ";

// A HOME of the test's own; with a database, the store holds two certificates of one issuer,
// nicknamed "Сертификат 0" and "Сертификат 1", whose DER files stay beside it.
class StoreSelection : public ::testing::TestWithParam<SelectionCase> {
  protected:
    void SetUp() override {
        const char* old = std::getenv("HOME");
        savedHome_ = old ? old : "";
        ::setenv("HOME", home_.Path().c_str(), 1);
    }
    void TearDown() override { ::setenv("HOME", savedHome_.c_str(), 1); }

    void MakeStore() {
        const fs::path folder = home_.Path() / ".pki" / "nssdb";
        fs::create_directories(folder);
        const std::string db = Quote("sql:" + folder.native());
        // NSS refuses GOST keys; the selection does not depend on the key type.
        const std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
        std::string script = "set -e; certutil -N -d " + db +
                             " --empty-password; openssl req -new -x509 -utf8 -days 30" + newKey +
                             " -keyout ca.key -subj " + Quote(std::string("/CN=") + kIssuer) +
                             " -out ca.pem; ";
        for (int i = 0; i < 2; ++i) {
            const std::string n = std::to_string(i);
            script += "openssl req -new -utf8" + newKey + " -keyout k" + n + ".pem -subj " +
                      Quote(std::string("/CN=") + kHolders[i]) + " -out r" + n +
                      ".csr; openssl x509 -req -days " + std::to_string(10 + i) + " -in r" + n +
                      ".csr -CA ca.pem -CAkey ca.key -set_serial " + std::to_string(i + 2) +
                      " -outform DER -out c" + n + ".der; certutil -A -d " + db + " -n " +
                      Quote("Сертификат " + n) + " -t ,, -i c" + n + ".der; ";
        }
        ASSERT_EQ(RunTool("cd " + Quote(home_.Path()) + " && (" + script + ") >tool.log 2>&1"), 0)
            << ReadBytes(home_.Path() / "tool.log");
    }

    TempDir home_;
    std::string savedHome_;
};

TEST_P(StoreSelection, ShowsTheStoreAndReturnsTheChosenCertificate) {
    const SelectionCase& c = GetParam();
    if (c.withDatabase)
        MakeStore();
    ScriptedDialogs dialogs;
    dialogs.AnswerSelectCertificate(c.answer);

    const std::optional<StoreCertificate> chosen = SelectStoreCertificate(dialogs);

    EXPECT_TRUE(dialogs.Problems().empty());
    ASSERT_EQ(dialogs.Asked().size(), 1u);
    const std::vector<CertificateRow>& rows = dialogs.Asked()[0].rows;
    if (!c.withDatabase) {
        EXPECT_TRUE(rows.empty());
    } else {
        // The database decides the order; the columns belong to their certificate.
        std::vector<CertificateRow> sorted = rows;
        std::sort(sorted.begin(), sorted.end(),
                  [](const auto& a, const auto& b) { return a.friendlyName < b.friendlyName; });
        ASSERT_EQ(sorted.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(sorted[i].issuedTo, Ansi(kHolders[i]));
            EXPECT_EQ(sorted[i].issuedBy, Ansi(kIssuer));
            EXPECT_EQ(sorted[i].friendlyName, Ansi("Сертификат " + std::to_string(i)));
            ASSERT_EQ(sorted[i].validTo.size(), 10u);
        }
        EXPECT_NE(sorted[0].validTo, sorted[1].validTo);
    }
    if (c.expectedRow == 0) {
        EXPECT_FALSE(chosen);
        return;
    }
    ASSERT_TRUE(chosen);
    const CertificateRow& row = rows[static_cast<std::size_t>(c.expectedRow) - 1];
    EXPECT_EQ(chosen->friendlyName, row.friendlyName);
    EXPECT_EQ(chosen->issuedTo, row.issuedTo);
    const std::string n = row.friendlyName == Ansi("Сертификат 0") ? "0" : "1";
    EXPECT_EQ(chosen->der, ReadBytes(home_.Path() / ("c" + n + ".der")));
    ASSERT_TRUE(chosen->certificate);
}

INSTANTIATE_TEST_SUITE_P(Answers, StoreSelection,
                         ::testing::Values(SelectionCase{"no_database", false, 0, 0},
                                           SelectionCase{"cancelled", true, 0, 0},
                                           SelectionCase{"first_row", true, 1, 1},
                                           SelectionCase{"second_row", true, 2, 2},
                                           SelectionCase{"beyond_the_list", true, 3, 0},
                                           SelectionCase{"negative", true, -1, 0}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace certdesk
