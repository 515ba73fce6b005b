// The message boxes: a fixed-size modal form laid out from its font, with one push button per
// member of a button set.
#pragma once

#include <QDialog>
#include <QPushButton>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "certdesk/dialogs.h"

namespace certdesk {

// The window title and standard caption of each kind and button.
QString KindTitle(MessageKind kind);
QString StandardCaption(Button button);
// The button's name in the form: "Yes", "No", "OK", ...
QString ButtonName(Button button);

class TMessageForm : public QDialog {
    Q_OBJECT
  public:
    explicit TMessageForm(QWidget* owner);

    QPushButton* ButtonFor(Button button) const;
    // Enter presses the default button; none when nothing is given.
    void SetDefaultButton(std::optional<Button> button);
    std::optional<Button> DefaultButton() const { return default_; }
    // Esc presses the cancel button; none when nothing is given.
    void SetCancelButton(std::optional<Button> button);
    std::optional<Button> CancelButton() const { return cancel_; }

    // Lays the form out by the message box rules and places it in the middle of the screen.
    void Build(const QString& text, MessageKind kind, ButtonSet buttons,
               const std::vector<QString>& captions, int captionPadding);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  public slots:
    void reject() override;

  private:
    std::array<QPushButton*, kButtonCount> buttons_{};
    std::optional<Button> default_;
    std::optional<Button> cancel_;
};

// The captioned box of ShowCaptionedBox before it is titled and shown: captions hold one text
// per member of buttons, in button order; the default button is exactly defaultButton.
std::unique_ptr<TMessageForm> BuildCaptionedBox(QWidget* owner, const std::string& text,
                                                MessageKind kind, ButtonSet buttons,
                                                Button defaultButton,
                                                const std::vector<std::string>& captions);

// The standard box with its standard captions, default and cancel buttons.
std::unique_ptr<TMessageForm> BuildStandardBox(QWidget* owner, const std::string& text,
                                               MessageKind kind, ButtonSet buttons);

}  // namespace certdesk
