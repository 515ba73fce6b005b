#include "certdesk/qt_dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMouseEvent>
#include <QTimer>

#include "ask_text_form.h"
#include "certdesk/dialog_units.h"
#include "certdesk/make_choice.h"
#include "certdesk/message_form.h"
#include "certdesk/select_certificate.h"

namespace certdesk {
namespace {

// Eats the rest of the mouse gesture that closed a dialog (moves and the button release), so
// it does not reach the window beneath. Gives up at a new press or after a short while.
class GestureTailSwallower : public QObject {
  public:
    explicit GestureTailSwallower(QObject* parent) : QObject(parent) {
        QTimer::singleShot(kLifetimeMs, this, [this] { Finish(); });
    }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseMove:
                return true;
            case QEvent::MouseButtonRelease:
                Finish();
                return true;
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:
                Finish();
                return false;
            default:
                return false;
        }
    }

  private:
    void Finish() {
        qApp->removeEventFilter(this);
        deleteLater();
    }

    static constexpr int kLifetimeMs = 1000;
};

void SwallowGestureTail() {
    if (QGuiApplication::mouseButtons() == Qt::NoButton)
        return;
    qApp->installEventFilter(new GestureTailSwallower(qApp));
}

// "Name|*.ext|Other|*.a;*.b" as Qt's "Name (*.ext);;Other (*.a *.b)".
QString QtFilter(const QString& filter) {
    const QStringList parts = filter.split(u'|');
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(u';', u' ');
        out << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return out.join(QStringLiteral(";;"));
}

std::optional<std::string> RunFileDialog(QWidget* owner, const FileDialogRequest& request,
                                         QFileDialog::AcceptMode mode) {
    QFileDialog dialog(owner, ToQt(request.title));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(mode);
    if (mode == QFileDialog::AcceptOpen) {
        dialog.setFileMode(QFileDialog::ExistingFile);
    } else {
        dialog.setFileMode(QFileDialog::AnyFile);
        // The program asks before it overwrites a file, with its own words.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    }
    if (!request.filter.empty())
        dialog.setNameFilter(QtFilter(ToQt(request.filter)));
    if (!request.defaultName.empty())
        dialog.selectFile(ToQt(request.defaultName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return FromQt(QDir::toNativeSeparators(dialog.selectedFiles().constFirst()));
}

}  // namespace

QtDialogs::QtDialogs(QWidget* owner) : owner_(owner) {}

int QtDialogs::ShowMessageBox(const std::string& text, MessageKind kind, ButtonSet buttons) {
    const std::unique_ptr<TMessageForm> form = BuildStandardBox(owner_, text, kind, buttons);
    return form->exec();
}

int QtDialogs::ShowMessageBoxDef(const std::string& text, MessageKind kind, ButtonSet buttons,
                                 Button defaultButton) {
    const std::unique_ptr<TMessageForm> form = BuildStandardBox(owner_, text, kind, buttons);
    for (Button b : buttons.Members()) {
        if (ResultCode(b) == ResultCode(defaultButton)) {
            form->SetDefaultButton(b);
            break;
        }
    }
    return form->exec();
}

int QtDialogs::ShowCaptionedBox(const std::string& text, MessageKind kind, const std::string& title,
                                ButtonSet buttons, Button defaultButton,
                                const std::vector<std::string>& captions) {
    const std::unique_ptr<TMessageForm> form =
        BuildCaptionedBox(owner_, text, kind, buttons, defaultButton, captions);
    form->setWindowTitle(title.empty() ? KindTitle(kind) : ToQt(title));
    return form->exec();
}

bool QtDialogs::AskText(const std::string& caption, const std::string& prompt, std::string& value) {
    TAskTextForm form(owner_, ToQt(caption), ToQt(prompt), ToQt(value));
    if (form.exec() != QDialog::Accepted)
        return false;
    value = FromQt(form.Value());
    return true;
}

int QtDialogs::MakeChoice(std::optional<ScreenPoint> anchor, const std::vector<std::string>& items,
                          const std::string& caption, int defaultIndex,
                          const std::string& additionalText) {
    int result = 0;
    {
        TfmMakeChoice form(owner_);
        if (!caption.empty())
            form.setWindowTitle(ToQt(caption));
        QStringList entries;
        for (const std::string& item : items)
            entries << ToQt(item);
        std::optional<QPoint> topLeft;
        if (anchor)
            topLeft = QPoint(anchor->x, anchor->y + 1);
        form.Prepare(entries, defaultIndex, ToQt(additionalText), topLeft);
        if (form.exec() != kResultClosed)
            result = form.rgChoiceList->ItemIndex() + 1;
    }
    SwallowGestureTail();
    return result;
}

bool QtDialogs::SelectFolder(const std::string& caption, const std::string& root,
                             std::string& directory) {
    const QString current = ToQt(directory);
    if (!QFileInfo(current).isDir())
        directory.clear();
    QFileDialog dialog(owner_, ToQt(caption));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (!directory.empty())
        dialog.setDirectory(QFileInfo(current).absoluteFilePath());
    else if (!root.empty())
        dialog.setDirectory(ToQt(root));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    directory = FromQt(QDir::toNativeSeparators(dialog.selectedFiles().constFirst()));
    return true;
}

std::optional<std::string> QtDialogs::OpenFile(const FileDialogRequest& request) {
    return RunFileDialog(owner_, request, QFileDialog::AcceptOpen);
}

std::optional<std::string> QtDialogs::SaveFile(const FileDialogRequest& request) {
    return RunFileDialog(owner_, request, QFileDialog::AcceptSave);
}

int QtDialogs::SelectCertificate(const std::vector<CertificateRow>& rows) {
    int result = 0;
    {
        TfmSelectCertificate form(owner_, rows);
        if (form.exec() == QDialog::Accepted)
            result = form.ChosenRow();
    }
    SwallowGestureTail();
    return result;
}

}  // namespace certdesk
