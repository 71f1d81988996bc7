#pragma once

// The interface text scale as the controls see it. The window sets one number on the root of a widget tree
// (TextScale::apply); every control below reads it from its nearest ancestor that carries one (1.0 where
// none does), multiplies its scaled lengths and font sizes by it and repaints when it changes. Stroke widths,
// shadows, opacities and the press scale never follow it.
//
// Design sizes are points, and points are logical pixels here: a font of n points gets the point size
// n x 72 / the widget's logical DPI, so it is n logical pixels high whatever the screen's DPI.

#include <QEvent>
#include <QFont>

class QWidget;

namespace kivo {

// The text roles and their base sizes (caption 10, subheadline 11, callout 12, body 13, title2 17).
enum class ScaledTextStyle { caption, subheadline, callout, body, title2 };

double basePoints(ScaledTextStyle style) noexcept;

// The application font of `style`'s base size x `scale`, in logical pixels for `widget`'s DPI (the primary
// screen's when null), with `weight`. Never fails.
QFont scaledFont(ScaledTextStyle style, QFont::Weight weight, double scale, const QWidget* widget = nullptr);

// `pixels` logical pixels as a font point size for `widget` (the primary screen when null).
double pointSizeForPixels(double pixels, const QWidget* widget);

namespace TextScale {

// The scale in force for `widget`: the one set on it or its nearest ancestor, 1.0 when none is.
double of(const QWidget* widget);

// A design length in points at `scale`, rounded to whole logical pixels (halves away from zero).
int pixels(double length, double scale);

// Sets `scale` on `root` (values at or below 0 count as 1.0) and sends the change event to `root` and every
// widget below it, so they refresh fonts and metrics. Widgets added later read the scale when they lay out.
void apply(QWidget* root, double scale);

// The type of the event that apply() sends; a widget that caches fonts or metrics handles it.
QEvent::Type changeEventType();

// For painted controls that measure themselves from the scale: on the change event, asks `widget`'s layout
// to measure it again and repaints it; other events are left alone.
void remeasureOn(QWidget& widget, const QEvent& event);

}  // namespace TextScale
}  // namespace kivo
