#include "design/hero_switch.hpp"

#include <QPainter>

#include "design/painting.hpp"
#include "design/shadow.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"
#include "design/tween.hpp"

namespace kivo {
namespace {

constexpr double trackWidth = 32;
constexpr double trackHeight = 18;
constexpr double knobHeight = 14;
// The knob is a short pill rather than a circle.
constexpr double knobWidth = 1.3 * knobHeight;
constexpr double knobInset = 2;

QColor mix(const QColor& from, const QColor& to, double t) {
    return QColor::fromRgbF(static_cast<float>(from.redF() + (to.redF() - from.redF()) * t),
                            static_cast<float>(from.greenF() + (to.greenF() - from.greenF()) * t),
                            static_cast<float>(from.blueF() + (to.blueF() - from.blueF()) * t));
}

}  // namespace

HeroSwitch::HeroSwitch(const QString& label, QWidget* parent)
    : ToggleRow(label, parent), knob_(new Tween(this, Tween::Curve::fluid, 0)) {}

double HeroSwitch::knobPosition() const { return knob_->value(); }

QRectF HeroSwitch::knobRectIn(const QRectF& track, double scale) const {
    const double width = knobWidth * scale;
    const double leading = track.left() + knobInset * scale;
    const double trailing = track.right() - knobInset * scale - width;
    const double x = leading + (trailing - leading) * knob_->value();
    return {x, track.center().y() - knobHeight * scale / 2, width, knobHeight * scale};
}

QRectF HeroSwitch::knobRect() const { return knobRectIn(controlRect(), TextScale::of(this)); }

QSizeF HeroSwitch::controlSize(double scale) const { return {trackWidth * scale, trackHeight * scale}; }

double HeroSwitch::spacing(double scale) const { return 9 * scale; }

void HeroSwitch::paintControl(QPainter& painter, const QRectF& track, double scale) {
    using Theme::Token;
    const double on = knob_->value();
    const double radius = track.height() / 2;
    Painting::fillRounded(painter, track, radius,
                          mix(Theme::color(Token::defaultFill), Theme::color(Token::accentStrong), on));
    const QRectF knob = knobRectIn(track, scale);
    Shadows::paint(painter, knob, knob.height() / 2, Shadows::knob());
    Painting::fillRounded(painter, knob, knob.height() / 2, Theme::color(Token::accentForeground));
    // The off outline fades out as the track fills: 1 px when off, nothing when on.
    Painting::strokeRoundedInside(painter, track, radius, 1,
                                  Theme::withOpacity(Theme::color(Token::border), 1 - on));
}

void HeroSwitch::valueChanged(bool byUser) {
    const double target = isChecked() ? 1.0 : 0.0;
    if (byUser) {
        knob_->animateTo(target);
    } else {
        knob_->jumpTo(target);
    }
}

}  // namespace kivo
