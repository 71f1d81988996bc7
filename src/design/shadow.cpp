#include "design/shadow.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <vector>

#include <QCache>
#include <QImage>
#include <QPainter>
#include <QPaintDevice>
#include <QPainterPath>

namespace kivo::Shadows {
namespace {

constexpr std::array<ShadowLayer, 3> surfaceLight{{{0.04, 4, 2}, {0.06, 2, 1}, {0.06, 1, 0}}};
constexpr std::array<ShadowLayer, 2> overlayLight{{{0.09, 24, 8}, {0.08, 16, 4}}};
constexpr std::array<ShadowLayer, 1> overlayDark{{{0.5, 18, 6}}};
constexpr std::array<ShadowLayer, 1> knobLayers{{{0.18, 1.5, 1}}};

// Below half a level of 8-bit alpha a shadow cannot change a pixel.
constexpr double invisibleAlpha = 0.5 / 255;

// Shadows of a window's worth of cards and canvases; evicted least recently used.
constexpr int cacheBytes = 48 * 1024 * 1024;

// How far outside a straight edge a blurred layer stays visible: the distance d where
// opacity x P(N(0, radius) > d) falls to invisibleAlpha.
double visibleDistance(const ShadowLayer& layer) {
    if (layer.radius <= 0 || layer.opacity * 0.5 <= invisibleAlpha) return 0;
    double low = 0;
    double high = 10;
    for (int i = 0; i < 50; ++i) {
        const double z = (low + high) / 2;
        (layer.opacity * 0.5 * std::erfc(z / std::sqrt(2.0)) > invisibleAlpha ? low : high) = z;
    }
    return high * layer.radius;
}

// Box radii of three passes whose combined variance matches a Gaussian of `sigma`.
std::array<int, 3> boxRadii(double sigma) {
    constexpr int passes = 3;
    const double ideal = std::sqrt(12 * sigma * sigma / passes + 1);
    int lower = static_cast<int>(std::floor(ideal));
    if (lower % 2 == 0) --lower;
    const int upper = lower + 2;
    const double lowerCount =
        (12 * sigma * sigma - passes * lower * lower - 4 * passes * lower - 3 * passes) / (-4.0 * lower - 4);
    const int m = static_cast<int>(std::lround(lowerCount));
    std::array<int, 3> radii{};
    for (int i = 0; i < passes; ++i) radii[i] = ((i < m ? lower : upper) - 1) / 2;
    return radii;
}

// One box pass along rows (step 1) or columns (step = width); outside the image counts as 0.
void boxPass(std::vector<float>& data, int width, int height, int radius, bool alongRows) {
    if (radius <= 0) return;
    const int lines = alongRows ? height : width;
    const int length = alongRows ? width : height;
    const int step = alongRows ? 1 : width;
    std::vector<float> line(static_cast<std::size_t>(length));
    const float scale = 1.0f / static_cast<float>(2 * radius + 1);
    for (int l = 0; l < lines; ++l) {
        float* base = data.data() + (alongRows ? static_cast<std::ptrdiff_t>(l) * width : l);
        for (int i = 0; i < length; ++i) line[i] = base[static_cast<std::ptrdiff_t>(i) * step];
        float sum = 0;
        for (int i = 0; i <= std::min(radius, length - 1); ++i) sum += line[i];
        for (int i = 0; i < length; ++i) {
            base[static_cast<std::ptrdiff_t>(i) * step] = sum * scale;
            if (i + radius + 1 < length) sum += line[i + radius + 1];
            if (i - radius >= 0) sum -= line[i - radius];
        }
    }
}

void gaussianBlur(std::vector<float>& data, int width, int height, double sigma) {
    if (sigma <= 0) return;
    for (const int radius : boxRadii(sigma)) {
        boxPass(data, width, height, radius, true);
        boxPass(data, width, height, radius, false);
    }
}

QImage renderShadow(const QSizeF& shapeSize, double cornerRadius, std::span<const ShadowLayer> layers,
                    double ratio, const QMarginsF& margins) {
    const QSize pixels = (QSizeF(shapeSize.width() + margins.left() + margins.right(),
                                 shapeSize.height() + margins.top() + margins.bottom()) *
                          ratio)
                             .toSize();
    const int width = pixels.width();
    const int height = pixels.height();
    QImage mask(pixels, QImage::Format_Alpha8);
    mask.fill(0);
    {
        QPainter painter(&mask);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(ratio, ratio);
        QPainterPath path;
        path.addRoundedRect(QRectF(QPointF(margins.left(), margins.top()), shapeSize), cornerRadius,
                            cornerRadius);
        painter.fillPath(path, Qt::black);
    }
    std::vector<float> shape(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const uchar* row = mask.constScanLine(y);
        for (int x = 0; x < width; ++x) shape[static_cast<std::size_t>(y) * width + x] = row[x] / 255.0f;
    }

    // Each layer shadows everything drawn so far, the shape and the layers before it.
    std::vector<float> accumulated = shape;
    std::vector<float> layer(accumulated.size());
    for (const ShadowLayer& l : layers) {
        const int shift = static_cast<int>(std::lround(l.y * ratio));
        std::fill(layer.begin(), layer.end(), 0.0f);
        for (int y = 0; y < height; ++y) {
            const int from = y - shift;
            if (from < 0 || from >= height) continue;
            std::copy_n(accumulated.begin() + static_cast<std::ptrdiff_t>(from) * width, width,
                        layer.begin() + static_cast<std::ptrdiff_t>(y) * width);
        }
        gaussianBlur(layer, width, height, l.radius * ratio);
        const auto opacity = static_cast<float>(l.opacity);
        for (std::size_t i = 0; i < layer.size(); ++i)
            accumulated[i] += opacity * layer[i] * (1.0f - accumulated[i]);
    }

    QImage result(pixels, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const float outside = accumulated[i] * (1.0f - shape[i]);
            row[x] = qRgba(0, 0, 0, std::clamp(static_cast<int>(std::lround(outside * 255)), 0, 255));
        }
    }
    result.setDevicePixelRatio(ratio);
    return result;
}

QString cacheKey(const QSizeF& size, double radius, std::span<const ShadowLayer> layers, double ratio) {
    QString key =
        QStringLiteral("%1x%2 r%3 @%4:").arg(size.width()).arg(size.height()).arg(radius).arg(ratio);
    for (const ShadowLayer& l : layers)
        key += QStringLiteral(" %1,%2,%3").arg(l.opacity).arg(l.radius).arg(l.y);
    return key;
}

// How many device pixels a pixel of the shape can spread into its shadow: each layer's three box passes
// plus its drop, one layer on top of the other.
int spread(std::span<const ShadowLayer> layers, double ratio) {
    int total = 0;
    for (const ShadowLayer& l : layers) {
        if (l.radius > 0) {
            for (const int r : boxRadii(l.radius * ratio)) total += std::max(r, 0);
        }
        total += static_cast<int>(std::lround(std::abs(l.y) * ratio));
    }
    return total;
}

std::atomic<std::size_t> blurred{0};

const QImage& cachedShadow(const QSizeF& shapeSize, double cornerRadius, std::span<const ShadowLayer> layers,
                           double ratio, const QMarginsF& margins) {
    static QCache<QString, QImage> cache(cacheBytes);
    const QString key = cacheKey(shapeSize, cornerRadius, layers, ratio);
    if (const QImage* cached = cache.object(key)) return *cached;
    auto* rendered = new QImage(renderShadow(shapeSize, cornerRadius, layers, ratio, margins));
    ++blurred;
    const qsizetype cost = std::min<qsizetype>(rendered->sizeInBytes(), cacheBytes);
    // Shadows are only rendered up to the size of their border, so each one fits.
    cache.insert(key, rendered, cost);
    return *cache.object(key);
}

// A shadow is an edge effect: away from the corners every line across an edge is the same. Only a
// shape just big enough for its corners to keep their own shadows is blurred, whatever its size on
// screen, and its middle lines are stretched along the edges. This is that shape's side in device pixels:
// a side longer than 2 + 2 × this is stretched.
int cornerReach(double radius, std::span<const ShadowLayer> layers, double ratio) {
    return static_cast<int>(std::ceil(radius * ratio)) + spread(layers, ratio) + 2;
}

// One axis of the nine pieces: the image's first `split` pixels stay where they are, the pixel at `split`
// is stretched over `stretch` + 1 pixels and the rest follows `stretch` pixels further on.
struct Cut {
    double split = 0;
    double stretch = 0;
    double length = 0;  // of the small image
};

// The pieces of an axis as (source start, source length, target start, target length) in device pixels.
std::array<std::array<double, 4>, 3> pieces(const Cut& cut) {
    return {{{0, cut.split, 0, cut.split},
             {cut.split, 1, cut.split, cut.stretch + 1},
             {cut.split + 1, cut.length - cut.split - 1, cut.split + 1 + cut.stretch,
              cut.length - cut.split - 1}}};
}

}  // namespace

