#include "design/hero_button.hpp"

#include <algorithm>
#include <cmath>

#include <QEnterEvent>
#include <QPainter>
#include <QPainterPath>

#include "design/appearance.hpp"
#include "design/literal_text.hpp"
#include "design/painting.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design/tween.hpp"

namespace kivo {
namespace {

constexpr double pressedScale = 0.97;
constexpr double symbolSpacing = 5;

QColor mix(const QColor& from, const QColor& to, double t) {
    if (t <= 0) return from;
    if (t >= 1) return to;
    const auto lerp = [t](double a, double b) { return a + (b - a) * t; };
    return QColor::fromRgbF(static_cast<float>(lerp(from.redF(), to.redF())),
                            static_cast<float>(lerp(from.greenF(), to.greenF())),
                            static_cast<float>(lerp(from.blueF(), to.blueF())),
                            static_cast<float>(lerp(from.alphaF(), to.alphaF())));
}

}  // namespace

HeroButton::HeroButton(const QString& text, HeroButtonVariant variant, HeroButtonSize size, QWidget* parent)
    : QAbstractButton(parent),
      variant_(variant),
      size_(size),
      press_(new Tween(this, Tween::Curve::pressEaseOut, 0)) {
    setText(text);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
}

HeroButton* HeroButton::iconOnly(const QString& symbol, const QString& label, HeroButtonVariant variant,
                                 HeroButtonSize size, QWidget* parent) {
    auto* button = new HeroButton(QString(), variant, size, parent);
    button->setSymbol(symbol);
    button->setIconOnly(true);
    LiteralText::setToolTip(*button, label);
    button->setAccessibleName(label);
    return button;
}

void HeroButton::setVariant(HeroButtonVariant variant) {
    variant_ = variant;
    update();
}

void HeroButton::setButtonSize(HeroButtonSize size) {
    size_ = size;
    updateGeometry();
    update();
}

void HeroButton::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    updateGeometry();
    update();
}

void HeroButton::setIconOnly(bool iconOnly) {
    iconOnly_ = iconOnly;
    updateGeometry();
    update();
}

QMarginsF HeroButton::padding() const {
    const double s = TextScale::of(this);
    const bool small = size_ == HeroButtonSize::sm;
    // Icon-only buttons are nearly square: their side padding is the vertical padding plus 2.
    const double horizontal = iconOnly_ ? (small ? 6 : 8) : (small ? 10 : 13);
    const double vertical = small ? 4 : 6;
    return {horizontal * s, vertical * s, horizontal * s, vertical * s};
}

double HeroButton::pressScale() const {
    if (Appearance::motionReduced()) return 1.0;
    return 1.0 - (1.0 - pressedScale) * press_->value();
}

HeroButtonColors HeroButton::colors(HeroButtonVariant variant, bool active, ColorScheme scheme) {
    using Theme::Token;
    const auto c = [scheme](Token token) { return Theme::color(token, scheme); };
    switch (variant) {
        case HeroButtonVariant::primary:
            return {c(active ? Token::accent : Token::accentStrong), c(Token::accentForeground),
                    Qt::transparent};
        case HeroButtonVariant::secondary:
            return {c(active ? Token::defaultHover : Token::defaultFill), c(Token::foreground),
                    Qt::transparent};
        case HeroButtonVariant::tertiary:
            return {c(active ? Token::defaultHover : Token::defaultFill), c(Token::foreground),
                    c(Token::border)};
        case HeroButtonVariant::ghost:
            // Clear at rest; the fill's own colour keeps a fade towards it free of dark fringes.
            return {Theme::withOpacity(c(Token::defaultFill), active ? 1.0 : 0.0), c(Token::foreground),
                    Qt::transparent};
        case HeroButtonVariant::danger:
            return {c(active ? Token::danger : Token::dangerStrong), c(Token::dangerForeground),
                    Qt::transparent};
        case HeroButtonVariant::dangerSoft:
            return {Theme::withOpacity(c(Token::danger), active ? 0.22 : 0.15), c(Token::dangerSoftText),
                    Qt::transparent};
    }
    return {};
}

QFont HeroButton::labelFont() const {
    return scaledFont(size_ == HeroButtonSize::sm ? ScaledTextStyle::callout : ScaledTextStyle::body,
                      QFont::Medium, TextScale::of(this), this);
}

