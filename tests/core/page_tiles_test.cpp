#include "core/page_tiles.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kivo {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(TileGrid, Pixels) {
    const std::tuple<double, double, std::int64_t> cases[] = {
        {612, 1.5, 918}, {612, 100, 4896}, {612, 0, 73},   {0, 1, 1},   {1e7, 1, 1'000'000},
        {612, nan, 1},   {inf, 1, 1},      {-1e300, 1, 1}, {0.5, 1, 1}, {2.5, 1, 3},
    };
    for (const auto& [points, scale, expected] : cases) {
        EXPECT_EQ(TileGrid::pixels(points, scale), expected) << points << " x " << scale;
    }
}

TEST(TileGrid, BaseScale) {
    const std::tuple<double, double, double, double> cases[] = {
        {612, 792, 4, 2.87},     {612, 792, 1, 1.0},     {14400, 14400, 1, 0.13},
        {1e200, 1e200, 1, 0.12}, {612, 792, 0.05, 0.05}, {0, 0, 50, 50.0},
    };
    for (const auto& [width, height, scale, expected] : cases) {
        EXPECT_DOUBLE_EQ(TileGrid::baseScale(width, height, scale), expected) << width << "x" << height;
    }
}

TEST(TileGrid, SizesAndRegions) {
    EXPECT_FALSE(TileGrid(2000, 4000, 1024).needsTiles());
    EXPECT_TRUE(TileGrid(2000, 4001, 1024).needsTiles());

    const TileGrid grid(2050, 1000, 1024);
    EXPECT_EQ(grid.columns(), 3);
    EXPECT_EQ(grid.rows(), 1);
    EXPECT_EQ(grid.region({2, 0}), (RenderTile{2048, 0, 2, 1000, std::nullopt}));

    // Built field by field the grid keeps its invariants: no division by zero.
    const TileGrid clamped(0, 5'000'000, 0);
    EXPECT_EQ(clamped, TileGrid(1, 1'000'000, 1));
    EXPECT_EQ(TileGrid(10, 10, std::numeric_limits<std::int64_t>::max()).columns(), 1);
    EXPECT_EQ(TileGrid::forPage(612, 792, 1.5, 512), TileGrid(918, 1188, 512));
}

TEST(TileGrid, VisibleTiles) {
    const TileGrid grid(2050, 1000, 1024);
    using V = std::vector<TileIndex>;
    EXPECT_EQ(grid.tiles(-50, 0, 1024, 1), (V{{0, 0}}));
    EXPECT_EQ(grid.tiles(1000, 10, 1e9, 20), (V{{0, 0}, {1, 0}, {2, 0}}));
    EXPECT_EQ(TileGrid(3000, 3000, 1024).tiles(1500, 1500, 2100, 2100), (V{{1, 1}, {2, 1}, {1, 2}, {2, 2}}));
    EXPECT_TRUE(grid.tiles(10, 0, 10, 100).empty());
    EXPECT_TRUE(grid.tiles(3000, 0, 4000, 100).empty());
    EXPECT_TRUE(grid.tiles(0, 0, nan, 100).empty());
    EXPECT_TRUE(grid.tiles(-inf, 0, 100, 100).empty());
}

}  // namespace
}  // namespace kivo
