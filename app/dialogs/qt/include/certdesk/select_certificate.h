// The certificate selection over the personal store: a list with the usual columns, "OK",
// "Отмена" and the view command.
#pragma once

#include <QDialog>
#include <QPushButton>
#include <QTreeWidget>
#include <vector>

#include "certdesk/dialogs.h"

namespace certdesk {

class TfmSelectCertificate : public QDialog {
    Q_OBJECT
  public:
    TfmSelectCertificate(QWidget* owner, const std::vector<CertificateRow>& rows);

    // 0 when nothing is chosen, else the 1-based row.
    int ChosenRow() const;

    QTreeWidget* lvCertificates;
    QPushButton* btnView;
    QPushButton* btnOK;
    QPushButton* btnCancel;

  private:
    void UpdateButtons();
};

}  // namespace certdesk
