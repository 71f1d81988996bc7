#pragma once

// RowButton: a whole row that acts as one button (a citation, a search match, an annotation): the caller
// lays chips and labels into its row(), and a click or Space anywhere on it, gaps included, presses it.
// Plain rows draw nothing of their own; framed rows sit on `surface` in a rounded rectangle (radius 12)
// with a 1 px `border`. A row focused from the keyboard shows the focus ring.
//
// Signals: QAbstractButton's clicked(). Accessibility: one button read as a whole, named by
// accessibleName() (set by the caller), "selected" while setSelected(true); its parts are not offered.

#include <QAbstractButton>

namespace kivo {

class ScaledStack;

class RowButton : public QAbstractButton {
    Q_OBJECT

public:
    // `padding` is the inset around the row in points (× the text scale).
    RowButton(bool framed, QMarginsF padding, double spacing, Qt::Alignment alignment,
              QWidget* parent = nullptr);

    ScaledStack* row() const { return row_; }
    // Adds a part to the row; the row becomes its parent and it never takes the click.
    void add(QWidget* part, int stretch = 0);

    bool isSelected() const noexcept { return selected_; }
    void setSelected(bool selected);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

    static constexpr double cornerRadius = 12;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool framed_;
    bool selected_ = false;
    ScaledStack* row_;
    Qt::Alignment alignment_;
};

}  // namespace kivo
