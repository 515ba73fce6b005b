#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QStyleHints>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "certdesk/codec.h"
#include "certdesk/dialog_units.h"
#include "certdesk/make_choice.h"
#include "certdesk/message_form.h"
#include "certdesk/qt_dialogs.h"
#include "certdesk/qt_russian.h"

using namespace certdesk;

Q_DECLARE_METATYPE(certdesk::ButtonSet)
Q_DECLARE_METATYPE(certdesk::Button)
Q_DECLARE_METATYPE(certdesk::MessageKind)

namespace {

// What the test saw of the modal dialog before acting on it.
struct Seen {
    bool appeared = false;
    QString title;
    QString defaultButton;  // objectName of the default push button, empty when none
    QRect geometry;
    bool openAfterActions = false;
    std::function<void(QWidget*)> inspect;
};

QWidget* KeyTarget(QWidget* dialog) {
    QWidget* focus = dialog->focusWidget();
    return focus ? focus : dialog;
}

// Runs the actions on the next modal dialog once it is open:
// "Enter", "Esc", "Close", "click:<name>", "type:<text>", "dclick:<item>", "select:<item>".
std::shared_ptr<Seen> Drive(QStringList actions, std::function<void(QWidget*)> inspect = {}) {
    auto seen = std::make_shared<Seen>();
    seen->inspect = std::move(inspect);
    auto* timer = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog) {
            if (++*tries > 400) {
                timer->deleteLater();
                timer->stop();
            }
            return;
        }
        timer->stop();
        timer->deleteLater();
        seen->appeared = true;
        seen->title = dialog->windowTitle();
        seen->geometry = dialog->geometry();
        if (auto* form = qobject_cast<TMessageForm*>(dialog)) {
            if (const auto b = form->DefaultButton())
                seen->defaultButton = ButtonName(*b);
        }
        if (seen->inspect)
            seen->inspect(dialog);
        QPointer<QWidget> guard(dialog);
        for (const QString& action : actions) {
            if (!guard || !guard->isVisible())
                break;
            const QString arg = action.section(u':', 1);
            if (action == u"Enter")
                QTest::keyClick(KeyTarget(dialog), Qt::Key_Return);
            else if (action == u"Esc")
                QTest::keyClick(KeyTarget(dialog), Qt::Key_Escape);
            else if (action == u"Close")
                dialog->close();
            else if (action.startsWith(u"click:"))
                QTest::mouseClick(dialog->findChild<QAbstractButton*>(arg), Qt::LeftButton);
            else if (action.startsWith(u"type:"))
                QTest::keyClicks(KeyTarget(dialog), arg);
            else if (action.startsWith(u"dclick:"))
                QTest::mouseDClick(dialog->findChild<TSRadioGroup*>()->ButtonAt(arg.toInt()),
                                   Qt::LeftButton, {}, QPoint(8, 8));
            else if (action.startsWith(u"select:"))
                dialog->findChild<TSRadioGroup*>()->ButtonAt(arg.toInt())->click();
            QCoreApplication::processEvents();
        }
        seen->openAfterActions = guard && guard->isVisible();
        // Never leave a test hanging in a dialog that the actions did not end.
        if (guard && guard->isVisible())
            qobject_cast<QDialog*>(guard.data())->done(-1);
    });
    timer->start(5);
    return seen;
}

std::string A(const char* utf8) {
    return Ansi(utf8);
}

QScreen* Screen() {
    return QGuiApplication::primaryScreen();
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();

    void boxDefaultAndCancel_data();
    void boxDefaultAndCancel();
    void boxTitles_data();
    void boxTitles();
    void standardCaptionsInBitOrder();
    void standardBoxLayout();
    void longCaptionWidensEveryButton();

    void askText_data();
    void askText();
    void askTextLayout();

    void choiceNeededHeight_data();
    void choiceNeededHeight();
    void makeChoiceResult_data();
    void makeChoiceResult();
    void makeChoicePlacement_data();
    void makeChoicePlacement();
    void makeChoiceDoubleClickDoesNotReachWindowBeneath();

    void selectFolder_data();
    void selectFolder();
    void openAndSaveFile();
};

