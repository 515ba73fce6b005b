// The one-line text prompt: a label, an edit and "OK" / "Отмена".
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace certdesk {

class TAskTextForm : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kMaxLength = 255;

    TAskTextForm(QWidget* owner, const QString& caption, const QString& prompt,
                 const QString& value);

    QString Value() const { return edit_->text(); }

  private:
    QLabel* prompt_;
    QLineEdit* edit_;
};

}  // namespace certdesk
