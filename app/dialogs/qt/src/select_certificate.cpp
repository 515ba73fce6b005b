#include "certdesk/select_certificate.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

#include "certdesk/dialog_units.h"

namespace certdesk {
namespace {

constexpr int kRowRole = Qt::UserRole;

}  // namespace

TfmSelectCertificate::TfmSelectCertificate(QWidget* owner, const std::vector<CertificateRow>& rows)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("SelectCertificate"));
    setModal(true);
    setWindowTitle(QStringLiteral("Выбор сертификата"));

    auto* prompt = new QLabel(QStringLiteral("Выберите сертификат."), this);
    prompt->setObjectName(QStringLiteral("Prompt"));

    lvCertificates = new QTreeWidget(this);
    lvCertificates->setObjectName(QStringLiteral("lvCertificates"));
    lvCertificates->setAccessibleName(QStringLiteral("Сертификаты"));
    lvCertificates->setRootIsDecorated(false);
    lvCertificates->setUniformRowHeights(true);
    lvCertificates->setAllColumnsShowFocus(true);
    lvCertificates->setSelectionMode(QAbstractItemView::SingleSelection);
    lvCertificates->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvCertificates->setHeaderLabels({QStringLiteral("Кому выдан"), QStringLiteral("Кем выдан"),
                                     QStringLiteral("Действителен по"),
                                     QStringLiteral("Понятное имя")});
    prompt->setBuddy(lvCertificates);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CertificateRow& row = rows[i];
        auto* item = new QTreeWidgetItem(
            lvCertificates,
            {ToQt(row.issuedTo), ToQt(row.issuedBy), ToQt(row.validTo), ToQt(row.friendlyName)});
        item->setData(0, kRowRole, static_cast<int>(i) + 1);
    }
    for (int column = 0; column < lvCertificates->columnCount(); ++column)
        lvCertificates->resizeColumnToContents(column);
    if (lvCertificates->topLevelItemCount() > 0)
        lvCertificates->setCurrentItem(lvCertificates->topLevelItem(0));

    btnView = new QPushButton(QStringLiteral("Просмотр сертификата"), this);
    btnView->setObjectName(QStringLiteral("btnView"));
    btnView->setAutoDefault(false);
    // The program answers the view request as done, so viewing shows nothing.
    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Отмена"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnView);
    buttons->addStretch(1);
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(lvCertificates, 1);
    layout->addLayout(buttons);

    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(lvCertificates, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(lvCertificates, &QTreeWidget::itemSelectionChanged, this,
            &TfmSelectCertificate::UpdateButtons);
    UpdateButtons();

    // Wide enough for every column, as far as the screen allows.
    const DialogUnits du = DialogUnits::Of(font());
    const QMargins margins = layout->contentsMargins();
    const int needed = lvCertificates->header()->length() + 2 * lvCertificates->frameWidth() +
                       lvCertificates->verticalScrollBar()->sizeHint().width() + margins.left() +
                       margins.right();
    const QScreen* s =
        owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    const int widest = s ? s->availableGeometry().width() * 9 / 10 : needed;
    resize(std::clamp(needed, du.Horizontal(300), std::max(widest, du.Horizontal(300))),
           du.Vertical(150));
    lvCertificates->setFocus(Qt::OtherFocusReason);
}

int TfmSelectCertificate::ChosenRow() const {
    const QList<QTreeWidgetItem*> chosen = lvCertificates->selectedItems();
    return chosen.isEmpty() ? 0 : chosen.constFirst()->data(0, kRowRole).toInt();
}

void TfmSelectCertificate::UpdateButtons() {
    const bool chosen = !lvCertificates->selectedItems().isEmpty();
    btnOK->setEnabled(chosen);
    btnView->setEnabled(chosen);
}

}  // namespace certdesk