std::span<const ShadowLayer> surface(ColorScheme scheme) {
    if (scheme == ColorScheme::dark) return {};
    return surfaceLight;
}

std::span<const ShadowLayer> overlay(ColorScheme scheme) {
    if (scheme == ColorScheme::dark) return overlayDark;
    return overlayLight;
}

std::span<const ShadowLayer> knob() { return knobLayers; }

QMarginsF reach(std::span<const ShadowLayer> layers) {
    QMarginsF margins;
    for (const ShadowLayer& layer : layers) {
        const double d = visibleDistance(layer);
        if (d <= 0) continue;
        margins.setLeft(std::max(margins.left(), std::ceil(d)));
        margins.setRight(std::max(margins.right(), std::ceil(d)));
        margins.setTop(std::max(margins.top(), std::ceil(std::max(0.0, d - layer.y))));
        margins.setBottom(std::max(margins.bottom(), std::ceil(d + layer.y)));
    }
    return margins;
}

QImage image(const QSizeF& shape, double cornerRadius, std::span<const ShadowLayer> layers, double ratio) {
    if (layers.empty() || shape.width() <= 0 || shape.height() <= 0) return {};
    const double radius = std::min({cornerRadius, shape.width() / 2, shape.height() / 2});
    return renderShadow(shape, radius, layers, ratio, reach(layers));
}

