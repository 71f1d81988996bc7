#include "design/text_scale.hpp"

#include <cmath>

#include <QApplication>
#include <QScreen>
#include <QWidget>

namespace kivo {
namespace {

constexpr const char* scaleProperty = "kivoInterfaceTextScale";

}  // namespace

double basePoints(ScaledTextStyle style) noexcept {
    switch (style) {
        case ScaledTextStyle::caption: return 10;
        case ScaledTextStyle::subheadline: return 11;
        case ScaledTextStyle::callout: return 12;
        case ScaledTextStyle::body: return 13;
        case ScaledTextStyle::title2: return 17;
    }
    return 13;
}

double pointSizeForPixels(double pixels, const QWidget* widget) {
    double dpi = 96;
    if (widget != nullptr) {
        dpi = widget->logicalDpiY();
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        dpi = screen->logicalDotsPerInchY();
    }
    if (dpi <= 0) dpi = 96;
    return pixels * 72 / dpi;
}

QFont scaledFont(ScaledTextStyle style, QFont::Weight weight, double scale, const QWidget* widget) {
    QFont font = QApplication::font();
    font.setPointSizeF(pointSizeForPixels(basePoints(style) * scale, widget));
    font.setWeight(weight);
    return font;
}

namespace TextScale {

int pixels(double length, double scale) { return static_cast<int>(std::lround(length * scale)); }

double of(const QWidget* widget) {
    for (const QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
        const QVariant value = w->property(scaleProperty);
        if (value.isValid()) return value.toDouble();
    }
    return 1.0;
}

void apply(QWidget* root, double scale) {
    if (root == nullptr) return;
    root->setProperty(scaleProperty, scale > 0 ? scale : 1.0);
    QEvent event(changeEventType());
    QCoreApplication::sendEvent(root, &event);
    for (QWidget* child : root->findChildren<QWidget*>()) QCoreApplication::sendEvent(child, &event);
}

QEvent::Type changeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void remeasureOn(QWidget& widget, const QEvent& event) {
    if (event.type() != changeEventType()) return;
    widget.updateGeometry();
    widget.update();
}

}  // namespace TextScale
}  // namespace kivo
