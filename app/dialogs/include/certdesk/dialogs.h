// The questions the program asks its user. Workflows and file helpers ask through Dialogs only;
// the program answers with the real Qt dialogs, tests with a scripted double.
// All text is Windows-1251.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace certdesk {

enum class MessageKind { Warning = 0, Error = 1, Information = 2, Confirmation = 3, Custom = 4 };

// The bit number of a button in a ButtonSet, and its left-to-right place in a box.
enum class Button {
    Yes = 0,
    No = 1,
    OK = 2,
    Cancel = 3,
    Abort = 4,
    Retry = 5,
    Ignore = 6,
    All = 7,
    NoToAll = 8,
    YesToAll = 9,
    Help = 10
};

constexpr int kButtonCount = 11;

// Result codes of the buttons; closing a box with the window's close button gives kResultClosed.
constexpr int kResultNone = 0;
constexpr int kResultClosed = 2;

constexpr int ResultCode(Button button) {
    constexpr int codes[kButtonCount] = {6, 7, 1, 2, 3, 4, 5, 8, 9, 10, 0};
    return codes[static_cast<int>(button)];
}

class ButtonSet {
  public:
    constexpr ButtonSet() = default;
    constexpr ButtonSet(std::initializer_list<Button> buttons) {
        for (Button b : buttons)
            bits_ |= Bit(b);
    }
    constexpr bool Has(Button b) const { return (bits_ & Bit(b)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr std::uint16_t Bits() const { return bits_; }
    // The members in bit order, which is also the on-screen order.
    std::vector<Button> Members() const {
        std::vector<Button> out;
        for (int i = 0; i < kButtonCount; ++i)
            if (bits_ & (1u << i))
                out.push_back(static_cast<Button>(i));
        return out;
    }
    constexpr bool operator==(const ButtonSet&) const = default;

  private:
    static constexpr std::uint16_t Bit(Button b) {
        return static_cast<std::uint16_t>(1u << static_cast<int>(b));
    }
    std::uint16_t bits_ = 0;
};

// Screen position of an anchor control's bottom-left corner.
struct ScreenPoint {
    int x = 0;
    int y = 0;
};

// An open- or save-file dialog. filter is "Name|*.ext" or empty for no filter.
struct FileDialogRequest {
    std::string title;
    std::string filter;
    std::string defaultName;
};

// One certificate of the selection list, by the columns it is shown with.
struct CertificateRow {
    std::string issuedTo;
    std::string issuedBy;
    std::string validTo;
    std::string friendlyName;
    bool operator==(const CertificateRow&) const = default;
};

class Dialogs {
  public:
    virtual ~Dialogs() = default;

    virtual int ShowMessageBox(const std::string& text, MessageKind kind, ButtonSet buttons) = 0;
    virtual int ShowMessageBoxDef(const std::string& text, MessageKind kind, ButtonSet buttons,
                                  Button defaultButton) = 0;
    // captions: one per member of buttons, in bit order.
    virtual int ShowCaptionedBox(const std::string& text, MessageKind kind,
                                 const std::string& title, ButtonSet buttons, Button defaultButton,
                                 const std::vector<std::string>& captions) = 0;
    // true when confirmed; value is changed only then.
    virtual bool AskText(const std::string& caption, const std::string& prompt,
                         std::string& value) = 0;
    // 0 when cancelled (or OK with nothing selected), else the 1-based number of the item.
    virtual int MakeChoice(std::optional<ScreenPoint> anchor, const std::vector<std::string>& items,
                           const std::string& caption, int defaultIndex,
                           const std::string& additionalText) = 0;
    // true when a folder was chosen; directory then holds it. A directory that does not
    // exist is emptied first.
    virtual bool SelectFolder(const std::string& caption, const std::string& root,
                              std::string& directory) = 0;
    // The chosen file's full path, or nothing when cancelled.
    virtual std::optional<std::string> OpenFile(const FileDialogRequest& request) = 0;
    virtual std::optional<std::string> SaveFile(const FileDialogRequest& request) = 0;
    // The certificate selection: 0 when cancelled, else the 1-based number of the chosen row.
    virtual int SelectCertificate(const std::vector<CertificateRow>& rows) = 0;
};

}  // namespace certdesk
