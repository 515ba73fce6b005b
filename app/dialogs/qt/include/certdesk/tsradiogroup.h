// A radio group that keeps its items as a list of strings, one radio button per item, laid out
// in columns, and hears a double click on any of its buttons.
#pragma once

#include <QGroupBox>
#include <QRadioButton>
#include <QStringList>
#include <vector>

namespace certdesk {

class TSCustomRadioGroup;

// One item's radio button; a double click selects it and is passed on to its group.
class TGroupButton : public QRadioButton {
    Q_OBJECT
  public:
    TGroupButton(const QString& caption, TSCustomRadioGroup* group);

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    TSCustomRadioGroup* group_;
};

class TSCustomRadioGroup : public QGroupBox {
    Q_OBJECT
  public:
    static constexpr int kMaxColumns = 16;

    explicit TSCustomRadioGroup(QWidget* parent = nullptr);

    QStringList Items() const { return items_; }
    void SetItems(const QStringList& items);

    // -1 when nothing is selected.
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);

    int Columns() const { return columns_; }
    void SetColumns(int columns);

    int ButtonCount() const { return static_cast<int>(buttons_.size()); }
    TGroupButton* ButtonAt(int index) const { return buttons_.at(static_cast<size_t>(index)); }

  signals:
    void itemIndexChanged(int index);
    void doubleClicked();

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    friend class TGroupButton;
    void ButtonDoubleClicked(TGroupButton* button);
    void ButtonToggled(TGroupButton* button, bool checked);
    void RebuildButtons();
    void ShowItemIndex();
    void ArrangeButtons();

    QStringList items_;
    std::vector<TGroupButton*> buttons_;
    int itemIndex_ = -1;
    int columns_ = 1;
    bool updating_ = false;
};

class TSRadioGroup : public TSCustomRadioGroup {
    Q_OBJECT
  public:
    using TSCustomRadioGroup::TSCustomRadioGroup;
};

}  // namespace certdesk
