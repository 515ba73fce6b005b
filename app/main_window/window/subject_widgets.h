// The window's text and combo fields: the required mark with its red underline, a limit on what
// a person types (code may put in longer text), the digit filter and the leave notification.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QString>
#include <QValidator>
#include <functional>

namespace certdesk {

// What the window's fields share, whether they are line or combo fields.
class TSubjectField {
  public:
    virtual ~TSubjectField() = default;

    virtual QString Text() const = 0;
    virtual void SetText(const QString& text) = 0;
    virtual QWidget* Widget() = 0;

    bool Marked() const { return marked_; }
    void SetMarked(bool marked) { marked_ = marked; }

    // Decides at every paint whether the underline is drawn.
    void SetRequiredRule(std::function<bool()> rule) { rule_ = std::move(rule); }
    bool DrawsRequiredState() const { return rule_ && rule_(); }

    // The system's window colour (white) or button-face colour (grey) behind the text.
    void SetGrey(bool grey);

    void SetOnExit(std::function<void()> handler) { onExit_ = std::move(handler); }

  protected:
    void PaintUnderline(QWidget& widget) const;
    void NotifyExit(const QFocusEvent& event) const;

  private:
    bool marked_ = false;
    std::function<bool()> rule_;
    std::function<void()> onExit_;
};

// Refuses an edit by the user that makes the text longer than the limit, unless it makes it no
// longer than it was (text put in by code may exceed the limit and can still be shortened).
class TypedLengthLimit : public QValidator {
    Q_OBJECT
  public:
    TypedLengthLimit(QLineEdit& edit, int limit);
    State validate(QString& input, int& pos) const override;

  private:
    int limit_;
    qsizetype lastLength_ = 0;
};

class TSubjectEdit : public QLineEdit, public TSubjectField {
    Q_OBJECT
  public:
    explicit TSubjectEdit(QWidget* parent = nullptr);

    QString Text() const override { return text(); }
    void SetText(const QString& value) override { setText(value); }
    QWidget* Widget() override { return this; }

    // Only what a person types is limited.
    void SetTypedLimit(int limit);
    // Lets only backspace, "." and the digits through from the keyboard.
    void SetDigitFilter(bool on) { digitFilter_ = on; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    bool digitFilter_ = false;
};

// An editable combo field; with AutoDropDown its list opens as soon as the user types.
class TSubjectComboBox : public QComboBox, public TSubjectField {
    Q_OBJECT
  public:
    explicit TSubjectComboBox(QWidget* parent = nullptr);

    QString Text() const override { return currentText(); }
    void SetText(const QString& value) override { setEditText(value); }
    QWidget* Widget() override { return this; }

    void SetTypedLimit(int limit);
    void SetAutoDropDown(bool on) { autoDropDown_ = on; }
    bool ListOpen() const;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool autoDropDown_ = false;
};

// The pick-only list of the validity period; the mouse wheel does not change it.
class TComboBox : public QComboBox {
    Q_OBJECT
  public:
    using QComboBox::QComboBox;

  protected:
    void wheelEvent(QWheelEvent* event) override;
};

}  // namespace certdesk
