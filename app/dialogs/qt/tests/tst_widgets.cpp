#include <QDialog>
#include <QImage>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "certdesk/tsbutton.h"
#include "certdesk/tsradiogroup.h"

using certdesk::TSButton;
using certdesk::TSRadioGroup;

namespace {

QImage Render(QWidget& w) {
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The bounding box of the pixels that differ from the face colour in the middle of the frame.
QRect CaptionBox(const QImage& image, QColor face) {
    QRect box;
    for (int y = 2; y < image.height() - 2; ++y)
        for (int x = 2; x < image.width() - 2; ++x)
            if (image.pixelColor(x, y) != face)
                box = box.united(QRect(x, y, 1, 1));
    return box;
}

}  // namespace

class WidgetsTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void buttonNeverTakesFocus();
    void buttonPaint_data();
    void buttonPaint();
    void buttonHoverFillByDepth_data();
    void buttonHoverFillByDepth();
    void buttonPressedCaptionMoves();
    void buttonModalResult_data();
    void buttonModalResult();

    void radioItemIndexClamped_data();
    void radioItemIndexClamped();
    void radioShrinkingItemsClampsIndex();
    void radioColumns_data();
    void radioColumns();
    void radioClickSelects();
    void radioDoubleClickSelectsThenSignals();
};

void WidgetsTest::init() {
    // Away from every window the tests show, so nothing is hovered unless a test says so.
    QCursor::setPos(790, 470);
}

void WidgetsTest::buttonNeverTakesFocus() {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* edit = new QLineEdit(&window);
    auto* button = new TSButton(QStringLiteral("Go"), &window);
    layout->addWidget(edit);
    layout->addWidget(button);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    edit->setFocus();
    QSignalSpy clicked(button, &QAbstractButton::clicked);

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(QApplication::focusWidget(), edit);

    QTest::keyClick(edit, Qt::Key_Tab);
    QVERIFY(QApplication::focusWidget() != button);
}

void WidgetsTest::buttonPaint_data() {
    QTest::addColumn<bool>("hovered");
    QTest::addColumn<bool>("downInGroup");
    QTest::addColumn<QColor>("frame");
    QTest::addColumn<QColor>("face");

    const QColor grey(128, 128, 128);
    const QColor blue(188, 206, 249);
    const QColor silver(192, 192, 192);
    const QColor plain = QWidget().palette().color(QPalette::Window);
    QTest::newRow("idle: grey frame, no fill") << false << false << grey << plain;
    QTest::newRow("hovered: black frame, blue fill") << true << false << QColor(Qt::black) << blue;
    QTest::newRow("down in group: silver") << false << true << grey << silver;
    QTest::newRow("down in group, hovered: blue") << true << true << QColor(Qt::black) << blue;
}

void WidgetsTest::buttonPaint() {
    QFETCH(bool, hovered);
    QFETCH(bool, downInGroup);
    QFETCH(QColor, frame);
    QFETCH(QColor, face);

    QWidget window;
    TSButton button(QString(), &window);
    button.resize(40, 20);
    button.setCheckable(true);
    button.setChecked(downInGroup);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    if (hovered) {
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(&button, &enter);
    }
    QCOMPARE(button.IsHovered(), hovered);

    const QImage image = Render(button);
    QCOMPARE(image.pixelColor(0, 0), frame);
    QCOMPARE(image.pixelColor(39, 19), frame);
    QCOMPARE(image.pixelColor(20, 10), face);

    if (hovered) {
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&button, &leave);
        QCOMPARE(Render(button).pixelColor(0, 0), QColor(128, 128, 128));
    }
}

void WidgetsTest::buttonHoverFillByDepth_data() {
    QTest::addColumn<int>("depth");
    QTest::addColumn<QColor>("fill");
    QTest::newRow("4 bits: cyan") << 4 << QColor(Qt::cyan);
    QTest::newRow("8 bits: cyan") << 8 << QColor(Qt::cyan);
    QTest::newRow("16 bits: light blue") << 16 << QColor(188, 206, 249);
    QTest::newRow("24 bits: light blue") << 24 << QColor(188, 206, 249);
}

void WidgetsTest::buttonHoverFillByDepth() {
    QFETCH(int, depth);
    QFETCH(QColor, fill);
    QCOMPARE(TSButton::HoverFill(depth), fill);
}

void WidgetsTest::buttonPressedCaptionMoves() {
    TSButton button(QStringLiteral("W"));
    button.resize(60, 30);
    const QColor face = QWidget().palette().color(QPalette::Window);
    const QRect up = CaptionBox(Render(button), face);
    QVERIFY(!up.isEmpty());
    button.setDown(true);
    const QRect down = CaptionBox(Render(button), face);
    QCOMPARE(down, up.translated(1, 1));
}

void WidgetsTest::buttonModalResult_data() {
    QTest::addColumn<int>("modalResult");
    QTest::addColumn<bool>("closes");
    QTest::newRow("0 leaves the dialog open") << 0 << false;
    QTest::newRow("1 closes with 1") << 1 << true;
    QTest::newRow("2 closes with 2") << 2 << true;
}

