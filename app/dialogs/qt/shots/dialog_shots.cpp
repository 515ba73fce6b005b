// Renders every kind of dialog to PNG files in the folder given, for the README and for a look
// at the layout: certdesk-dialog-shots OUTDIR
#include <QApplication>
#include <QDir>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "certdesk/codec.h"
#include "certdesk/dialog_units.h"
#include "certdesk/qt_dialogs.h"
#include "certdesk/qt_russian.h"
#include "certdesk/tsbutton.h"
#include "certdesk/tsradiogroup.h"

using namespace certdesk;

namespace {

QDir outDir;
int failures = 0;

bool Save(QWidget* w, const QString& name) {
    const QString path = outDir.filePath(name + ".png");
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++failures;
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Photographs the next modal dialog once it has settled, then closes it.
void ShootNextDialog(const QString& name) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, name] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        // File dialogs fill their lists in the background.
        QTimer::singleShot(400, dialog, [dialog, name] {
            Save(dialog, name);
            dialog->close();
        });
    });
    poll->start(20);
}

void Shoot(const QString& name, const std::function<void()>& show) {
    ShootNextDialog(name);
    show();
}

void ShootButtons() {
    QWidget panel;
    auto* row = new QHBoxLayout(&panel);
    auto* idle = new TSButton(QStringLiteral("Проверить"), &panel);
    auto* hovered = new TSButton(QStringLiteral("Установить"), &panel);
    auto* down = new TSButton(QStringLiteral("Раздел ГОСТ"), &panel);
    down->setCheckable(true);
    down->setChecked(true);
    for (TSButton* b : {idle, hovered, down}) {
        b->setFixedSize(120, 26);
        row->addWidget(b);
    }
    auto* group = new TSRadioGroup(&panel);
    group->setTitle(QStringLiteral("Владелец"));
    group->SetItems({QStringLiteral("Юридическое лицо"), QStringLiteral("ИП")});
    group->SetColumns(2);
    group->SetItemIndex(0);
    group->setFixedSize(340, 50);
    row->addWidget(group);
    panel.show();
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(hovered, &enter);
    QApplication::processEvents();
    Save(&panel, QStringLiteral("widgets"));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("CertDesk"));
    InstallRussianQtTranslation(app);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    outDir = QDir(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(outDir.absolutePath())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    QtDialogs dialogs;
    const auto A = [](const char* utf8) { return Ansi(utf8); };

    Shoot("warning-yes-no", [&] {
        dialogs.ShowMessageBoxDef(
            A("На устройстве jaCarta уже есть ключи. Продолжить генерацию нового ключа?"),
            MessageKind::Warning, ButtonSet{Button::Yes, Button::No}, Button::No);
    });
    Shoot("error-captioned", [&] {
        dialogs.ShowCaptionedBox(A("Не найдена точка входа: GenCertRequests"), MessageKind::Error,
                                 A("Ошибка"), ButtonSet{Button::OK}, Button::OK, {A("Закрыть")});
    });
    Shoot("information", [&] {
        dialogs.ShowMessageBox(A("Сертификат успешно установлен на устройство."),
                               MessageKind::Information, ButtonSet{Button::OK});
    });
    Shoot("confirmation-partition", [&] {
        dialogs.ShowCaptionedBox(A("Сертификаты какого раздела показать?"),
                                 MessageKind::Confirmation, "",
                                 ButtonSet{Button::Yes, Button::No, Button::Cancel}, Button::Yes,
                                 {A("ГОСТ"), A("PKI"), A("Отмена")});
    });
    Shoot("custom-all-buttons", [&] {
        dialogs.ShowMessageBox(
            A("Все кнопки в их порядке.\tТабуляция раскрывается, а длинный текст переносится "
              "по словам в половину ширины экрана, чтобы окно не было шире нужного."),
            MessageKind::Custom,
            ButtonSet{Button::Yes, Button::No, Button::OK, Button::Cancel, Button::Abort,
                      Button::Retry, Button::Ignore, Button::All, Button::NoToAll, Button::YesToAll,
                      Button::Help});
    });
    Shoot("ask-text", [&] {
        std::string pin = A("5829301746");
        dialogs.AskText(A("Укажите пин-код"), A("Ввод пин-кода"), pin);
    });
    Shoot("make-choice", [&] {
        dialogs.MakeChoice(
            std::nullopt,
            {A("Иванов Иван Иванович, до 10.12.2027"), A("ООО \"Ромашка\", до 01.03.2027"),
             A("ИП Петров П. П., до 15.06.2026")},
            A("Укажите сертификат"), 1, A("Сертификаты на устройстве jaCarta"));
    });
    Shoot("make-choice-twenty", [&] {
        std::vector<std::string> items;
        for (int i = 1; i <= 20; ++i)
            items.push_back(A("Сертификат ") + std::to_string(i));
        dialogs.MakeChoice(std::nullopt, items, A("Укажите сертификат для тестирования"), 1, "");
    });
    Shoot("select-folder", [&] {
        std::string dir = FromQt(QDir::currentPath());
        dialogs.SelectFolder(A("Укажите каталог с выпущенными сертификатами"), "", dir);
    });
    Shoot("open-file", [&] {
        dialogs.OpenFile({A("Укажите файл с сертификатом"), A("Сертификаты|*.cer"), ""});
    });
    Shoot("save-file", [&] {
        dialogs.SaveFile({A("Укажите имя файла для сохранения запроса"), "",
                          A("7701234567-770101001_20261210_104500.req")});
    });
    Shoot("select-certificate", [&] {
        dialogs.SelectCertificate(
            {{A("Иванов Иван Иванович"), A("Тестовый УЦ"), "10.12.2027", A("Рабочий ключ")},
             {A("ООО \"Ромашка\""), A("Тестовый УЦ"), "01.03.2027", ""},
             {A("Петров Пётр Петрович"), A("УЦ ФНС России"), "15.06.2026", A("ИП Петров")}});
    });
    ShootButtons();
    return failures == 0 ? 0 : 1;
}