void DialogsTest::initTestCase() {
    QVERIFY2(InstallRussianQtTranslation(*qApp), "Qt's Russian translation is not installed");
}

void DialogsTest::init() {
    QCursor::setPos(Screen()->geometry().bottomRight());
}

void DialogsTest::cleanup() {
    // Each call destroys its dialog before it returns.
    for (QWidget* w : QApplication::topLevelWidgets())
        QVERIFY2(!qobject_cast<QDialog*>(w), qPrintable(w->objectName()));
}

enum class Op { Standard, WithDefault, Captioned };

void DialogsTest::boxDefaultAndCancel_data() {
    QTest::addColumn<int>("op");
    QTest::addColumn<ButtonSet>("buttons");
    QTest::addColumn<Button>("defaultButton");
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QString>("expectedDefault");
    QTest::addColumn<int>("expected");

    const int std_ = int(Op::Standard), def = int(Op::WithDefault), cap = int(Op::Captioned);
    const ButtonSet yesNo{Button::Yes, Button::No};
    const ButtonSet cancelOnly{Button::Cancel};
    const ButtonSet okOnly{Button::OK};
    const ButtonSet yesNoCancel{Button::Yes, Button::No, Button::Cancel};
    const ButtonSet abortRetryIgnore{Button::Abort, Button::Retry, Button::Ignore};
    const QStringList none;
    const QStringList gost{"ГОСТ", "PKI", "Отмена"};

    QTest::newRow("yes/no default no: Enter")
        << def << yesNo << Button::No << none << QStringList{"Enter"} << "No" << 7;
    QTest::newRow("yes/no default no: close")
        << def << yesNo << Button::No << none << QStringList{"Close"} << "No" << 2;
    QTest::newRow("yes/no default no: Esc")
        << def << yesNo << Button::No << none << QStringList{"Esc"} << "No" << 7;
    QTest::newRow("yes/no default not shown keeps yes")
        << def << yesNo << Button::OK << none << QStringList{"Enter"} << "Yes" << 6;
    QTest::newRow("yes/no standard: Enter")
        << std_ << yesNo << Button::Yes << none << QStringList{"Enter"} << "Yes" << 6;
    QTest::newRow("yes/no standard: click no")
        << std_ << yesNo << Button::Yes << none << QStringList{"click:No"} << "Yes" << 7;
    QTest::newRow("cancel only: Esc")
        << std_ << cancelOnly << Button::Yes << none << QStringList{"Esc"} << "" << 2;
    QTest::newRow("cancel only: close")
        << std_ << cancelOnly << Button::Yes << none << QStringList{"Close"} << "" << 2;
    QTest::newRow("ok/cancel: Enter") << std_ << ButtonSet{Button::OK, Button::Cancel}
                                      << Button::Yes << none << QStringList{"Enter"} << "OK" << 1;
    QTest::newRow("ok/cancel: Esc") << std_ << ButtonSet{Button::OK, Button::Cancel} << Button::Yes
                                    << none << QStringList{"Esc"} << "OK" << 2;
    QTest::newRow("yes/no/cancel: Esc is cancel")
        << std_ << yesNoCancel << Button::Yes << none << QStringList{"Esc"} << "Yes" << 2;
    QTest::newRow("abort/retry/ignore: Enter is retry")
        << std_ << abortRetryIgnore << Button::Yes << none << QStringList{"Enter"} << "Retry" << 4;
    QTest::newRow("abort/retry/ignore: no cancel, Esc does nothing")
        << std_ << abortRetryIgnore << Button::Yes << none << QStringList{"Esc", "Close"} << "Retry"
        << 2;
    QTest::newRow("help does not end the box")
        << std_ << ButtonSet{Button::Help} << Button::Yes << none
        << QStringList{"click:Help", "Close"} << "" << 2;
    QTest::newRow("captioned ok: Enter")
        << cap << okOnly << Button::OK << QStringList{"Ok"} << QStringList{"Enter"} << "OK" << 1;
    QTest::newRow("captioned ok: Esc falls back to ok")
        << cap << okOnly << Button::OK << QStringList{"Ok"} << QStringList{"Esc"} << "OK" << 1;
    QTest::newRow("captioned ok: close")
        << cap << okOnly << Button::OK << QStringList{"Ok"} << QStringList{"Close"} << "OK" << 2;
    QTest::newRow("captioned gost/pki: Enter on default no")
        << cap << yesNoCancel << Button::No << gost << QStringList{"Enter"} << "No" << 7;
    QTest::newRow("captioned gost/pki: click first")
        << cap << yesNoCancel << Button::No << gost << QStringList{"click:Yes"} << "No" << 6;
    QTest::newRow("captioned gost/pki: Esc")
        << cap << yesNoCancel << Button::No << gost << QStringList{"Esc"} << "No" << 2;
    QTest::newRow("captioned default not in set: none, Esc is no")
        << cap << yesNo << Button::Cancel << QStringList{"Да", "Нет"} << QStringList{"Esc"} << ""
        << 7;
}

