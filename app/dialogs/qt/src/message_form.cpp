#include "certdesk/message_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <algorithm>

#include "certdesk/codec.h"
#include "certdesk/dialog_units.h"

namespace certdesk {
namespace {

constexpr int kIconSize = 32;
constexpr int kTextFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextExpandTabs;

// Draws its text with exactly the flags the form measured it with, so the wrap is the same.
class MessageText : public QLabel {
  public:
    using QLabel::QLabel;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(rect(), kTextFlags, text());
    }
};

std::optional<QStyle::StandardPixmap> KindIcon(MessageKind kind) {
    switch (kind) {
        case MessageKind::Warning:
            return QStyle::SP_MessageBoxWarning;
        case MessageKind::Error:
            return QStyle::SP_MessageBoxCritical;
        case MessageKind::Information:
            return QStyle::SP_MessageBoxInformation;
        case MessageKind::Confirmation:
            return QStyle::SP_MessageBoxQuestion;
        case MessageKind::Custom:
            break;
    }
    return std::nullopt;
}

QScreen* ScreenOf(const QWidget* owner) {
    if (owner && owner->screen())
        return owner->screen();
    return QGuiApplication::primaryScreen();
}

std::optional<Button> FirstPresent(ButtonSet buttons, std::initializer_list<Button> order) {
    for (Button b : order)
        if (buttons.Has(b))
            return b;
    return std::nullopt;
}

std::optional<Button> StandardCancel(ButtonSet buttons) {
    return FirstPresent(buttons, {Button::Cancel, Button::No, Button::OK});
}

}  // namespace

QString KindTitle(MessageKind kind) {
    switch (kind) {
        case MessageKind::Warning:
            return QStringLiteral("Предупреждение");
        case MessageKind::Error:
            return QStringLiteral("Ошибка");
        case MessageKind::Information:
            return QStringLiteral("Информация");
        case MessageKind::Confirmation:
            return QStringLiteral("Подтверждение");
        case MessageKind::Custom:
            break;
    }
    return QGuiApplication::applicationDisplayName();
}

QString StandardCaption(Button button) {
    static const char16_t* const captions[kButtonCount] = {
        u"&Да",           u"&Нет",         u"OK",          u"Отмена",
        u"П&рервать",     u"&Повторить",   u"Про&должить", u"&Все",
        u"Н&ет для всех", u"Д&а для всех", u"&Справка"};
    return QString::fromUtf16(captions[static_cast<int>(button)]);
}

QString ButtonName(Button button) {
    static const char* const names[kButtonCount] = {"Yes",     "No",       "OK",     "Cancel",
                                                    "Abort",   "Retry",    "Ignore", "All",
                                                    "NoToAll", "YesToAll", "Help"};
    return QString::fromLatin1(names[static_cast<int>(button)]);
}

TMessageForm::TMessageForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("TMessageForm"));
    setModal(true);
    setFont(QApplication::font("QMessageBox"));
}

QPushButton* TMessageForm::ButtonFor(Button button) const {
    return buttons_[static_cast<size_t>(button)];
}

void TMessageForm::SetDefaultButton(std::optional<Button> button) {
    for (QPushButton* b : buttons_) {
        if (b)
            b->setDefault(false);
    }
    QPushButton* chosen = button ? ButtonFor(*button) : nullptr;
    default_ = chosen ? button : std::nullopt;
    if (chosen) {
        chosen->setDefault(true);
        chosen->setFocus(Qt::OtherFocusReason);
    }
}

void TMessageForm::SetCancelButton(std::optional<Button> button) {
    cancel_ = (button && ButtonFor(*button)) ? button : std::nullopt;
}