Painting::Label HeroButton::content() const {
    const double s = TextScale::of(this);
    const auto style = size_ == HeroButtonSize::sm ? ScaledTextStyle::callout : ScaledTextStyle::body;
    return {symbol_, iconOnly_ ? QString() : text(), Symbols::sideForFont(basePoints(style) * s),
            symbolSpacing * s};
}

QSize HeroButton::sizeHint() const {
    const double s = TextScale::of(this);
    const QSizeF label = Painting::labelSize(labelFont(), content());
    const QMarginsF pad = padding();
    double width = label.width() + pad.left() + pad.right();
    if (iconOnly_) width = std::max(width, (size_ == HeroButtonSize::sm ? 22 : 26) * s);
    const double height = label.height() + pad.top() + pad.bottom();
    return {static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height))};
}

bool HeroButton::hasHeightForWidth() const { return !iconOnly_ && symbol_.isEmpty() && !text().isEmpty(); }

int HeroButton::heightForWidth(int width) const {
    const QSize hint = sizeHint();
    if (!hasHeightForWidth() || width >= hint.width()) return hint.height();
    const QMarginsF pad = padding();
    const QRectF lines = QFontMetricsF(labelFont())
                             .boundingRect(QRectF(0, 0, std::max(1.0, width - pad.left() - pad.right()), 1e6),
                                           Qt::AlignCenter | Qt::TextWordWrap, text());
    return std::max(hint.height(), static_cast<int>(std::ceil(lines.height() + pad.top() + pad.bottom())));
}

QSize HeroButton::minimumSizeHint() const {
    // A text button too narrow for its title on one line breaks it between words, never inside one.
    const QSize hint = sizeHint();
    if (!hasHeightForWidth()) return hint;
    const QFontMetricsF metrics(labelFont());
    double widest = 0;
    for (const QString& word : text().split(QLatin1Char(' '), Qt::SkipEmptyParts))
        widest = std::max(widest, metrics.horizontalAdvance(word));
    const QMarginsF pad = padding();
    return {std::min(hint.width(), static_cast<int>(std::ceil(widest + pad.left() + pad.right()))),
            hint.height()};
}

void HeroButton::syncPress() {
    const double wanted = isDown() ? 1.0 : 0.0;
    if (press_->target() != wanted) press_->animateTo(wanted);
}

void HeroButton::paintEvent(QPaintEvent*) {
    // setDown() has no signal of its own, so the press follows the down state here.
    syncPress();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) painter.setOpacity(Painting::disabledOpacity);
    const QRectF face = QRectF(rect());
    const double scale = pressScale();
    if (scale != 1.0) {
        painter.translate(face.center());
        painter.scale(scale, scale);
        painter.translate(-face.center());
    }
    const ColorScheme scheme = Appearance::currentScheme();
    const HeroButtonColors rest = colors(variant_, hovered_ && isEnabled(), scheme);
    const HeroButtonColors active = colors(variant_, true, scheme);
    // A title on several lines keeps the corners of a one-line button.
    const double radius = std::min(face.height(), static_cast<double>(sizeHint().height())) / 2;
    Painting::fillRounded(painter, face, radius, mix(rest.fill, active.fill, press_->value()));
    Painting::strokeRoundedInside(painter, face, radius, 1, rest.border);
    if (Painting::showsFocusRing(*this)) Painting::focusRing(painter, face, radius);
    if (hasHeightForWidth() && width() < sizeHint().width()) {
        painter.setFont(labelFont());
        painter.setPen(rest.text);
        painter.drawText(face.marginsRemoved(padding()), Qt::AlignCenter | Qt::TextWordWrap, text());
        return;
    }
    Painting::paintLabel(painter, face.marginsRemoved(padding()), labelFont(), content(), rest.text);
}

void HeroButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void HeroButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

bool HeroButton::event(QEvent* event) {
    TextScale::remeasureOn(*this, *event);
    return QAbstractButton::event(event);
}

bool HeroButton::hitButton(const QPoint& pos) const {
    QPainterPath capsule;
    const QRectF face = QRectF(rect());
    capsule.addRoundedRect(face, face.height() / 2, face.height() / 2);
    return capsule.contains(QPointF(pos) + QPointF(0.5, 0.5));
}

}  // namespace kivo