void DialogsTest::boxDefaultAndCancel() {
    QFETCH(int, op);
    QFETCH(ButtonSet, buttons);
    QFETCH(Button, defaultButton);
    QFETCH(QStringList, captions);
    QFETCH(QStringList, actions);
    QFETCH(QString, expectedDefault);
    QFETCH(int, expected);

    QtDialogs dialogs;
    QStringList shown;
    const auto seen = Drive(actions, [&](QWidget* d) {
        for (Button b : buttons.Members())
            shown << d->findChild<QPushButton*>(ButtonName(b))->text();
    });
    const std::string text = A("Продолжить?");
    int result = -100;
    switch (Op(op)) {
        case Op::Standard:
            result = dialogs.ShowMessageBox(text, MessageKind::Warning, buttons);
            break;
        case Op::WithDefault:
            result = dialogs.ShowMessageBoxDef(text, MessageKind::Warning, buttons, defaultButton);
            break;
        case Op::Captioned: {
            std::vector<std::string> ansi;
            for (const QString& c : captions)
                ansi.push_back(FromQt(c));
            result = dialogs.ShowCaptionedBox(text, MessageKind::Warning, "", buttons,
                                              defaultButton, ansi);
            break;
        }
    }
    QVERIFY(seen->appeared);
    QVERIFY(!seen->openAfterActions);
    QCOMPARE(seen->defaultButton, expectedDefault);
    QCOMPARE(result, expected);
    if (Op(op) == Op::Captioned)
        QCOMPARE(shown, captions);
}

void DialogsTest::boxTitles_data() {
    QTest::addColumn<MessageKind>("kind");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("icon");
    QTest::newRow("warning") << MessageKind::Warning << ""
                             << "Предупреждение" << true;
    QTest::newRow("error") << MessageKind::Error << ""
                           << "Ошибка" << true;
    QTest::newRow("information") << MessageKind::Information << ""
                                 << "Информация" << true;
    QTest::newRow("confirmation") << MessageKind::Confirmation << ""
                                  << "Подтверждение" << true;
    QTest::newRow("custom: the program's title") << MessageKind::Custom << ""
                                                 << "CertDesk" << false;
    QTest::newRow("own title wins") << MessageKind::Error << "Выбор раздела"
                                    << "Выбор раздела" << true;
}

void DialogsTest::boxTitles() {
    QFETCH(MessageKind, kind);
    QFETCH(QString, title);
    QFETCH(QString, expected);
    QFETCH(bool, icon);
    QGuiApplication::setApplicationDisplayName(QStringLiteral("CertDesk"));
    QtDialogs dialogs;

    bool hasIcon = false;
    auto inspect = [&](QWidget* d) { hasIcon = d->findChild<QLabel*>("Image") != nullptr; };
    auto seen = Drive({"Enter"}, inspect);
    QCOMPARE(dialogs.ShowCaptionedBox(A("Текст"), kind, FromQt(title), ButtonSet{Button::OK},
                                      Button::OK, {"Ok"}),
             1);
    QCOMPARE(seen->title, expected);
    QCOMPARE(hasIcon, icon);

    if (title.isEmpty()) {
        seen = Drive({"Enter"});
        dialogs.ShowMessageBox(A("Текст"), kind, ButtonSet{Button::OK});
        QCOMPARE(seen->title, expected);
    }
}

