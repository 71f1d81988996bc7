#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kivo {

// A pixel rectangle of a page's full-resolution grid (origin top left, y
// downwards) and the file the worker renders it to.
struct RenderTile {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::optional<std::string> pngPath{};

    bool operator==(const RenderTile&) const = default;
};

struct TileIndex {
    std::int64_t column = 0;
    std::int64_t row = 0;

    bool operator==(const TileIndex&) const = default;
};

// A page's pixel grid at one scale, cut into square tiles. Every way of making
// a grid keeps 1 <= width, height <= maxPixelsPerSide and tileSize >= 1, so no
// computation on a grid can divide by zero.
class TileGrid {
public:
    static constexpr double minimumScale = 0.12;
    static constexpr double maximumScale = 8.0;
    static constexpr std::int64_t wholePagePixelLimit = 8'000'000;
    static constexpr std::int64_t basePixelLimit = 4'000'000;
    static constexpr std::int64_t tilesPerRequest = 4;
    static constexpr std::int64_t maxPixelsPerSide = 1'000'000;

    // Field-wise; out-of-range values are clamped into the invariants.
    TileGrid(std::int64_t width, std::int64_t height, std::int64_t tileSize) noexcept;

    // The grid of a page of the given size in points at `scale`.
    static TileGrid forPage(double pageWidth, double pageHeight, double scale,
                            std::int64_t tileSize) noexcept;

    // Pixel length of a page side of `points` at `scale` (clamped to the
    // accepted scales); always between 1 and maxPixelsPerSide.
    static std::int64_t pixels(double points, double scale) noexcept;

    // Scale of a page's base image: the requested scale, lowered so the image
    // stays within about basePixelLimit pixels.
    static double baseScale(double pageWidth, double pageHeight, double scale) noexcept;

    std::int64_t width() const noexcept { return width_; }
    std::int64_t height() const noexcept { return height_; }
    std::int64_t tileSize() const noexcept { return tileSize_; }

    bool needsTiles() const noexcept;
    std::int64_t columns() const noexcept;
    std::int64_t rows() const noexcept;

    // Tiles covering a pixel rectangle, row by row, top-left first.
    std::vector<TileIndex> tiles(double minX, double minY, double maxX, double maxY) const;

    // The pixel rectangle of a tile, without a path; edge tiles are cut to the grid.
    RenderTile region(TileIndex index) const noexcept;

    bool operator==(const TileGrid&) const = default;

private:
    std::int64_t width_{};
    std::int64_t height_{};
    std::int64_t tileSize_{};
};

}  // namespace kivo

template <>
struct std::hash<kivo::TileIndex> {
    std::size_t operator()(const kivo::TileIndex& index) const noexcept {
        const auto h = std::hash<std::int64_t>{};
        return h(index.column) * 1'000'003u ^ h(index.row);
    }
};

template <>
struct std::hash<kivo::RenderTile> {
    std::size_t operator()(const kivo::RenderTile& tile) const noexcept {
        const auto h = std::hash<std::int64_t>{};
        std::size_t seed = h(tile.x);
        for (auto v : {tile.y, tile.width, tile.height}) seed = seed * 1'000'003u ^ h(v);
        if (tile.pngPath) seed = seed * 1'000'003u ^ std::hash<std::string>{}(*tile.pngPath);
        return seed;
    }
};
