#pragma once

// One number that moves from where it is to a target on one of the design's curves, repainting its owner
// at each step: the switch's knob, the pill's indicator and a button's press. When motion is reduced
// (Appearance) it jumps to the target at once, as does every jumpTo(). GUI thread only.

#include <QObject>
#include <QVariantAnimation>

class QWidget;

namespace kivo {

class Tween : public QObject {
    Q_OBJECT

public:
    enum class Curve { fluid, pressEaseOut };

    Tween(QWidget* owner, Curve curve, double initial);

    double value() const noexcept { return value_; }
    double target() const noexcept { return target_; }
    bool isRunning() const;

    void animateTo(double target);
    void jumpTo(double target);

private:
    QWidget* owner_;
    QVariantAnimation animation_;
    double value_;
    double target_;
};

}  // namespace kivo