void DialogsTest::standardCaptionsInBitOrder() {
    QtDialogs dialogs;
    const ButtonSet all{Button::Help,   Button::YesToAll, Button::NoToAll, Button::All,
                        Button::Ignore, Button::Retry,    Button::Abort,   Button::Cancel,
                        Button::OK,     Button::No,       Button::Yes};
    const QStringList expected{"&Да",           "&Нет",         "OK",          "Отмена",
                               "П&рервать",     "&Повторить",   "Про&должить", "&Все",
                               "Н&ет для всех", "Д&а для всех", "&Справка"};
    QStringList captions;
    QList<int> lefts;
    auto seen = Drive({"Close"}, [&](QWidget* d) {
        for (Button b : all.Members()) {
            auto* button = d->findChild<QPushButton*>(ButtonName(b));
            captions << button->text();
            lefts << button->x();
        }
    });
    QCOMPARE(dialogs.ShowMessageBox(A("Все кнопки"), MessageKind::Information, all), 2);
    QCOMPARE(captions, expected);
    for (qsizetype i = 1; i < lefts.size(); ++i)
        QVERIFY(lefts[i - 1] < lefts[i]);
}

void DialogsTest::standardBoxLayout() {
    QtDialogs dialogs;
    const QFont font = QApplication::font("QMessageBox");
    const QFontMetrics fm(font);
    const DialogUnits du = DialogUnits::Of(font);
    const QString longText = QString("Сертификат уже установлен на устройство. ").repeated(12);

    QRect icon, message, yes, no, client;
    auto seen = Drive({"Enter"}, [&](QWidget* d) {
        icon = d->findChild<QLabel*>("Image")->geometry();
        message = d->findChild<QLabel*>("Message")->geometry();
        yes = d->findChild<QPushButton*>("Yes")->geometry();
        no = d->findChild<QPushButton*>("No")->geometry();
        client = d->geometry();
        QCOMPARE(d->minimumSize(), d->maximumSize());
    });
    QCOMPARE(dialogs.ShowMessageBox(FromQt(longText), MessageKind::Error,
                                    ButtonSet{Button::Yes, Button::No}),
             6);

    const int hm = du.Horizontal(8), vm = du.Vertical(8), hs = du.Horizontal(10);
    const int vs = du.Vertical(10);
    const int minWidth = du.Horizontal(50), height = du.Vertical(14), gap = du.Horizontal(4);
    QCOMPARE(icon, QRect(hm, vm, 32, 32));
    QCOMPARE(message.topLeft(), QPoint(hm + 32 + hs, vm));
    const int half = Screen()->geometry().width() / 2;
    QVERIFY(message.width() <= half);
    QVERIFY(message.width() > half * 3 / 4);
    QVERIFY(message.height() > 2 * fm.height());
    const int width = std::max(minWidth, fm.horizontalAdvance("Нет") + 8);
    QCOMPARE(yes.size(), QSize(width, height));
    QCOMPARE(no.size(), QSize(width, height));
    QCOMPARE(no.x() - yes.right() - 1, gap);
    QCOMPARE(yes.y(), message.height() + vm + vs);
    QCOMPARE(client.width(), message.right() + 1 + hm);
    QCOMPARE(client.height(), yes.bottom() + 1 + vm);
    const int row = 2 * width + gap;
    QCOMPARE(yes.x(), (client.width() - row) / 2);
    const QRect screen = Screen()->geometry();
    QCOMPARE(client.x(), (screen.width() - client.width()) / 2);
    QCOMPARE(client.y(), (screen.height() - client.height()) / 2);
}