void WidgetsTest::buttonModalResult() {
    QFETCH(int, modalResult);
    QFETCH(bool, closes);
    QDialog dialog;
    auto* button = new TSButton(QStringLiteral("Ok"), &dialog);
    button->SetModalResult(modalResult);
    int resultSeenByHandler = -1;
    connect(button, &QAbstractButton::clicked, &dialog,
            [&] { resultSeenByHandler = dialog.result(); });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(dialog.isVisible(), !closes);
    QCOMPARE(resultSeenByHandler, modalResult);
}

void WidgetsTest::radioItemIndexClamped_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("expected");
    QTest::newRow("in range") << 3 << 1 << 1;
    QTest::newRow("last") << 3 << 2 << 2;
    QTest::newRow("past the end") << 3 << 7 << 2;
    QTest::newRow("none") << 3 << -1 << -1;
    QTest::newRow("below none") << 3 << -5 << -1;
    QTest::newRow("empty list") << 0 << 0 << -1;
}

void WidgetsTest::radioItemIndexClamped() {
    QFETCH(int, count);
    QFETCH(int, requested);
    QFETCH(int, expected);
    TSRadioGroup group;
    QStringList items;
    for (int i = 0; i < count; ++i)
        items << QStringLiteral("item %1").arg(i);
    group.SetItems(items);
    group.SetItemIndex(1);  // a selection that the request must replace or clear
    group.SetItemIndex(requested);
    QCOMPARE(group.ItemIndex(), expected);
    QCOMPARE(group.ButtonCount(), count);
    for (int i = 0; i < count; ++i)
        QCOMPARE(group.ButtonAt(i)->isChecked(), i == expected);
}

void WidgetsTest::radioShrinkingItemsClampsIndex() {
    TSRadioGroup group;
    group.SetItems({"a", "b", "c", "d"});
    group.SetItemIndex(3);
    group.SetItems({"a", "b"});
    QCOMPARE(group.ItemIndex(), 1);
    QVERIFY(group.ButtonAt(1)->isChecked());
    group.SetItems({});
    QCOMPARE(group.ItemIndex(), -1);
}

void WidgetsTest::radioColumns_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("rows");
    QTest::newRow("one column") << 4 << 1 << 1 << 4;
    QTest::newRow("two columns, uneven") << 5 << 2 << 2 << 3;
    QTest::newRow("three columns") << 6 << 3 << 3 << 2;
    QTest::newRow("zero means one") << 3 << 0 << 1 << 3;
    QTest::newRow("seventeen means sixteen") << 16 << 17 << 16 << 1;
}

void WidgetsTest::radioColumns() {
    QFETCH(int, count);
    QFETCH(int, requested);
    QFETCH(int, columns);
    QFETCH(int, rows);
    TSRadioGroup group;
    QStringList items;
    for (int i = 0; i < count; ++i)
        items << QString::number(i);
    group.SetItems(items);
    group.SetColumns(requested);
    group.resize(330, 200);
    group.show();
    QVERIFY(QTest::qWaitForWindowExposed(&group));
    QCOMPARE(group.Columns(), columns);

    const int lineHeight = QFontMetrics(group.font()).height();
    const int width = (330 - 10) / columns;
    const int free = 200 - lineHeight - 5;
    const int height = free / rows;
    const int top = lineHeight + 1 + (free % rows) / 2;
    for (int i = 0; i < count; ++i) {
        const QRect expected((i / rows) * width + 8, (i % rows) * height + top, width, height);
        QCOMPARE(group.ButtonAt(i)->geometry(), expected);
    }
}

void WidgetsTest::radioClickSelects() {
    TSRadioGroup group;
    group.SetItems({"a", "b", "c"});
    group.resize(200, 120);
    group.show();
    QVERIFY(QTest::qWaitForWindowExposed(&group));
    QSignalSpy changed(&group, &TSRadioGroup::itemIndexChanged);
    const auto indicator = [&](int i) { return QPoint(8, group.ButtonAt(i)->height() / 2); };
    QTest::mouseClick(group.ButtonAt(1), Qt::LeftButton, {}, indicator(1));
    QCOMPARE(group.ItemIndex(), 1);
    QCOMPARE(changed.count(), 1);
    QTest::mouseClick(group.ButtonAt(2), Qt::LeftButton, {}, indicator(2));
    QCOMPARE(group.ItemIndex(), 2);
    QVERIFY(!group.ButtonAt(1)->isChecked());
}

void WidgetsTest::radioDoubleClickSelectsThenSignals() {
    TSRadioGroup group;
    group.SetItems({"a", "b", "c"});
    group.resize(200, 120);
    group.show();
    QVERIFY(QTest::qWaitForWindowExposed(&group));
    int indexAtSignal = -2;
    connect(&group, &TSRadioGroup::doubleClicked, &group,
            [&] { indexAtSignal = group.ItemIndex(); });
    QTest::mouseDClick(group.ButtonAt(2), Qt::LeftButton, {}, QPoint(8, 10));
    QCOMPARE(indexAtSignal, 2);
    QCOMPARE(group.ItemIndex(), 2);
}

QTEST_MAIN(WidgetsTest)
#include "tst_widgets.moc"
