#include "design/toggle_row.hpp"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include "design/accessibility.hpp"
#include "design/painting.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {
namespace {

// The row's hit and focus shape.
constexpr double rowRadius = 6;

}  // namespace

ToggleRow::ToggleRow(const QString& label, QWidget* parent) : QAbstractButton(parent) {
    installAccessibility();
    setCheckable(true);
    setText(label);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QFont ToggleRow::labelFont() const {
    return scaledFont(ScaledTextStyle::body, QFont::Normal, TextScale::of(this), this);
}

QRectF ToggleRow::controlRect() const {
    const QSizeF size = controlSize(TextScale::of(this));
    // On whole pixels, so the 1 px outline stays crisp.
    return {0, std::round((height() - size.height()) / 2), size.width(), size.height()};
}

QSize ToggleRow::sizeHint() const {
    const double s = TextScale::of(this);
    const QSizeF control = controlSize(s);
    const QFontMetricsF metrics(labelFont());
    double width = control.width();
    if (!text().isEmpty()) width += spacing(s) + metrics.horizontalAdvance(text());
    const double height = std::max(control.height(), metrics.height());
    return {static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height))};
}

QSize ToggleRow::minimumSizeHint() const {
    const QSizeF control = controlSize(TextScale::of(this));
    return {static_cast<int>(std::ceil(control.width())), sizeHint().height()};
}

void ToggleRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) painter.setOpacity(Painting::disabledOpacity);
    const double s = TextScale::of(this);
    if (Painting::showsFocusRing(*this)) Painting::focusRing(painter, QRectF(rect()), rowRadius * s);
    const QRectF box = controlRect();
    paintControl(painter, box, s);
    if (text().isEmpty()) return;
    const QFont font = labelFont();
    const QFontMetricsF metrics(font);
    const double x = box.right() + spacing(s);
    const QString shown = metrics.elidedText(text(), Qt::ElideRight, std::max(0.0, width() - x));
    painter.setFont(font);
    painter.setPen(Theme::color(Theme::Token::foreground));
    painter.drawText(QPointF(x, height() / 2.0 + (metrics.ascent() - metrics.descent()) / 2), shown);
}

// A click flips the value with refreshes held back, so checkStateSet() runs only for setChecked().
void ToggleRow::nextCheckState() {
    QAbstractButton::nextCheckState();
    valueChanged(true);
}

void ToggleRow::checkStateSet() { valueChanged(false); }

bool ToggleRow::event(QEvent* event) {
    TextScale::remeasureOn(*this, *event);
    return QAbstractButton::event(event);
}

bool ToggleRow::hitButton(const QPoint& pos) const {
    QPainterPath shape;
    const double radius = rowRadius * TextScale::of(this);
    shape.addRoundedRect(QRectF(rect()), radius, radius);
    return shape.contains(QPointF(pos) + QPointF(0.5, 0.5));
}

}  // namespace kivo
