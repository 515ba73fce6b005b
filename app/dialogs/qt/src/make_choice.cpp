#include "certdesk/make_choice.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "certdesk/dialogs.h"

namespace certdesk {

TfmMakeChoice::TfmMakeChoice(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("fmMakeChoice"));
    setModal(true);
    QFont designed(QStringLiteral("Sans Serif"));
    designed.setStyleHint(QFont::SansSerif);
    designed.setPointSize(8);
    setFont(designed);
    setWindowTitle(QStringLiteral("Ваш выбор:"));

    lAddText = new QLabel(this);
    lAddText->setObjectName(QStringLiteral("lAddText"));
    QFont bold = lAddText->font();
    bold.setBold(true);
    lAddText->setFont(bold);
    lAddText->setWordWrap(true);
    lAddText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lAddText->hide();

    rgChoiceList = new TSRadioGroup(this);
    rgChoiceList->setObjectName(QStringLiteral("rgChoiceList"));
    rgChoiceList->SetColumns(1);

    pnlBtn = new QWidget(this);
    pnlBtn->setObjectName(QStringLiteral("pnlBtn"));
    pnlBtn->setFixedHeight(kButtonPanelHeight);
    btnOK = new TSButton(QStringLiteral("Ok"), pnlBtn);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnCancel = new TSButton(QStringLiteral("Отмена"), pnlBtn);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    for (TSButton* b : {btnOK, btnCancel})
        b->setFixedSize(75, kButtonPanelHeight - 2);
    auto* buttons = new QHBoxLayout(pnlBtn);
    buttons->setContentsMargins(0, 1, 4, 1);
    buttons->setSpacing(4);
    buttons->addStretch(1);
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(lAddText);
    column->addWidget(rgChoiceList, 1);
    column->addWidget(pnlBtn);

    connect(btnOK, &QAbstractButton::clicked, this, [this] { PostKey(Qt::Key_Return); });
    connect(btnCancel, &QAbstractButton::clicked, this, [this] { PostKey(Qt::Key_Escape); });
    connect(rgChoiceList, &TSRadioGroup::doubleClicked, this, [this] { PostKey(Qt::Key_Return); });

    setFixedSize(kDesignedWidth, kDesignedHeight);
    move(kDesignedLeft, kDesignedTop);
}

int TfmMakeChoice::NeededHeight(int items, int lineHeight, int labelHeight) {
    // n * h * 1.2 is a multiple of 0.2 and never a half, so rounding to the nearest is exact
    // in integers: round(6m / 5) = (12m + 5) / 10.
    const long long m = static_cast<long long>(items) * lineHeight;
    int needed = static_cast<int>((12 * m + 5) / 10) + kButtonPanelHeight + 2;
    if (labelHeight > 0)
        needed += labelHeight + 2;
    return std::max(needed, kDesignedHeight);
}

void TfmMakeChoice::Prepare(const QStringList& items, int defaultIndex,
                            const QString& additionalText, const std::optional<QPoint>& anchor) {
    int labelHeight = 0;
    if (!additionalText.isEmpty()) {
        lAddText->setText(additionalText);
        labelHeight = lAddText->heightForWidth(kDesignedWidth);
        lAddText->setFixedHeight(labelHeight);
        lAddText->show();
    }
    rgChoiceList->SetItems(items);
    rgChoiceList->SetItemIndex(defaultIndex - 1);

    const int lineHeight = QFontMetrics(QGuiApplication::font()).height();
    int height = NeededHeight(static_cast<int>(items.size()), lineHeight, labelHeight);
    QPoint topLeft = anchor ? *anchor : QPoint(kDesignedLeft, kDesignedTop);

    const QScreen* s = QGuiApplication::screenAt(topLeft);
    if (!s)
        s = QGuiApplication::primaryScreen();
    const QRect screen = s->geometry();
    if (topLeft.y() + height > screen.height()) {
        topLeft.setY(0);
        height = screen.height() - 30;
    }
    if (topLeft.x() + kDesignedWidth > screen.width())
        topLeft.setX(screen.width() - kDesignedWidth);

    setFixedSize(kDesignedWidth, height);
    move(topLeft);
}

void TfmMakeChoice::PostKey(int key) {
    QCoreApplication::postEvent(this, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
}

void TfmMakeChoice::FormKeyDown(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            done(QDialog::Accepted);
            break;
        case Qt::Key_Escape:
            done(kResultClosed);
            break;
        default:
            QDialog::keyPressEvent(event);
    }
}

void TfmMakeChoice::keyPressEvent(QKeyEvent* event) {
    FormKeyDown(event);
}

void TfmMakeChoice::closeEvent(QCloseEvent* event) {
    done(kResultClosed);
    event->accept();
}

void TfmMakeChoice::reject() {
    done(kResultClosed);
}

}  // namespace certdesk
