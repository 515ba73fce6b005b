#include "certdesk/scripted_dialogs.h"

#include <utility>

namespace certdesk {

const char* DialogOperationName(DialogOperation operation) {
    switch (operation) {
        case DialogOperation::MessageBox:
            return "ShowMessageBox";
        case DialogOperation::MessageBoxDef:
            return "ShowMessageBoxDef";
        case DialogOperation::CaptionedBox:
            return "ShowCaptionedBox";
        case DialogOperation::AskText:
            return "AskText";
        case DialogOperation::MakeChoice:
            return "MakeChoice";
        case DialogOperation::SelectFolder:
            return "SelectFolder";
        case DialogOperation::OpenFile:
            return "OpenFile";
        case DialogOperation::SaveFile:
            return "SaveFile";
        case DialogOperation::SelectCertificate:
            return "SelectCertificate";
    }
    return "?";
}

ScriptedDialogs& ScriptedDialogs::Queue(DialogOperation operation, const std::string& text,
                                        int result, std::optional<std::string> value) {
    script_.push_back(Answer{operation, text, result, std::move(value)});
    return *this;
}

ScriptedDialogs& ScriptedDialogs::AnswerMessageBox(const std::string& text, int result) {
    return Queue(DialogOperation::MessageBox, text, result, std::nullopt);
}

ScriptedDialogs& ScriptedDialogs::AnswerMessageBoxDef(const std::string& text, int result) {
    return Queue(DialogOperation::MessageBoxDef, text, result, std::nullopt);
}

ScriptedDialogs& ScriptedDialogs::AnswerCaptionedBox(const std::string& text, int result) {
    return Queue(DialogOperation::CaptionedBox, text, result, std::nullopt);
}

ScriptedDialogs& ScriptedDialogs::AnswerAskText(const std::string& prompt,
                                                std::optional<std::string> entered) {
    return Queue(DialogOperation::AskText, prompt, 0, std::move(entered));
}

ScriptedDialogs& ScriptedDialogs::AnswerMakeChoice(const std::string& caption, int choice) {
    return Queue(DialogOperation::MakeChoice, caption, choice, std::nullopt);
}

ScriptedDialogs& ScriptedDialogs::AnswerSelectFolder(const std::string& caption,
                                                     std::optional<std::string> folder) {
    return Queue(DialogOperation::SelectFolder, caption, 0, std::move(folder));
}

ScriptedDialogs& ScriptedDialogs::AnswerOpenFile(const std::string& title,
                                                 std::optional<std::string> file) {
    return Queue(DialogOperation::OpenFile, title, 0, std::move(file));
}

ScriptedDialogs& ScriptedDialogs::AnswerSaveFile(const std::string& title,
                                                 std::optional<std::string> file) {
    return Queue(DialogOperation::SaveFile, title, 0, std::move(file));
}

ScriptedDialogs& ScriptedDialogs::AnswerSelectCertificate(int choice) {
    return Queue(DialogOperation::SelectCertificate, "", choice, std::nullopt);
}

std::vector<std::string> ScriptedDialogs::Problems() const {
    std::vector<std::string> problems = unexpected_;
    for (const Answer& answer : script_)
        problems.push_back(std::string("never asked: ") + DialogOperationName(answer.operation) +
                           " \"" + answer.text + "\"");
    return problems;
}

ScriptedDialogs::Answer ScriptedDialogs::Take(DialogQuestion question) {
    asked_.push_back(question);
    std::string problem;
    if (script_.empty()) {
        problem = std::string("unexpected ") + DialogOperationName(question.operation) + " \"" +
                  question.text + "\" (nothing queued)";
    } else if (script_.front().operation != question.operation ||
               script_.front().text != question.text) {
        problem = std::string("unexpected ") + DialogOperationName(question.operation) + " \"" +
                  question.text + "\" (queued: " + DialogOperationName(script_.front().operation) +
                  " \"" + script_.front().text + "\")";
    }
    if (!problem.empty()) {
        unexpected_.push_back(problem);
        if (hook_)
            hook_(problem);
        throw UnexpectedDialog(problem);
    }
    Answer answer = std::move(script_.front());
    script_.pop_front();
    return answer;
}

int ScriptedDialogs::ShowMessageBox(const std::string& text, MessageKind kind, ButtonSet buttons) {
    DialogQuestion q;
    q.operation = DialogOperation::MessageBox;
    q.text = text;
    q.kind = kind;
    q.buttons = buttons;
    return Take(std::move(q)).result;
}

int ScriptedDialogs::ShowMessageBoxDef(const std::string& text, MessageKind kind, ButtonSet buttons,
                                       Button defaultButton) {
    DialogQuestion q;
    q.operation = DialogOperation::MessageBoxDef;
    q.text = text;
    q.kind = kind;
    q.buttons = buttons;
    q.defaultButton = defaultButton;
    return Take(std::move(q)).result;
}

int ScriptedDialogs::ShowCaptionedBox(const std::string& text, MessageKind kind,
                                      const std::string& title, ButtonSet buttons,
                                      Button defaultButton,
                                      const std::vector<std::string>& captions) {
    DialogQuestion q;
    q.operation = DialogOperation::CaptionedBox;
    q.text = text;
    q.kind = kind;
    q.title = title;
    q.buttons = buttons;
    q.defaultButton = defaultButton;
    q.captions = captions;
    return Take(std::move(q)).result;
}

bool ScriptedDialogs::AskText(const std::string& caption, const std::string& prompt,
                              std::string& value) {
    DialogQuestion q;
    q.operation = DialogOperation::AskText;
    q.text = prompt;
    q.title = caption;
    q.value = value;
    Answer answer = Take(std::move(q));
    if (!answer.value)
        return false;
    value = std::move(*answer.value);
    return true;
}

int ScriptedDialogs::MakeChoice(std::optional<ScreenPoint> anchor,
                                const std::vector<std::string>& items, const std::string& caption,
                                int defaultIndex, const std::string& additionalText) {
    DialogQuestion q;
    q.operation = DialogOperation::MakeChoice;
    q.text = caption;
    q.items = items;
    q.defaultIndex = defaultIndex;
    q.additionalText = additionalText;
    q.anchor = anchor;
    return Take(std::move(q)).result;
}

bool ScriptedDialogs::SelectFolder(const std::string& caption, const std::string& root,
                                   std::string& directory) {
    DialogQuestion q;
    q.operation = DialogOperation::SelectFolder;
    q.text = caption;
    q.root = root;
    q.value = directory;
    Answer answer = Take(std::move(q));
    if (!answer.value)
        return false;
    directory = std::move(*answer.value);
    return true;
}

std::optional<std::string> ScriptedDialogs::OpenFile(const FileDialogRequest& request) {
    DialogQuestion q;
    q.operation = DialogOperation::OpenFile;
    q.text = request.title;
    q.file = request;
    return Take(std::move(q)).value;
}

std::optional<std::string> ScriptedDialogs::SaveFile(const FileDialogRequest& request) {
    DialogQuestion q;
    q.operation = DialogOperation::SaveFile;
    q.text = request.title;
    q.file = request;
    return Take(std::move(q)).value;
}

int ScriptedDialogs::SelectCertificate(const std::vector<CertificateRow>& rows) {
    DialogQuestion q;
    q.operation = DialogOperation::SelectCertificate;
    q.rows = rows;
    return Take(std::move(q)).result;
}

}  // namespace certdesk
