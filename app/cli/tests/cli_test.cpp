// Runs the built certdesk-cli on certificates made by certtool and openssl and on small
// templates, and compares what it prints.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "certdesk/codec.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// A folder of the test's own, with the program run inside it.
class Workspace {
  public:
    Workspace() {
        std::string pattern = (fs::temp_directory_path() / "certdesk-cli-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir_ = pattern;
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path operator/(const std::string& name) const { return dir_ / name; }
    const fs::path& Dir() const { return dir_; }

    Outcome Run(const std::vector<std::string>& args) const {
        const fs::path out = dir_ / "stdout";
        const fs::path err = dir_ / "stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        Outcome outcome;
        if (spawned != 0) {
            outcome.err = "cannot start " + args[0];
            return outcome;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.out = ReadAll(out);
        outcome.err = ReadAll(err);
        return outcome;
    }

    Outcome Cli(std::vector<std::string> args) const {
        args.insert(args.begin(), CERTDESK_CLI);
        return Run(args);
    }

    // A tool that must succeed to prepare a fixture.
    void Tool(const std::vector<std::string>& args) const {
        const Outcome outcome = Run(args);
        ASSERT_EQ(outcome.status, 0) << args[0] << ": " << outcome.err;
    }

  private:
    fs::path dir_;
};

// ----- info

struct Certificate {
    std::string file;
    std::string keyType;  // certtool's --key-type
    std::string dn;       // certtool template lines of the subject
    std::string notBefore;
    std::string notAfter;
};

const std::vector<Certificate>& Certificates() {
    static const std::vector<Certificate> all{
        {"a.der", "gost12-256",
         "cn = \"Иванов Иван\"\norganization = \"ООО Ромашка\"\n"
         "dn_oid = \"1.2.643.3.131.1.1 007451234567\"\n",
         "2011-03-01 00:00:00", "2012-03-01 00:00:00"},
        {"b.der", "gost12-512",
         "cn = \"Петров Пётр\"\nlocality = \"Челябинск\"\n"
         "dn_oid = \"1.2.643.100.3 11223344595\"\n",
         "2020-01-15 12:30:00", "2030-06-30 23:59:59"}};
    return all;
}

class Info : public testing::Test {
  protected:
    void SetUp() override {
        int serial = 1;
        for (const Certificate& c : Certificates()) {
            const std::string base = c.file.substr(0, c.file.find('.'));
            const std::string key = (ws / (base + ".key")).string();
            const std::string tmpl = (ws / (base + ".cfg")).string();
            WriteAll(tmpl, c.dn + "serial = " + std::to_string(serial++) +
                               "\nactivation_date = \"" + c.notBefore +
                               " UTC\"\nexpiration_date = \"" + c.notAfter + " UTC\"\n");
            ws.Tool({CERTTOOL, "--generate-privkey", "--key-type", c.keyType, "--outfile", key});
            ws.Tool({CERTTOOL, "--generate-self-signed", "--load-privkey", key, "--template", tmpl,
                     "--outder", "--outfile", (ws / c.file).string()});
            keys[c.file] = PublicKeyTail(c.file);
        }
        ws.Tool({OPENSSL, "x509", "-inform", "DER", "-in", (ws / "a.der").string(), "-outform",
                 "PEM", "-out", (ws / "a.pem").string()});
        WriteAll(ws / "garbage.cer", "not a certificate\n");
    }

    // The last 64 bytes of the key's SubjectPublicKeyInfo, which end with its bit string, as
    // openssl writes them: the value the token's keys are compared with.
    std::string PublicKeyTail(const std::string& file) {
        const std::string pem = (ws / (file + ".pub")).string();
        const std::string der = (ws / (file + ".spki")).string();
        ws.Tool({OPENSSL, "x509", "-engine", "gost", "-inform", "DER", "-in", (ws / file).string(),
                 "-noout", "-pubkey", "-out", pem});
        ws.Tool({OPENSSL, "pkey", "-engine", "gost", "-pubin", "-in", pem, "-outform", "DER",
                 "-out", der});
        const std::string spki = ReadAll(der);
        if (spki.size() < 64) {
            return "short key";
        }
        std::string hex;
        for (const char byte : spki.substr(spki.size() - 64)) {
            static constexpr char digits[] = "0123456789abcdef";
            hex += digits[static_cast<unsigned char>(byte) >> 4];
            hex += digits[static_cast<unsigned char>(byte) & 0xF];
        }
        return hex;
    }

    std::string Path(const std::string& name) const { return (ws / name).string(); }

    Workspace ws;
    std::map<std::string, std::string> keys;
};

const std::string kLineA =
    "CN=Иванов Иван,O=ООО Ромашка,INN=007451234567, действует с 01.03.2011 по 01.03.2012";
const std::string kLineB =
    "CN=Петров Пётр,L=Челябинск,SNILS=11223344595, действует с 15.01.2020 по 30.06.2030";

TEST_F(Info, PrintsEachCertificateWithItsKey) {
    const Outcome outcome = ws.Cli({"info", Path("a.der"), Path("b.der")});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(Lines(outcome.out),
              (std::vector<std::string>{"1. " + kLineA, "key: " + keys["a.der"], "2. " + kLineB,
                                        "key: " + keys["b.der"]}));
}

TEST_F(Info, NamesEveryFileItCannotShowAndFailsAtTheEnd) {
    const Outcome outcome =
        ws.Cli({"info", Path("a.pem"), Path("missing.cer"), Path("b.der"), Path("garbage.cer")});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(Lines(outcome.out),
              (std::vector<std::string>{"3. " + kLineB, "key: " + keys["b.der"]}));
    EXPECT_EQ(
        Lines(outcome.err),
        (std::vector<std::string>{
            "Файл " + Path("a.pem") + " не является сертификатом X.509 в формате DER",
            "Не могу открыть файл " + Path("missing.cer"),
            "Файл " + Path("garbage.cer") + " не является сертификатом X.509 в формате DER"}));
}

// ----- template

struct TemplateCase {
    const char* label;
    std::string bytes;  // the file as it lies on disk
    int status;
    std::vector<std::string> out;
    std::vector<std::string> err;
};

// What a template without any of the subject's names fills, after its first lines.
std::vector<std::string> EmptyFieldsAfterName() {
    return {"edtSNILS=", "edtOGRN=", "edtEMAIL=",    "edtO=",     "edtL=",
            "edtST=",    "edtOU=",   "dbeCategory=", "edtStreet="};
}

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

void PrintTo(const TemplateCase& c, std::ostream* os) {
    *os << c.label;
}

class TemplateFill : public testing::TestWithParam<TemplateCase> {};

TEST_P(TemplateFill, PrintsTheFill) {
    Workspace ws;
    const std::string file = (ws / "template.xml").string();
    WriteAll(file, GetParam().bytes);
    const Outcome outcome = ws.Cli({"template", file});
    EXPECT_EQ(outcome.status, GetParam().status) << outcome.err;
    EXPECT_EQ(Lines(outcome.out), GetParam().out);
    EXPECT_EQ(Lines(outcome.err), GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, TemplateFill,
    testing::Values(
        TemplateCase{
            "LegalEntityInWindows1251",
            certdesk::Ansi(
                "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<template>\r\n"
                "<!-- выгрузка -->\r\n<subject>\r\n  INN=007451234567,SN=Иванов,GN=Иван Иванович,"
                "SNILS=11223344595,OGRN=1027401234567,Email=ivanov@example.ru,"
                "O=ООО &quot;Ромашка&quot;,L=Челябинск,ST=74 Челябинская область,OU=Бухгалтерия,"
                "title=Директор,streetAddress=ул. Ленина, д. 1,"
                "unstructuredName=INN=7451234567/КПП=745101001\r\n</subject>\r\n"
                "<subjectAltName><businessCategory>Главный бухгалтер</businessCategory>"
                "</subjectAltName>\r\n</template>\r\n"),
            0,
            {"ownerType=0", "edtINN=007451234567", "edtSN=Иванов", "edtGN1=Иван", "edtGN2=Иванович",
             "edtSNILS=11223344595", "edtOGRN=1027401234567", "edtEMAIL=ivanov@example.ru",
             "edtO=ООО \"Ромашка\"", "edtL=Челябинск", "edtST=74 Челябинская область",
             "edtOU=Бухгалтерия", "dbeCategory=Директор", "edtStreet=ул. Ленина, д. 1",
             "edtKPP=45101001"},
            {}},
        // The bytes of a UTF-8 file are read as Windows-1251 characters.
        TemplateCase{"Utf8FileReadAsWindows1251",
                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?><t><subject>INN=745112345678,"
                     "SN=Петров,GN=Пётр</subject></t>",
                     0,
                     Join({"ownerType=1", "edtINN=745112345678", "edtSN=РџРµС‚СЂРѕРІ"},
                          EmptyFieldsAfterName()),
                     {}},
        TemplateCase{"WithoutSubject",
                     "<t><other>INN=0012345678</other></t>",
                     0,
                     Join({"ownerType=1", "edtINN=", "edtSN="}, EmptyFieldsAfterName()),
                     {}},
        TemplateCase{"BusinessCategoryFillsABlankPosition",
                     certdesk::Ansi("<t><subject>INN=0074512345,OGRNIP=304745112345678</subject>"
                                    "<subjectAltName><x/><businessCategory>Главный &amp; "
                                    "бухгалтер</businessCategory></subjectAltName></t>"),
                     0,
                     {"ownerType=0", "edtINN=0074512345", "edtSN=", "edtSNILS=",
                      "edtOGRN=304745112345678", "edtEMAIL=", "edtO=", "edtL=", "edtST=", "edtOU=",
                      "dbeCategory=", "edtStreet=", "dbeCategory=Главный & бухгалтер"},
                     {}},
        // An unclosed last element loses its text; the rest fills as usual.
        TemplateCase{
            "SyntaxErrorFillsWhatWasRead",
            "<t><subject>INN=0012345678,SN=X</subject><subjectAltName>"
            "<businessCategory>lost",
            0,
            {"ownerType=0", "edtINN=0012345678", "edtSN=X", "edtSNILS=", "edtOGRN=", "edtEMAIL=",
             "edtO=", "edtL=", "edtST=", "edtOU=", "dbeCategory=", "edtStreet=", "dbeCategory="},
            {}},
        TemplateCase{"MalformedDeclarationFailsTheLoad",
                     "<?xml version=1.0?><t><subject>INN=0012345678</subject></t>",
                     1,
                     {},
                     {"missing value delimiter when parsing attributes"}}),
    [](const testing::TestParamInfo<TemplateCase>& param) { return param.param.label; });

TEST(TemplateFile, UnreadableFileFails) {
    Workspace ws;
    const std::string missing = (ws / "нет.xml").string();
    const Outcome outcome = ws.Cli({"template", missing});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(Lines(outcome.err), std::vector<std::string>{"Не могу открыть файл " + missing});
}

// ----- arguments

struct UsageCase {
    const char* label;
    std::vector<std::string> args;
    int status;
    std::string firstErrorLine;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.label;
}

class Usage : public testing::TestWithParam<UsageCase> {};

TEST_P(Usage, RefusesWithAHint) {
    Workspace ws;
    const Outcome outcome = ws.Cli(GetParam().args);
    EXPECT_EQ(outcome.status, GetParam().status);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(Lines(outcome.err), (std::vector<std::string>{GetParam().firstErrorLine,
                                                            "Справка: certdesk-cli --help"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Usage,
    testing::Values(UsageCase{"NoCommand", {}, 2, "Не указана команда."},
                    UsageCase{"InfoWithoutFiles", {"info"}, 2, "Не указаны файлы сертификатов."},
                    UsageCase{
                        "TemplateWithoutFile", {"template"}, 2, "Укажите один файл xml-шаблона."},
                    UsageCase{"TemplateWithTwoFiles",
                              {"template", "a.xml", "b.xml"},
                              2,
                              "Укажите один файл xml-шаблона."},
                    UsageCase{"UnknownCommand", {"show", "a.cer"}, 2, "Неизвестная команда: show"}),
    [](const testing::TestParamInfo<UsageCase>& param) { return param.param.label; });

TEST(Help, DocumentsBothCommands) {
    Workspace ws;
    const Outcome outcome = ws.Cli({"--help"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_NE(outcome.out.find("certdesk-cli info ФАЙЛ..."), std::string::npos);
    EXPECT_NE(outcome.out.find("certdesk-cli template ФАЙЛ.xml"), std::string::npos);
}

}  // namespace
