// Photographs the main window in its typical states, for the README and for a look at the
// layout: certdesk-window-shots OUTDIR (run it under Xvfb).
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

#include "cert_request_window.h"
#include "certdesk/qt_dialogs.h"
#include "certdesk/qt_russian.h"
#include "certdesk/token_client.h"
#include "certdesk/tsbutton.h"
#include "certdesk/tsradiogroup.h"

using namespace certdesk;

namespace {

int failures = 0;

void Save(const QPixmap& picture, const QDir& dir, const char* name) {
    const QString path = dir.filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
    if (!picture.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

void SetText(QWidget& window, const char* name, const char* utf8) {
    QWidget* field = window.findChild<QWidget*>(QString::fromLatin1(name));
    if (auto* edit = qobject_cast<QLineEdit*>(field))
        edit->setText(QString::fromUtf8(utf8));
    else if (auto* combo = qobject_cast<QComboBox*>(field))
        combo->setEditText(QString::fromUtf8(utf8));
}

void Settle() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    InstallRussianQtTranslation(app);
    if (argc != 2) {
        std::fprintf(stderr, "usage: certdesk-window-shots OUTDIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));

    QtDialogs dialogs;
    TfCertRequestAlt window(dialogs);
    window.show();
    Settle();

    // A form half filled in: the red underlines show what is still missing.
    SetText(window, "edtSN", "Иванов");
    SetText(window, "edtGN1", "Иван");
    SetText(window, "edtGN2", "Иванович");
    SetText(window, "edtSNILS", "11223344595");
    SetText(window, "dbeCategory", "Генеральный директор");
    SetText(window, "edtST", "66 Свердловская область");
    SetText(window, "edtL", "Екатеринбург");
    SetText(window, "edtO", "ООО \"Ромашка\"");
    SetText(window, "edtINN", "007707083893");
    Settle();
    Save(window.grab(), dir, "legal-entity");

    auto* owner = window.findChild<TSRadioGroup*>(QStringLiteral("rgCertOwnerType"));
    owner->SetItemIndex(1);
    Settle();
    Save(window.grab(), dir, "entrepreneur");
    owner->SetItemIndex(0);

    auto* pages = window.findChild<QTabWidget*>(QStringLiteral("PageControl"));
    pages->setCurrentIndex(1);
    Settle();
    Save(window.grab(), dir, "install-page");
    pages->setCurrentIndex(0);
    Settle();

    // The error box over the window, as the screen shows it.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (box == nullptr)
            return;
        poll.stop();
        Settle();
        const QRect frame = window.frameGeometry();
        Save(window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()),
             dir, "error-box");
        box->close();
    });
    poll.start(200);
    window.findChild<TSButton*>(QStringLiteral("btnOK"))->click();
    return failures == 0 ? 0 : 1;
}
