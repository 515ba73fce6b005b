#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/scripted_dialogs.h"
#include "certdesk/text_utils.h"
#include "test_support.h"

namespace certdesk {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::string AnsiName(const fs::path& path) {
    return AnsiFromUtf8(path.native());
}

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.Message();
    }
    return "(no error)";
}

// ReadFileToString

enum class ReadSetup { Missing, Directory, Fifo, OverLimit, AtLimit, Binary, CyrillicName };

struct ReadCase {
    const char* name;
    ReadSetup setup;
    bool readable;
};

class ReadFileTable : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadFileTable, ReadsOrRefusesWithTheOpenMessage) {
    TempDir dir;
    fs::path file = dir / "file.cer";
    std::string content;
    switch (GetParam().setup) {
        case ReadSetup::Missing:
            break;
        case ReadSetup::Directory:
            fs::create_directory(file);
            break;
        case ReadSetup::Fifo:
            ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
            break;
        case ReadSetup::OverLimit:
            WriteBytes(file, "");
            fs::resize_file(file, kMaxReadFileSize + 1);
            break;
        case ReadSetup::AtLimit:
            WriteBytes(file, "");
            fs::resize_file(file, kMaxReadFileSize);
            content.assign(kMaxReadFileSize, '\0');
            break;
        case ReadSetup::Binary:
            content = std::string("\x30\x82\0\x01\xFF\r\n", 7);
            WriteBytes(file, content);
            break;
        case ReadSetup::CyrillicName:
            file = dir / "Сертификат.cer";
            content = "abc";
            WriteBytes(file, content);
            break;
    }
    const std::string name = AnsiName(file);
    if (GetParam().readable) {
        EXPECT_EQ(ReadFileToString(name), content);
    } else {
        EXPECT_EQ(ErrorOf([&] { ReadFileToString(name); }), Ansi("Не могу открыть файл ") + name);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ReadFileTable,
                         ::testing::Values(ReadCase{"missing", ReadSetup::Missing, false},
                                           ReadCase{"directory", ReadSetup::Directory, false},
                                           ReadCase{"fifo_does_not_hang", ReadSetup::Fifo, false},
                                           ReadCase{"over_64_mib", ReadSetup::OverLimit, false},
                                           ReadCase{"exactly_64_mib", ReadSetup::AtLimit, true},
                                           ReadCase{"bytes_unchanged", ReadSetup::Binary, true},
                                           ReadCase{"cyrillic_name", ReadSetup::CyrillicName,
                                                    true}),
                         [](const auto& p) { return std::string(p.param.name); });

// WriteFileConfirm and the event log

class WriteFileConfirmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetEventLogPath(logDir_ / "error.log");
        dialogs_.OnUnexpected([](const std::string& problem) { ADD_FAILURE() << problem; });
    }
    void TearDown() override { EXPECT_TRUE(dialogs_.Problems().empty()); }

    std::string Question(const std::string& name) const {
        return Ansi("Файл с именем ") + name + Ansi(" уже существует.") + "\r\n" +
               Ansi("Перезаписать?");
    }
    std::string Log() const {
        return fs::exists(logDir_ / "error.log") ? ReadBytes(logDir_ / "error.log") : "";
    }
    // The folder holds only the target: no temporary file was left behind.
    void ExpectOnlyTarget() const {
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_.Path()), fs::directory_iterator{}), 1);
    }

    TempDir dir_;
    TempDir logDir_;
    ScriptedDialogs dialogs_;
};

TEST_F(WriteFileConfirmTest, NewFileIsWrittenWithoutQuestionOrLog) {
    const std::string name = AnsiName(dir_ / "Запрос.req");
    EXPECT_TRUE(WriteFileConfirm(dialogs_, name, std::string("req\0uest", 8)));
    EXPECT_EQ(ReadBytes(dir_ / "Запрос.req"), std::string("req\0uest", 8));
    EXPECT_TRUE(dialogs_.Asked().empty());
    EXPECT_EQ(Log(), "");
    ExpectOnlyTarget();
}

struct OverwriteCase {
    const char* name;
    int answer;
    bool replaced;
};

