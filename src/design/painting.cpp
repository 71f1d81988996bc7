#include "design/painting.hpp"

#include <algorithm>
#include <cmath>

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <QWidget>

#include "design/symbols.hpp"
#include "design/theme.hpp"

namespace kivo::Painting {
namespace {

QPainterPath rounded(const QRectF& rect, double radius) {
    const double r = std::clamp(radius, 0.0, std::min(rect.width(), rect.height()) / 2);
    QPainterPath path;
    path.addRoundedRect(rect, r, r);
    return path;
}

}  // namespace

void drawStretched(QPainter& painter, const QRectF& target, const QImage& image) {
    if (image.isNull() || target.isEmpty()) return;
    const QTransform& transform = painter.deviceTransform();
    const QRectF device = transform.mapRect(target);
    const bool ownSize = transform.isAffine() && !transform.isRotating() &&
                         std::abs(device.width() - image.width()) < 0.5 &&
                         std::abs(device.height() - image.height()) < 0.5;
    if (ownSize || !transform.isInvertible()) {
        painter.drawImage(target, image);
        return;
    }
    // Fewer than 96 rows a call keep the raster engine's spans in one piece (Qt 6 splits from 96 on).
    constexpr double bandRows = 64;
    const QTransform back = transform.inverted();
    for (double top = std::floor(device.top()); top < device.bottom(); top += bandRows) {
        const QRectF band(device.left() - 1, top, device.width() + 2, bandRows);
        painter.save();
        painter.setClipRect(back.mapRect(band), Qt::IntersectClip);
        painter.drawImage(target, image);
        painter.restore();
    }
}

void fillRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& color) {
    if (rect.isEmpty() || color.alpha() == 0) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(rounded(rect, radius), color);
    painter.restore();
}

void strokeRoundedInside(QPainter& painter, const QRectF& rect, double radius, double width,
                         const QColor& color) {
    if (width <= 0 || rect.isEmpty() || color.alpha() == 0) return;
    const double half = width / 2;
    const QRectF inner = rect.adjusted(half, half, -half, -half);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, width, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(rounded(inner, std::max(0.0, radius - half)));
    painter.restore();
}

void focusRing(QPainter& painter, const QRectF& rect, double radius) {
    strokeRoundedInside(painter, rect, radius, 2, Theme::focus());
}

bool showsFocusRing(const QWidget& widget) {
    return widget.hasFocus() && widget.window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

QSizeF labelSize(const QFont& font, const Label& label) {
    const QFontMetricsF metrics(font);
    const bool hasSymbol = !label.symbol.isEmpty();
    const bool hasText = !label.text.isEmpty();
    double width = hasText ? metrics.horizontalAdvance(label.text) : 0;
    if (hasSymbol) width += label.symbolSide + (hasText ? label.spacing : 0);
    const double height = std::max(metrics.height(), hasSymbol ? label.symbolSide : 0.0);
    return {width, height};
}

void paintLabel(QPainter& painter, const QRectF& area, const QFont& font, const Label& label,
                const QColor& color, double minimumFontScale) {
    QFont textFont = font;
    const bool hasSymbol = !label.symbol.isEmpty();
    const double symbolPart = hasSymbol ? label.symbolSide + (label.text.isEmpty() ? 0 : label.spacing) : 0;
    const double room = std::max(0.0, area.width() - symbolPart);
    QString text = label.text;
    if (!text.isEmpty()) {
        const double wanted = QFontMetricsF(textFont).horizontalAdvance(text);
        if (wanted > room && minimumFontScale < 1.0 && wanted > 0) {
            const double factor = std::max(minimumFontScale, room / wanted);
            textFont.setPointSizeF(textFont.pointSizeF() * factor);
        }
        text = QFontMetricsF(textFont).elidedText(text, Qt::ElideRight, room);
    }
    const QFontMetricsF metrics(textFont);
    const double textWidth = text.isEmpty() ? 0 : metrics.horizontalAdvance(text);
    const double total = symbolPart + textWidth;
    double x = area.center().x() - total / 2;
    if (hasSymbol) {
        const QRectF box(x, area.center().y() - label.symbolSide / 2, label.symbolSide, label.symbolSide);
        Symbols::paint(painter, box, label.symbol, color);
        x += symbolPart;
    }
    if (!text.isEmpty()) {
        painter.save();
        painter.setFont(textFont);
        painter.setPen(color);
        const double baseline = area.center().y() + (metrics.ascent() - metrics.descent()) / 2;
        painter.drawText(QPointF(x, baseline), text);
        painter.restore();
    }
}

}  // namespace kivo::Painting