void DialogsTest::longCaptionWidensEveryButton() {
    QtDialogs dialogs;
    const QString longCaption = "Установить сертификат в раздел PKI";
    const QFontMetrics fm(QApplication::font("QMessageBox"));
    QList<int> widths;
    auto seen = Drive({"Esc"}, [&](QWidget* d) {
        for (const char* name : {"Yes", "No", "Cancel"})
            widths << d->findChild<QPushButton*>(name)->width();
    });
    const int result =
        dialogs.ShowCaptionedBox(A("Куда?"), MessageKind::Confirmation, "",
                                 ButtonSet{Button::Yes, Button::No, Button::Cancel}, Button::Yes,
                                 {A("ГОСТ"), FromQt(longCaption), A("Отмена")});
    QCOMPARE(result, 2);
    const int expected = fm.horizontalAdvance(longCaption) + 16;
    QCOMPARE(widths, (QList<int>{expected, expected, expected}));
}

void DialogsTest::askText_data() {
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<bool>("confirmed");
    QTest::addColumn<QString>("value");
    const QString pin = "5829301746";
    QTest::newRow("Enter keeps the value") << pin << QStringList{"Enter"} << true << pin;
    QTest::newRow("typed over, Enter")
        << pin << QStringList{"type:1234", "Enter"} << true << "1234";
    QTest::newRow("typed, OK clicked") << pin << QStringList{"type:77", "click:OK"} << true << "77";
    QTest::newRow("typed, Esc") << pin << QStringList{"type:1234", "Esc"} << false << pin;
    QTest::newRow("typed, closed") << pin << QStringList{"type:1234", "Close"} << false << pin;
    QTest::newRow("cancel clicked") << pin << QStringList{"click:Cancel"} << false << pin;
    QTest::newRow("emptied and confirmed") << pin << QStringList{"type:\b", "Enter"} << true << "";
    QTest::newRow("cyrillic survives") << "Пароль" << QStringList{"Enter"} << true << "Пароль";
    QTest::newRow("typing stops at 255")
        << "" << QStringList{"type:" + QString(300, u'7'), "Enter"} << true << QString(255, u'7');
    QTest::newRow("a longer value is kept whole")
        << QString(300, u'x') << QStringList{"Enter"} << true << QString(300, u'x');
}

void DialogsTest::askText() {
    QFETCH(QString, initial);
    QFETCH(QStringList, actions);
    QFETCH(bool, confirmed);
    QFETCH(QString, value);
    QtDialogs dialogs;
    std::string text = FromQt(initial);
    auto seen = Drive(actions);
    QCOMPARE(dialogs.AskText(A("Укажите пин-код"), A("Ввод пин-кода"), text), confirmed);
    QVERIFY(!seen->openAfterActions);
    QCOMPARE(seen->title, QString("Укажите пин-код"));
    QCOMPARE(ToQt(text), value);
}

void DialogsTest::askTextLayout() {
    QtDialogs dialogs;
    std::string value = A("5829301746");
    QSize size;
    QString labelText, accessible, shownText;
    bool buddy = false, clear = false;
    auto seen = Drive({"Esc"}, [&](QWidget* d) {
        size = d->size();
        auto* edit = d->findChild<QLineEdit*>();
        auto* label = d->findChild<QLabel*>();
        labelText = label->text();
        buddy = label->buddy() == edit;
        accessible = edit->accessibleName();
        clear = edit->echoMode() == QLineEdit::Normal;
        shownText = edit->displayText();
    });
    QVERIFY(!dialogs.AskText(A("Укажите пин-код"), A("Ввод пин-кода"), value));
    const DialogUnits du = DialogUnits::Of(QApplication::font());
    QCOMPARE(size, QSize(du.Horizontal(180), du.Vertical(63)));
    QCOMPARE(labelText, QString("Ввод пин-кода"));
    QVERIFY(buddy);
    QCOMPARE(accessible, QString("Ввод пин-кода"));
    QVERIFY(clear);
    QCOMPARE(shownText, QString("5829301746"));
    const QRect screen = Screen()->geometry();
    QCOMPARE(seen->geometry.center().x(), screen.center().x());
}