class OverwriteTable : public WriteFileConfirmTest,
                       public ::testing::WithParamInterface<OverwriteCase> {};

TEST_P(OverwriteTable, AsksAndLogsOnlyAReplacement) {
    const fs::path file = dir_ / "a.req";
    WriteBytes(file, "old");
    ::chmod(file.c_str(), 0640);
    const std::string name = AnsiName(file);
    dialogs_.AnswerMessageBox(Question(name), GetParam().answer);

    EXPECT_EQ(WriteFileConfirm(dialogs_, name, "new content"), GetParam().replaced);

    ASSERT_EQ(dialogs_.Asked().size(), 1u);
    EXPECT_EQ(dialogs_.Asked()[0].kind, MessageKind::Confirmation);
    EXPECT_EQ(dialogs_.Asked()[0].buttons, (ButtonSet{Button::Yes, Button::No}));
    EXPECT_EQ(ReadBytes(file), GetParam().replaced ? "new content" : "old");
    const std::string log = Log();
    if (GetParam().replaced) {
        const std::string tail = Ansi(" [EVENT] Файл ") + name + Ansi(" перезаписан") + "\n";
        ASSERT_GE(log.size(), tail.size());
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    } else {
        EXPECT_EQ(log, "");
    }
    ExpectOnlyTarget();
}

