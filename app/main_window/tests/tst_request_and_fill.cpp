// The request workflow and the fills of the window, in-process over the real KeyPorter and the
// software token, with every question answered by the scripted dialogs.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QLineEdit>
#include <QMenu>
#include <QPaintEvent>
#include <QRegion>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <memory>
#include <optional>

#include "cert_request_window.h"
#include "certdesk/codec.h"
#include "certdesk/scripted_dialogs.h"
#include "certdesk/text_utils.h"
#include "certdesk/token_client.h"
#include "certdesk/tsradiogroup.h"
#include "qt_text.h"
#include "request_info.h"
#include "test_support.h"
#include "window_controls.h"

using namespace certdesk;
namespace fs = std::filesystem;

namespace {

const char* const kWarning =
    "На устройстве найдены ключи.\r\nВозможна некорректная работа УТМ-а после установки "
    "сертификата на это устройство.\r\nРекомендуется провести инициализацию ГОСТ области на "
    "jaCarta и повторить генерацию.\r\nПродолжить генерацию несмотря на предупреждение ?";
const char* const kPinPrompt = "Ввод пин-кода";
const char* const kGenerated = "Запрос на сертификат успешно сформирован !";
const char* const kSaveTitle = "Укажите имя файла для сохранения запроса";
const char* const kNoCertificates = "Установленных сертификатов не обнаружено !";
const char* const kCertificateFileTitle = "Укажите файл с сертификатом";
const char* const kTemplateFileTitle = "Укажите файл с xml - шаблоном";
const char* const kBuiltInLastUsages = "1.2.643.3.6.0.15,1.2.643.3.6.78.4.5";

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

using Fields = std::vector<std::pair<const char*, const char*>>;

const Fields kLegalEntity = {
    {"edtSN", "Иванов"},
    {"edtGN1", "Иван"},
    {"edtGN2", "Иванович"},
    {"edtSNILS", "11223344595"},
    {"edtEMAIL", "ivanov@example.ru"},
    {"dbeCategory", "Генеральный директор"},
    {"edtST", "77 г. Москва"},
    {"edtL", "Москва"},
    {"edtStreet", " ул. Вавилова, д. 19"},
    {"edtO", "ПАО Сбербанк"},
    {"edtOU", "Руководство"},
    {"edtOGRN", "1027700132195"},
    {"edtINN", "007707083893"},
    {"edtKPP", "773601001"},
};

const Fields kEntrepreneur = {
    {"edtSN", "Петров"},
    {"edtGN1", "Пётр"},
    {"edtSNILS", "11223344595"},
    {"edtEMAIL", "petrov@example.ru"},
    {"edtST", "74 Челябинская область"},
    {"edtL", "Челябинск"},
    {"edtStreet", "ул. Кирова, 1"},
    {"edtOGRN", "304500116000157"},
    {"edtINN", "500100732259"},
};

// Filled from a template and switched to a legal entity by hand, without leaving the INN field.
const Fields kLegalEntityTenDigitInn = [] {
    Fields fields = kLegalEntity;
    for (auto& [name, text] : fields)
        if (std::string_view(name) == "edtINN")
            text = "7707083893";
    return fields;
}();

struct RoadCase {
    const char* name;
    int owner;
    const Fields* form;
    bool withKpp;
    std::optional<int> periodIndex;  // none: the period group disabled
    const char* tag;
    std::vector<std::pair<const char*, const char*>> subject;  // dotted OID, UTF-8 value
    const char* lastUsages;
    const char* shownSubject;  // as certtool prints it: last pair first
};

// The legal entity's request subject as the token should carry it, and as certtool prints it.
const std::vector<std::pair<const char*, const char*>> kLegalEntityPairs = {
    {"2.5.4.3", "ПАО Сбербанк"},
    {"2.5.4.6", "RU"},
    {"2.5.4.10", "ПАО Сбербанк"},
    {"2.5.4.8", "77 г. Москва"},
    {"2.5.4.7", "Москва"},
    {"2.5.4.11", "Руководство"},
    {"2.5.4.12", "Генеральный директор"},
    {"1.2.840.113549.1.9.1", "ivanov@example.ru"},
    {"1.2.643.3.131.1.1", "007707083893"},
    {"1.2.643.100.1", "1027700132195"},
    {"1.2.643.100.3", "11223344595"},
    {"2.5.4.9", " ул. Вавилова, д. 19"},
    {"2.5.4.4", "Иванов"},
    {"2.5.4.42", "Иван Иванович"}};
const std::vector<std::pair<const char*, const char*>> kLegalEntityPairsWithKpp = [] {
    auto pairs = kLegalEntityPairs;
    pairs.emplace_back("1.2.840.113549.1.9.2", "КПП=773601001");
    return pairs;
}();
constexpr const char* kLegalEntityShown =
    "givenName=Иван Иванович,surName=Иванов,street=\\ ул. Вавилова\\, д. 19,SNILS=11223344595,"
    "OGRN=1027700132195,INN=007707083893,EMAIL=ivanov@example.ru,title=Генеральный директор,"
    "OU=Руководство,L=Москва,ST=77 г. Москва,O=ПАО Сбербанк,C=RU,CN=ПАО Сбербанк";
const std::string kLegalEntityShownWithKpp =
    std::string("1.2.840.113549.1.9.2=#0c10d09ad09fd09f3d373733363031303031,") + kLegalEntityShown;

const RoadCase kRoadCases[] = {
    {"legal entity with KPP, 6 months", 0, &kLegalEntity, true, 7, "007707083893-773601001",
     kLegalEntityPairsWithKpp, "1.2.643.3.6.78.4.5,1.2.643.3.6.0.6",
     kLegalEntityShownWithKpp.c_str()},
    {"legal entity with a 10-digit INN field", 0, &kLegalEntityTenDigitInn, true, 12,
     "7707083893-773601001", kLegalEntityPairsWithKpp, "1.2.643.3.6.78.4.5,1.2.643.3.6.0.1",
     kLegalEntityShownWithKpp.c_str()},
    {"legal entity without KPP, period group disabled", 0, &kLegalEntity, false, std::nullopt,
     "007707083893", kLegalEntityPairs, kBuiltInLastUsages, kLegalEntityShown},
    {"entrepreneur without patronymic, 13 months",
     1,
     &kEntrepreneur,
     false,
     0,
     "500100732259",
     {{"2.5.4.3", "Петров Пётр"},
      {"2.5.4.6", "RU"},
      {"2.5.4.8", "74 Челябинская область"},
      {"2.5.4.7", "Челябинск"},
      {"1.2.840.113549.1.9.1", "petrov@example.ru"},
      {"1.2.643.3.131.1.1", "500100732259"},
      {"1.2.643.100.5", "304500116000157"},
      {"1.2.643.100.3", "11223344595"},
      {"2.5.4.9", "ул. Кирова, 1"},
      {"2.5.4.4", "Петров"},
      {"2.5.4.42", "Пётр"}},
     "1.2.643.3.6.78.4.5,1.2.643.3.6.0.13",
     "givenName=Пётр,surName=Петров,street=ул. Кирова\\, 1,SNILS=11223344595,"
     "OGRNIP=304500116000157,INN=500100732259,EMAIL=petrov@example.ru,L=Челябинск,"
     "ST=74 Челябинская область,C=RU,CN=Петров Пётр"},
};

std::string Joined(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : separator) + item;
    return out;
}