void DialogsTest::choiceNeededHeight_data() {
    QTest::addColumn<int>("items");
    QTest::addColumn<int>("lineHeight");
    QTest::addColumn<int>("labelHeight");
    QTest::addColumn<int>("expected");
    QTest::newRow("no items: designed") << 0 << 16 << 0 << 105;
    QTest::newRow("few items: designed") << 3 << 15 << 0 << 105;
    QTest::newRow("exact") << 10 << 16 << 0 << 192 + 26;
    QTest::newRow("rounds down .2") << 7 << 13 << 0 << 109 + 26;
    QTest::newRow("rounds up .8") << 9 << 11 << 0 << 119 + 26;
    QTest::newRow("label adds its height + 2") << 4 << 15 << 20 << 72 + 26 + 22;
    QTest::newRow("label, still designed") << 3 << 15 << 20 << 105;
}

void DialogsTest::choiceNeededHeight() {
    QFETCH(int, items);
    QFETCH(int, lineHeight);
    QFETCH(int, labelHeight);
    QFETCH(int, expected);
    QCOMPARE(TfmMakeChoice::NeededHeight(items, lineHeight, labelHeight), expected);
}

void DialogsTest::makeChoiceResult_data() {
    QTest::addColumn<int>("defaultIndex");
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<int>("expected");
    QTest::newRow("default 0, Enter: nothing chosen") << 0 << QStringList{"Enter"} << 0;
    QTest::newRow("default 0, Ok: nothing chosen") << 0 << QStringList{"click:btnOK"} << 0;
    QTest::newRow("default 1, Enter") << 1 << QStringList{"Enter"} << 1;
    QTest::newRow("default 2, Ok") << 2 << QStringList{"click:btnOK"} << 2;
    QTest::newRow("picked 3, Enter") << 1 << QStringList{"select:2", "Enter"} << 3;
    QTest::newRow("double click on 3") << 1 << QStringList{"dclick:2"} << 3;
    QTest::newRow("default 2, Esc") << 2 << QStringList{"Esc"} << 0;
    QTest::newRow("default 2, Отмена") << 2 << QStringList{"click:btnCancel"} << 0;
    QTest::newRow("default 2, closed") << 2 << QStringList{"Close"} << 0;
    QTest::newRow("default past the end selects the last") << 9 << QStringList{"Enter"} << 3;
}

void DialogsTest::makeChoiceResult() {
    QFETCH(int, defaultIndex);
    QFETCH(QStringList, actions);
    QFETCH(int, expected);
    QtDialogs dialogs;
    auto seen = Drive(actions);
    const int result = dialogs.MakeChoice(std::nullopt, {A("Первый"), A("Второй"), A("Третий")}, "",
                                          defaultIndex, "");
    QVERIFY(seen->appeared);
    QVERIFY(!seen->openAfterActions);
    QCOMPARE(result, expected);
    QCOMPARE(seen->title, QString("Ваш выбор:"));
}

void DialogsTest::makeChoicePlacement_data() {
    QTest::addColumn<int>("items");
    QTest::addColumn<bool>("anchored");
    QTest::addColumn<QPoint>("anchor");
    QTest::addColumn<QString>("addText");
    QTest::addColumn<QString>("place");  // designed, anchored, top, right
    QTest::newRow("three items: designed place and size") << 3 << false << QPoint() << ""
                                                          << "designed";
    QTest::newRow("twenty items: to the top, screen height - 30") << 20 << false << QPoint() << ""
                                                                  << "top";
    QTest::newRow("anchored under the control") << 3 << true << QPoint(50, 60) << ""
                                                << "anchored";
    QTest::newRow("anchored too far right") << 3 << true << QPoint(700, 60) << ""
                                            << "right";
    QTest::newRow("additional text makes room")
        << 6 << false << QPoint() << "Сертификаты на устройстве"
        << "designed";
}

