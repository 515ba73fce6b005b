// The flat command button of the program's pages: never takes the keyboard focus, shows the
// mouse over it with a light-blue face and a black frame.
#pragma once

#include <QAbstractButton>
#include <QColor>

namespace certdesk {

class TSButton : public QAbstractButton {
    Q_OBJECT
  public:
    explicit TSButton(const QString& caption = QString(), QWidget* parent = nullptr);

    // Copied into the owning dialog on a click; 0 (the default) leaves the dialog open.
    int ModalResult() const { return modalResult_; }
    void SetModalResult(int result) { modalResult_ = result; }

    bool IsHovered() const { return hovered_; }

    // The hover fill for a display of the given colour depth in bits per pixel.
    static QColor HoverFill(int depth);
    static QColor FrameColor(bool hovered);
    static QColor DownInGroupFill();

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void CopyModalResult();

    int modalResult_ = 0;
    bool hovered_ = false;
};

}  // namespace certdesk
