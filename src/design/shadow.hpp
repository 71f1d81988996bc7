#pragma once

// The soft, layered black shadows of raised elements: the light surface shadow (cards, the pill's
// indicator) and the stronger overlay shadow (the page canvas, the activity bar). A layer is black at an
// opacity, blurred by a radius (the Gaussian's standard deviation, in logical pixels) and moved down by y;
// each later layer also shadows the layers before it. Radii and offsets never follow the text scale.
//
// Qt's drop-shadow effect has one layer and re-renders the widget, so the shadow is painted here from a
// blurred alpha mask of the rounded shape, layer by layer, and kept in a cache keyed by size, corner radius,
// layers and pixel ratio. Blurring costs the mask's area, so a shape larger than its corners' reach is
// blurred at that smaller size and its edges stretched: a page at any zoom costs the same. A widget cannot
// paint outside its own rectangle: one that casts a shadow leaves reach() around the shape it draws.

#include <cstddef>
#include <span>

#include <QImage>
#include <QMarginsF>
#include <QRectF>

#include "design/theme.hpp"

class QPaintDevice;
class QPainter;

namespace kivo {

struct ShadowLayer {
    double opacity = 0;  // of black, 0 to 1
    double radius = 0;   // blur
    double y = 0;        // downwards
};

namespace Shadows {

// (0.04, 4, 2), (0.06, 2, 1), (0.06, 1, 0) in light; none in dark.
std::span<const ShadowLayer> surface(ColorScheme scheme);
// (0.09, 24, 8), (0.08, 16, 4) in light; (0.5, 18, 6) in dark.
std::span<const ShadowLayer> overlay(ColorScheme scheme);
// The switch's knob: (0.18, 1.5, 1) in both.
std::span<const ShadowLayer> knob();

// How far beyond the shape the shadow of `layers` is visible (above half a level of 8-bit alpha).
QMarginsF reach(std::span<const ShadowLayer> layers);

// Paints the shadow of a rounded rectangle `shape` (corner radius `cornerRadius`, clamped to a capsule),
// only outside the shape, so the shape itself can be drawn over it with any opacity. A shape larger than its
// corners' reach ends on whole device pixels, as an image drawn over it does. Empty layers or an empty shape
// paint nothing.
void paint(QPainter& painter, const QRectF& shape, double cornerRadius, std::span<const ShadowLayer> layers);

// Blurs now the shadow paint() stretches over every shape of `cornerRadius` on `device` whose sides both
// exceed its corners' reach (any page-sized shape), so the first one painted does not wait for the blur.
void prepare(const QPaintDevice& device, double cornerRadius, std::span<const ShadowLayer> layers);

// How many shadows paint() and prepare() have blurred (and kept) since the process started.
std::size_t blurredCount();

// The shadow paint() draws for a shape of `shape` size, blurred whole as one image at `ratio` with reach()
// around the shape; its cost grows with the shape's area. Null for empty layers or an empty shape.
QImage image(const QSizeF& shape, double cornerRadius, std::span<const ShadowLayer> layers, double ratio);

}  // namespace Shadows
}  // namespace kivo
