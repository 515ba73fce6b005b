#include <QApplication>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "certdesk/codec.h"
#include "certdesk/qt_dialogs.h"
#include "certdesk/select_certificate.h"

using namespace certdesk;

namespace {

// Runs the actions on the next modal dialog once it is open: "Enter", "Esc", "Close",
// "click:<button>", "select:<row>", "dclick:<row>" (rows 0-based). inspect sees the dialog
// first; stillOpen records whether the actions left it open.
struct Driven {
    bool appeared = false;
    bool stillOpen = false;
    bool otherDialogAfterView = false;
};

std::shared_ptr<Driven> Drive(QStringList actions, std::function<void(QWidget*)> inspect = {}) {
    auto driven = std::make_shared<Driven>();
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        timer->stop();
        timer->deleteLater();
        driven->appeared = true;
        if (inspect)
            inspect(dialog);
        auto* tree = dialog->findChild<QTreeWidget*>(QStringLiteral("lvCertificates"));
        QPointer<QWidget> guard(dialog);
        for (const QString& action : actions) {
            if (!guard || !guard->isVisible())
                break;
            const QString arg = action.section(u':', 1);
            QWidget* focus = dialog->focusWidget() ? dialog->focusWidget() : dialog;
            if (action == u"Enter") {
                QTest::keyClick(focus, Qt::Key_Return);
            } else if (action == u"Esc") {
                QTest::keyClick(focus, Qt::Key_Escape);
            } else if (action == u"Close") {
                dialog->close();
            } else if (action.startsWith(u"click:")) {
                QTest::mouseClick(dialog->findChild<QPushButton*>(arg), Qt::LeftButton);
                if (arg == u"btnView" && QApplication::activeModalWidget() != dialog)
                    driven->otherDialogAfterView = true;
            } else {
                QTreeWidgetItem* item = tree->topLevelItem(arg.toInt());
                const QPoint at = tree->visualItemRect(item).center();
                QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
                if (action.startsWith(u"dclick:"))
                    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
            }
            QCoreApplication::processEvents();
        }
        driven->stillOpen = guard && guard->isVisible();
        // Never leave the test hanging in a dialog the actions did not end.
        if (driven->stillOpen)
            qobject_cast<QDialog*>(guard.data())->done(QDialog::Rejected);
    });
    timer->start(5);
    return driven;
}

std::vector<CertificateRow> ThreeRows() {
    return {{Ansi("Иванов Иван"), Ansi("Тестовый УЦ"), "01.02.2027", Ansi("Рабочий")},
            {Ansi("Петров Пётр"), Ansi("Тестовый УЦ"), "15.06.2028", ""},
            {"Sidorov", "Other CA", "31.12.2030", "sid"}};
}

}  // namespace

class SelectCertificateTest : public QObject {
    Q_OBJECT
  private slots:
    void showsTheRowsUnderTheirColumns();
    void answers_data();
    void answers();
    void emptyStoreCanOnlyBeCancelled();
};

void SelectCertificateTest::showsTheRowsUnderTheirColumns() {
    QtDialogs dialogs;
    QStringList headers;
    QList<QStringList> cells;
    QString title;
    QString accessibleName;
    const auto driven = Drive({QStringLiteral("Esc")}, [&](QWidget* dialog) {
        title = dialog->windowTitle();
        auto* tree = dialog->findChild<QTreeWidget*>(QStringLiteral("lvCertificates"));
        accessibleName = tree->accessibleName();
        for (int c = 0; c < tree->columnCount(); ++c)
            headers << tree->headerItem()->text(c);
        for (int r = 0; r < tree->topLevelItemCount(); ++r) {
            QStringList row;
            for (int c = 0; c < tree->columnCount(); ++c)
                row << tree->topLevelItem(r)->text(c);
            cells << row;
        }
    });
    dialogs.SelectCertificate(ThreeRows());
    QVERIFY(driven->appeared);
    QCOMPARE(title, QStringLiteral("Выбор сертификата"));
    QCOMPARE(accessibleName, QStringLiteral("Сертификаты"));
    QCOMPARE(headers,
             (QStringList{QStringLiteral("Кому выдан"), QStringLiteral("Кем выдан"),
                          QStringLiteral("Действителен по"), QStringLiteral("Понятное имя")}));
    QCOMPARE(cells.size(), 3);
    QCOMPARE(cells[0], (QStringList{QStringLiteral("Иванов Иван"), QStringLiteral("Тестовый УЦ"),
                                    QStringLiteral("01.02.2027"), QStringLiteral("Рабочий")}));
    QCOMPARE(cells[1][0], QStringLiteral("Петров Пётр"));
    QCOMPARE(cells[1][3], QString());
    QCOMPARE(cells[2], (QStringList{QStringLiteral("Sidorov"), QStringLiteral("Other CA"),
                                    QStringLiteral("31.12.2030"), QStringLiteral("sid")}));
}

void SelectCertificateTest::answers_data() {
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<int>("expected");
    QTest::newRow("enter takes the first row") << QStringList{"Enter"} << 1;
    QTest::newRow("ok on the second row") << QStringList{"select:1", "click:btnOK"} << 2;
    QTest::newRow("enter on the third row") << QStringList{"select:2", "Enter"} << 3;
    QTest::newRow("double click on the third row") << QStringList{"dclick:2"} << 3;
    QTest::newRow("cancel button") << QStringList{"select:1", "click:btnCancel"} << 0;
    QTest::newRow("escape") << QStringList{"select:2", "Esc"} << 0;
    QTest::newRow("close button") << QStringList{"Close"} << 0;
    QTest::newRow("view shows nothing, then ok")
        << QStringList{"select:1", "click:btnView", "Enter"} << 2;
}

void SelectCertificateTest::answers() {
    QFETCH(QStringList, actions);
    QFETCH(int, expected);
    QtDialogs dialogs;
    const auto driven = Drive(actions);
    QCOMPARE(dialogs.SelectCertificate(ThreeRows()), expected);
    QVERIFY(driven->appeared);
    QVERIFY(!driven->stillOpen);
    QVERIFY(!driven->otherDialogAfterView);
}

void SelectCertificateTest::emptyStoreCanOnlyBeCancelled() {
    QtDialogs dialogs;
    bool okEnabled = true;
    bool viewEnabled = true;
    const auto driven = Drive({QStringLiteral("Enter"), QStringLiteral("Esc")}, [&](QWidget* d) {
        okEnabled = d->findChild<QPushButton*>(QStringLiteral("btnOK"))->isEnabled();
        viewEnabled = d->findChild<QPushButton*>(QStringLiteral("btnView"))->isEnabled();
    });
    QCOMPARE(dialogs.SelectCertificate({}), 0);
    QVERIFY(driven->appeared);
    QVERIFY(!driven->stillOpen);
    QVERIFY(!okEnabled);
    QVERIFY(!viewEnabled);
}

QTEST_MAIN(SelectCertificateTest)
#include "tst_select_certificate.moc"
