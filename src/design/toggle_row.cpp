#include "design/toggle_row.hpp"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include "design/painting.hpp"
#include "design/text_scale.hpp"
#include "design/theme.hpp"

namespace kivo {
namespace {

// The row's hit and focus shape.
constexpr double rowRadius = 6;

}  // namespace

ToggleRow::ToggleRow(const QString& label, QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setText(label);
    setFocusPolicy(Qt::TabFocus);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

QFont ToggleRow::labelFont() const {
    return scaledFont(ScaledTextStyle::body, QFont::Normal, TextScale::of(this), this);
}

QRectF ToggleRow::controlRect() const {
    const QSizeF size = controlSize(TextScale::of(this));
    // On whole pixels, so the 1 px outline stays crisp; over its label when the two are stacked.
    const double top = stacked(width()) ? 0 : std::round((height() - size.height()) / 2);
    return {0, top, size.width(), size.height()};
}

double ToggleRow::widestWord() const {
    const QFontMetricsF metrics(labelFont());
    double widest = 0;
    for (const QString& word : text().split(QLatin1Char(' '), Qt::SkipEmptyParts))
        widest = std::max(widest, metrics.horizontalAdvance(word));
    return widest;
}

bool ToggleRow::stacked(int width) const { return !text().isEmpty() && width < labelLeft() + widestWord(); }

QRectF ToggleRow::labelRect() const {
    if (stacked(width())) {
        const double top = controlSize(TextScale::of(this)).height() + stackGap * TextScale::of(this);
        return {0, top, static_cast<double>(width()), height() - top};
    }
    return {labelLeft(), 0, std::max(0.0, width() - labelLeft()), static_cast<double>(height())};
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

double ToggleRow::labelLeft() const {
    const double s = TextScale::of(this);
    return controlSize(s).width() + spacing(s);
}

QSize ToggleRow::minimumSizeHint() const {
    // The label wraps between its words, never inside one; narrower still, it goes under the control.
    const QSizeF control = controlSize(TextScale::of(this));
    return {static_cast<int>(std::ceil(std::max(control.width(), widestWord()))), sizeHint().height()};
}

int ToggleRow::heightForWidth(int width) const {
    const double s = TextScale::of(this);
    const double control = controlSize(s).height();
    if (text().isEmpty()) return static_cast<int>(std::ceil(control));
    const bool under = stacked(width);
    const double room = under ? width : width - labelLeft();
    const QRectF lines =
        QFontMetricsF(labelFont())
            .boundingRect(QRectF(0, 0, std::max(1.0, room), 1e6), Qt::AlignLeft | Qt::TextWordWrap, text());
    const double height = under ? control + stackGap * s + lines.height() : std::max(control, lines.height());
    return static_cast<int>(std::ceil(height));
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
    painter.setFont(labelFont());
    painter.setPen(Theme::color(Theme::Token::foreground));
    painter.drawText(labelRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, text());
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