// A certificate with the given subject (openssl's -subj form, UTF-8), on a P-256 key: decoding
// does not depend on the key type, and NSS refuses GOST keys.
kptest::Bytes MakeCertificate(const fs::path& dir, const std::string& subject,
                              const char* form = "DER") {
    const fs::path key = dir / "key.pem";
    const fs::path certificate = dir / "certificate";
    const kptest::CommandResult made = kptest::runCommand({"openssl",
                                                           "req",
                                                           "-x509",
                                                           "-new",
                                                           "-utf8",
                                                           "-newkey",
                                                           "ec",
                                                           "-pkeyopt",
                                                           "ec_paramgen_curve:P-256",
                                                           "-nodes",
                                                           "-keyout",
                                                           key.string(),
                                                           "-subj",
                                                           subject,
                                                           "-days",
                                                           "30",
                                                           "-outform",
                                                           form,
                                                           "-out",
                                                           certificate.string()});
    if (made.exitCode != 0)
        qFatal("openssl: %s", made.output.c_str());
    return kptest::readBytes(certificate);
}

}  // namespace

// Collects what is repainted of the widgets it watches.
class PaintedRegion : public QObject {
  public:
    QRegion region;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            region += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
};

class RequestAndFillTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<kptest::SoftTokenStore> store_;
    std::unique_ptr<kptest::TempDir> files_;
    std::unique_ptr<ScriptedDialogs> dialogs_;
    std::unique_ptr<TfCertRequestAlt> window_;

    template <class T = QWidget>
    T* Find(const char* name) {
        return window_test::FindControl<T>(*window_, name);
    }

    QString TextOf(const char* name) { return window_test::TextOf(*window_, name); }
    void SetTextOf(const char* name, const QString& text) {
        window_test::SetTextOf(*window_, name, text);
    }

    void Fill(const Fields& fields) {
        for (const auto& [name, text] : fields)
            SetTextOf(name, U(text));
    }

    int OwnerIndex() { return Find<TSRadioGroup>("rgCertOwnerType")->ItemIndex(); }

    void Open() {
        window_ = std::make_unique<TfCertRequestAlt>(*dialogs_);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    fs::path File(const char* name) const { return files_->path() / name; }

    // The public keys on the token, by label when one is given.
    std::vector<kptest::Bytes> PublicKeys(const std::optional<std::string>& label = {}) {
        kptest::ModuleSession session;
        std::vector<kptest::Bytes> keys;
        for (CK_OBJECT_HANDLE key : session.find(CKO_PUBLIC_KEY, label))
            keys.push_back(session.attribute(key, CKA_VALUE));
        return keys;
    }

    void AddPublicKey() {
        kptest::ModuleSession session;
        session.addPublicKey(kptest::Bytes(64, 0x5A), "old");
    }

    void Press(const char* button) {
        Find<QAbstractButton>(button)->click();
        CheckRestored();
    }

    void Choose(const char* item) {
        Find<QMenu>("PopupMenu1")->findChild<QAction*>(QString::fromLatin1(item))->trigger();
        CheckRestored();
    }

    // Whatever way a workflow ends, the normal cursor and an empty status bar come back.
    void CheckRestored() {
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(Find<QStatusBar>("StatusBar")->currentMessage().isEmpty());
    }

    // The form as the road fills it, ready for the button.
    void FillRoadForm(const RoadCase& c) {
        Find<TSRadioGroup>("rgCertOwnerType")->SetItemIndex(c.owner);
        Fill(*c.form);
        if (!c.withKpp)
            SetTextOf("edtKPP", QString());
        if (c.periodIndex)
            Find<QComboBox>("cbValidForMonths")->setCurrentIndex(*c.periodIndex);
        else
            Find("GroupBox1")->setEnabled(false);
    }

    void ExpectQuestion(std::size_t index, DialogOperation operation, MessageKind kind,
                        ButtonSet buttons, std::optional<Button> defaultButton) {
        QVERIFY(index < dialogs_->Asked().size());
        const DialogQuestion& q = dialogs_->Asked()[index];
        QCOMPARE(q.operation, operation);
        QCOMPARE(q.kind, kind);
        QVERIFY(q.buttons == buttons);
        QCOMPARE(q.defaultButton, defaultButton);
    }

    // The questions of a generation after the warning, up to the save dialog.
    void ExpectPinAndReport(std::size_t first) {
        QVERIFY(first + 1 < dialogs_->Asked().size());
        const DialogQuestion& pin = dialogs_->Asked()[first];
        QCOMPARE(pin.operation, DialogOperation::AskText);
        QCOMPARE(pin.title, Ansi("Укажите пин-код"));
        QCOMPARE(pin.value, std::string(kptest::kDefaultPin));
        ExpectQuestion(first + 1, DialogOperation::MessageBox, MessageKind::Information,
                       ButtonSet{Button::OK}, std::nullopt);
    }

    void WriteTemplate(const fs::path& file, const std::string& bytes) {
        kptest::writeBytes(file, kptest::Bytes(bytes.begin(), bytes.end()));
    }

    const RoadCase& Road(int index) { return kRoadCases[index]; }

  private slots:
    void init() {
        store_ = std::make_unique<kptest::SoftTokenStore>();
        store_->initToken();
        files_ = std::make_unique<kptest::TempDir>();
        SetEventLogPath(files_->path() / "error.log");
        dialogs_ = std::make_unique<ScriptedDialogs>();
        dialogs_->OnUnexpected([](const std::string& problem) {
            QTest::qFail(Utf8FromAnsi(problem).c_str(), __FILE__, __LINE__);
        });
        Open();
    }

    void cleanup() {
        window_.reset();
        std::string problems;
        for (const std::string& p : dialogs_->Problems())
            problems += Utf8FromAnsi(p) + "\n";
        dialogs_.reset();
        files_.reset();
        store_.reset();
        QVERIFY2(problems.empty(), problems.c_str());
    }

    void mainRoad_data() {
        QTest::addColumn<int>("road");
        for (int i = 0; i < static_cast<int>(std::size(kRoadCases)); ++i)
            QTest::newRow(kRoadCases[i].name) << i;
    }

    void mainRoad() {
        QFETCH(int, road);
        const RoadCase& c = Road(road);
        FillRoadForm(c);
        const fs::path saved = File("saved.req");
        dialogs_->AnswerAskText(Ansi(kPinPrompt), std::string(kptest::kDefaultPin))
            .AnswerMessageBox(Ansi(kGenerated), ResultCode(Button::OK))
            .AnswerSaveFile(Ansi(kSaveTitle), saved.string());
        const QDateTime before = QDateTime::currentDateTime();
        Press("btnOK");

        // An empty token: no warning, straight to the PIN.
        QCOMPARE(dialogs_->Asked().size(), std::size_t{3});
        ExpectPinAndReport(0);
        const FileDialogRequest& save = dialogs_->Asked()[2].file;
        QVERIFY(save.filter.empty());
        const QRegularExpression name(QRegularExpression::anchoredPattern(
            QString::fromLatin1(c.tag) + QStringLiteral("_(\\d{8}_\\d{6})\\.req")));
        const QRegularExpressionMatch match = name.match(QString::fromStdString(save.defaultName));
        QVERIFY2(match.hasMatch(), save.defaultName.c_str());
        const QDateTime stamp =
            QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMdd_HHmmss"));
        QVERIFY(stamp >= before.addSecs(-1) && stamp <= QDateTime::currentDateTime());

        // The file is the token's request for its one new key, labelled with the tag.
        const kptest::Bytes request = kptest::readBytes(saved);
        const kptest::RequestInfo info = kptest::readRequest(request);
        const std::vector<kptest::Bytes> keys = PublicKeys(std::string(c.tag));
        QCOMPARE(keys.size(), std::size_t{1});
        QCOMPARE(info.publicKey, keys[0]);
        QCOMPARE(PublicKeys().size(), std::size_t{1});

        std::vector<std::pair<std::string, std::string>> expected;
        for (const auto& [oid, value] : c.subject)
            expected.emplace_back(oid, value);
        QCOMPARE(info.subject, expected);
        QVERIFY2(Joined(info.extendedKeyUsage, ",").ends_with(c.lastUsages),
                 Joined(info.extendedKeyUsage, ",").c_str());

        // An independent reader takes it as it is and shows the same subject.
        const kptest::CommandResult shown =
            kptest::runCommand({"certtool", "--crq-info", "--infile", saved.string()});
        QVERIFY2(shown.exitCode == 0, shown.output.c_str());
        QVERIFY2(shown.output.find("Self signature: verified") != std::string::npos,
                 shown.output.c_str());
        const std::string line = std::string("\tSubject: ") + c.shownSubject + "\n";
        QVERIFY2(shown.output.find(line) != std::string::npos, shown.output.c_str());
        // Nothing on the form changed.
        for (const auto& [field, text] : *c.form)
            if (std::string_view(field) == "edtINN")
                QCOMPARE(TextOf(field), U(text));
    }

    void keysOnTheToken_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("goesOn");
        QTest::newRow("No stops") << ResultCode(Button::No) << false;
        QTest::newRow("Yes goes on") << ResultCode(Button::Yes) << true;
        QTest::newRow("closing the box goes on") << kResultClosed << true;
    }

    void keysOnTheToken() {
        QFETCH(int, answer);
        QFETCH(bool, goesOn);
        AddPublicKey();
        FillRoadForm(Road(0));
        dialogs_->AnswerMessageBoxDef(Ansi(kWarning), answer);
        if (goesOn)
            dialogs_->AnswerAskText(Ansi(kPinPrompt), std::string(kptest::kDefaultPin))
                .AnswerMessageBox(Ansi(kGenerated), ResultCode(Button::OK))
                .AnswerSaveFile(Ansi(kSaveTitle), File("saved.req").string());
        Press("btnOK");

        ExpectQuestion(0, DialogOperation::MessageBoxDef, MessageKind::Warning,
                       ButtonSet{Button::Yes, Button::No}, Button::No);
        QCOMPARE(dialogs_->Asked().size(), std::size_t{goesOn ? 4u : 1u});
        QCOMPARE(PublicKeys().size(), std::size_t{goesOn ? 2u : 1u});
        QCOMPARE(fs::exists(File("saved.req")), goesOn);
    }

    void cancelled_data() {
        QTest::addColumn<bool>("pinCancelled");
        QTest::addColumn<int>("keysAfter");
        QTest::newRow("PIN prompt") << true << 0;
        QTest::newRow("save dialog: the key pair stays") << false << 1;
    }

    void cancelled() {
        QFETCH(bool, pinCancelled);
        QFETCH(int, keysAfter);
        FillRoadForm(Road(0));
        if (pinCancelled) {
            dialogs_->AnswerAskText(Ansi(kPinPrompt), std::nullopt);
        } else {
            dialogs_->AnswerAskText(Ansi(kPinPrompt), std::string(kptest::kDefaultPin))
                .AnswerMessageBox(Ansi(kGenerated), ResultCode(Button::OK))
                .AnswerSaveFile(Ansi(kSaveTitle), std::nullopt);
        }
        Press("btnOK");
        QCOMPARE(PublicKeys().size(), static_cast<std::size_t>(keysAfter));
        QVERIFY(fs::is_empty(files_->path()));
    }

    // A token failure ends the road with its message; nothing is written. A failed key listing
    // counts as no keys, so the missing token is noticed by the generation.
    void tokenFailure_data() {
        QTest::addColumn<bool>("tokenPresent");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<int>("code");
        QTest::newRow("no token") << false << QString::fromLatin1(kptest::kDefaultPin)
                                  << int(RES_ERR_NO_TOKEN);
        QTest::newRow("wrong PIN") << true << QStringLiteral("1111") << int(RES_ERR_LOGIN);
    }

    void tokenFailure() {
        QFETCH(bool, tokenPresent);
        QFETCH(QString, pin);
        QFETCH(int, code);
        if (!tokenPresent)
            store_->util({"remove-token"});
        FillRoadForm(Road(0));
        dialogs_->AnswerAskText(Ansi(kPinPrompt), pin.toStdString())
            .AnswerCaptionedBox(TokenErrorText(code), ResultCode(Button::Cancel));
        Press("btnOK");
        ExpectQuestion(1, DialogOperation::CaptionedBox, MessageKind::Error,
                       ButtonSet{Button::Cancel}, Button::Cancel);
        if (tokenPresent)
            QVERIFY(PublicKeys().empty());
        QVERIFY(fs::is_empty(files_->path()));
    }

    void overwrite_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("No keeps the old file") << ResultCode(Button::No) << false;
        QTest::newRow("Yes replaces it and logs") << ResultCode(Button::Yes) << true;
    }

    void overwrite() {
        QFETCH(int, answer);
        QFETCH(bool, replaced);
        FillRoadForm(Road(0));
        const fs::path saved = File("saved.req");
        kptest::writeText(saved, "old");
        const std::string question = Ansi("Файл с именем ") + saved.string() +
                                     Ansi(" уже существует.") + "\r\n" + Ansi("Перезаписать?");
        dialogs_->AnswerAskText(Ansi(kPinPrompt), std::string(kptest::kDefaultPin))
            .AnswerMessageBox(Ansi(kGenerated), ResultCode(Button::OK))
            .AnswerSaveFile(Ansi(kSaveTitle), saved.string())
            .AnswerMessageBox(question, answer);
        Press("btnOK");

        const std::string content = kptest::readText(saved);
        const fs::path log = File("error.log");
        if (!replaced) {
            QCOMPARE(content, std::string("old"));
            QVERIFY(!fs::exists(log));
            return;
        }
        QCOMPARE(kptest::readRequest(kptest::readBytes(saved)).publicKey, PublicKeys()[0]);
        const std::string lines = kptest::readText(log);
        QCOMPARE(std::count(lines.begin(), lines.end(), '\n'), 1);
        QVERIFY2(lines.find("EVENT") != std::string::npos, lines.c_str());
    }

    // Fills from a certificate file. The form holds another person's data first.
    void fillFromCertificateFile_data() {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<int>("owner");
        QTest::addColumn<QStringList>("expected");  // name=text; every other field empty
        QTest::newRow("legal entity with 00 + INN")
            << U("/CN=ПАО Сбербанк/O=ПАО Сбербанк/SN=Иванов/GN=Иван Иванович/INN=007707083893"
                 "/OGRN=1027700132195/L=Москва/ST=77 г. Москва/unstructuredName=КПП=773601001")
            << 0
            << QStringList{
                   U("edtINN=007707083893"), U("edtSN=Иванов"),          U("edtGN1=Иван"),
                   U("edtGN2=Иванович"),     U("edtOGRN=1027700132195"), U("edtO=ПАО Сбербанк"),
                   U("edtL=Москва"),         U("edtST=77 г. Москва"),    U("edtKPP=773601001")};
        QTest::newRow("legal entity with a 10-digit INN")
            << U("/CN=ООО Ромашка/O=ООО Ромашка/INN=7707083893/title=Директор/OU=Руководство") << 0
            << QStringList{U("edtINN=007707083893"), U("edtO=ООО Ромашка"),
                           U("dbeCategory=Директор"), U("edtOU=Руководство")};
        QTest::newRow("without INN: no owner type, twelve zeros")
            << U("/CN=Сидоров/SN=Сидоров/emailAddress=s@example.ru") << -1
            << QStringList{U("edtINN=000000000000"), U("edtSN=Сидоров"),
                           U("edtEMAIL=s@example.ru")};
        QTest::newRow("entrepreneur with a one-word GN")
            << U("/CN=Петров/SN=Петров/GN=Пётр/INN=500100732259/OGRNIP=304500116000157"
                 "/SNILS=11223344595/street=ул. Кирова, 1")
            << 1
            << QStringList{U("edtINN=500100732259"), U("edtSN=Петров"),
                           U("edtOGRN=304500116000157"), U("edtSNILS=11223344595"),
                           U("edtStreet=ул. Кирова, 1")};
    }

    void fillFromCertificateFile() {
        QFETCH(QString, subject);
        QFETCH(int, owner);
        QFETCH(QStringList, expected);
        Fill(kLegalEntity);
        SetTextOf("edtCertFileName", U("/tmp/старый.cer"));
        const fs::path file = File("holder.cer");
        kptest::writeBytes(file, MakeCertificate(files_->path(), subject.toStdString()));
        dialogs_->AnswerOpenFile(Ansi(kCertificateFileTitle), file.string());
        Choose("N1");

        QCOMPARE(dialogs_->Asked()[0].file.filter, Ansi("Сертификаты|*.cer"));
        QCOMPARE(OwnerIndex(), owner);
        ExpectFields(expected);
    }

    void base64CertificateFileChangesNothing() {
        Fill(kLegalEntity);
        const fs::path file = File("holder.cer");
        kptest::writeBytes(file, MakeCertificate(files_->path(), "/CN=X/INN=500100732259", "PEM"));
        dialogs_->AnswerOpenFile(Ansi(kCertificateFileTitle), file.string());
        Choose("N1");
        QCOMPARE(OwnerIndex(), 0);
        for (const auto& [name, text] : kLegalEntity)
            QCOMPARE(TextOf(name), U(text));
    }

    void missingCertificateFileIsAnError() {
        Fill(kLegalEntity);
        const std::string file = File("none.cer").string();
        dialogs_->AnswerOpenFile(Ansi(kCertificateFileTitle), file)
            .AnswerCaptionedBox(Ansi("Не могу открыть файл ") + file, ResultCode(Button::Cancel));
        Choose("N1");
        QCOMPARE(TextOf("edtSN"), U("Иванов"));
    }

    void fillFromToken_data() {
        QTest::addColumn<int>("certificates");
        QTest::addColumn<int>("choice");
        QTest::newRow("none on the token") << 0 << 0;
        QTest::newRow("choice cancelled") << 2 << 0;
        QTest::newRow("second chosen") << 2 << 2;
    }

    void fillFromToken() {
        QFETCH(int, certificates);
        QFETCH(int, choice);
        Fill(kLegalEntity);
        const char* const subjects[] = {"/CN=Первый/SN=Первый/INN=500100732259",
                                        "/CN=Второй/SN=Второй/INN=7707083893"};
        {
            kptest::ModuleSession session;
            for (int i = 0; i < certificates; ++i)
                session.addCertificate(MakeCertificate(files_->path(), subjects[i]));
        }
        const QString today =
            QDateTime::currentDateTimeUtc().date().toString(QStringLiteral("dd.MM.yyyy"));
        const QString until = QDateTime::currentDateTimeUtc().date().addDays(30).toString(
            QStringLiteral("dd.MM.yyyy"));
        if (certificates == 0)
            dialogs_->AnswerMessageBox(Ansi(kNoCertificates), ResultCode(Button::OK));
        else
            dialogs_->AnswerMakeChoice(Ansi("Укажите сертификат"), choice);
        Choose("jaCarta1");

        const DialogQuestion& asked = dialogs_->Asked().at(0);
        if (certificates == 0) {
            QCOMPARE(asked.kind, MessageKind::Information);
            QVERIFY(asked.buttons == ButtonSet{Button::OK});
        } else {
            QVERIFY(!asked.anchor);
            QCOMPARE(asked.defaultIndex, 1);
            QVERIFY(asked.additionalText.empty());
            QCOMPARE(asked.items.size(), std::size_t{2});
            QCOMPARE(QStringFromAnsi(asked.items[0]),
                     U("Первый, действует с ") + today + U(" по ") + until);
        }
        if (choice == 0) {
            QCOMPARE(TextOf("edtSN"), U("Иванов"));
            QCOMPARE(OwnerIndex(), 0);
            return;
        }
        QCOMPARE(OwnerIndex(), 0);
        ExpectFields({U("edtINN=007707083893"), U("edtSN=Второй")});
    }

    void fillFromStore_data() {
        QTest::addColumn<int>("choice");
        QTest::newRow("chosen") << 1;
        QTest::newRow("cancelled") << 0;
    }

    void fillFromStore() {
        QFETCH(int, choice);
        kptest::TempDir home;
        kptest::ScopedEnv homeEnv("HOME", home.path().string());
        const fs::path db = home.path() / ".pki" / "nssdb";
        fs::create_directories(db);
        const fs::path der = home.path() / "c.der";
        kptest::writeBytes(der, MakeCertificate(home.path(),
                                                "/CN=Петров/SN=Петров/GN=Пётр Петрович"
                                                "/INN=500100732259/O=ИП Петров"));
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"certutil", "-N", "-d", "sql:" + db.string(),
                                       "--empty-password"},
              std::vector<std::string>{"certutil", "-A", "-d", "sql:" + db.string(), "-n", "holder",
                                       "-t", ",,", "-i", der.string()}}) {
            const kptest::CommandResult done = kptest::runCommand(command);
            QVERIFY2(done.exitCode == 0, done.output.c_str());
        }
        Fill(kLegalEntity);
        dialogs_->AnswerSelectCertificate(choice);
        Choose("Windows1");

        QCOMPARE(dialogs_->Asked().at(0).rows.size(), std::size_t{1});
        if (choice == 0) {
            QCOMPARE(TextOf("edtSN"), U("Иванов"));
            return;
        }
        // A disabled field is filled all the same.
        QCOMPARE(OwnerIndex(), 1);
        QVERIFY(!Find("edtO")->isEnabled());
        ExpectFields({U("edtINN=500100732259"), U("edtSN=Петров"), U("edtGN1=Пётр"),
                      U("edtGN2=Петрович"), U("edtO=ИП Петров")});
    }

    // Fills from a template over a filled legal entity; the template does not clear the form.
    void fillFromTemplate_data() {
        QTest::addColumn<QByteArray>("content");  // UTF-8, stored as Windows-1251 unless raw
        QTest::addColumn<bool>("raw");
        QTest::addColumn<int>("owner");
        QTest::addColumn<QStringList>("expected");  // name=text; Имя, Отчество, КПП kept
        QTest::newRow("without subject")
            << QByteArray("<?xml version=\"1.0\"?><r><x/></r>") << false << 1 << QStringList{};
        QTest::newRow("businessCategory fills the position")
            << QByteArray(
                   "<r><subject>INN=500100732259,SN=Петров,GN=Пётр Петрович</subject>"
                   "<subjectAltName><businessCategory>Бухгалтер</businessCategory>"
                   "</subjectAltName></r>")
            << false << 1
            << QStringList{U("edtINN=500100732259"), U("edtSN=Петров"), U("edtGN1=Пётр"),
                           U("edtGN2=Петрович"), U("dbeCategory=Бухгалтер")};
        QTest::newRow("КПП= and nine digits loses the first one")
            << QByteArray(
                   "<r><subject>INN=001234567890,O=ООО &quot;Ромашка&quot;,"
                   "title=Директор,unstructuredName=КПП=773601001</subject></r>")
            << false << 0
            << QStringList{U("edtINN=001234567890"), U("edtO=ООО \"Ромашка\""),
                           U("dbeCategory=Директор"), U("edtKPP=73601001")};
        QTest::newRow("UTF-8 file read as Windows-1251")
            << QByteArray("<r><subject>INN=001234567890,SN=Иванов</subject></r>") << true << 0
            << QStringList{U("edtINN=001234567890"),
                           U("edtSN=") + QStringFromAnsi(std::string_view("Иванов"))};
        QTest::newRow("broken file keeps what was read")
            << QByteArray("<r><subject>INN=001234567890,SN=Сидоров</subject><<") << false << 0
            << QStringList{U("edtINN=001234567890"), U("edtSN=Сидоров")};
    }

    void fillFromTemplate() {
        QFETCH(QByteArray, content);
        QFETCH(bool, raw);
        QFETCH(int, owner);
        QFETCH(QStringList, expected);
        Fill(kLegalEntity);
        const QString certificateFile = U("/tmp/старый.cer");
        SetTextOf("edtCertFileName", certificateFile);
        Find<QComboBox>("cbValidForMonths")->setCurrentIndex(5);
        const std::string utf8 = content.toStdString();
        const fs::path file = File("template.xml");
        WriteTemplate(file, raw ? utf8 : Ansi(utf8));
        dialogs_->AnswerOpenFile(Ansi(kTemplateFileTitle), file.string());
        Press("btnLoadFromXML");

        QCOMPARE(dialogs_->Asked()[0].file.filter, Ansi("xml-шаблон|*.xml"));
        QCOMPARE(OwnerIndex(), owner);
        QStringList kept = {U("edtGN1=Иван"), U("edtGN2=Иванович"),
                            U("edtCertFileName=") + certificateFile};
        if (owner == 0)
            kept << U("edtKPP=773601001");
        ExpectFields(expected, kept);
        QCOMPARE(Find<QComboBox>("cbValidForMonths")->currentIndex(), 5);
    }

    // A filled combo field loses its underline on the screen, not only when it is grabbed.
    void filledCombosRedrawTheirUnderline() {
        const char* const combos[] = {"dbeCategory", "edtST", "edtL"};
        std::vector<std::unique_ptr<PaintedRegion>> painted;
        QCoreApplication::processEvents();
        for (const char* name : combos) {
            painted.push_back(std::make_unique<PaintedRegion>());
            Find(name)->installEventFilter(painted.back().get());
        }
        const fs::path file = File("template.xml");
        WriteTemplate(file, Ansi("<r><subject>INN=001234567890,title=Директор,ST=77 г. Москва,"
                                 "L=Москва</subject></r>"));
        dialogs_->AnswerOpenFile(Ansi(kTemplateFileTitle), file.string());
        Press("btnLoadFromXML");
        QTest::qWait(50);
        for (std::size_t i = 0; i < std::size(combos); ++i) {
            QWidget* combo = Find(combos[i]);
            const QRect bottomRow(0, combo->height() - 1, combo->width(), 1);
            QVERIFY2(painted[i]->region.contains(bottomRow), combos[i]);
            combo->removeEventFilter(painted[i].get());
        }
    }

  private:
    // Every field named in expected has its text there, else the one in kept, else none.
    void ExpectFields(const QStringList& expected, const QStringList& kept = {}) {
        const char* const all[] = {"edtSN",     "edtGN1",      "edtGN2",         "edtSNILS",
                                   "edtEMAIL",  "dbeCategory", "edtST",          "edtL",
                                   "edtStreet", "edtO",        "edtOU",          "edtOGRN",
                                   "edtINN",    "edtKPP",      "edtCertFileName"};
        for (const char* name : all) {
            const QString prefix = QString::fromLatin1(name) + u'=';
            std::optional<QString> want;
            for (const QStringList* list : {&expected, &kept})
                for (const QString& e : *list)
                    if (!want && e.startsWith(prefix))
                        want = e.mid(prefix.size());
            QVERIFY2(TextOf(name) == want.value_or(QString()),
                     (std::string(name) + ": " + TextOf(name).toStdString()).c_str());
        }
    }
};

QTEST_MAIN(RequestAndFillTest)
#include "tst_request_and_fill.moc"
