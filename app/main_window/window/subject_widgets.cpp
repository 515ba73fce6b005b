#include "subject_widgets.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>

namespace certdesk {
namespace {

bool IsFilteredCharacter(QChar c) {
    return !(c == u'\b' || c == u'.' || (c >= u'0' && c <= u'9'));
}

}  // namespace

void TSubjectField::SetGrey(bool grey) {
    QWidget* widget = Widget();
    QPalette palette = widget->palette();
    const QColor colour = QApplication::palette().color(grey ? QPalette::Button : QPalette::Base);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, colour);
    widget->setPalette(palette);
}

void TSubjectField::PaintUnderline(QWidget& widget) const {
    if (!DrawsRequiredState())
        return;
    QPainter painter(&widget);
    painter.setPen(QColor(Qt::red));
    const int y = widget.height() - 1;
    for (int x = 2; x < widget.width() - 3; x += 2)
        painter.drawPoint(x, y);
}

void TSubjectField::NotifyExit(const QFocusEvent& event) const {
    // A menu or another window taking the keyboard is no leaving of the field.
    if (event.reason() == Qt::PopupFocusReason || event.reason() == Qt::ActiveWindowFocusReason)
        return;
    if (onExit_)
        onExit_();
}

TypedLengthLimit::TypedLengthLimit(QLineEdit& edit, int limit)
    : QValidator(&edit), limit_(limit), lastLength_(edit.text().size()) {
    connect(&edit, &QLineEdit::textChanged, this,
            [this](const QString& text) { lastLength_ = text.size(); });
}

QValidator::State TypedLengthLimit::validate(QString& input, int&) const {
    return input.size() <= limit_ || input.size() <= lastLength_ ? Acceptable : Invalid;
}

TSubjectEdit::TSubjectEdit(QWidget* parent) : QLineEdit(parent) {}

void TSubjectEdit::SetTypedLimit(int limit) {
    setValidator(new TypedLengthLimit(*this, limit));
}

void TSubjectEdit::keyPressEvent(QKeyEvent* event) {
    if (digitFilter_ && event->key() != Qt::Key_Delete) {
        const QString typed = event->text();
        if (std::any_of(typed.begin(), typed.end(), IsFilteredCharacter)) {
            event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

void TSubjectEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    NotifyExit(*event);
}

void TSubjectEdit::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    PaintUnderline(*this);
}

TSubjectComboBox::TSubjectComboBox(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // Typing goes into the text as typed; the open list only offers the items.
    setCompleter(nullptr);
    view()->installEventFilter(this);
    // The underline is the combo's own painting, below its line edit: a new text redraws it.
    connect(this, &QComboBox::editTextChanged, this, [this] { update(); });
}

void TSubjectComboBox::SetTypedLimit(int limit) {
    setValidator(new TypedLengthLimit(*lineEdit(), limit));
}

bool TSubjectComboBox::ListOpen() const {
    return view()->isVisible();
}

void TSubjectComboBox::keyPressEvent(QKeyEvent* event) {
    QComboBox::keyPressEvent(event);
    const QString typed = event->text();
    if (autoDropDown_ && !ListOpen() && !typed.isEmpty() && typed.front().isPrint())
        showPopup();
}

bool TSubjectComboBox::eventFilter(QObject* watched, QEvent* event) {
    // While the list is open, typing still goes into the text.
    if (watched == view() && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const QString typed = key->text();
        if (key->key() == Qt::Key_Backspace || (!typed.isEmpty() && typed.front().isPrint())) {
            QCoreApplication::sendEvent(lineEdit(), key);
            return true;
        }
    }
    return QComboBox::eventFilter(watched, event);
}

void TSubjectComboBox::focusOutEvent(QFocusEvent* event) {
    QComboBox::focusOutEvent(event);
    NotifyExit(*event);
}

void TSubjectComboBox::paintEvent(QPaintEvent* event) {
    QComboBox::paintEvent(event);
    PaintUnderline(*this);
}

void TComboBox::wheelEvent(QWheelEvent* event) {
    event->accept();
}

}  // namespace certdesk