void DialogsTest::makeChoicePlacement() {
    QFETCH(int, items);
    QFETCH(bool, anchored);
    QFETCH(QPoint, anchor);
    QFETCH(QString, addText);
    QFETCH(QString, place);
    QtDialogs dialogs;
    std::vector<std::string> entries;
    for (int i = 0; i < items; ++i)
        entries.push_back(A("Сертификат ") + std::to_string(i + 1));
    int labelHeight = 0;
    QString shownText;
    bool labelVisible = false;
    auto seen = Drive({"Esc"}, [&](QWidget* d) {
        auto* label = d->findChild<QLabel*>("lAddText");
        labelVisible = label->isVisible();
        labelHeight = label->height();
        shownText = label->text();
    });
    std::optional<ScreenPoint> at;
    if (anchored)
        at = ScreenPoint{anchor.x(), anchor.y()};
    QCOMPARE(dialogs.MakeChoice(at, entries, A("Укажите сертификат"), 1, FromQt(addText)), 0);
    QCOMPARE(seen->title, QString("Укажите сертификат"));
    QCOMPARE(labelVisible, !addText.isEmpty());
    if (!addText.isEmpty())
        QCOMPARE(shownText, addText);

    const QRect screen = Screen()->geometry();
    const int lineHeight = QFontMetrics(QGuiApplication::font()).height();
    const int needed =
        TfmMakeChoice::NeededHeight(items, lineHeight, labelVisible ? labelHeight : 0);
    const QRect g = seen->geometry;
    QCOMPARE(g.width(), TfmMakeChoice::kDesignedWidth);
    if (place == u"designed") {
        QCOMPARE(g.topLeft(), QPoint(302, 222));
        QCOMPARE(g.height(), needed);
        if (!addText.isEmpty())
            QVERIFY(needed > TfmMakeChoice::kDesignedHeight);
    } else if (place == u"top") {
        QVERIFY2(222 + needed > screen.height(), "the screen is not small enough for this test");
        QCOMPARE(g.topLeft(), QPoint(302, 0));
        QCOMPARE(g.height(), screen.height() - 30);
    } else if (place == u"anchored") {
        QCOMPARE(g.topLeft(), anchor + QPoint(0, 1));
        QCOMPARE(g.height(), needed);
    } else {
        QCOMPARE(g.topLeft(), QPoint(screen.width() - g.width(), anchor.y() + 1));
    }
}

void DialogsTest::makeChoiceDoubleClickDoesNotReachWindowBeneath() {
    // A window under the list that counts the mouse releases it is given.
    class Beneath : public QWidget {
      public:
        int releases = 0;

      protected:
        void mouseReleaseEvent(QMouseEvent*) override { ++releases; }
    } beneath;
    beneath.setGeometry(Screen()->geometry());
    beneath.show();
    QVERIFY(QTest::qWaitForWindowExposed(&beneath));

    // QTest moves its clock by half a second after every release.
    QStyleHints* hints = QGuiApplication::styleHints();
    const int interval = hints->mouseDoubleClickInterval();
    hints->setMouseDoubleClickInterval(2000);
    const auto restore = qScopeGuard([&] { hints->setMouseDoubleClickInterval(interval); });

    QtDialogs dialogs;
    dialogs.SetOwner(&beneath);
    QPoint pressedAt;
    auto seen = Drive({}, [&](QWidget* d) {
        QCOMPARE(d->parentWidget(), &beneath);
        QWidget* item = d->findChild<TSRadioGroup*>()->ButtonAt(1);
        QWindow* window = d->windowHandle();
        pressedAt = item->mapTo(d, QPoint(8, item->height() / 2));
        // The first click, then the press of the second: the double click.
        QTest::mousePress(window, Qt::LeftButton, {}, pressedAt);
        QTest::mouseRelease(window, Qt::LeftButton, {}, pressedAt);
        QTest::mousePress(window, Qt::LeftButton, {}, pressedAt);
        QCoreApplication::processEvents();
    });
    QCOMPARE(dialogs.MakeChoice(std::nullopt, {A("Первый"), A("Второй")}, "", 0, ""), 2);
    QVERIFY(!seen->openAfterActions);

    // The release of the double click arrives after the list has gone.
    QVERIFY(QGuiApplication::mouseButtons() & Qt::LeftButton);
    const QPoint at = seen->geometry.topLeft() + pressedAt;
    QTest::mouseRelease(&beneath, Qt::LeftButton, {}, at);
    QCOMPARE(beneath.releases, 0);
    // The next click is the user's own again.
    QTest::mouseClick(&beneath, Qt::LeftButton, {}, at);
    QCOMPARE(beneath.releases, 1);
}

