#include <QAbstractButton>
#include <QStatusBar>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "cert_request_window.h"
#include "certdesk/cert_info.h"
#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/subject_string.h"
#include "certdesk/text_utils.h"
#include "certdesk/token_client.h"
#include "certdesk/tsbutton.h"
#include "qt_text.h"
#include "subject_widgets.h"

namespace certdesk {
namespace {

const char* const kDefaultPin = "5829301746";
const char* const kTokenAnalysisText = "Подождите, идет анализ данных на устройстве jaCarta ...";
const char* const kNoCertificatesText = "Установленных сертификатов не обнаружено !";
constexpr std::uint32_t kListMask = ciSubject + ciNotBefore + ciNotAfter;

// A certificate-information record, released once the caller is done with it.
class CertInfoRecord {
  public:
    CertInfoRecord(std::string_view bytes, std::uint32_t mask) {
        TVCertMgr::GetCertInfo(bytes, mask, info_);
    }
    ~CertInfoRecord() { TVCertMgr::FreeCertInfo(info_); }
    CertInfoRecord(const CertInfoRecord&) = delete;
    CertInfoRecord& operator=(const CertInfoRecord&) = delete;
    const TCertInfo& Info() const { return info_; }

  private:
    TCertInfo info_;
};

// Releases the pinned library however the sequence ends.
struct LibraryUnpin {
    LibraryUnpin() = default;
    LibraryUnpin(const LibraryUnpin&) = delete;
    LibraryUnpin& operator=(const LibraryUnpin&) = delete;
    ~LibraryUnpin() { TokenLibraryUnpin(); }
};

// The INN, and for an organisation "-" and the nine characters after "КПП=".
std::string InstallationTag(const std::string& subject) {
    std::string tag = GetDNValue(subject, "INN");
    const std::string unstructuredName = GetDNValue(subject, "unstructuredName");
    const std::string kppKey = Ansi("КПП=");
    if (const std::size_t at = unstructuredName.find(kppKey); at != std::string::npos)
        tag += "-" + unstructuredName.substr(at + kppKey.size(), 9);
    return tag;
}

bool MatchesTokenKey(const std::string& certificate, const std::vector<std::string>& keys) {
    const std::string matchKey = GetCertMatchKey(certificate);
    return !matchKey.empty() && std::find(keys.begin(), keys.end(), matchKey) != keys.end();
}

std::string CurrentFolder() {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::current_path(error);
    return error ? std::string() : AnsiFromPath(folder);
}

}  // namespace

void TfCertRequestAlt::BindInstallAndSignHandlers() {
    const std::pair<TSButton*, void (TfCertRequestAlt::*)()> handlers[] = {
        {btnInstall, &TfCertRequestAlt::btnInstallClick},
        {btnFindInDir, &TfCertRequestAlt::btnFindInDirClick},
        {btnGetCertInfo, &TfCertRequestAlt::btnGetCertInfoClick},
        {btnTestSign, &TfCertRequestAlt::btnTestSignClick},
    };
    for (const auto& [button, handler] : handlers)
        connect(button, &QAbstractButton::clicked, this,
                [this, h = handler] { Guarded([this, h] { (this->*h)(); }); });
}

std::string TfCertRequestAlt::CertFileName() const {
    return TrimBlanks(AnsiFromQString(edtCertFileName->Text()));
}

std::string TfCertRequestAlt::ChooseCertFile() {
    for (;;) {
        const std::string name = CertFileName();
        std::error_code error;
        if (!name.empty() && std::filesystem::is_regular_file(PathFromAnsi(name), error))
            return name;
        const std::optional<std::string> chosen = dialogs_.OpenFile(openDialog_);
        if (!chosen)
            throw SilentAbort();
        edtCertFileName->SetText(QStringFromAnsi(*chosen));
    }
}

std::string TfCertRequestAlt::AskCertificatePin() {
    std::string pin = kDefaultPin;
    if (!dialogs_.AskText(Ansi("Укажите пин-код"), Ansi("Ввод пин-кода"), pin))
        throw SilentAbort();
    return pin;
}

void TfCertRequestAlt::btnInstallClick() {
    const std::string fileName = ChooseCertFile();
    const std::string pin = AskCertificatePin();

    const std::string certificate = ReadFileToString(fileName);
    std::string tag;
    {
        const CertInfoRecord record(certificate, ciSubject);
        // Nothing can be taken from bytes that are no certificate: the token is left alone.
        if ((record.Info().Mask & ciSubject) == 0)
            throw Error(Ansi("Файл ") + fileName +
                        Ansi(" не содержит сертификата в формате DER.\r\n"
                             "Установка сертификата невозможна!"));
        tag = InstallationTag(record.Info().Subject);
    }

    std::vector<std::string> certificates;
    std::vector<std::string> keys;
    const LibraryUnpin unpin;
    RunWithWaitText(Ansi("Подождите, идет установка сертификата"), [&] {
        TokenLibraryPin();
        TokenGetCertificates(certificates, TokenPartition::Gost);
        if (std::find(certificates.begin(), certificates.end(), certificate) != certificates.end())
            throw Error(
                Ansi("Сертификат уже установлен на устройстве.\r\n"
                     "Повторная установка НЕ требуется!"));
        TokenGetPublicKeys(keys);
        const char* question = nullptr;
        if (keys.empty())
            question =
                "На устройстве jaCartа не найдено открытых ключей!\r\nВозможна некорректная "
                "работа!\r\nПродолжить установку сертификата ?";
        else if (!MatchesTokenKey(certificate, keys))
            question =
                "На устройстве jaCartа не найден открытый ключ, соответствующий "
                "сертификату!\r\nВозможна некорректная работа!\r\nПродолжить установку "
                "сертификата ?";
        if (question != nullptr && dialogs_.ShowMessageBoxDef(Ansi(question), MessageKind::Error,
                                                              ButtonSet{Button::Yes, Button::No},
                                                              Button::No) == ResultCode(Button::No))
            throw SilentAbort();
        TokenInstallCertificate(pin, tag, tag, certificate);
    });
    dialogs_.ShowMessageBox(Ansi("Сертификат успешно установлен"), MessageKind::Information,
                            ButtonSet{Button::OK});
}

void TfCertRequestAlt::btnFindInDirClick() {
    RunWithWaitText(Ansi(kTokenAnalysisText), [this] {
        std::vector<std::string> keys;
        TokenGetPublicKeys(keys);
        StatusBar->clearMessage();
        if (keys.empty()) {
            dialogs_.ShowMessageBox(
                Ansi("На устройстве не найдены открытые ключи - поиск невозможен !"),
                MessageKind::Error, ButtonSet{Button::Cancel});
            return;
        }
        std::string chosen = CurrentFolder();
        if (!dialogs_.SelectFolder(Ansi("Укажите каталог с выпущенными сертификатами"), "", chosen))
            return;
        StatusBar->showMessage(
            QStringFromAnsi(Ansi("Подождите, идет анализ данных в каталоге ") + chosen));
        const std::string folder = IncludeTrailingSlash(chosen);
        for (const std::string& name : ListFiles(folder, "*.cer", faArchive)) {
            if (!MatchesTokenKey(ReadFileToString(folder + name), keys))
                continue;
            edtCertFileName->SetText(QStringFromAnsi(folder + name));
            dialogs_.ShowMessageBox(
                Ansi("Найден сертификат, соответствующий открытому ключу на jaCarta в файле: ") +
                    name,
                MessageKind::Information, ButtonSet{Button::OK});
            return;
        }
        dialogs_.ShowMessageBox(Ansi("К сожалению, в каталоге ") + folder +
                                    Ansi("\r\nне найдено сертификатов,соответствующий открытому "
                                         "ключу на jaCarta"),
                                MessageKind::Information, ButtonSet{Button::OK});
    });
}

void TfCertRequestAlt::btnGetCertInfoClick() {
    const int answer = dialogs_.ShowCaptionedBox(
        Ansi("Вы хотите получить информацию о сертификатах на ГОСТ или PKI разделе jaCarta?"),
        MessageKind::Confirmation, Ansi("Укажите, пожалуйста"),
        ButtonSet{Button::Yes, Button::No, Button::Cancel}, Button::Yes,
        {Ansi("ГОСТ"), Ansi("PKI"), Ansi("Отмена")});
    if (answer != ResultCode(Button::Yes) && answer != ResultCode(Button::No))
        return;
    const TokenPartition partition =
        answer == ResultCode(Button::Yes) ? TokenPartition::Gost : TokenPartition::Pki;

    RunWithWaitText(Ansi(kTokenAnalysisText), [this, partition] {
        std::vector<std::string> certificates;
        TokenGetCertificates(certificates, partition);
        if (certificates.empty()) {
            dialogs_.ShowMessageBox(Ansi(kNoCertificatesText), MessageKind::Information,
                                    ButtonSet{Button::OK});
            return;
        }
        std::string text;
        for (std::size_t i = 0; i < certificates.size(); ++i) {
            const CertInfoRecord record(certificates[i], kListMask);
            text += CertificateListLine(static_cast<int>(i + 1), record.Info()) + "\r\n";
        }
        dialogs_.ShowCaptionedBox(text, MessageKind::Information,
                                  Ansi("Информация об установленных сертификатах:"),
                                  ButtonSet{Button::OK}, Button::OK, {Ansi("Ok")});
    });
}

void TfCertRequestAlt::btnTestSignClick() {
    const int answer = dialogs_.ShowCaptionedBox(
        Ansi("Данная функция позволяет протестировать указанный сертификат\r\nна соответствие "
             "закрытому ключу, сгенерированному на JaCarta.\r\n\r\nВо время проверки будет "
             "выполнена процедура установки тестовой\r\nэлектронной подписи с помощью закрытого "
             "ключа на JaCarta и\r\nвыбранного сертификата. Никакие данные не записываются и не "
             "удаляются с JaCarta.\r\nПроверяемый сертификат можно указать в виде файла либо "
             "выбрать из списка установленных на jaCarta\r\n\r\nЖелаете провести проверку "
             "сертификата?"),
        MessageKind::Confirmation, Ansi("Подтверждение"),
        ButtonSet{Button::Yes, Button::No, Button::Cancel},
        CertFileName().empty() ? Button::No : Button::Yes,
        {Ansi("Провести проверку из файла"), Ansi("Провести проверку из JaCarta"),
         Ansi("Отменить")});

    std::string certificate;
    if (answer == ResultCode(Button::Yes)) {
        certificate = ReadFileToString(ChooseCertFile());
    } else if (answer == ResultCode(Button::No)) {
        RunWithWaitText(Ansi(kTokenAnalysisText), [this, &certificate] {
            std::vector<std::string> certificates;
            TokenGetCertificates(certificates, TokenPartition::Gost);
            if (certificates.empty()) {
                dialogs_.ShowMessageBox(Ansi(kNoCertificatesText), MessageKind::Information,
                                        ButtonSet{Button::OK});
                throw SilentAbort();
            }
            std::vector<std::string> lines;
            for (const std::string& each : certificates)
                lines.push_back(CertificateChoiceLine(CertInfoRecord(each, kListMask).Info()));
            const int choice = dialogs_.MakeChoice(
                std::nullopt, lines, Ansi("Укажите сертификат для тестирования"), 1, "");
            if (choice < 1 || choice > static_cast<int>(certificates.size()))
                throw SilentAbort();
            certificate = certificates[static_cast<std::size_t>(choice - 1)];
        });
    } else {
        return;
    }

    const std::string pin = AskCertificatePin();
    RunWithWaitText(Ansi("Подождите, идет проверка работоспособности сертификата ..."), [&] {
        const std::string signature = TokenSign(pin, "TestData", certificate);
        if (signature.size() > certificate.size())
            dialogs_.ShowMessageBox(Ansi("Проверка работоспособности сертификата завершена - "
                                         "тестовая ЭП успешно установлена!"),
                                    MessageKind::Information, ButtonSet{Button::OK});
        else
            dialogs_.ShowCaptionedBox(
                Ansi("Ошибка установки тестовой ЭП!\r\nРаботать с выбранным сертификатом "
                     "невозможно, т.к. он не соответствует ключам, имеющимся на JaCarta"),
                MessageKind::Error, Ansi("Ошибка"), ButtonSet{Button::Cancel}, Button::Cancel,
                {Ansi("Закрыть")});
    });
}

}  // namespace certdesk