void TMessageForm::Build(const QString& text, MessageKind kind, ButtonSet buttons,
                         const std::vector<QString>& captions, int captionPadding) {
    const QFontMetrics fm(font());
    const DialogUnits du = DialogUnits::Of(font());
    const int horzMargin = du.Horizontal(8);
    const int vertMargin = du.Vertical(8);
    const int horzSpacing = du.Horizontal(10);
    const int vertSpacing = du.Vertical(10);
    const int buttonHeight = du.Vertical(14);
    const int buttonGap = du.Horizontal(4);

    const std::vector<Button> members = buttons.Members();
    int buttonWidth = du.Horizontal(50);
    for (size_t i = 0; i < members.size() && i < captions.size(); ++i)
        buttonWidth =
            std::max(buttonWidth, fm.horizontalAdvance(ShownCaption(captions[i])) + captionPadding);

    const QRect screen = ScreenOf(parentWidget())->geometry();
    const QRect textRect = fm.boundingRect(QRect(0, 0, screen.width() / 2, 0), kTextFlags, text);
    const std::optional<QStyle::StandardPixmap> icon = KindIcon(kind);
    const int iconShift = icon ? kIconSize + horzSpacing : 0;
    const int textBlockWidth = textRect.width() + iconShift;
    const int textBlockHeight = icon ? std::max(kIconSize, textRect.height()) : textRect.height();

    const int count = static_cast<int>(members.size());
    const int rowWidth = count > 0 ? count * buttonWidth + (count - 1) * buttonGap : 0;
    const int clientWidth = std::max(textBlockWidth, rowWidth) + 2 * horzMargin;
    const int clientHeight = textBlockHeight + buttonHeight + vertSpacing + 2 * vertMargin;

    if (icon) {
        auto* image = new QLabel(this);
        image->setObjectName(QStringLiteral("Image"));
        image->setPixmap(style()->standardIcon(*icon, nullptr, this).pixmap(kIconSize, kIconSize));
        image->setGeometry(horzMargin, vertMargin, kIconSize, kIconSize);
    }
    auto* message = new MessageText(text, this);
    message->setObjectName(QStringLiteral("Message"));
    message->setGeometry(horzMargin + iconShift, vertMargin, textRect.width(), textRect.height());

    int x = (clientWidth - rowWidth) / 2;
    const int y = textBlockHeight + vertMargin + vertSpacing;
    for (size_t i = 0; i < members.size(); ++i) {
        const Button b = members[i];
        auto* button = new QPushButton(i < captions.size() ? captions[i] : QString(), this);
        button->setObjectName(ButtonName(b));
        button->setGeometry(x, y, buttonWidth, buttonHeight);
        const int result = ResultCode(b);
        // A button without a result (Help) does not end the box.
        if (result != kResultNone)
            connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
        buttons_[static_cast<size_t>(b)] = button;
        x += buttonWidth + buttonGap;
    }

    setFixedSize(clientWidth, clientHeight);
    move(screen.x() + (screen.width() - clientWidth) / 2,
         screen.y() + (screen.height() - clientHeight) / 2);
}

void TMessageForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (cancel_)
            ButtonFor(*cancel_)->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TMessageForm::closeEvent(QCloseEvent* event) {
    done(kResultClosed);
    event->accept();
}

void TMessageForm::reject() {
    done(kResultClosed);
}

std::unique_ptr<TMessageForm> BuildCaptionedBox(QWidget* owner, const std::string& text,
                                                MessageKind kind, ButtonSet buttons,
                                                Button defaultButton,
                                                const std::vector<std::string>& captions) {
    auto form = std::make_unique<TMessageForm>(owner);
    std::vector<QString> shown;
    shown.reserve(captions.size());
    for (const std::string& c : captions)
        shown.push_back(ToQt(c));
    form->Build(ToQt(text), kind, buttons, shown, 16);
    form->SetDefaultButton(defaultButton);
    form->SetCancelButton(StandardCancel(buttons));
    return form;
}

std::unique_ptr<TMessageForm> BuildStandardBox(QWidget* owner, const std::string& text,
                                               MessageKind kind, ButtonSet buttons) {
    auto form = std::make_unique<TMessageForm>(owner);
    std::vector<QString> captions;
    for (Button b : buttons.Members())
        captions.push_back(StandardCaption(b));
    form->Build(ToQt(text), kind, buttons, captions, 8);
    form->setWindowTitle(KindTitle(kind));
    form->SetDefaultButton(FirstPresent(buttons, {Button::OK, Button::Yes, Button::Retry}));
    form->SetCancelButton(StandardCancel(buttons));
    return form;
}

}  // namespace certdesk
