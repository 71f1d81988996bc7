#include "design/segment_button.hpp"

#include <algorithm>
#include <cmath>

#include <QPainter>

#include "design/literal_text.hpp"
#include "design/symbols.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {
namespace {

constexpr double smallestTitleScale = 0.7;
// What is left of the side padding when a narrow segment gives it up for its title.
constexpr double leastSidePadding = 3;

}  // namespace

PillSegmentButton::PillSegmentButton(const SegmentItem& item, HeroButtonSize size, QWidget* parent)
    : QAbstractButton(parent), item_(item), size_(size) {
    setCheckable(true);
    setText(item.title);
    LiteralText::setToolTip(*this, item.title);
    setFocusPolicy(Qt::TabFocus);
}

QFont PillSegmentButton::labelFont() const {
    return scaledFont(size_ == HeroButtonSize::sm ? ScaledTextStyle::callout : ScaledTextStyle::body,
                      QFont::Medium, TextScale::of(this), this);
}

QMarginsF PillSegmentButton::padding() const {
    const double s = TextScale::of(this);
    const bool small = size_ == HeroButtonSize::sm;
    const double horizontal = (small ? 9 : 12) * s;
    const double vertical = (small ? 4 : 5.5) * s;
    return {horizontal, vertical, horizontal, vertical};
}

Painting::Label PillSegmentButton::content() const {
    const double s = TextScale::of(this);
    const auto style = size_ == HeroButtonSize::sm ? ScaledTextStyle::callout : ScaledTextStyle::body;
    return {item_.symbol, item_.titleHidden ? QString() : item_.title,
            Symbols::sideForFont(basePoints(style) * s), 5 * s};
}

QSize PillSegmentButton::sizeHint() const {
    const QSizeF label = Painting::labelSize(labelFont(), content());
    const QMarginsF pad = padding();
    return {static_cast<int>(std::ceil(label.width() + pad.left() + pad.right())),
            static_cast<int>(std::ceil(label.height() + pad.top() + pad.bottom()))};
}

QMarginsF PillSegmentButton::paddingAt(double width) const {
    QMarginsF pad = padding();
    const double label = Painting::labelSize(labelFont(), content()).width();
    const double least = leastSidePadding * TextScale::of(this);
    const double side = std::clamp((width - label) / 2, std::min(least, pad.left()), pad.left());
    pad.setLeft(side);
    pad.setRight(side);
    return pad;
}

QSize PillSegmentButton::minimumSizeHint() const {
    const QSize hint = sizeHint();
    const double label = Painting::labelSize(labelFont(), content()).width();
    const double side = std::min(leastSidePadding * TextScale::of(this), padding().left());
    return {static_cast<int>(std::ceil(label + 2 * side)), hint.height()};
}

void PillSegmentButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) painter.setOpacity(Painting::disabledOpacity);
    const QRectF face = QRectF(rect());
    if (Painting::showsFocusRing(*this)) Painting::focusRing(painter, face, face.height() / 2);
    const QColor colour = Theme::color(isChecked() ? Theme::Token::foreground : Theme::Token::muted);
    Painting::paintLabel(painter, face.marginsRemoved(paddingAt(face.width())), labelFont(), content(),
                         colour, smallestTitleScale);
}

void PillSegmentButton::nextCheckState() {
    // The pill owns the selection; a click only reports itself.
}

bool PillSegmentButton::event(QEvent* event) {
    TextScale::remeasureOn(*this, *event);
    return QAbstractButton::event(event);
}

}  // namespace kivo
