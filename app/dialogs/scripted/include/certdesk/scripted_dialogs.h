// The dialogs of a test: every question is recorded, answered from a script queued in advance,
// and a question the script does not expect fails the test.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "certdesk/dialogs.h"

namespace certdesk {

enum class DialogOperation {
    MessageBox,
    MessageBoxDef,
    CaptionedBox,
    AskText,
    MakeChoice,
    SelectFolder,
    OpenFile,
    SaveFile,
    SelectCertificate
};

const char* DialogOperationName(DialogOperation operation);

// One question as the program asked it. text is what identifies it: the message of a box, the
// prompt of AskText, the caption of MakeChoice and SelectFolder, the title of a file dialog;
// the certificate selection has none.
struct DialogQuestion {
    DialogOperation operation = DialogOperation::MessageBox;
    std::string text;
    MessageKind kind = MessageKind::Information;
    ButtonSet buttons;
    std::optional<Button> defaultButton;
    std::string title;                  // CaptionedBox title, AskText caption
    std::vector<std::string> captions;  // CaptionedBox
    std::vector<std::string> items;     // MakeChoice
    int defaultIndex = 0;               // MakeChoice
    std::string additionalText;         // MakeChoice
    std::optional<ScreenPoint> anchor;  // MakeChoice
    std::string value;       // AskText's pre-filled value, SelectFolder's directory on entry
    std::string root;        // SelectFolder
    FileDialogRequest file;  // OpenFile, SaveFile
    std::vector<CertificateRow> rows;  // SelectCertificate
};

// Thrown into the program at a question the script did not expect; it names the question.
class UnexpectedDialog : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

class ScriptedDialogs : public Dialogs {
  public:
    ScriptedDialogs() = default;
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    // The script, answered in the order queued. Each call expects one question with exactly
    // this operation and text.
    ScriptedDialogs& AnswerMessageBox(const std::string& text, int result);
    ScriptedDialogs& AnswerMessageBoxDef(const std::string& text, int result);
    ScriptedDialogs& AnswerCaptionedBox(const std::string& text, int result);
    // Confirms with the given text, or cancels with nothing.
    ScriptedDialogs& AnswerAskText(const std::string& prompt, std::optional<std::string> entered);
    // 0 cancels, else the 1-based item.
    ScriptedDialogs& AnswerMakeChoice(const std::string& caption, int choice);
    ScriptedDialogs& AnswerSelectFolder(const std::string& caption,
                                        std::optional<std::string> folder);
    ScriptedDialogs& AnswerOpenFile(const std::string& title, std::optional<std::string> file);
    ScriptedDialogs& AnswerSaveFile(const std::string& title, std::optional<std::string> file);
    // 0 cancels, else the 1-based row.
    ScriptedDialogs& AnswerSelectCertificate(int choice);

    // Called with the description of every unexpected question before it is thrown, so a test
    // framework can record a failure even where the program swallows exceptions.
    void OnUnexpected(std::function<void(const std::string&)> hook) { hook_ = std::move(hook); }

    // Every question asked so far, in order (the unexpected ones too).
    const std::vector<DialogQuestion>& Asked() const { return asked_; }
    // Answers queued but not asked for yet.
    std::size_t Pending() const { return script_.size(); }
    // Descriptions of the unexpected questions and of the answers never asked for; empty when
    // the script ran exactly.
    std::vector<std::string> Problems() const;

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
    struct Answer {
        DialogOperation operation;
        std::string text;
        int result = 0;
        std::optional<std::string> value;
    };

    ScriptedDialogs& Queue(DialogOperation operation, const std::string& text, int result,
                           std::optional<std::string> value);
    // Records the question and takes the next answer, or fails.
    Answer Take(DialogQuestion question);

    std::deque<Answer> script_;
    std::vector<DialogQuestion> asked_;
    std::vector<std::string> unexpected_;
    std::function<void(const std::string&)> hook_;
};

}  // namespace certdesk
