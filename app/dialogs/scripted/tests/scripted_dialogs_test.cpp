#include "certdesk/scripted_dialogs.h"

#include <gtest/gtest.h>

namespace certdesk {
namespace {

TEST(ScriptedDialogs, AnswersInOrderAndRecordsTheQuestions) {
    ScriptedDialogs dialogs;
    dialogs.AnswerMessageBoxDef("go on?", 7)
        .AnswerAskText("PIN", "1234")
        .AnswerMakeChoice("pick", 2)
        .AnswerSelectFolder("folder", std::nullopt)
        .AnswerOpenFile("open", "/tmp/a.cer")
        .AnswerSelectCertificate(2);

    EXPECT_EQ(dialogs.ShowMessageBoxDef("go on?", MessageKind::Warning, {Button::Yes, Button::No},
                                        Button::No),
              7);
    std::string pin = "old";
    EXPECT_TRUE(dialogs.AskText("caption", "PIN", pin));
    EXPECT_EQ(pin, "1234");
    EXPECT_EQ(dialogs.MakeChoice(std::nullopt, {"a", "b"}, "pick", 1, ""), 2);
    std::string folder = "/x";
    EXPECT_FALSE(dialogs.SelectFolder("folder", "", folder));
    EXPECT_EQ(folder, "/x");
    EXPECT_EQ(dialogs.OpenFile({"open", "Сертификаты|*.cer", ""}), "/tmp/a.cer");
    const std::vector<CertificateRow> rows = {{"A", "CA", "01.01.2030", "a"},
                                              {"B", "CA", "02.01.2030", ""}};
    EXPECT_EQ(dialogs.SelectCertificate(rows), 2);

    ASSERT_EQ(dialogs.Asked().size(), 6u);
    EXPECT_EQ(dialogs.Asked()[0].kind, MessageKind::Warning);
    EXPECT_EQ(dialogs.Asked()[0].defaultButton, Button::No);
    EXPECT_EQ(dialogs.Asked()[1].title, "caption");
    EXPECT_EQ(dialogs.Asked()[1].value, "old");
    EXPECT_EQ(dialogs.Asked()[2].items, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(dialogs.Asked()[2].defaultIndex, 1);
    EXPECT_EQ(dialogs.Asked()[3].value, "/x");
    EXPECT_EQ(dialogs.Asked()[4].file.filter, "Сертификаты|*.cer");
    EXPECT_EQ(dialogs.Asked()[5].operation, DialogOperation::SelectCertificate);
    EXPECT_EQ(dialogs.Asked()[5].rows, rows);
    EXPECT_TRUE(dialogs.Problems().empty());
}

TEST(ScriptedDialogs, CancelledTextKeepsTheValue) {
    ScriptedDialogs dialogs;
    dialogs.AnswerAskText("PIN", std::nullopt);
    std::string pin = "keep";
    EXPECT_FALSE(dialogs.AskText("c", "PIN", pin));
    EXPECT_EQ(pin, "keep");
}

struct UnexpectedCase {
    const char* name;
    bool queueSomething;
    const char* queuedText;
};

class Unexpected : public ::testing::TestWithParam<UnexpectedCase> {};

TEST_P(Unexpected, ThrowsReportsAndRecords) {
    ScriptedDialogs dialogs;
    if (GetParam().queueSomething)
        dialogs.AnswerMessageBoxDef(GetParam().queuedText, 6);
    std::vector<std::string> reported;
    dialogs.OnUnexpected([&](const std::string& problem) { reported.push_back(problem); });
    EXPECT_THROW(dialogs.ShowMessageBox("asked", MessageKind::Error, {Button::OK}),
                 UnexpectedDialog);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("\"asked\""), std::string::npos);
    EXPECT_EQ(dialogs.Asked().size(), 1u);
    // The unexpected question stays a problem, and so does an answer never asked for.
    EXPECT_EQ(dialogs.Problems().size(), GetParam().queueSomething ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Script, Unexpected,
                         ::testing::Values(UnexpectedCase{"nothing_queued", false, ""},
                                           UnexpectedCase{"other_operation", true, "asked"},
                                           UnexpectedCase{"other_text", true, "other"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ScriptedDialogs, AnswerNeverAskedIsAProblem) {
    ScriptedDialogs dialogs;
    dialogs.AnswerSaveFile("save", "/tmp/x.req");
    ASSERT_EQ(dialogs.Problems().size(), 1u);
    EXPECT_NE(dialogs.Problems()[0].find("SaveFile"), std::string::npos);
    EXPECT_EQ(dialogs.Pending(), 1u);
}

}  // namespace
}  // namespace certdesk
