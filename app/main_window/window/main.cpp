#include <QApplication>

#include "cert_request_window.h"
#include "certdesk/qt_dialogs.h"
#include "certdesk/qt_russian.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    certdesk::InstallRussianQtTranslation(app);
    certdesk::QtDialogs dialogs;
    certdesk::TfCertRequestAlt window(dialogs);
    window.show();
    return QApplication::exec();
}
