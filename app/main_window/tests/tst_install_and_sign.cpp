// Installation, the folder search, the certificate list and the test signature, driven through
// the window's buttons with the real KeyPorter over a fresh software token per test.
#include <dlfcn.h>

#include <QApplication>
#include <QDateTime>
#include <QStatusBar>
#include <QTest>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cert_request_window.h"
#include "certdesk/cert_info.h"
#include "certdesk/codec.h"
#include "certdesk/scripted_dialogs.h"
#include "certdesk/subject_string.h"
#include "certdesk/token_client.h"
#include "certdesk/tsbutton.h"
#include "fake_token.h"
#include "qt_text.h"
#include "subject_widgets.h"
#include "test_support.h"
#include "window_controls.h"

using namespace certdesk;
namespace fs = std::filesystem;

namespace {

const char* const kPin = kptest::kDefaultPin;

// Who a certificate is issued to, and the tag installation must store it under.
struct Holder {
    std::vector<std::string> subject;  // UTF-8, as the token receives it
    std::string tag;
};

const Holder kOrganisation = {{"CN", "ООО Ромашка", "1.2.643.3.131.1.1", "007701234567",
                               "1.2.840.113549.1.9.2", "КПП=770101001"},
                              "007701234567-770101001"};
const Holder kEntrepreneur = {{"CN", "Петров Пётр", "1.2.643.3.131.1.1", "500100732259"},
                              "500100732259"};

// One question the workflow must ask, and the answer it gets.
struct Ask {
    DialogOperation operation = DialogOperation::MessageBox;
    std::string text;
    int result = 0;
    std::optional<std::string> answer;
    MessageKind kind = MessageKind::Information;
    ButtonSet buttons;
    std::optional<Button> defaultButton;
    std::string title;
    std::vector<std::string> captions;
    std::optional<std::string> value;  // what AskText or SelectFolder starts with
    // The status text while the hourglass is on; none when the question comes outside the
    // wait state.
    std::optional<std::string> waitText;
};

// The same question asked while the window waits with this status text.
Ask During(Ask a, const char* status, const std::string& tail = {}) {
    a.waitText = Ansi(status) + tail;
    return a;
}

const char* const kTokenAnalysis = "Подождите, идет анализ данных на устройстве jaCarta ...";
const char* const kInstalling = "Подождите, идет установка сертификата";
const char* const kSigning = "Подождите, идет проверка работоспособности сертификата ...";

// The scripted dialogs, noting with every question what the window's wait state was.
class WaitNotingDialogs : public ScriptedDialogs {
  public:
    struct Seen {
        bool hourglass = false;
        std::string status;
    };
    QStatusBar* statusBar = nullptr;
    std::vector<Seen> seen;

    int ShowMessageBox(const std::string& text, MessageKind kind, ButtonSet buttons) override {
        Note();
        return ScriptedDialogs::ShowMessageBox(text, kind, buttons);
    }
    int ShowMessageBoxDef(const std::string& text, MessageKind kind, ButtonSet buttons,
                          Button defaultButton) override {
        Note();
        return ScriptedDialogs::ShowMessageBoxDef(text, kind, buttons, defaultButton);
    }
    int ShowCaptionedBox(const std::string& text, MessageKind kind, const std::string& title,
                         ButtonSet buttons, Button defaultButton,
                         const std::vector<std::string>& captions) override {
        Note();
        return ScriptedDialogs::ShowCaptionedBox(text, kind, title, buttons, defaultButton,
                                                 captions);
    }
    bool AskText(const std::string& caption, const std::string& prompt,
                 std::string& value) override {
        Note();
        return ScriptedDialogs::AskText(caption, prompt, value);
    }
    int MakeChoice(std::optional<ScreenPoint> anchor, const std::vector<std::string>& items,
                   const std::string& caption, int defaultIndex,
                   const std::string& additionalText) override {
        Note();
        return ScriptedDialogs::MakeChoice(anchor, items, caption, defaultIndex, additionalText);
    }
    bool SelectFolder(const std::string& caption, const std::string& root,
                      std::string& directory) override {
        Note();
        return ScriptedDialogs::SelectFolder(caption, root, directory);
    }
    std::optional<std::string> OpenFile(const FileDialogRequest& request) override {
        Note();
        return ScriptedDialogs::OpenFile(request);
    }