void prepare(const QPaintDevice& device, double cornerRadius, std::span<const ShadowLayer> layers) {
    // As paint() reads it from its painter's device: the ratio a paint device reports is rounded.
    const double ratio = device.devicePixelRatio();
    if (layers.empty() || !(ratio > 0)) return;
    // The same small shape, radius and key as paint() finds for a large shape.
    const double side = 2 * cornerReach(cornerRadius, layers, ratio) / ratio;
    cachedShadow(QSizeF(side, side), cornerRadius, layers, ratio, reach(layers));
}

std::size_t blurredCount() { return blurred; }

void paint(QPainter& painter, const QRectF& shape, double cornerRadius, std::span<const ShadowLayer> layers) {
    if (layers.empty() || shape.width() <= 0 || shape.height() <= 0) return;
    const double radius = std::min({cornerRadius, shape.width() / 2, shape.height() / 2});
    const double ratio = painter.device() != nullptr ? painter.device()->devicePixelRatio() : 1.0;
    const QMarginsF margins = reach(layers);
    const QPointF origin = shape.topLeft() - QPointF(margins.left(), margins.top());

    // The blurred shape is a whole number of pixels, the same for every larger size, so a zoom finds its
    // shadow blurred already; a far edge within a pixel ends where an image drawn over the shape ends, on
    // the nearest whole pixel.
    const int corner = cornerReach(radius, layers, ratio);
    const auto stretchOf = [&](double side) {
        const double pixels = side * ratio;
        return pixels > 2 * corner + 2 ? pixels - 2 * corner : 0.0;
    };
    const double stretchX = stretchOf(shape.width());
    const double stretchY = stretchOf(shape.height());
    const QSizeF small(stretchX > 0 ? 2 * corner / ratio : shape.width(),
                       stretchY > 0 ? 2 * corner / ratio : shape.height());
    const QImage& shadow = cachedShadow(small, radius, layers, ratio, margins);
    if (stretchX == 0 && stretchY == 0) {
        painter.drawImage(origin, shadow);
        return;
    }
    // The cuts fall inside the shape, where the shadow is clear, and at least a corner's reach from its ends.
    const Cut across{std::round((margins.left() + small.width() / 2) * ratio), stretchX,
                     static_cast<double>(shadow.width())};
    const Cut down{std::round((margins.top() + small.height() / 2) * ratio), stretchY,
                   static_cast<double>(shadow.height())};
    const auto columns = pieces(across);
    const auto rows = pieces(down);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            if (row == 1 && column == 1) continue;  // inside the shape
            const auto& x = columns[column];
            const auto& y = rows[row];
            if (x[1] <= 0 || y[1] <= 0) continue;
            const QRectF target(origin.x() + x[2] / ratio, origin.y() + y[2] / ratio, x[3] / ratio,
                                y[3] / ratio);
            painter.drawImage(target, shadow, QRectF(x[0], y[0], x[1], y[1]));
        }
    }
}

}  // namespace kivo::Shadows
