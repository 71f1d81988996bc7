#include "core/page_tiles.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kivo {
namespace {

std::int64_t clampSide(std::int64_t n) noexcept {
    return std::clamp<std::int64_t>(n, 1, TileGrid::maxPixelsPerSide);
}

std::int64_t ceilDiv(std::int64_t n, std::int64_t d) noexcept {
    // Not (n + d - 1) / d: a huge tile size would overflow.
    return n / d + (n % d != 0 ? 1 : 0);
}

std::int64_t saturatingMultiply(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) {
        return ((a < 0) != (b < 0)) ? std::numeric_limits<std::int64_t>::min()
                                    : std::numeric_limits<std::int64_t>::max();
    }
    return out;
}

std::int64_t saturatingSubtract(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t out = 0;
    if (__builtin_sub_overflow(a, b, &out)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    }
    return out;
}

}  // namespace

TileGrid::TileGrid(std::int64_t width, std::int64_t height, std::int64_t tileSize) noexcept
    : width_(clampSide(width)), height_(clampSide(height)), tileSize_(std::max<std::int64_t>(tileSize, 1)) {}

TileGrid TileGrid::forPage(double pageWidth, double pageHeight, double scale,
                           std::int64_t tileSize) noexcept {
    return TileGrid(pixels(pageWidth, scale), pixels(pageHeight, scale), tileSize);
}

std::int64_t TileGrid::pixels(double points, double scale) noexcept {
    // A NaN scale passes both comparisons unchanged and makes the product NaN.
    if (scale <= minimumScale) scale = minimumScale;
    if (scale > maximumScale) scale = maximumScale;
    const double p = points * scale;
    if (!std::isfinite(p)) return 1;
    if (p >= static_cast<double>(maxPixelsPerSide)) return maxPixelsPerSide;
    // Also keeps a hugely negative length away from an out-of-range conversion.
    if (p < 1.0) return 1;
    return static_cast<std::int64_t>(std::round(p));
}

double TileGrid::baseScale(double pageWidth, double pageHeight, double scale) noexcept {
    double area = pageWidth * pageHeight;
    if (area <= 1.0) area = 1.0;
    if (!std::isfinite(area)) return std::min(scale, minimumScale);
    double s = std::floor(std::sqrt(static_cast<double>(basePixelLimit) / area) * 100.0) / 100.0;
    s = std::max(s, minimumScale);
    return s < scale ? s : scale;
}

bool TileGrid::needsTiles() const noexcept {
    // Both sides are at most 10^6, so the product fits in 64 bits.
    return width_ * height_ > wholePagePixelLimit;
}

std::int64_t TileGrid::columns() const noexcept { return ceilDiv(width_, tileSize_); }

std::int64_t TileGrid::rows() const noexcept { return ceilDiv(height_, tileSize_); }

std::vector<TileIndex> TileGrid::tiles(double minX, double minY, double maxX, double maxY) const {
    if (!std::isfinite(minX) || !std::isfinite(minY) || !std::isfinite(maxX) || !std::isfinite(maxY))
        return {};
    minX = std::max(minX, 0.0);
    minY = std::max(minY, 0.0);
    maxX = std::min(maxX, static_cast<double>(width_));
    maxY = std::min(maxY, static_cast<double>(height_));
    if (!(minX < maxX && minY < maxY)) return {};
    // After clamping every value lies within [0, 10^6], so the conversions are exact.
    const auto size = static_cast<double>(tileSize_);
    const auto firstColumn = static_cast<std::int64_t>(std::floor(minX / size));
    const auto lastColumn = std::min(columns() - 1, static_cast<std::int64_t>(std::ceil(maxX / size)) - 1);
    const auto firstRow = static_cast<std::int64_t>(std::floor(minY / size));
    const auto lastRow = std::min(rows() - 1, static_cast<std::int64_t>(std::ceil(maxY / size)) - 1);
    if (lastColumn < firstColumn || lastRow < firstRow) return {};
    std::vector<TileIndex> out;
    out.reserve(static_cast<std::size_t>((lastColumn - firstColumn + 1) * (lastRow - firstRow + 1)));
    for (auto row = firstRow; row <= lastRow; ++row) {
        for (auto column = firstColumn; column <= lastColumn; ++column) out.push_back({column, row});
    }
    return out;
}

RenderTile TileGrid::region(TileIndex index) const noexcept {
    RenderTile tile;
    tile.x = saturatingMultiply(index.column, tileSize_);
    tile.y = saturatingMultiply(index.row, tileSize_);
    tile.width = std::min(saturatingSubtract(width_, tile.x), tileSize_);
    tile.height = std::min(saturatingSubtract(height_, tile.y), tileSize_);
    return tile;
}

}  // namespace kivo
