#include <algorithm>
#include <limits>

#include "session/png_writer.hpp"
#include "session/session.hpp"

namespace kivo {

using namespace pdfium;

Session::PixelSize Session::renderTiles(std::string_view pageId, double scale, const std::vector<RenderTile>& tiles,
                                        bool annotations) const {
    OpenPage page = loadPage(pageId);
    const PixelSize size{TileGrid::pixels(FPDF_GetPageWidthF(page.get()), scale),
                         TileGrid::pixels(FPDF_GetPageHeightF(page.get()), scale)};
    const TileGrid grid(size.width, size.height, 1024);
    for (const RenderTile& tile : tiles) {
        const bool valid = tile.pngPath && tile.x >= 0 && tile.y >= 0 && tile.width >= 1 && tile.height >= 1 &&
                           tile.width <= size.width && tile.height <= size.height && tile.x < size.width &&
                           tile.y < size.height;
        if (!valid) throw EngineFailure("invalid_argument", "Each tile needs a pngPath and must lie on the page.");
        RenderTile region;
        region.x = tile.x;
        region.y = tile.y;
        region.width = std::min(size.width - tile.x, tile.width);
        region.height = std::min(size.height - tile.y, tile.height);
        draw(page.get(), region, grid, annotations, *tile.pngPath);
    }
    return size;
}

void Session::draw(FPDF_PAGE page, const RenderTile& region, const TileGrid& grid, bool annotations,
                   const std::filesystem::path& to) const {
    const bool whole = region.x == 0 && region.y == 0 && region.width == grid.width() && region.height == grid.height();
    const std::int64_t margin = whole ? 0 : tileMargin;
    const std::int64_t width = region.width + 2 * margin;
    const std::int64_t height = region.height + 2 * margin;
    constexpr std::int64_t intMax = std::numeric_limits<int>::max();
    const bool fits = region.width >= 1 && region.height >= 1 && width <= intMax && height <= intMax &&
                      grid.width() <= intMax && grid.height() <= intMax;
    ScopedBitmap bitmap(fits ? FPDFBitmap_Create(static_cast<int>(width), static_cast<int>(height), 1) : FPDF_BITMAP{});
    if (!bitmap) throw EngineFailure("render_failed", "Could not allocate a page bitmap.");
    FPDFBitmap_FillRect(bitmap.get(), 0, 0, static_cast<int>(width), static_cast<int>(height), 0xFFFFFFFF);

    // The whole page is laid out at grid size and shifted so that the region's top-left pixel
    // lands at (margin, margin); only the bitmap's own area is drawn.
    const int flags = annotations ? FPDF_ANNOT | FPDF_LCD_TEXT : FPDF_LCD_TEXT;
    const int startX = static_cast<int>(margin - region.x);
    const int startY = static_cast<int>(margin - region.y);
    const int sizeX = static_cast<int>(grid.width());
    const int sizeY = static_cast<int>(grid.height());
    FPDF_RenderPageBitmap(bitmap.get(), page, startX, startY, sizeX, sizeY, 0, flags);
    if (annotations && formHandle_) {
        FPDF_FFLDraw(formHandle_, bitmap.get(), page, startX, startY, sizeX, sizeY, 0, FPDF_ANNOT | FPDF_LCD_TEXT);
    }

    const std::span<uint8_t> pixels = bitmapPixels(bitmap.get());
    if (pixels.empty()) throw EngineFailure("render_failed", "Empty bitmap buffer.");
    const auto stride = static_cast<std::size_t>(FPDFBitmap_GetStride(bitmap.get()));
    // The margin is rendered but not written: the PNG starts at the region's first pixel.
    const uint8_t* firstRow =
        pixels.data() + static_cast<std::size_t>(margin) * stride + static_cast<std::size_t>(margin) * 4;

    if (to.has_parent_path()) std::filesystem::create_directories(to.parent_path());
    PngWriter::writeBgra(to, firstRow, static_cast<std::uint32_t>(region.width),
                         static_cast<std::uint32_t>(region.height), stride);
}

}  // namespace kivo
