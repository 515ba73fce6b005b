#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>
#include <fstream>
#include <memory>

#include "cert_request_window.h"
#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/scripted_dialogs.h"
#include "certdesk/token_client.h"
#include "certdesk/tsbutton.h"
#include "certdesk/tsradiogroup.h"
#include "qt_text.h"
#include "window_controls.h"

using namespace certdesk;

namespace {

const char* const kMissingLibrary = "/nonexistent/libKeyPorter.so";

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

struct Subject {
    const char* name;
    const char* text;
};

// A legal entity that passes every check.
const Subject kLegalEntity[] = {
    {"edtSN", "Иванов"},
    {"edtGN1", "Иван Иванович"},
    {"edtSNILS", "11223344595"},
    {"edtEMAIL", "ivanov@example.ru"},
    {"dbeCategory", "Генеральный директор"},
    {"edtST", "77 г. Москва"},
    {"edtL", "Москва"},
    {"edtStreet", "ул. Вавилова, д. 19"},
    {"edtO", "ПАО Сбербанк"},
    {"edtOU", "Руководство"},
    {"edtOGRN", "1027700132195"},
    {"edtINN", "007707083893"},
    {"edtKPP", "773601001"},
};

const Subject kEntrepreneur[] = {
    {"edtSN", "Петров"},
    {"edtGN1", "Пётр"},
    {"edtSNILS", "112-233-445 95"},
    {"edtEMAIL", "petrov@example.ru"},
    {"dbeCategory", "Индивидуальный предприниматель"},
    {"edtST", "74 Челябинская область"},
    {"edtL", "Челябинск"},
    {"edtStreet", "ул. Кирова, 1"},
    {"edtOGRN", "304500116000157"},
    {"edtINN", "500100732259"},
};

}  // namespace

// Counts the paint events of the widgets it watches.
class PaintCounter : public QObject {
  public:
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

class MainWindowTest : public QObject {
    Q_OBJECT

  private:
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

    template <std::size_t N>
    void Fill(const Subject (&subject)[N]) {
        for (const Subject& field : subject)
            SetTextOf(field.name, U(field.text));
    }

