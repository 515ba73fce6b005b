#include "ask_text_form.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "certdesk/dialog_units.h"

namespace certdesk {

TAskTextForm::TAskTextForm(QWidget* owner, const QString& caption, const QString& prompt,
                           const QString& value)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("AskText"));
    setModal(true);
    setWindowTitle(caption);
    const DialogUnits du = DialogUnits::Of(font());
    const int left = du.Horizontal(8);
    const int innerWidth = du.Horizontal(164);

    prompt_ = new QLabel(prompt, this);
    prompt_->setObjectName(QStringLiteral("Prompt"));
    prompt_->setWordWrap(true);
    const int promptHeight = prompt_->heightForWidth(innerWidth);
    prompt_->setGeometry(left, du.Vertical(8), innerWidth, promptHeight);

    edit_ = new QLineEdit(value, this);
    edit_->setObjectName(QStringLiteral("Edit"));
    // A longer pre-filled value is kept whole; only typing is limited.
    edit_->setMaxLength(std::max<int>(kMaxLength, static_cast<int>(value.size())));
    edit_->setEchoMode(QLineEdit::Normal);
    edit_->setAccessibleName(prompt);
    prompt_->setBuddy(edit_);
    const int editTop = prompt_->geometry().bottom() + 1 + 5;
    edit_->setGeometry(left, editTop, innerWidth, edit_->sizeHint().height());
    edit_->selectAll();

    const int buttonTop = edit_->geometry().bottom() + 1 + 15;
    const int buttonWidth = du.Horizontal(50);
    const int buttonHeight = du.Vertical(14);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OK"));
    ok->setDefault(true);
    ok->setGeometry(du.Horizontal(38), buttonTop, buttonWidth, buttonHeight);
    auto* cancel = new QPushButton(QStringLiteral("Отмена"), this);
    cancel->setObjectName(QStringLiteral("Cancel"));
    cancel->setGeometry(du.Horizontal(92), buttonTop, buttonWidth, buttonHeight);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    // The designed size, grown only when a long prompt would not fit in it.
    const int width = du.Horizontal(180);
    const int height = std::max(du.Vertical(63), buttonTop + buttonHeight + 13);
    setFixedSize(width, height);
    const QScreen* s =
        owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    const QRect screen = s->geometry();
    move(screen.x() + (screen.width() - width) / 2, screen.y() + (screen.height() - height) / 2);
    edit_->setFocus(Qt::OtherFocusReason);
}

}  // namespace certdesk
