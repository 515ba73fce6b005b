// The program's questions as real Qt dialogs; each is built by the call that shows it and gone
// before the call returns.
#pragma once

#include <QPointer>
#include <QWidget>

#include "certdesk/dialogs.h"

namespace certdesk {

class QtDialogs : public Dialogs {
  public:
    // owner: the main window the dialogs belong to; may be null.
    explicit QtDialogs(QWidget* owner = nullptr);
    // The window is usually built after its dialogs; it takes ownership of them here.
    void SetOwner(QWidget* owner) { owner_ = owner; }

    int ShowMessageBox(const std::string& text, MessageKind kind, ButtonSet buttons) override;
    int ShowMessageBoxDef(const std::string& text, MessageKind kind, ButtonSet buttons,
                          Button defaultButton) override;
    int ShowCaptionedBox(const std::string& text, MessageKind kind, const std::string& title,
                         ButtonSet buttons, Button defaultButton,
                         const std::vector<std::string>& captions) override;
    bool AskText(const std::string& caption, const std::string& prompt,
                 std::string& value) override;
    int MakeChoice(std::optional<ScreenPoint> anchor, const std::vector<std::string>& items,
                   const std::string& caption, int defaultIndex,
                   const std::string& additionalText) override;
    bool SelectFolder(const std::string& caption, const std::string& root,
                      std::string& directory) override;
    std::optional<std::string> OpenFile(const FileDialogRequest& request) override;
    std::optional<std::string> SaveFile(const FileDialogRequest& request) override;
    int SelectCertificate(const std::vector<CertificateRow>& rows) override;

  private:
    QPointer<QWidget> owner_;
};

}  // namespace certdesk