INSTANTIATE_TEST_SUITE_P(Answers, OverwriteTable,
                         ::testing::Values(OverwriteCase{"yes", 6, true},
                                           OverwriteCase{"no", 7, false},
                                           OverwriteCase{"closed", 2, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(WriteFileConfirmTest, FolderThatIsMissingCannotBeCreated) {
    const std::string name = AnsiName(dir_ / "missing" / "a.req");
    EXPECT_EQ(ErrorOf([&] { WriteFileConfirm(dialogs_, name, "x"); }),
              Ansi("Не могу создать файл ") + name);
}

TEST_F(WriteFileConfirmTest, WriteThroughALinkKeepsTheLink) {
    WriteBytes(dir_ / "real.req", "old");
    fs::create_symlink("real.req", dir_ / "link.req");
    const std::string name = AnsiName(dir_ / "link.req");
    dialogs_.AnswerMessageBox(Question(name), 6);
    EXPECT_TRUE(WriteFileConfirm(dialogs_, name, "new"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.req"));
    EXPECT_EQ(ReadBytes(dir_ / "real.req"), "new");
}

// A write that fails half-way (the file size limit standing in for a full disk) must leave the
// old content and no partial file.
TEST_F(WriteFileConfirmTest, FailedWriteKeepsTheOldFile) {
    const fs::path file = dir_ / "a.req";
    const std::string old(3000, 'o');
    WriteBytes(file, old);
    const std::string name = AnsiName(file);
    dialogs_.AnswerMessageBox(Question(name), 6);

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string message =
        ErrorOf([&] { WriteFileConfirm(dialogs_, name, std::string(100000, 'n')); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(message, Ansi("Не могу создать файл ") + name);
    EXPECT_EQ(ReadBytes(file), old);
    EXPECT_EQ(Log(), "");
    ExpectOnlyTarget();
}

struct EventLineCase {
    const char* name;
    std::string message;
    std::string source;
    std::string expected;
};

class EventLineTable : public ::testing::TestWithParam<EventLineCase> {};

TEST_P(EventLineTable, FormatsOneLine) {
    EXPECT_EQ(EventLine(GetParam().message, GetParam().source, 2026, 3, 7, 9, 5, 4, 42),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, EventLineTable,
    ::testing::Values(
        EventLineCase{"plain", "x", "", "07.03.26 09:05:04:042 [EVENT] x\n"},
        EventLineCase{"source", "x", "src", "07.03.26 09:05:04:042 [EVENT] [src] x\n"},
        EventLineCase{"crlf", "a\r\nb\r\n", "",
                      "07.03.26 09:05:04:042 [EVENT] a\x07"
                      "b\x07\n"},
        EventLineCase{"lone_cr_lf_kept", "a\rb\nc", "", "07.03.26 09:05:04:042 [EVENT] a\rb\nc\n"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LogEvent, AppendsLinesAndCreatesTheFolder) {
    TempDir dir;
    const fs::path log = dir / "state" / "CertDesk" / "error.log";
    SetEventLogPath(log);
    LogEvent("first\r\nsecond");
    LogEvent("third", "src");
    const std::string text = ReadBytes(log);
    const std::size_t newline = text.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_NE(text.find(" [EVENT] first\x07second\n"), std::string::npos);
    EXPECT_EQ(text.find(" [EVENT] [src] third\n"), text.size() - 21);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST(LogEvent, FailureIsIgnored) {
    TempDir dir;
    WriteBytes(dir / "file", "");
    SetEventLogPath(dir / "file" / "error.log");
    EXPECT_NO_THROW(LogEvent("x"));
}

TEST(EventLogPath, BesideTheProgramOrInTheStateFolder) {
    TempDir dir;
    EXPECT_EQ(EventLogPathFor(dir.Path()), dir / "error.log");

    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    fs::path locked = dir / "locked";
    if (::access(locked.c_str(), W_OK) == 0)
        locked = "/proc/self";  // permissions do not stop root; procfs does
    if (::access(locked.c_str(), W_OK) == 0)
        GTEST_SKIP() << "no folder here is closed to writing";
    const char* old = std::getenv("XDG_STATE_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    EXPECT_EQ(EventLogPathFor(locked), dir / "state" / "CertDesk" / "error.log");
    if (old)
        ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_STATE_HOME");
}

// ListFiles

class ListFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"a.cer", "b.CER", ".h.cer", "c.txt", "Ж.CER", "张.cer", "ab.cerx"})
            WriteBytes(dir_ / name, "x");
        fs::create_directory(dir_ / "x.cer");
        fs::create_symlink("a.cer", dir_ / "l.cer");
        fs::create_symlink("gone", dir_ / "d.cer");
        ASSERT_EQ(::mkfifo((dir_ / "p.cer").c_str(), 0600), 0);
    }
    TempDir dir_;
};

struct ListCase {
    const char* name;
    std::string mask;
    unsigned attributes;
    std::vector<std::string> expected;  // UTF-8
};

class ListFilesTable : public ListFilesTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListFilesTable, FiltersAndSorts) {
    std::vector<std::string> expected;
    for (const std::string& name : GetParam().expected)
        expected.push_back(Ansi(name));
    EXPECT_EQ(ListFiles(AnsiName(dir_.Path()), Ansi(GetParam().mask), GetParam().attributes),
              expected);
}

INSTANTIATE_TEST_SUITE_P(
    Folder, ListFilesTable,
    ::testing::Values(
        ListCase{"archive", "*.cer", faArchive, {"a.cer", "b.CER", "l.cer", "Ж.CER"}},
        ListCase{"hidden",
                 "*.cer",
                 faArchive | faHidden,
                 {".h.cer", "a.cer", "b.CER", "l.cer", "Ж.CER"}},
        ListCase{"system",
                 "*.cer",
                 faArchive | faSysFile,
                 {"a.cer", "b.CER", "l.cer", "p.cer", "Ж.CER"}},
        ListCase{"directory_never", "x*", faArchive | faDirectory, {}},
        ListCase{"cyrillic_case", "ж.*", faArchive, {"Ж.CER"}},
        ListCase{"question_mark", "?.C?R", faArchive, {"a.cer", "b.CER", "l.cer", "Ж.CER"}},
        ListCase{"star_in_middle", "a*r", faArchive, {"a.cer"}},
        ListCase{"everything",
                 "*",
                 faArchive,
                 {"a.cer", "ab.cerx", "b.CER", "c.txt", "l.cer", "Ж.CER"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ListFilesTest, FolderWithTrailingSlashAndMissingFolder) {
    EXPECT_EQ(ListFiles(AnsiName(dir_.Path()) + "/", "*.txt", faArchive),
              std::vector<std::string>{"c.txt"});
    EXPECT_TRUE(ListFiles(AnsiName(dir_ / "none"), "*", faArchive).empty());
}

}  // namespace
}  // namespace certdesk
