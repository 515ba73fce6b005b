#include "certdesk/tsradiogroup.h"

#include <QEvent>
#include <QFontMetrics>
#include <algorithm>

namespace certdesk {

TGroupButton::TGroupButton(const QString& caption, TSCustomRadioGroup* group)
    : QRadioButton(caption, group), group_(group) {
    connect(this, &QAbstractButton::toggled, group_,
            [this](bool checked) { group_->ButtonToggled(this, checked); });
}

void TGroupButton::mouseDoubleClickEvent(QMouseEvent* event) {
    QRadioButton::mouseDoubleClickEvent(event);
    group_->ButtonDoubleClicked(this);
}

TSCustomRadioGroup::TSCustomRadioGroup(QWidget* parent) : QGroupBox(parent) {}

void TSCustomRadioGroup::SetItems(const QStringList& items) {
    items_ = items;
    RebuildButtons();
    // A selection past the new end moves to the last item, as the index is clamped.
    if (itemIndex_ >= items_.size()) {
        itemIndex_ = static_cast<int>(items_.size()) - 1;
        emit itemIndexChanged(itemIndex_);
    }
    ShowItemIndex();
}

void TSCustomRadioGroup::SetItemIndex(int index) {
    const int clamped = std::clamp(index, -1, static_cast<int>(items_.size()) - 1);
    if (clamped == itemIndex_)
        return;
    itemIndex_ = clamped;
    ShowItemIndex();
    emit itemIndexChanged(itemIndex_);
}

void TSCustomRadioGroup::SetColumns(int columns) {
    const int clamped = std::clamp(columns, 1, kMaxColumns);
    if (clamped == columns_)
        return;
    columns_ = clamped;
    ArrangeButtons();
}

void TSCustomRadioGroup::ButtonDoubleClicked(TGroupButton* button) {
    const auto it = std::find(buttons_.begin(), buttons_.end(), button);
    if (it == buttons_.end())
        return;
    SetItemIndex(static_cast<int>(it - buttons_.begin()));
    emit doubleClicked();
}

void TSCustomRadioGroup::ButtonToggled(TGroupButton* button, bool checked) {
    if (updating_ || !checked)
        return;
    const auto it = std::find(buttons_.begin(), buttons_.end(), button);
    if (it == buttons_.end())
        return;
    const int index = static_cast<int>(it - buttons_.begin());
    if (index == itemIndex_)
        return;
    itemIndex_ = index;
    emit itemIndexChanged(itemIndex_);
}

void TSCustomRadioGroup::RebuildButtons() {
    // A handler of one of these buttons may be what changed the items: let it return first.
    for (TGroupButton* b : buttons_) {
        b->hide();
        b->deleteLater();
    }
    buttons_.clear();
    for (const QString& item : items_) {
        auto* b = new TGroupButton(item, this);
        buttons_.push_back(b);
        b->show();
    }
    ArrangeButtons();
}

void TSCustomRadioGroup::ShowItemIndex() {
    updating_ = true;
    for (size_t i = 0; i < buttons_.size(); ++i) {
        TGroupButton* b = buttons_[i];
        const bool selected = static_cast<int>(i) == itemIndex_;
        if (b->isChecked() == selected)
            continue;
        // Exclusive radio buttons refuse to be cleared one by one.
        b->setAutoExclusive(false);
        b->setChecked(selected);
        b->setAutoExclusive(true);
    }
    updating_ = false;
}

void TSCustomRadioGroup::ArrangeButtons() {
    if (buttons_.empty())
        return;
    const int count = static_cast<int>(buttons_.size());
    const int rows = (count + columns_ - 1) / columns_;
    const int lineHeight = QFontMetrics(font()).height();
    const int buttonWidth = (width() - 10) / columns_;
    const int free = height() - lineHeight - 5;
    const int buttonHeight = free / rows;
    const int topMargin = lineHeight + 1 + (free % rows) / 2;
    for (int i = 0; i < count; ++i) {
        const int column = i / rows;
        const int row = i % rows;
        buttons_[static_cast<size_t>(i)]->setGeometry(
            column * buttonWidth + 8, row * buttonHeight + topMargin, std::max(buttonWidth, 0),
            std::max(buttonHeight, 0));
    }
}

void TSCustomRadioGroup::resizeEvent(QResizeEvent* event) {
    QGroupBox::resizeEvent(event);
    ArrangeButtons();
}

void TSCustomRadioGroup::changeEvent(QEvent* event) {
    QGroupBox::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        ArrangeButtons();
}

}  // namespace certdesk
