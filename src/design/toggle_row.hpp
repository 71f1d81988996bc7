#pragma once

// The row shared by HeroSwitch and HeroCheckbox: a painted control followed by the caller's label (body,
// regular, foreground, shown as plain text). A row narrower than its label wraps it between words and
// grows in height for its width; where even the longest word does not fit beside the control, the label
// stands under it, 4 below. A click anywhere in the row, label and gap included, flips
// the value; Space does too when the row has keyboard focus. A disabled row draws at half opacity.
//
// Signals: QAbstractButton's; callers act on clicked(bool) or toggled(bool) from user input, and set the
// value with setChecked() under a QSignalBlocker. setChecked() never animates; a user's flip may.

#include <QAbstractButton>

namespace kivo {

class ToggleRow : public QAbstractButton {
    Q_OBJECT

public:
    // Where the control is drawn, at the leading end, centred vertically.
    QRectF controlRect() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    ToggleRow(const QString& label, QWidget* parent);

    // The control's size and the gap before the label, at text scale `scale`.
    virtual QSizeF controlSize(double scale) const = 0;
    virtual double spacing(double scale) const = 0;
    virtual void paintControl(QPainter& painter, const QRectF& box, double scale) = 0;
    // Called when the value changes; `byUser` is true for a click or key, false for setChecked().
    virtual void valueChanged(bool byUser) = 0;

    void paintEvent(QPaintEvent* event) override;
    void nextCheckState() override;
    void checkStateSet() override;
    bool event(QEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    QFont labelFont() const;
    double labelLeft() const;
    double widestWord() const;
    bool stacked(int width) const;
    QRectF labelRect() const;

    static constexpr double stackGap = 4;
};

}  // namespace kivo
