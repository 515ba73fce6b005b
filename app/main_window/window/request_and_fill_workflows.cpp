#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QMenu>
#include <QStatusBar>
#include <QThread>
#include <optional>
#include <utility>

#include "cert_request_window.h"
#include "certdesk/cert_info.h"
#include "certdesk/codec.h"
#include "certdesk/store_selection.h"
#include "certdesk/text_utils.h"
#include "certdesk/token_client.h"
#include "certdesk/tsbutton.h"
#include "certdesk/tsradiogroup.h"
#include "certdesk/xml_parser.h"
#include "qt_text.h"
#include "subject_widgets.h"

namespace certdesk {
namespace {

constexpr const char* kAnalysingToken = "Подождите, идет анализ данных на устройстве jaCarta ...";

// The extended key usages of a request; the last one is completed with the months of validity.
constexpr const char* kEkuPrefix =
    "1.3.6.1.5.5.7.3.4,1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6,1.2.643.5.1.28.2,1.2.643.5.1.28.3,"
    "1.2.643.5.1.28.4,1.2.643.3.6.78.4.5,1.2.643.3.6.0.";

constexpr const char* kDefaultPin = "5829301746";

// The token takes names and values as UTF-8, each UTF-16 unit encoded on its own.
std::string TokenText(const std::string& ansi) {
    return EncodeUtf8(Utf16FromAnsi(ansi));
}

void LetPendingMessagesRun() {
    QCoreApplication::processEvents();
    QThread::yieldCurrentThread();
}

}  // namespace

void TfCertRequestAlt::BindRequestAndFillHandlers() {
    connect(btnLoadFromXML, &QAbstractButton::clicked, this,
            [this] { Guarded([this] { btnLoadFromXMLClick(); }); });
    const std::pair<const char*, void (TfCertRequestAlt::*)()> items[] = {
        {"Windows1", &TfCertRequestAlt::Windows1Click},
        {"N1", &TfCertRequestAlt::N1Click},
        {"jaCarta1", &TfCertRequestAlt::jaCarta1Click},
    };
    for (const auto& [name, handler] : items) {
        QAction* item = PopupMenu1->findChild<QAction*>(QString::fromLatin1(name));
        connect(item, &QAction::triggered, this,
                [this, h = handler] { Guarded([this, h] { (this->*h)(); }); });
    }
}

void TfCertRequestAlt::ApplySubjectFill(const SubjectFill& fill) {
    // The owner type first: emptying and disabling for its type happen before the fill.
    rgCertOwnerType->SetItemIndex(static_cast<int>(fill.ownerType));
    const std::pair<const char*, TSubjectField*> controls[] = {
        {"edtINN", edtINN},       {"edtSN", edtSN},       {"edtGN1", edtGN1},
        {"edtGN2", edtGN2},       {"edtSNILS", edtSNILS}, {"edtOGRN", edtOGRN},
        {"edtEMAIL", edtEMAIL},   {"edtO", edtO},         {"edtL", edtL},
        {"edtST", edtST},         {"edtOU", edtOU},       {"dbeCategory", dbeCategory},
        {"edtStreet", edtStreet}, {"edtKPP", edtKPP},
    };
    for (const FieldAssignment& assignment : fill.assignments)
        for (const auto& [name, field] : controls)
            if (assignment.control == name)
                field->SetText(QStringFromAnsi(assignment.value));
    RecomputeOK();
}

void TfCertRequestAlt::FillFromCertificate(const x509_st& certificate) {
    btnClearAllClick();
    TCertInfo info;
    TVCertMgr::GetCertInfoFromContext(certificate, ciSubject, info);
    const SubjectFill fill = FillFromCertificateSubject(info.Subject);
    TVCertMgr::FreeCertInfo(info);
    ApplySubjectFill(fill);
}

void TfCertRequestAlt::Windows1Click() {
    const std::optional<StoreCertificate> chosen = SelectStoreCertificate(dialogs_);
    if (chosen && chosen->certificate)
        FillFromCertificate(*chosen->certificate);
}

void TfCertRequestAlt::N1Click() {
    const std::optional<std::string> file = dialogs_.OpenFile(openDialog_);
    if (!file)
        return;
    // Anything but a DER certificate (a Base64 file, say) is passed over without a word.
    if (const DecodedCertificate certificate = DecodeCertificate(ReadFileToString(*file)))
        FillFromCertificate(*certificate);
}

void TfCertRequestAlt::jaCarta1Click() {
    std::optional<std::string> chosen;
    RunWithWaitText(Ansi(kAnalysingToken), [&] {
        std::vector<std::string> certificates;
        TokenGetCertificates(certificates, TokenPartition::Gost);
        if (certificates.empty()) {
            dialogs_.ShowMessageBox(Ansi("Установленных сертификатов не обнаружено !"),
                                    MessageKind::Information, ButtonSet{Button::OK});
            return;
        }
        std::vector<std::string> lines;
        lines.reserve(certificates.size());
        for (const std::string& der : certificates) {
            TCertInfo info;
            TVCertMgr::GetCertInfo(der, ciSubject | ciNotBefore | ciNotAfter, info);
            lines.push_back(CertificateChoiceLine(info));
            TVCertMgr::FreeCertInfo(info);
        }
        const int choice =
            dialogs_.MakeChoice(std::nullopt, lines, Ansi("Укажите сертификат"), 1, std::string());
        if (choice >= 1 && static_cast<std::size_t>(choice) <= certificates.size())
            chosen = std::move(certificates[static_cast<std::size_t>(choice) - 1]);
    });
    if (!chosen)
        return;
    if (const DecodedCertificate certificate = DecodeCertificate(*chosen))
        FillFromCertificate(*certificate);
}

void TfCertRequestAlt::btnLoadFromXMLClick() {
    const std::optional<std::string> file = dialogs_.OpenFile(openDialogXML_);
    if (!file)
        return;
    // Syntax errors are not reported: what the parser built is used, the rest counts as absent.
    TquorXMLParser2 document;
    document.LoadFromFile(*file);
    std::optional<std::string> businessCategory;
    if (const TquorXMLNode2* altName = FindChild(document, "subjectAltName", false))
        businessCategory = ChildText(*altName, "businessCategory");
    ApplySubjectFill(FillFromTemplateSubject(ChildText(document, "subject"), businessCategory));
}

std::string TfCertRequestAlt::SubscriberTag() const {
    std::string tag = TrimBlanks(AnsiFromQString(edtINN->Text()));
    const std::string kpp = TrimBlanks(AnsiFromQString(edtKPP->Text()));
    if (Owner() == OwnerType::LegalEntity && !kpp.empty())
        tag += "-" + kpp;
    return tag;
}

std::vector<std::string> TfCertRequestAlt::RequestSubject() const {
    const auto raw = [](const TSubjectField* field) { return AnsiFromQString(field->Text()); };
    const auto trimmed = [&](const TSubjectField* field) { return TrimBlanks(raw(field)); };
    const bool legal = Owner() == OwnerType::LegalEntity;

    std::vector<std::pair<std::string, std::string>> pairs;
    const auto add = [&](const char* name, std::string value) {
        pairs.emplace_back(name, std::move(value));
    };
    add("CN",
        legal ? trimmed(edtO) : TrimBlanks(raw(edtSN) + " " + raw(edtGN1) + " " + raw(edtGN2)));
    add("C", "RU");
    if (legal)
        add("O", trimmed(edtO));
    add("ST", trimmed(edtST));
    add("L", trimmed(edtL));
    if (!trimmed(edtOU).empty())
        add("OU", trimmed(edtOU));
    if (!trimmed(dbeCategory).empty())
        add("2.5.4.12", trimmed(dbeCategory));
    if (!trimmed(edtEMAIL).empty())
        add("1.2.840.113549.1.9.1", trimmed(edtEMAIL));
    add("1.2.643.3.131.1.1", PadLeft(trimmed(edtINN), 12, '0'));
    if (legal)
        add("1.2.643.100.1", trimmed(edtOGRN));
    else if (!raw(edtOGRN).empty())
        add("1.2.643.100.5", trimmed(edtOGRN));
    if (!trimmed(edtSNILS).empty())
        add("1.2.643.100.3", trimmed(edtSNILS));
    if (!trimmed(edtStreet).empty())
        add("2.5.4.9", raw(edtStreet));
    add("2.5.4.4", trimmed(edtSN));
    add("2.5.4.42", TrimBlanks(raw(edtGN1) + " " + raw(edtGN2)));
    if (legal && !trimmed(edtKPP).empty())
        add("1.2.840.113549.1.9.2", Ansi("КПП=") + trimmed(edtKPP));

    std::vector<std::string> subject;
    subject.reserve(2 * pairs.size());
    for (const auto& [name, value] : pairs) {
        subject.push_back(TokenText(name));
        subject.push_back(TokenText(value));
    }
    return subject;
}

void TfCertRequestAlt::GenerateKeyAndRequest() {
    // The hourglass stays up through the question about the keys found.
    bool goOn = true;
    RunWithWaitText(Ansi(kAnalysingToken), [&] {
        std::vector<std::string> keys;
        TokenGetPublicKeys(keys);
        StatusBar->clearMessage();
        if (!keys.empty())
            goOn = dialogs_.ShowMessageBoxDef(
                       Ansi("На устройстве найдены ключи.\r\nВозможна некорректная работа УТМ-а "
                            "после установки сертификата на это устройство.\r\nРекомендуется "
                            "провести инициализацию ГОСТ области на jaCarta и повторить "
                            "генерацию.\r\nПродолжить генерацию несмотря на предупреждение ?"),
                       MessageKind::Warning, ButtonSet{Button::Yes, Button::No},
                       Button::No) != ResultCode(Button::No);
    });
    if (!goOn)
        return;

    std::string pin = kDefaultPin;
    if (!dialogs_.AskText(Ansi("Укажите пин-код"), Ansi("Ввод пин-кода"), pin))
        return;

    const std::string tag = SubscriberTag();
    const std::vector<std::string> subject = RequestSubject();

    std::string request;
    RunWithWaitText(
        Ansi("Подождите немного, идет генерация ключа и запроса на сертификат ..."), [&] {
            if (cbValidForMonths->isEnabled()) {
                const int months = cbValidForMonths->count() - cbValidForMonths->currentIndex();
                request = TokenGenCertRequestsEKU(pin, tag, tag,
                                                  kEkuPrefix + std::to_string(months), subject);
            } else {
                request = TokenGenCertRequests(pin, tag, tag, subject);
            }
        });

    dialogs_.ShowMessageBox(Ansi("Запрос на сертификат успешно сформирован !"),
                            MessageKind::Information, ButtonSet{Button::OK});
    LetPendingMessagesRun();

    FileDialogRequest save;
    save.title = Ansi("Укажите имя файла для сохранения запроса");
    save.defaultName =
        tag + "_" +
        AnsiFromQString(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss"))) +
        ".req";
    if (const std::optional<std::string> file = dialogs_.SaveFile(save))
        WriteFileConfirm(dialogs_, *file, request);
}

}  // namespace certdesk
