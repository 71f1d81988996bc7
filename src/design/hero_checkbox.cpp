#include "design/hero_checkbox.hpp"

#include <QPainter>

#include "design/painting.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {
namespace {

constexpr double boxSide = 15;
constexpr double boxRadius = 4;
constexpr double markSide = 9;

QRectF markIn(const QRectF& box, double scale) {
    const double side = markSide * scale;
    return {box.center().x() - side / 2, box.center().y() - side / 2, side, side};
}

}  // namespace

HeroCheckbox::HeroCheckbox(const QString& label, QWidget* parent) : ToggleRow(label, parent) {}

QRectF HeroCheckbox::markRect() const { return markIn(controlRect(), TextScale::of(this)); }

QSizeF HeroCheckbox::controlSize(double scale) const { return {boxSide * scale, boxSide * scale}; }

double HeroCheckbox::spacing(double scale) const { return 8 * scale; }

void HeroCheckbox::paintControl(QPainter& painter, const QRectF& box, double scale) {
    using Theme::Token;
    const bool on = isChecked();
    const double radius = boxRadius * scale;
    Painting::fillRounded(painter, box, radius, Theme::color(on ? Token::accentStrong : Token::field));
    if (!on) {
        Painting::strokeRoundedInside(painter, box, radius, 1, Theme::color(Token::border));
        return;
    }
    Symbols::paint(painter, markIn(box, scale), QStringLiteral("checkmark"),
                   Theme::color(Token::accentForeground));
}

void HeroCheckbox::valueChanged(bool) { update(); }

}  // namespace kivo