  private:
    void Note() {
        const QCursor* cursor = QApplication::overrideCursor();
        seen.push_back({cursor != nullptr && cursor->shape() == Qt::WaitCursor,
                        AnsiFromQString(statusBar->currentMessage())});
    }
};

Ask Box(const char* text, MessageKind kind, ButtonSet buttons, int result,
        const std::string& tail = {}) {
    Ask a;
    a.text = Ansi(text) + tail;
    a.kind = kind;
    a.buttons = buttons;
    a.result = result;
    return a;
}

Ask Info(const char* text, const std::string& tail = {}) {
    return Box(text, MessageKind::Information, {Button::OK}, 1, tail);
}

Ask KeyQuestion(const char* text, int result) {
    Ask a = Box(text, MessageKind::Error, {Button::Yes, Button::No}, result);
    a.operation = DialogOperation::MessageBoxDef;
    a.defaultButton = Button::No;
    return a;
}

Ask Captioned(std::string text, MessageKind kind, const char* title, ButtonSet buttons,
              Button defaultButton, std::vector<const char*> captions, int result) {
    Ask a;
    a.operation = DialogOperation::CaptionedBox;
    a.text = std::move(text);
    a.kind = kind;
    a.title = Ansi(title);
    a.buttons = buttons;
    a.defaultButton = defaultButton;
    for (const char* caption : captions)
        a.captions.push_back(Ansi(caption));
    a.result = result;
    return a;
}

// The window-wide error display.
Ask ErrorBox(const std::string& ansiText) {
    return Captioned(ansiText, MessageKind::Error, "Ошибка", {Button::Cancel}, Button::Cancel,
                     {"Закрыть"}, 2);
}

Ask Pin(std::optional<std::string> entered = std::string(kPin)) {
    Ask a;
    a.operation = DialogOperation::AskText;
    a.text = Ansi("Ввод пин-кода");
    a.title = Ansi("Укажите пин-код");
    a.value = "5829301746";
    a.answer = std::move(entered);
    return a;
}

Ask OpenCertificate(std::optional<std::string> file) {
    Ask a;
    a.operation = DialogOperation::OpenFile;
    a.text = Ansi("Укажите файл с сертификатом");
    a.answer = std::move(file);
    return a;
}

Ask Folder(const std::string& preselected, std::optional<std::string> chosen) {
    Ask a;
    a.operation = DialogOperation::SelectFolder;
    a.text = Ansi("Укажите каталог с выпущенными сертификатами");
    a.value = preselected;
    a.answer = std::move(chosen);
    return a;
}

Ask Choice(const char* caption, int result) {
    Ask a;
    a.operation = DialogOperation::MakeChoice;
    a.text = Ansi(caption);
    a.result = result;
    return a;
}

Ask PartitionQuestion(int result) {
    return Captioned(
        Ansi("Вы хотите получить информацию о сертификатах на ГОСТ или PKI разделе jaCarta?"),
        MessageKind::Confirmation, "Укажите, пожалуйста", {Button::Yes, Button::No, Button::Cancel},
        Button::Yes, {"ГОСТ", "PKI", "Отмена"}, result);
}

Ask TestSignQuestion(Button defaultButton, int result) {
    return Captioned(
        Ansi("Данная функция позволяет протестировать указанный сертификат\r\nна соответствие "
             "закрытому ключу, сгенерированному на JaCarta.\r\n\r\nВо время проверки будет "
             "выполнена процедура установки тестовой\r\nэлектронной подписи с помощью закрытого "
             "ключа на JaCarta и\r\nвыбранного сертификата. Никакие данные не записываются и не "
             "удаляются с JaCarta.\r\nПроверяемый сертификат можно указать в виде файла либо "
             "выбрать из списка установленных на jaCarta\r\n\r\nЖелаете провести проверку "
             "сертификата?"),
        MessageKind::Confirmation, "Подтверждение", {Button::Yes, Button::No, Button::Cancel},
        defaultButton, {"Провести проверку из файла", "Провести проверку из JaCarta", "Отменить"},
        result);
}

const char* const kSuccess = "Сертификат успешно установлен";
const char* const kAlreadyInstalled =
    "Сертификат уже установлен на устройстве.\r\nПовторная установка НЕ требуется!";
const char* const kNoKeysQuestion =
    "На устройстве jaCartа не найдено открытых ключей!\r\nВозможна некорректная работа!\r\n"
    "Продолжить установку сертификата ?";
const char* const kForeignKeyQuestion =
    "На устройстве jaCartа не найден открытый ключ, соответствующий сертификату!\r\nВозможна "
    "некорректная работа!\r\nПродолжить установку сертификата ?";
const char* const kNoCertificates = "Установленных сертификатов не обнаружено !";
const char* const kSignatureMade =
    "Проверка работоспособности сертификата завершена - тестовая ЭП успешно установлена!";

std::string Text(const kptest::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

kptest::Bytes BytesOf(const std::string& text) {
    return kptest::Bytes(text.begin(), text.end());
}

std::string Readable(const std::string& ansi) {
    return Utf8FromAnsi(ansi);
}

// Label and identifier of each certificate object on the token.
std::vector<std::pair<std::string, std::string>> TokenCertificateTags() {
    kptest::ModuleSession session;
    std::vector<std::pair<std::string, std::string>> tags;
    for (CK_OBJECT_HANDLE object : session.find(CKO_CERTIFICATE))
        tags.emplace_back(Text(session.attribute(object, CKA_LABEL)),
                          Text(session.attribute(object, CKA_ID)));
    return tags;
}

std::string Day(std::uint32_t seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)
        .toString(QStringLiteral("dd.MM.yyyy"))
        .toStdString();
}

std::string Validity(const std::string& certificate) {
    TCertInfo info;
    TVCertMgr::GetCertInfo(certificate, ciNotBefore + ciNotAfter, info);
    return Ansi(", действует с ") + Day(info.NotBefore) + Ansi(" по ") + Day(info.NotAfter);
}

}  // namespace

class InstallAndSignTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<kptest::TestCa> ca_;
    std::unique_ptr<kptest::SoftTokenStore> store_;
    std::unique_ptr<kptest::TempDir> files_;
    std::unique_ptr<WaitNotingDialogs> dialogs_;
    std::unique_ptr<TfCertRequestAlt> window_;

    template <class T = QWidget>
    T* Find(const char* name) {
        return window_test::FindControl<T>(*window_, name);
    }

    QString FileField() { return Find<TSubjectEdit>("edtCertFileName")->text(); }
    void SetFileField(const std::string& text) {
        Find<TSubjectEdit>("edtCertFileName")->setText(QString::fromStdString(text));
    }

    // A key pair made on the current token and the test CA's certificate for it.
    std::string Issue(const Holder& holder) {
        const std::string request =
            TokenGenCertRequests(kPin, holder.tag, holder.tag, holder.subject);
        return Text(ca_->issue(BytesOf(request)));
    }

    // A certificate for a key pair made on another token.
    std::string ForeignCertificate(const Holder& holder) {
        kptest::SoftTokenStore other;
        other.initToken();
        return Issue(holder);
    }

    std::string InstalledCertificate(const Holder& holder) {
        const std::string certificate = Issue(holder);
        TokenInstallCertificate(kPin, holder.tag, holder.tag, certificate);
        return certificate;
    }

    std::string WriteFile(const std::string& name, const std::string& bytes) {
        const fs::path file = files_->path() / name;
        kptest::writeBytes(file, BytesOf(bytes));
        return file.string();
    }

    std::size_t TokenCertificateCount() {
        std::vector<std::string> certificates;
        TokenGetCertificates(certificates, TokenPartition::Gost);
        return certificates.size();
    }

    static bool KeyPorterLoaded() {
        void* handle = dlopen("libKeyPorter.so", RTLD_NOW | RTLD_NOLOAD);
        if (handle == nullptr)
            return false;
        dlclose(handle);
        return true;
    }

    // The window's probe leaves KeyPorter loaded; without that reference the library stays
    // in the process only while somebody holds it.
    static void DropProbeReference() {
        void* handle = dlopen("libKeyPorter.so", RTLD_NOW | RTLD_NOLOAD);
        QVERIFY(handle != nullptr);
        dlclose(handle);
        dlclose(handle);
        QVERIFY(!KeyPorterLoaded());
    }

    // Presses the button with the script queued, then checks that exactly these questions were
    // asked, in this order, and that the wait state is over.
    void Press(const char* button, const std::vector<Ask>& script) {
        for (const Ask& a : script) {
            switch (a.operation) {
                case DialogOperation::MessageBox:
                    dialogs_->AnswerMessageBox(a.text, a.result);
                    break;
                case DialogOperation::MessageBoxDef:
                    dialogs_->AnswerMessageBoxDef(a.text, a.result);
                    break;
                case DialogOperation::CaptionedBox:
                    dialogs_->AnswerCaptionedBox(a.text, a.result);
                    break;
                case DialogOperation::AskText:
                    dialogs_->AnswerAskText(a.text, a.answer);
                    break;
                case DialogOperation::MakeChoice:
                    dialogs_->AnswerMakeChoice(a.text, a.result);
                    break;
                case DialogOperation::SelectFolder:
                    dialogs_->AnswerSelectFolder(a.text, a.answer);
                    break;
                case DialogOperation::OpenFile:
                    dialogs_->AnswerOpenFile(a.text, a.answer);
                    break;
                default:
                    QFAIL("no such question in these workflows");
            }
        }
        const std::size_t before = dialogs_->Asked().size();
        Find<TSButton>(button)->click();

        std::string problems;
        for (const std::string& p : dialogs_->Problems())
            problems += Readable(p) + "\n";
        QVERIFY2(problems.empty(), problems.c_str());
        const std::vector<DialogQuestion>& asked = dialogs_->Asked();
        QCOMPARE(asked.size() - before, script.size());
        for (std::size_t i = 0; i < script.size(); ++i) {
            const Ask& want = script[i];
            const DialogQuestion& got = asked[before + i];
            QCOMPARE(Readable(got.text), Readable(want.text));
            const WaitNotingDialogs::Seen& seen = dialogs_->seen[before + i];
            QCOMPARE(seen.hourglass, want.waitText.has_value());
            QCOMPARE(Readable(seen.status), Readable(want.waitText.value_or("")));
            switch (want.operation) {
                case DialogOperation::MessageBox:
                case DialogOperation::MessageBoxDef:
                case DialogOperation::CaptionedBox:
                    QCOMPARE(got.kind, want.kind);
                    QCOMPARE(got.buttons.Bits(), want.buttons.Bits());
                    QCOMPARE(got.defaultButton, want.defaultButton);
                    QCOMPARE(Readable(got.title), Readable(want.title));
                    QCOMPARE(got.captions, want.captions);
                    break;
                case DialogOperation::AskText:
                    QCOMPARE(Readable(got.title), Readable(want.title));
                    QCOMPARE(got.value, *want.value);
                    break;
                case DialogOperation::SelectFolder:
                    QCOMPARE(got.value, *want.value);
                    QCOMPARE(got.root, std::string());
                    break;
                case DialogOperation::OpenFile:
                    QCOMPARE(Readable(got.file.filter), std::string("Сертификаты|*.cer"));
                    break;
                case DialogOperation::MakeChoice:
                    QVERIFY(!got.anchor);
                    QCOMPARE(got.defaultIndex, 1);
                    QCOMPARE(got.additionalText, std::string());
                    break;
                default:
                    break;
            }
        }
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QCOMPARE(Find<QStatusBar>("StatusBar")->currentMessage(), QString());
    }

  private slots:
    void initTestCase() { ca_ = std::make_unique<kptest::TestCa>(); }

    void init() {
        store_ = std::make_unique<kptest::SoftTokenStore>();
        store_->initToken();
        files_ = std::make_unique<kptest::TempDir>();
        dialogs_ = std::make_unique<WaitNotingDialogs>();
        SetTokenLibraryName("libKeyPorter.so");
        window_ = std::make_unique<TfCertRequestAlt>(*dialogs_);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        dialogs_->statusBar = Find<QStatusBar>("StatusBar");
    }

    void cleanup() {
        window_.reset();
        TokenLibraryUnpin();
        dialogs_.reset();
        files_.reset();
        store_.reset();
    }

    void installsUnderTheCertificatesTagOnce_data() {
        QTest::addColumn<int>("holder");
        QTest::newRow("organisation with KPP") << 0;
        QTest::newRow("entrepreneur") << 1;
    }

    void installsUnderTheCertificatesTagOnce() {
        QFETCH(int, holder);
        const Holder& h = holder == 0 ? kOrganisation : kEntrepreneur;
        const std::string certificate = Issue(h);
        const std::string file = WriteFile("issued.cer", certificate);

        // An empty field asks for the file at once and goes straight on to the PIN.
        Press("btnInstall", {OpenCertificate(file), Pin(), Info(kSuccess)});
        QCOMPARE(FileField().toStdString(), file);
        const std::vector<std::pair<std::string, std::string>> once = {{h.tag, h.tag}};
        QCOMPARE(TokenCertificateTags(), once);

        // Blanks around the name still name the file.
        SetFileField("  " + file + " ");
        Press("btnInstall", {Pin(), ErrorBox(Ansi(kAlreadyInstalled))});
        QCOMPARE(TokenCertificateTags(), once);
    }

    void asksWhenTheTokenLacksTheKey_data() {
        QTest::addColumn<bool>("keysOnToken");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("installed");
        QTest::newRow("no keys, No") << false << 7 << false;
        QTest::newRow("no keys, Yes") << false << 6 << true;
        QTest::newRow("another key, No") << true << 7 << false;
        QTest::newRow("another key, box closed") << true << 2 << true;
    }

    void asksWhenTheTokenLacksTheKey() {
        QFETCH(bool, keysOnToken);
        QFETCH(int, answer);
        QFETCH(bool, installed);
        if (keysOnToken)
            Issue(kEntrepreneur);
        SetFileField(WriteFile("foreign.cer", ForeignCertificate(kOrganisation)));

        DropProbeReference();
        std::vector<Ask> script = {
            Pin(), During(KeyQuestion(keysOnToken ? kForeignKeyQuestion : kNoKeysQuestion, answer),
                          kInstalling)};
        if (installed)
            script.push_back(Info(kSuccess));
        Press("btnInstall", script);
        QVERIFY2(!KeyPorterLoaded(), "the library is still pinned");
        QCOMPARE(TokenCertificateCount(), installed ? 1u : 0u);
    }

    void stopsBeforeTheTokenOnWhatIsNoCertificate() {
        const std::string certificate = Issue(kOrganisation);
        const std::string file = WriteFile(
            "issued.cer", "-----BEGIN CERTIFICATE-----\n" +
                              QByteArray::fromStdString(certificate).toBase64().toStdString() +
                              "\n-----END CERTIFICATE-----\n");
        SetFileField(file);
        const fs::path journal = files_->path() / "journal";
        {
            const kptest::ScopedEnv journalEnv("SOFTTOKEN_JOURNAL", journal.string());
            Press("btnInstall", {Pin(), ErrorBox(Ansi("Файл ") + file +
                                                 Ansi(" не содержит сертификата в формате DER.\r\n"
                                                      "Установка сертификата невозможна!"))});
        }
        QVERIFY2(!fs::exists(journal), "the token was called");
        QCOMPARE(TokenCertificateCount(), 0u);
    }

    void failedInstallationReleasesTheLibrary() {
        SetFileField(WriteFile("issued.cer", Issue(kOrganisation)));
        DropProbeReference();
        Press("btnInstall", {Pin("0000"), ErrorBox(Ansi("Ошибка подключения к токену"))});
        QVERIFY2(!KeyPorterLoaded(), "the library is still pinned");
        QCOMPARE(TokenCertificateCount(), 0u);
    }

    void findsTheCertificateOfATokenKey_data() {
        QTest::addColumn<bool>("keysOnToken");
        QTest::addColumn<bool>("ownCertificate");
        QTest::addColumn<bool>("folderChosen");
        QTest::newRow("second of three") << true << true << true;
        QTest::newRow("none matches") << true << false << true;
        QTest::newRow("folder cancelled") << true << true << false;
        QTest::newRow("no keys on the token") << false << true << true;
    }

    void findsTheCertificateOfATokenKey() {
        QFETCH(bool, keysOnToken);
        QFETCH(bool, ownCertificate);
        QFETCH(bool, folderChosen);
        const fs::path folder = files_->path() / "issued";
        fs::create_directory(folder);
        const std::string own =
            keysOnToken ? Issue(kOrganisation) : ForeignCertificate(kOrganisation);
        kptest::writeBytes(folder / "a.cer", BytesOf(ForeignCertificate(kEntrepreneur)));
        kptest::writeBytes(folder / "b.cer",
                           BytesOf(ownCertificate ? own : ForeignCertificate(kOrganisation)));
        kptest::writeBytes(folder / "c.cer", kptest::readBytes(ca_->certificateFile()));
        kptest::writeBytes(folder / "d.der", BytesOf(own));
        SetFileField("earlier");

        std::vector<Ask> script;
        const std::string withSeparator = folder.string() + "/";
        if (!keysOnToken) {
            script.push_back(
                During(Box("На устройстве не найдены открытые ключи - поиск невозможен !",
                           MessageKind::Error, {Button::Cancel}, 2),
                       ""));
        } else {
            script.push_back(
                During(Folder(fs::current_path().string(),
                              folderChosen ? std::optional(folder.string()) : std::nullopt),
                       ""));
            if (folderChosen && ownCertificate)
                script.push_back(During(
                    Info("Найден сертификат, соответствующий открытому ключу на jaCarta в файле: ",
                         "b.cer"),
                    "Подождите, идет анализ данных в каталоге ", folder.string()));
            else if (folderChosen)
                script.push_back(
                    During(Info("К сожалению, в каталоге ",
                                withSeparator + Ansi("\r\nне найдено сертификатов,соответствующий "
                                                     "открытому ключу на jaCarta")),
                           "Подождите, идет анализ данных в каталоге ", folder.string()));
        }
        Press("btnFindInDir", script);
        const bool found = keysOnToken && ownCertificate && folderChosen;
        QCOMPARE(FileField().toStdString(), found ? withSeparator + "b.cer" : "earlier");
        QCOMPARE(TokenCertificateCount(), 0u);
    }

    void listsTheCertificatesOfAPartition_data() {
        QTest::addColumn<int>("answer");
        QTest::newRow("GOST") << 6;
        QTest::newRow("empty PKI") << 7;
        QTest::newRow("cancelled") << 2;
    }

    void listsTheCertificatesOfAPartition() {
        QFETCH(int, answer);
        store_->initToken("pki", kPin, 0, "pki");
        InstalledCertificate(kOrganisation);
        InstalledCertificate(kEntrepreneur);
        std::vector<std::string> certificates;
        TokenGetCertificates(certificates, TokenPartition::Gost);
        QCOMPARE(certificates.size(), 2u);

        std::vector<Ask> script = {PartitionQuestion(answer)};
        if (answer == 6) {
            std::string lines;
            for (std::size_t i = 0; i < certificates.size(); ++i) {
                TCertInfo info;
                TVCertMgr::GetCertInfo(certificates[i], ciSubject, info);
                QVERIFY(info.Subject.rfind("CN=", 0) == 0);
                lines += std::to_string(i + 1) + ". " + info.Subject + Validity(certificates[i]) +
                         "\r\n";
            }
            script.push_back(During(Captioned(lines, MessageKind::Information,
                                              "Информация об установленных сертификатах:",
                                              {Button::OK}, Button::OK, {"Ok"}, 1),
                                    kTokenAnalysis));
        } else if (answer == 7) {
            script.push_back(During(Info(kNoCertificates), kTokenAnalysis));
        }
        Press("btnGetCertInfo", script);
    }

    void testSignature_data() {
        QTest::addColumn<QString>("source");
        QTest::newRow("from the file") << "file";
        QTest::newRow("from the token list") << "token";
        QTest::newRow("certificate not on the token") << "foreign";
        QTest::newRow("file without a certificate") << "no certificate";
        QTest::newRow("no file chosen") << "cancelled file";
        QTest::newRow("PIN cancelled") << "cancelled PIN";
        QTest::newRow("empty token list") << "empty";
        QTest::newRow("question cancelled") << "cancelled";
    }

    void testSignature() {
        QFETCH(QString, source);
        const std::string installed =
            source == "empty" ? Issue(kOrganisation) : InstalledCertificate(kOrganisation);
        const std::string file = WriteFile("issued.cer", installed);
        const std::string foreign = WriteFile("foreign.cer", ForeignCertificate(kEntrepreneur));

        std::vector<Ask> script;
        if (source == "file" || source == "cancelled PIN") {
            SetFileField(" " + file);
            script = {TestSignQuestion(Button::Yes, 6)};
        } else if (source == "foreign" || source == "no certificate") {
            SetFileField(source == "foreign" ? foreign
                                             : WriteFile("text.cer", "no certificate here"));
            script = {TestSignQuestion(Button::Yes, 6)};
        } else if (source == "cancelled file") {
            script = {TestSignQuestion(Button::No, 6), OpenCertificate(std::nullopt)};
        } else if (source == "token") {
            InstalledCertificate(kEntrepreneur);
            script = {TestSignQuestion(Button::No, 7),
                      During(Choice("Укажите сертификат для тестирования", 2), kTokenAnalysis)};
        } else if (source == "empty") {
            script = {TestSignQuestion(Button::No, 7),
                      During(Info(kNoCertificates), kTokenAnalysis)};
        } else {
            script = {TestSignQuestion(Button::No, 2)};
        }
        if (source == "cancelled PIN")
            script.push_back(Pin(std::nullopt));
        else if (source == "foreign" || source == "no certificate")
            script.insert(
                script.end(),
                {Pin(), ErrorBox(Ansi("Указанный сертификат не установлен на jaCarta!"))});
        else if (source == "file" || source == "token")
            script.insert(script.end(), {Pin(), During(Info(kSignatureMade), kSigning)});

        Press("btnTestSign", script);
        if (source == "token") {
            std::vector<std::string> certificates;
            TokenGetCertificates(certificates, TokenPartition::Gost);
            std::vector<std::string> lines;
            for (const std::string& each : certificates) {
                TCertInfo info;
                TVCertMgr::GetCertInfo(each, ciSubject, info);
                lines.push_back(GetDNValue(info.Subject, "CN") + Validity(each));
            }
            QCOMPARE(lines.size(), 2u);
            QCOMPARE(dialogs_->Asked()[1].items, lines);
        } else {
            QCOMPARE(TokenCertificateCount(), source == "empty" ? 0u : 1u);
        }
    }

    // Only a signature longer than the certificate proves the key; a library stand-in returns
    // signatures of the lengths around that bound.
    void testSignatureLongerThanTheCertificate_data() {
        QTest::addColumn<int>("extra");
        QTest::newRow("as long as the certificate") << 0;
        QTest::newRow("one byte longer") << 1;
    }

    void testSignatureLongerThanTheCertificate() {
        QFETCH(int, extra);
        const std::string certificate = "not decoded by the test signature";
        SetFileField(WriteFile("issued.cer", certificate));
        tc_fake::Script() = {};
        tc_fake::Script().output.assign(certificate.size() + static_cast<std::size_t>(extra), 'S');
        SetTokenLibraryName(CERTDESK_TEST_LIBRARY_FULL);
        std::vector<Ask> script = {TestSignQuestion(Button::Yes, 6), Pin("1234")};
        if (extra > 0)
            script.push_back(During(Info(kSignatureMade), kSigning));
        else
            script.push_back(
                During(Captioned(Ansi("Ошибка установки тестовой ЭП!\r\nРаботать с выбранным "
                                      "сертификатом невозможно, т.к. он не соответствует ключам, "
                                      "имеющимся на JaCarta"),
                                 MessageKind::Error, "Ошибка", {Button::Cancel}, Button::Cancel,
                                 {"Закрыть"}, 2),
                       kSigning));
        Press("btnTestSign", script);
        SetTokenLibraryName("libKeyPorter.so");
        QCOMPARE(tc_fake::Script().pin, std::string("1234"));
        QCOMPARE(tc_fake::Script().data, std::string("TestData"));
        QCOMPARE(tc_fake::Script().certificate, certificate);
    }
};

QTEST_MAIN(InstallAndSignTest)
#include "tst_install_and_sign.moc"
