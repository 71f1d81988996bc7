#include "design/chip.hpp"

#include <algorithm>
#include <cmath>

#include <QAccessible>
#include <QPainter>

#include "design/painting.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {
namespace {

constexpr double toneOpacity = 0.15;

}  // namespace

Chip::Chip(const QString& text, ChipTone tone, const QString& symbol, QWidget* parent)
    : QWidget(parent), text_(text), tone_(tone), symbol_(symbol) {
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
}

void Chip::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

void Chip::setTone(ChipTone tone) {
    tone_ = tone;
    update();
}

void Chip::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    updateGeometry();
    update();
}

QColor Chip::textColor() const {
    using Theme::Token;
    switch (tone_) {
        case ChipTone::neutral: return Theme::color(Token::foreground);
        case ChipTone::accent: return Theme::color(Token::accentSoftText);
        case ChipTone::success: return Theme::color(Token::successSoftText);
        case ChipTone::warning: return Theme::color(Token::warningSoftText);
        case ChipTone::danger: return Theme::color(Token::dangerSoftText);
    }
    return Theme::color(Token::foreground);
}

QColor Chip::fillColor() const {
    using Theme::Token;
    switch (tone_) {
        case ChipTone::neutral: return Theme::color(Token::defaultFill);
        case ChipTone::accent: return Theme::withOpacity(Theme::color(Token::accent), toneOpacity);
        case ChipTone::success: return Theme::withOpacity(Theme::color(Token::success), toneOpacity);
        case ChipTone::warning: return Theme::withOpacity(Theme::color(Token::warning), toneOpacity);
        case ChipTone::danger: return Theme::withOpacity(Theme::color(Token::danger), toneOpacity);
    }
    return Theme::color(Token::defaultFill);
}

QFont Chip::textFont() const {
    return scaledFont(ScaledTextStyle::subheadline, QFont::Medium, TextScale::of(this), this);
}

Painting::Label Chip::content() const {
    const double s = TextScale::of(this);
    return {symbol_, text_, Symbols::sideForFont(basePoints(ScaledTextStyle::subheadline) * s), 3 * s};
}

QSize Chip::sizeHint() const {
    const double s = TextScale::of(this);
    const QSizeF size = Painting::labelSize(textFont(), content());
    return {static_cast<int>(std::ceil(size.width() + 14 * s)),
            static_cast<int>(std::ceil(size.height() + 5 * s))};
}

QSize Chip::minimumSizeHint() const {
    // Squeezed, a chip elides its text; its accessible name keeps all of it.
    const QSize hint = sizeHint();
    const double s = TextScale::of(this);
    const Painting::Label label = content();
    const QString start = label.text.left(3) + QStringLiteral("…");
    const QSizeF least =
        Painting::labelSize(textFont(), {label.symbol, start, label.symbolSide, label.spacing});
    return {std::min(hint.width(), static_cast<int>(std::ceil(least.width() + 14 * s))), hint.height()};
}

void Chip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintFace(painter, QRectF(rect()));
}

void Chip::paintFace(QPainter& painter, const QRectF& face, const std::optional<QColor>& fill) const {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = TextScale::of(this);
    Painting::fillRounded(painter, face, face.height() / 2, fill.value_or(fillColor()));
    Painting::paintLabel(painter, face.adjusted(7 * s, 0, -7 * s, 0), textFont(), content(), textColor());
    painter.restore();
}

bool Chip::event(QEvent* event) {
    TextScale::remeasureOn(*this, *event);
    return QWidget::event(event);
}

}  // namespace kivo
