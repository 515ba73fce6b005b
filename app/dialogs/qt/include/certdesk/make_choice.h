// The choice list: one radio button per entry, "Ok" and "Отмена" at the bottom right.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QStringList>
#include <optional>

#include "certdesk/tsbutton.h"
#include "certdesk/tsradiogroup.h"

namespace certdesk {

class TfmMakeChoice : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kDesignedWidth = 466;
    static constexpr int kDesignedHeight = 105;
    static constexpr int kDesignedLeft = 302;
    static constexpr int kDesignedTop = 222;
    static constexpr int kButtonPanelHeight = 24;

    explicit TfmMakeChoice(QWidget* owner);

    QLabel* lAddText;
    TSRadioGroup* rgChoiceList;
    QWidget* pnlBtn;
    TSButton* btnOK;
    TSButton* btnCancel;

    // The client height the entries need: round(n * lineHeight * 1.2) + panel + 2, and the
    // label's height + 2 when it is shown; never under the designed height.
    static int NeededHeight(int items, int lineHeight, int labelHeight);

    // Fills the list, sizes and places the form on screen; anchor is the top-left corner, or
    // the designed position when absent.
    void Prepare(const QStringList& items, int defaultIndex, const QString& additionalText,
                 const std::optional<QPoint>& anchor);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  public slots:
    void reject() override;

  private:
    void FormKeyDown(QKeyEvent* event);
    void PostKey(int key);
};

}  // namespace certdesk
