#include "design/tween.hpp"

#include <QWidget>

#include "design/appearance.hpp"
#include "design/theme.hpp"

namespace kivo {

Tween::Tween(QWidget* owner, Curve curve, double initial)
    : QObject(owner), owner_(owner), value_(initial), target_(initial) {
    const bool fluid = curve == Curve::fluid;
    animation_.setEasingCurve(fluid ? Theme::fluid() : Theme::pressEaseOut());
    animation_.setDuration(fluid ? Theme::fluidMilliseconds : Theme::pressMilliseconds);
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        value_ = value.toDouble();
        owner_->update();
    });
}

bool Tween::isRunning() const { return animation_.state() == QAbstractAnimation::Running; }

void Tween::animateTo(double target) {
    if (Appearance::motionReduced()) {
        jumpTo(target);
        return;
    }
    if (target == target_ && (isRunning() || value_ == target)) return;
    target_ = target;
    animation_.stop();
    animation_.setStartValue(value_);
    animation_.setEndValue(target);
    animation_.start();
}

void Tween::jumpTo(double target) {
    animation_.stop();
    target_ = target;
    if (value_ != target) {
        value_ = target;
        owner_->update();
    }
}

}  // namespace kivo
