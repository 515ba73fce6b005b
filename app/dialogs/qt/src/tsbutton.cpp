#include "certdesk/tsbutton.h"

#include <QDialog>
#include <QEnterEvent>
#include <QPainter>
#include <QScreen>

namespace certdesk {

TSButton::TSButton(const QString& caption, QWidget* parent) : QAbstractButton(parent) {
    setText(caption);
    setFocusPolicy(Qt::NoFocus);
    // Connected first, so the owning dialog has its result before anyone else hears the click.
    connect(this, &QAbstractButton::clicked, this, &TSButton::CopyModalResult);
}

QColor TSButton::HoverFill(int depth) {
    return depth > 8 ? QColor(188, 206, 249) : QColor(Qt::cyan);
}

QColor TSButton::FrameColor(bool hovered) {
    return hovered ? QColor(Qt::black) : QColor(128, 128, 128);
}

QColor TSButton::DownInGroupFill() {
    return QColor(192, 192, 192);
}

QSize TSButton::sizeHint() const {
    const QFontMetrics fm(font());
    const QSize caption = fm.size(Qt::TextShowMnemonic, text());
    return QSize(caption.width() + 12, caption.height() + 8);
}

void TSButton::CopyModalResult() {
    if (modalResult_ == 0)
        return;
    if (auto* dialog = qobject_cast<QDialog*>(window()))
        dialog->done(modalResult_);
}

void TSButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void TSButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void TSButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect face = rect();
    if (hovered_) {
        const QScreen* s = screen();
        painter.fillRect(face, HoverFill(s ? s->depth() : depth()));
    } else if (isCheckable() && isChecked()) {
        painter.fillRect(face, DownInGroupFill());
    }
    painter.setPen(FrameColor(hovered_));
    painter.drawRect(face.adjusted(0, 0, -1, -1));

    QRect caption = face;
    if (isDown())
        caption.translate(1, 1);
    painter.setPen(isEnabled() ? QColor(Qt::black) : QColor(128, 128, 128));
    painter.drawText(caption, Qt::AlignCenter | Qt::TextShowMnemonic, text());
}

}  // namespace certdesk