void DialogsTest::selectFolder_data() {
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("expected");
    QTest::newRow("existing, chosen") << true << true << true;
    QTest::newRow("existing, cancelled keeps it") << true << false << false;
    QTest::newRow("missing, cancelled is emptied") << false << false << false;
    QTest::newRow("missing, chosen") << false << true << true;
}

void DialogsTest::selectFolder() {
    QFETCH(bool, exists);
    QFETCH(bool, accept);
    QFETCH(bool, expected);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString existing = temp.filePath("Выпущенные");
    QVERIFY(QDir().mkpath(existing));
    const QString given = exists ? existing : temp.filePath("нет такого");

    QtDialogs dialogs;
    QString openedIn;
    bool directoriesOnly = false;
    auto seen = Drive({}, [&](QWidget* d) {
        auto* fd = qobject_cast<QFileDialog*>(d);
        openedIn = fd->directory().absolutePath();
        directoriesOnly = fd->fileMode() == QFileDialog::Directory;
        if (!exists)
            fd->setDirectory(existing);
        if (accept)
            static_cast<QDialog*>(fd)->accept();
        else
            fd->reject();
    });
    std::string directory = FromQt(given);
    QCOMPARE(dialogs.SelectFolder(A("Укажите каталог с выпущенными сертификатами"), "", directory),
             expected);
    QCOMPARE(seen->title, QString("Укажите каталог с выпущенными сертификатами"));
    QVERIFY(directoriesOnly);
    if (exists)
        QCOMPARE(openedIn, existing);
    if (accept)
        QCOMPARE(ToQt(directory), existing);
    else
        QCOMPARE(ToQt(directory), exists ? existing : QString());
}

void DialogsTest::openAndSaveFile() {
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString cert = temp.filePath("user.cer");
    QFile file(cert);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QtDialogs dialogs;

    QStringList filters;
    auto seen = Drive({}, [&](QWidget* d) {
        auto* fd = qobject_cast<QFileDialog*>(d);
        filters = fd->nameFilters();
        QVERIFY(fd->testOption(QFileDialog::DontUseNativeDialog));
        fd->setDirectory(temp.path());
        fd->selectFile("user.cer");
        static_cast<QDialog*>(fd)->accept();
    });
    auto opened = dialogs.OpenFile({A("Укажите файл с сертификатом"), A("Сертификаты|*.cer"), ""});
    QCOMPARE(seen->title, QString("Укажите файл с сертификатом"));
    QCOMPARE(filters, QStringList{"Сертификаты (*.cer)"});
    QVERIFY(opened);
    QCOMPARE(ToQt(*opened), cert);

    seen = Drive({}, [](QWidget* d) { qobject_cast<QFileDialog*>(d)->reject(); });
    QVERIFY(!dialogs.OpenFile({A("Укажите файл"), "", ""}));

    QString offeredName, acceptLabel;
    seen = Drive({}, [&](QWidget* d) {
        auto* fd = qobject_cast<QFileDialog*>(d);
        acceptLabel = fd->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Save)->text();
        fd->setDirectory(temp.path());
        offeredName = fd->findChild<QLineEdit*>("fileNameEdit")->text();
        static_cast<QDialog*>(fd)->accept();
    });
    auto saved = dialogs.SaveFile(
        {A("Укажите имя файла для сохранения запроса"), "", "7701234567_20261210_103000.req"});
    QCOMPARE(offeredName, QString("7701234567_20261210_103000.req"));
    QCOMPARE(acceptLabel, QString("&Сохранить"));
    QVERIFY(saved);
    QCOMPARE(ToQt(*saved), temp.filePath("7701234567_20261210_103000.req"));
}

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