    void Open(const char* library = kMissingLibrary) {
        SetTokenLibraryName(library);
        window_ = std::make_unique<TfCertRequestAlt>(*dialogs_);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        window_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window_.get()));
    }

    void SelectOwner(int index) {
        Find<TSRadioGroup>("rgCertOwnerType")->ButtonAt(index)->click();
        QCOMPARE(Find<TSRadioGroup>("rgCertOwnerType")->ItemIndex(), index);
    }

    // Red dots on the last row, and only from 2 pixels inside the left edge to 3 inside the
    // right one.
    static bool Underlined(QWidget* field) {
        const QImage image = field->grab().toImage();
        const int y = image.height() - 1;
        int inside = 0;
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) != QColor(Qt::red))
                continue;
            if (x < 2 || x >= image.width() - 3)
                qFatal("red outside the underline at x=%d", x);
            ++inside;
        }
        return inside > 0;
    }

  private slots:
    void init() { dialogs_ = std::make_unique<ScriptedDialogs>(); }

    void cleanup() {
        window_.reset();
        std::string problems;
        for (const std::string& p : dialogs_->Problems())
            problems += Utf8FromAnsi(p) + "\n";
        QVERIFY2(problems.empty(), problems.c_str());
    }

    void stateAfterStart() {
        Open();
        QCOMPARE(window_->windowTitle(),
                 U("Генерация запроса на сертификат и установка готового сертификата на jaCarta"));
        QCOMPARE(window_->size(), QSize(700, 554));
        const QRect screen = window_->screen()->availableGeometry();
        const QPoint offset = window_->frameGeometry().center() - screen.center();
        QVERIFY2(offset.manhattanLength() <= 2, "not centred on the screen");
        auto* pages = Find<QTabWidget>("PageControl");
        QCOMPARE(pages->currentWidget(), Find("tsMain"));
        QVERIFY(pages->tabText(0).startsWith(U("&1. ")));
        QCOMPARE(pages->tabText(1).back(), QChar(0x0430));  // the Cyrillic "а"
        QCOMPARE(Find<QPushButton>("Button2")->text(), U("За&крыть"));

        QCOMPARE(Find<TSRadioGroup>("rgCertOwnerType")->ItemIndex(), 0);
        QVERIFY(Find("btnOK")->isEnabled());
        QCOMPARE(Find<QGroupBox>("gbOrgSettings")->title(), U("Сведения об организации"));
        for (const char* name : {"edtSN", "edtGN1", "edtSNILS", "dbeCategory", "edtST", "edtL",
                                 "edtStreet", "edtO", "edtEMAIL", "edtOGRN", "edtINN"})
            QVERIFY2(Underlined(Find(name)), name);
        for (const char* name : {"edtGN2", "edtOU", "edtKPP"})
            QVERIFY2(!Underlined(Find(name)), name);

        const std::pair<const char*, int> lists[] = {{"dbeCategory", 24},
                                                     {"edtOU", 3},
                                                     {"edtST", 85},
                                                     {"edtL", 91},
                                                     {"cbValidForMonths", 13}};
        for (const auto& [name, count] : lists)
            QCOMPARE(Find<QComboBox>(name)->count(), count);
        auto* period = Find<QComboBox>("cbValidForMonths");
        QCOMPARE(period->currentText(), U("13 месяцев (1 год и 1 месяц)"));
        QCOMPARE(period->itemText(12), U("1 месяц"));
        QVERIFY(!period->isEditable());
        QCOMPARE(Find<QComboBox>("edtST")->itemText(84),
                 U("99 Иные территории, включая, г. Байконур"));
        QCOMPARE(Find<QComboBox>("edtL")->itemText(90), U("Искитим"));
        QCOMPARE(Find<QMenu>("PopupMenu1")->actions().size(), 3);
    }

    void validityPeriodFollowsLibrary_data() {
        QTest::addColumn<QString>("library");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("no KeyPorter") << QString::fromLatin1(kMissingLibrary) << false;
        QTest::newRow("without GenCertRequestsEKU")
            << QStringLiteral(CERTDESK_TEST_LIBRARY_NO_EKU) << false;
        QTest::newRow("with GenCertRequestsEKU")
            << QStringLiteral(CERTDESK_TEST_LIBRARY_FULL) << true;
    }

    void validityPeriodFollowsLibrary() {
        QFETCH(QString, library);
        QFETCH(bool, enabled);
        Open(library.toStdString().c_str());
        QVERIFY(window_->isVisible());
        for (const char* name : {"GroupBox1", "Label5", "cbValidForMonths", "Label7"})
            QCOMPARE(Find(name)->isEnabled(), enabled);
    }

    void ownerTypeSwitchesFields() {
        Open();
        Fill(kLegalEntity);
        QCoreApplication::processEvents();
        PaintCounter painted;
        Find("edtOGRN")->installEventFilter(&painted);
        SelectOwner(1);
        QVERIFY2(painted.count > 0, "the underlines were not redrawn at once");
        const QColor grey = QApplication::palette().color(QPalette::Button);
        const QColor white = QApplication::palette().color(QPalette::Base);
        for (const char* name : {"edtO", "edtOU", "edtKPP"}) {
            QVERIFY2(TextOf(name).isEmpty(), name);
            QVERIFY2(!Find(name)->isEnabled(), name);
            QCOMPARE(Find(name)->palette().color(QPalette::Base), grey);
        }
        QVERIFY(Find("edtINN")->isEnabled());
        QVERIFY(Find("edtOGRN")->isEnabled());
        QCOMPARE(Find<QGroupBox>("gbOrgSettings")->title(),
                 U("Сведения об индивидуальном предпринимателе"));
        QVERIFY(!Underlined(Find("edtO")));         // no longer marked
        QVERIFY(!Underlined(Find("dbeCategory")));  // no longer marked
        QVERIFY(Underlined(Find("edtOGRN")));       // a legal entity's OGRN is no OGRNIP

        SelectOwner(0);
        for (const char* name : {"edtO", "edtOU", "edtKPP"}) {
            QVERIFY2(TextOf(name).isEmpty(), name);
            QVERIFY2(Find(name)->isEnabled(), name);
            QCOMPARE(Find(name)->palette().color(QPalette::Base), white);
        }
        QCOMPARE(Find<QGroupBox>("gbOrgSettings")->title(), U("Сведения об организации"));
        QVERIFY(Underlined(Find("edtO")));
    }

    void innPaddedOnLeaving_data() {
        QTest::addColumn<int>("owner");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("left");
        QTest::newRow("10 digits") << 0 << "7707083893"
                                   << "007707083893";
        QTest::newRow("10 digits, entrepreneur") << 1 << "7707083893"
                                                 << "007707083893";
        QTest::newRow("11 digits") << 0 << "77070838931"
                                   << "77070838931";
        QTest::newRow("12 digits") << 0 << "500100732259"
                                   << "500100732259";
        QTest::newRow("3 digits") << 0 << "123"
                                  << "123";
    }

    void innPaddedOnLeaving() {
        QFETCH(int, owner);
        QFETCH(QString, typed);
        QFETCH(QString, left);
        Open();
        SelectOwner(owner);
        auto* inn = Find<QLineEdit>("edtINN");
        inn->setFocus();
        QTest::keyClicks(inn, typed);
        QCOMPARE(inn->text(), typed);
        Find("edtGN2")->setFocus();
        QCOMPARE(inn->text(), left);
    }

    void fieldsTrimmedOnLeaving() {
        Open();
        for (const char* name : {"edtSN", "edtST", "edtKPP"}) {
            SetTextOf(name, U(" \t 12 \r\n"));
            Find(name)->setFocus();
            Find("edtGN2")->setFocus();
            QCOMPARE(TextOf(name), U("12"));
        }
    }

    void digitFieldsFilterKeys_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        for (const char* name : {"edtSNILS", "edtOGRN", "edtINN", "edtKPP"})
            QTest::newRow(name) << name << "1.2";
        QTest::newRow("edtSN, not filtered") << "edtSN" << U("1a- .Я2");
    }

    void digitFieldsFilterKeys() {
        QFETCH(QString, field);
        QFETCH(QString, expected);
        Open();
        auto* edit = Find<QLineEdit>(field.toLatin1().constData());
        edit->setFocus();
        QTest::keyClicks(edit, QStringLiteral("1a- ."));
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, U("Я"), Qt::NoModifier);
        QTest::keyClicks(edit, QStringLiteral("2"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, QStringLiteral("2"));
        QCOMPARE(edit->text(), expected);
    }

    void typingLimitedFillsNot_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("limit");
        QTest::newRow("edtSNILS") << "edtSNILS" << 11;
        QTest::newRow("edtEMAIL") << "edtEMAIL" << 40;
        QTest::newRow("edtSN") << "edtSN" << 64;
        QTest::newRow("edtStreet") << "edtStreet" << 128;
        QTest::newRow("edtKPP") << "edtKPP" << 9;
    }

    void typingLimitedFillsNot() {
        QFETCH(QString, field);
        QFETCH(int, limit);
        Open();
        auto* edit = Find<QLineEdit>(field.toLatin1().constData());
        edit->setFocus();
        QTest::keyClicks(edit, QString(limit + 3, u'7'));
        QCOMPARE(edit->text().size(), limit);
        edit->setText(QString(limit + 10, u'8'));  // a fill puts the whole value in
        QCOMPARE(edit->text().size(), limit + 10);
        edit->end(false);
        QTest::keyClick(edit, Qt::Key_Backspace);  // shortening is still possible
        QCOMPARE(edit->text().size(), limit + 9);
        QTest::keyClicks(edit, QStringLiteral("9"));
        QCOMPARE(edit->text().size(), limit + 9);
    }

    void comboTypingLimited() {
        Open();
        auto* region = Find<QComboBox>("edtST");
        region->setFocus();
        QTest::keyClicks(region, QString(70, u'x'));
        QCOMPARE(region->currentText().size(), 64);
        region->hidePopup();
    }

    void clearAllEmptiesEverything() {
        Open();
        Fill(kLegalEntity);
        SetTextOf("edtGN2", U("Иванович"));
        SetTextOf("edtCertFileName", U("/tmp/a.cer"));
        Find<QComboBox>("cbValidForMonths")->setCurrentIndex(5);
        SelectOwner(1);
        Find<TSButton>("btnClearAll")->click();
        QCOMPARE(Find<TSRadioGroup>("rgCertOwnerType")->ItemIndex(), -1);
        for (QLineEdit* edit : window_->findChildren<QLineEdit*>())
            QVERIFY2(edit->text().isEmpty(), qPrintable(edit->objectName()));
        QCOMPARE(Find<QComboBox>("cbValidForMonths")->currentText(),
                 U("13 месяцев (1 год и 1 месяц)"));
        // The states of the last owner type stay.
        QVERIFY(!Find("edtO")->isEnabled());
        QCOMPARE(Find<QGroupBox>("gbOrgSettings")->title(),
                 U("Сведения об индивидуальном предпринимателе"));
        QVERIFY(Find("btnOK")->isEnabled());
    }

    void generateButtonFollowsCanGenerate_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("empty") << "edtSN"
                               << "" << true;
        QTest::newRow("blank") << "edtSN"
                               << " \t" << true;
        QTest::newRow("LF only") << "edtSN"
                                 << "\n"
                                 << true;
        QTest::newRow("CR only") << "edtSN"
                                 << "\r" << true;
        QTest::newRow("CR LF") << "edtSN"
                               << "\r\n"
                               << false;
        QTest::newRow("blanks with LF and CR") << "dbeCategory"
                                               << " \n \r " << false;
        QTest::newRow("text with CR LF") << "edtSN"
                                         << "x\r\n"
                                         << true;
        QTest::newRow("CR LF in unmarked field") << "edtGN2"
                                                 << "\r\n"
                                                 << true;
    }

    void generateButtonFollowsCanGenerate() {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        Open();
        SetTextOf(field.toLatin1().constData(), text);
        QCOMPARE(TextOf(field.toLatin1().constData()), text);
        QCOMPARE(Find("btnOK")->isEnabled(), enabled);
    }

    void enterMovesToNextField() {
        Open();
        Find("edtSN")->setFocus();
        QTest::keyClick(Find("edtSN"), Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), Find("edtGN1"));
        QTest::keyClick(Find("edtGN1"), Qt::Key_Enter);
        QCOMPARE(QApplication::focusWidget(), Find("edtGN2"));
    }

    void enterLeftToOpenList() {
        Open();
        auto* position = Find<QComboBox>("dbeCategory");
        position->setFocus();
        position->showPopup();
        QTRY_VERIFY(position->view()->isVisible());
        // Sent to the field itself, Enter is not taken while the list is open.
        QTest::keyClick(position, Qt::Key_Down);
        QTest::keyClick(position, Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget() == Find("edtST"), false);
        // Where the keyboard really is with the list open: the list takes Enter and closes.
        if (position->view()->isVisible())
            QTest::keyClick(position->view(), Qt::Key_Return);
        QTRY_VERIFY(!position->view()->isVisible());
        QCOMPARE(QApplication::focusWidget(), position);
    }

    void wheelLeavesPeriod() {
        Open();
        auto* period = Find<QComboBox>("cbValidForMonths");
        Find("GroupBox1")->setEnabled(true);
        period->setEnabled(true);
        period->setCurrentIndex(3);
        QComboBox plain;
        plain.addItems({U("a"), U("b"), U("c"), U("d"), U("e")});
        plain.setCurrentIndex(3);
        for (QComboBox* combo : {period, &plain}) {
            const QPointF at(5, 5);
            QWheelEvent wheel(at, combo->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(combo, &wheel);
        }
        QCOMPARE(period->currentIndex(), 3);
        QVERIFY(plain.currentIndex() != 3);  // the same wheel does move an ordinary list
    }

    void underlineAsDrawn_data() {
        QTest::addColumn<int>("owner");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("Фамилия empty") << 0 << "edtSN"
                                       << "" << true;
        QTest::newRow("Фамилия filled") << 0 << "edtSN"
                                        << "Иванов" << false;
        QTest::newRow("Отчество empty") << 0 << "edtGN2"
                                        << "" << false;
        QTest::newRow("СНИЛС wrong") << 0 << "edtSNILS"
                                     << "11223344596" << true;
        QTest::newRow("СНИЛС right") << 0 << "edtSNILS"
                                     << "11223344595" << false;
        QTest::newRow("E-mail wrong") << 0 << "edtEMAIL"
                                      << "ivanov" << true;
        QTest::newRow("E-mail right") << 0 << "edtEMAIL"
                                      << "a@b" << false;
        QTest::newRow("Должность, ЮЛ") << 0 << "dbeCategory"
                                       << "" << true;
        QTest::newRow("Должность, ИП") << 1 << "dbeCategory"
                                       << "" << false;
        QTest::newRow("Должность filled") << 0 << "dbeCategory"
                                          << "Глава" << false;
        QTest::newRow("Область empty") << 0 << "edtST"
                                       << "  " << true;
        QTest::newRow("Город filled") << 0 << "edtL"
                                      << "Аша" << false;
        QTest::newRow("Улица empty") << 0 << "edtStreet"
                                     << "" << true;
        QTest::newRow("Отдел empty") << 0 << "edtOU"
                                     << "" << false;
        QTest::newRow("ОГРН, ЮЛ") << 0 << "edtOGRN"
                                  << "1027700132195" << false;
        QTest::newRow("ОГРН as ОГРНИП") << 1 << "edtOGRN"
                                        << "1027700132195" << true;
        QTest::newRow("ОГРНИП") << 1 << "edtOGRN"
                                << "304500116000157" << false;
        QTest::newRow("ИНН padded, ЮЛ") << 0 << "edtINN"
                                        << "007707083893" << false;
        QTest::newRow("ИНН padded, ИП") << 1 << "edtINN"
                                        << "007707083893" << true;
        QTest::newRow("ИНН wrong") << 0 << "edtINN"
                                   << "7707083894" << true;
        QTest::newRow("КПП empty") << 0 << "edtKPP"
                                   << "" << false;
        QTest::newRow("certificate file empty") << 0 << "edtCertFileName"
                                                << "" << true;
        QTest::newRow("certificate file missing") << 0 << "edtCertFileName"
                                                  << "/nonexistent/a.cer" << true;
    }

    void underlineAsDrawn() {
        QFETCH(int, owner);
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(bool, drawn);
        Open();
        SelectOwner(owner);
        const QByteArray name = field.toLatin1();
        SetTextOf(name.constData(), text);
        QCOMPARE(Underlined(Find(name.constData())), drawn);
    }

    void underlineOfExistingCertificateFile() {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("сертификат.cer"));
        std::ofstream(file.toStdString()) << "x";
        Open();
        SetTextOf("edtCertFileName", QStringLiteral(" ") + file + QStringLiteral(" "));
        QVERIFY(!Underlined(Find("edtCertFileName")));
        SetTextOf("edtCertFileName", dir.path());  // a folder is no file
        QVERIFY(Underlined(Find("edtCertFileName")));
    }

    void checkStepFocusesField_data() {
        QTest::addColumn<int>("owner");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");  // empty: page and focus stay
        const QString q =
            U("Для выпуска КВАЛИФИЦИРОВАННОГО сертификата для ЮР лиц требуется указывать ");
        const auto length = [](const char* caption, int over) {
            return U("Длина поля ") + U(caption) + U(" превосходит ограничение в  64 ") +
                   U("Пожалуйста сократите на ") + QString::number(over) + U(" символов!");
        };
        QTest::newRow("1 owner") << -1 << ""
                                 << "" << U("Не указан тип владельца сертификата!")
                                 << "rgCertOwnerType";
        QTest::newRow("2 no INN") << 0 << "edtINN"
                                  << "" << U("Укажите ИНН!") << "rgCertOwnerType";
        QTest::newRow("2 INN of a person")
            << 0 << "edtINN"
            << "500100732259" << U("Тип владельца сертификата не соответствует ИНН!")
            << "rgCertOwnerType";
        QTest::newRow("2 INN 0") << 0 << "edtINN"
                                 << "0" << U("Тип владельца сертификата не соответствует ИНН!")
                                 << "rgCertOwnerType";
        QTest::newRow("3 surname") << 0 << "edtSN"
                                   << " " << q + U("Фамилия") << "edtSN";
        QTest::newRow("4 name") << 0 << "edtGN1"
                                << "" << q + U("Имя") << "edtGN1";
        QTest::newRow("5 SNILS") << 0 << "edtSNILS"
                                 << "" << q + U("СНИЛС") << "edtSNILS";
        QTest::newRow("6 SNILS wrong")
            << 0 << "edtSNILS"
            << "11223344596" << U("Укажите правильное значение СНИЛС!") << "edtSNILS";
        QTest::newRow("7 e-mail") << 0 << "edtEMAIL"
                                  << "0" << U("Необходимо указать правильный e-mail") << "edtEMAIL";
        QTest::newRow("8 position of 65")
            << 0 << "dbeCategory" << QString(65, u'д') << length("Должность", 1) << "dbeCategory";
        QTest::newRow("9 region") << 0 << "edtST"
                                  << "" << U("Заполните Область") << "edtST";
        QTest::newRow("9 region of 66")
            << 0 << "edtST" << QString(66, u'о') << length("Область", 2) << "edtST";
        QTest::newRow("10 town") << 0 << "edtL"
                                 << " " << U("Заполните Город") << "edtL";
        QTest::newRow("11 street") << 0 << "edtStreet"
                                   << "" << q + U("Улица, дом") << "edtStreet";
        QTest::newRow("12 organisation") << 0 << "edtO"
                                         << "" << U("Заполните Наименование") << "edtO";
        QTest::newRow("13 department of 70")
            << 0 << "edtOU" << QString(70, u'x') << length("Отдел / Обособленное подразделение", 6)
            << "edtOU";
        QTest::newRow("14 position normalised away")
            << 0 << "dbeCategory"
            << "\"/\"" << q + U("Должность") << "dbeCategory";
        QTest::newRow("15 OGRN") << 0 << "edtOGRN"
                                 << "" << q + U("ОГРН (ИП)") << "";
        QTest::newRow("16 OGRN wrong")
            << 0 << "edtOGRN"
            << "1027700132196" << U("Укажите правильный ОГРН(ИП)!") << "edtOGRN";
        QTest::newRow("16 OGRNIP wrong")
            << 1 << "edtOGRN"
            << "1027700132195" << U("Укажите правильный ОГРН(ИП)!") << "edtOGRN";
        QTest::newRow("17 INN wrong")
            << 0 << "edtINN"
            << "7707083894" << U("Укажите правильное значение ИНН!") << "edtINN";
        QTest::newRow("17 INN wrong, entrepreneur")
            << 1 << "edtINN"
            << "500100732258" << U("Укажите правильное значение ИНН!") << "edtINN";
    }

    void checkStepFocusesField() {
        QFETCH(int, owner);
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        Open();
        SelectOwner(owner == 1 ? 1 : 0);
        if (owner == 1)
            Fill(kEntrepreneur);
        else
            Fill(kLegalEntity);
        if (owner < 0)
            Find<TSRadioGroup>("rgCertOwnerType")->SetItemIndex(-1);
        if (!field.isEmpty())
            SetTextOf(field.toLatin1().constData(), value);

        auto* pages = Find<QTabWidget>("PageControl");
        pages->setCurrentWidget(Find("tsInstallCert"));
        Find("edtCertFileName")->setFocus();
        dialogs_->AnswerCaptionedBox(AnsiFromQString(message), 2);
        Find<TSButton>("btnOK")->click();
        QCOMPARE(dialogs_->Pending(), std::size_t{0});

        if (focus.isEmpty()) {
            QCOMPARE(pages->currentWidget(), Find("tsInstallCert"));
            QCOMPARE(QApplication::focusWidget(), Find("edtCertFileName"));
            return;
        }
        QCOMPARE(pages->currentWidget(), Find("tsMain"));
        QWidget* expected = Find(focus.toLatin1().constData());
        QWidget* focused = QApplication::focusWidget();
        QVERIFY(focused != nullptr);
        QVERIFY2(focused == expected || expected->isAncestorOf(focused),
                 qPrintable(focused->objectName()));
    }

    void errorShownInCaptionedBox() {
        Open();
        dialogs_->AnswerCaptionedBox(Ansi("Не указан тип владельца сертификата!"), 2);
        Find<TSRadioGroup>("rgCertOwnerType")->SetItemIndex(-1);
        Find<TSButton>("btnOK")->click();
        const DialogQuestion& box = dialogs_->Asked().back();
        QCOMPARE(box.operation, DialogOperation::CaptionedBox);
        QCOMPARE(box.kind, MessageKind::Error);
        QCOMPARE(Utf8FromAnsi(box.title), std::string("Ошибка"));
        QVERIFY(box.buttons == ButtonSet{Button::Cancel});
        QVERIFY(box.defaultButton == Button::Cancel);
        QCOMPARE(box.captions.size(), std::size_t{1});
        QCOMPARE(Utf8FromAnsi(box.captions[0]), std::string("Закрыть"));
    }

    void guardShowsErrorsAndIgnoresAborts() {
        Open();
        window_->Guarded([] { throw SilentAbort(); });
        QVERIFY(dialogs_->Asked().empty());
        dialogs_->AnswerCaptionedBox(Ansi("Сбой"), 2);
        window_->Guarded([] { throw Error(Ansi("Сбой")); });
        dialogs_->AnswerCaptionedBox(Ansi("Внутренняя ошибка программы: bad"), 2);
        window_->Guarded([] { throw std::logic_error("bad"); });
        dialogs_->AnswerCaptionedBox(Ansi("Внутренняя ошибка программы"), 2);
        window_->Guarded([] { throw 1; });
        QCOMPARE(dialogs_->Asked().size(), std::size_t{3});
    }

    void normalisedTextsWrittenBack() {
        Open();
        Fill(kLegalEntity);
        SetTextOf("edtO", U("ООО \"Ромашка\" +"));
        SetTextOf("dbeCategory", U("директор,бухгалтер"));
        SetTextOf("edtST", U("66  Свердловская, область"));
        SetTextOf("edtOGRN", QString());
        dialogs_->AnswerCaptionedBox(
            Ansi("Для выпуска КВАЛИФИЦИРОВАННОГО сертификата для ЮР лиц требуется указывать "
                 "ОГРН (ИП)"),
            2);
        Find<TSButton>("btnOK")->click();
        QCOMPARE(TextOf("edtO"), U("ООО Ромашка плюс"));
        QCOMPARE(TextOf("dbeCategory"), U("директор.Бухгалтер"));
        QCOMPARE(TextOf("edtST"), U("66 Свердловская область"));
        QCOMPARE(TextOf("edtStreet"), U("ул. Вавилова, д. 19"));
    }

    // A subject that passes goes on to the generation, whose PIN prompt is cancelled here.
    void validSubjectsPass() {
        Open(CERTDESK_TEST_LIBRARY_FULL);
        const std::string pinPrompt = Ansi("Ввод пин-кода");
        Fill(kLegalEntity);
        SetTextOf("dbeCategory", QString(64, u'д'));
        dialogs_->AnswerAskText(pinPrompt, std::nullopt);
        Find<TSButton>("btnOK")->click();
        QCOMPARE(dialogs_->Asked().size(), std::size_t{1});

        SelectOwner(1);
        Fill(kEntrepreneur);
        SetTextOf("edtO", U("ИП Петров"));  // as a certificate fill puts it into the field
        dialogs_->AnswerAskText(pinPrompt, std::nullopt);
        Find<TSButton>("btnOK")->click();
        QCOMPARE(dialogs_->Asked().size(), std::size_t{2});
        QCOMPARE(TextOf("edtO"), QString());
    }

    void waitPatternRestores() {
        Open();
        auto* bar = Find<QStatusBar>("StatusBar");
        bool seen = false;
        window_->RunWithWaitText(Ansi("Подождите"), [&] {
            seen = bar->currentMessage() == U("Подождите") && QApplication::overrideCursor() &&
                   QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        });
        QVERIFY(seen);
        QVERIFY(bar->currentMessage().isEmpty());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY_THROWS_EXCEPTION(Error,
                                 window_->RunWithWaitText("x", [] { throw Error("failed"); }));
        QVERIFY(bar->currentMessage().isEmpty());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void certificateMenuAtButtonCorner() {
        Open();
        auto* button = Find<TSButton>("btnLoadFromCert");
        auto* menu = Find<QMenu>("PopupMenu1");
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->pos(), button->mapToGlobal(QPoint(0, button->height())));
        menu->hide();
    }

    void ellipsisPicksCertificateFile() {
        Open();
        dialogs_->AnswerOpenFile(Ansi("Укажите файл с сертификатом"), Ansi("/tmp/сертификат.cer"));
        Find<QToolButton>("edtCertFileNameEditButtons0")->click();
        QCOMPARE(TextOf("edtCertFileName"), U("/tmp/сертификат.cer"));
        QCOMPARE(Utf8FromAnsi(dialogs_->Asked().back().file.filter),
                 std::string("Сертификаты|*.cer"));
        dialogs_->AnswerOpenFile(Ansi("Укажите файл с сертификатом"), std::nullopt);
        Find<QToolButton>("edtCertFileNameEditButtons0")->click();
        QCOMPARE(TextOf("edtCertFileName"), U("/tmp/сертификат.cer"));
    }

    void closeButtonClosesWindow() {
        Open();
        Find<QPushButton>("Button2")->click();
        QVERIFY(!window_->isVisible());
    }

    void fieldsLabelledForAssistiveTechnology() {
        Open();
        for (QWidget* field : window_->findChildren<QWidget*>()) {
            if (!qobject_cast<QLineEdit*>(field) && !qobject_cast<QComboBox*>(field))
                continue;
            if (qobject_cast<QComboBox*>(field->parentWidget()))
                continue;  // the text part of a combo field
            QVERIFY2(!field->accessibleName().isEmpty(), qPrintable(field->objectName()));
        }
        QCOMPARE(Find("edtOU")->accessibleName(), U("Отдел / Обособленное подразделение"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
