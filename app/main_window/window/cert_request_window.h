// CertDesk's one window: the subject form on the first page, certificate installation on the
// second. Every handler runs through one error guard: an error is shown in the window-wide
// error box, a silent abort shows nothing, and no exception reaches Qt's event loop.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "certdesk/dialogs.h"
#include "certdesk/subject_checks.h"
#include "certdesk/subject_fill.h"

class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QToolButton;
struct x509_st;

namespace certdesk {

class TComboBox;
class TSButton;
class TSRadioGroup;
class TSubjectComboBox;
class TSubjectEdit;
class TSubjectField;

class TfCertRequestAlt : public QWidget {
    Q_OBJECT
  public:
    // The window asks its user through dialogs, which must outlive it.
    explicit TfCertRequestAlt(Dialogs& dialogs, QWidget* parent = nullptr);
    ~TfCertRequestAlt() override;

    // The wait pattern around token work: the status text and the hourglass while work runs;
    // the normal cursor and an empty status bar again afterwards, whatever happens.
    void RunWithWaitText(const std::string& statusText, const std::function<void()>& work);

    // The window-wide error guard around a piece of work.
    void Guarded(const std::function<void()>& work) noexcept;

    // The open-file dialogs of the window definition.
    const FileDialogRequest& OpenDialog() const { return openDialog_; }
    const FileDialogRequest& OpenDialogXML() const { return openDialogXML_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void BuildFrame();
    void CentreOnScreen();
    void BuildMainPage(QWidget* page);
    void BuildInstallPage(QWidget* page);
    TSubjectEdit* AddEdit(QWidget* parent, const char* name, const char* caption, QRect label,
                          QRect field, int typedLimit);
    TSubjectComboBox* AddCombo(QWidget* parent, const char* name, const char* caption, QRect label,
                               QRect field, int typedLimit, const std::vector<const char*>& items);
    void Register(TSubjectField* field, bool subject);
    void BindHandlers();

    OwnerType Owner() const;
    void RecomputeOK();
    void ShowError(const std::string& message) noexcept;
    SubjectTexts ReadSubject() const;
    void WriteSubject(const SubjectTexts& texts);
    void FocusSubjectField(SubjectField field);

    // Handlers of the window definition.
    void FormCreate();
    void FormShow();
    bool FormKeyDown(QKeyEvent& event);
    void rgCertOwnerTypeClick();
    void edtSNChange();
    void edtSNExit(TSubjectField& sender);
    void edtINNExit();
    void btnClearAllClick();
    void btnLoadFromCertClick();
    void Button2Click();
    void btnOKClick();
    void edtCertFileNameEditButtons0Click();

    void edtSNCheckDrawRequiredState(TSubjectField& sender, bool& requiredState) const;
    void dbeCategoryCheckDrawRequiredState(TSubjectField& sender, bool& requiredState) const;
    void edtSNILSCheckDrawRequiredState(TSubjectField& sender, bool& requiredState) const;
    void edtEMAILCheckDrawRequiredState(TSubjectField& sender, bool& requiredState) const;
    void edtOGRNCheckDrawRequiredState(TSubjectField& sender, bool& requiredState) const;
    void edtINNCheckDrawRequiredState(TSubjectField& sender, bool& requiredState) const;
    void edtKPPCheckDrawRequiredState(TSubjectField& sender, bool& requiredState) const;
    void edtCertFileNameCheckDrawRequiredState(TSubjectField& sender, bool& requiredState) const;

    // The workflows behind the buttons, each group in a source file of its own that also binds
    // its handlers: the request and the fills, then installation, lookup and the test signature.
    void BindRequestAndFillHandlers();
    // The request and the fills.
    void btnLoadFromXMLClick();
    void Windows1Click();
    void N1Click();
    void jaCarta1Click();
    void FillFromCertificate(const x509_st& certificate);
    void ApplySubjectFill(const SubjectFill& fill);
    void GenerateKeyAndRequest();
    std::string SubscriberTag() const;
    std::vector<std::string> RequestSubject() const;

    void BindInstallAndSignHandlers();
    void btnInstallClick();
    void btnFindInDirClick();
    void btnGetCertInfoClick();
    void btnTestSignClick();
    // The trimmed name in the certificate file field.
    std::string CertFileName() const;
    // The certificate file loop: the named file when it exists, else the one the user picks;
    // cancelling ends the handler silently.
    std::string ChooseCertFile();
    // The PIN prompt, pre-filled; cancelling ends the handler silently.
    std::string AskCertificatePin();

    void ApplyOwnerType();
    bool CanGenerate() const;
    void CheckSubjectFields();

    Dialogs& dialogs_;
    FileDialogRequest openDialog_;
    FileDialogRequest openDialogXML_;

    QTabWidget* PageControl = nullptr;
    QWidget* tsMain = nullptr;
    QWidget* tsInstallCert = nullptr;
    QPushButton* Button2 = nullptr;
    QStatusBar* StatusBar = nullptr;

    QLabel* Label17 = nullptr;
    TSButton* btnLoadFromCert = nullptr;
    TSButton* btnLoadFromXML = nullptr;
    TSRadioGroup* rgCertOwnerType = nullptr;
    QGroupBox* gbSubject = nullptr;
    TSubjectEdit* edtSN = nullptr;
    TSubjectEdit* edtGN1 = nullptr;
    TSubjectEdit* edtGN2 = nullptr;
    TSubjectEdit* edtSNILS = nullptr;
    TSubjectEdit* edtEMAIL = nullptr;
    TSubjectComboBox* dbeCategory = nullptr;
    QGroupBox* gbAdrdess = nullptr;
    TSubjectComboBox* edtST = nullptr;
    TSubjectComboBox* edtL = nullptr;
    TSubjectEdit* edtStreet = nullptr;
    QGroupBox* gbOrgSettings = nullptr;
    TSubjectEdit* edtO = nullptr;
    TSubjectComboBox* edtOU = nullptr;
    TSubjectEdit* edtOGRN = nullptr;
    TSubjectEdit* edtINN = nullptr;
    TSubjectEdit* edtKPP = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label5 = nullptr;
    TComboBox* cbValidForMonths = nullptr;
    QLabel* Label7 = nullptr;
    TSButton* btnOK = nullptr;
    TSButton* btnClearAll = nullptr;

    QLabel* lblCertFileName = nullptr;
    TSubjectEdit* edtCertFileName = nullptr;
    QToolButton* edtCertFileNameEditButtons0 = nullptr;
    TSButton* btnInstall = nullptr;
    TSButton* btnFindInDir = nullptr;
    TSButton* btnGetCertInfo = nullptr;
    TSButton* btnTestSign = nullptr;

    QMenu* PopupMenu1 = nullptr;

    // Every text and combo field in creation order; the subject fields are the first ones.
    std::vector<TSubjectField*> fields_;
    std::vector<TSubjectField*> subjectFields_;
};

}  // namespace certdesk
