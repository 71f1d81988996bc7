#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>

#include "core/document_files.hpp"
#include "core/file_creation.hpp"
#include "session/png_writer.hpp"
#include "session/session.hpp"

namespace kivo {

using namespace pdfium;

namespace {

// The pixels rendered around a tile beyond its edges, so that what is drawn across an edge
// (anti-aliasing, a stroke) matches the neighbouring tile; a whole page has none.
constexpr std::int64_t tileMargin = 8;

// A region rendered into its own bitmap: the bitmap holds the region plus its margin, and the
// PNG starts at `firstRow`, the region's first pixel.
struct RenderedRegion {
    ScopedBlock pixels;  // declared first so that it outlives the bitmap drawn into it
    ScopedBitmap bitmap;
    const std::uint8_t* firstRow = nullptr;
    std::size_t stride = 0;
};

RenderedRegion renderRegion(FPDF_PAGE page, FPDF_FORMHANDLE form, const RenderTile& region,
                            const TileGrid& grid, bool annotations) {
    const bool whole =
        region.x == 0 && region.y == 0 && region.width == grid.width() && region.height == grid.height();
    const std::int64_t margin = whole ? 0 : tileMargin;
    const std::int64_t width = region.width + 2 * margin;
    const std::int64_t height = region.height + 2 * margin;
    constexpr std::int64_t intMax = std::numeric_limits<int>::max();
    const bool fits = region.width >= 1 && region.height >= 1 && width <= intMax / 4 && height <= intMax &&
                      grid.width() <= intMax && grid.height() <= intMax;
    RenderedRegion rendered;
    // Pixels from the module's allocator rather than the bitmap's own, which clears them inside the
    // module at a fraction of the host's speed only for the host to fill them again; memory a render
    // freed comes back already touched, so a page of a size seen before costs no page faults either.
    if (fits) {
        rendered.pixels.reset(
            module::allocate(static_cast<std::size_t>(width * 4) * static_cast<std::size_t>(height)));
    }
    if (rendered.pixels) {
        rendered.bitmap.reset(FPDFBitmap_CreateEx(static_cast<int>(width), static_cast<int>(height),
                                                  FPDFBitmap_BGRA, rendered.pixels.get(),
                                                  static_cast<int>(width * 4)));
    }
    if (!rendered.bitmap) throw EngineFailure(FailureCode::renderFailed, "Could not allocate a page bitmap.");
    const std::span<uint8_t> pixels = bitmapPixels(rendered.bitmap.get());
    if (pixels.empty()) throw EngineFailure(FailureCode::renderFailed, "Empty bitmap buffer.");
    // Opaque white, FFFFFFFF in every pixel: the same bytes FPDFBitmap_FillRect writes, written by the
    // host at memory speed rather than pixel by pixel inside the module.
    std::memset(pixels.data(), 0xFF, pixels.size());

    // The whole page is laid out at grid size and shifted so that the region's top-left pixel
    // lands at (margin, margin); only the bitmap's own area is drawn.
    const int flags = annotations ? FPDF_ANNOT | FPDF_LCD_TEXT : FPDF_LCD_TEXT;
    const int startX = static_cast<int>(margin - region.x);
    const int startY = static_cast<int>(margin - region.y);
    const int sizeX = static_cast<int>(grid.width());
    const int sizeY = static_cast<int>(grid.height());
    FPDF_RenderPageBitmap(rendered.bitmap.get(), page, startX, startY, sizeX, sizeY, 0, flags);
    if (annotations && form) {
        FPDF_FFLDraw(form, rendered.bitmap.get(), page, startX, startY, sizeX, sizeY, 0,
                     FPDF_ANNOT | FPDF_LCD_TEXT);
    }

    rendered.stride = static_cast<std::size_t>(FPDFBitmap_GetStride(rendered.bitmap.get()));
    // The margin is rendered but not written: the PNG starts at the region's first pixel.
    rendered.firstRow = pixels.data() + static_cast<std::size_t>(margin) * rendered.stride +
                        static_cast<std::size_t>(margin) * 4;
    return rendered;
}

// A tile whose PNG has started: the pool copies its pixels while the next tiles render. The copy
// is declared last so that it goes first, waiting before the bitmap is destroyed.
struct StartedTile {
    RenderedRegion rendered;
    PngWriter::PendingCopy copy;
    std::size_t bytes = 0;
};

// Bitmaps kept while the pool copies them: a few, so that the rendering thread seldom waits for a
// pool thread that lost its core half-way through a copy, and never more than this many bytes.
constexpr std::size_t maxTilesCopying = 4;
constexpr std::size_t maxBytesCopying = 64u << 20;

}  // namespace

Session::PixelSize Session::renderTiles(std::string_view pageId, double scale,
                                        const std::vector<RenderTile>& tiles, bool annotations) const {
    PngWriter::Batch writes;
    const PixelSize size = renderTiles(pageId, scale, tiles, annotations, writes);
    writes.finish();
    return size;
}

Session::PixelSize Session::renderTiles(std::string_view pageId, double scale,
                                        const std::vector<RenderTile>& tiles, bool annotations,
                                        PngWriter::Batch& writes) const {
    const OpenPage& page = readPage(pageId);
    const PixelSize size{TileGrid::pixels(FPDF_GetPageWidthF(page.get()), scale),
                         TileGrid::pixels(FPDF_GetPageHeightF(page.get()), scale)};
    const TileGrid grid(size.width, size.height, 1024);
    std::deque<StartedTile> copying;
    std::size_t bytesCopying = 0;
    std::filesystem::path folderMade;
    for (const RenderTile& tile : tiles) {
        const bool valid = tile.pngPath && tile.x >= 0 && tile.y >= 0 && tile.width >= 1 &&
                           tile.height >= 1 && tile.width <= size.width && tile.height <= size.height &&
                           tile.x < size.width && tile.y < size.height;
        if (!valid) {
            throw EngineFailure(FailureCode::invalidArgument,
                                "Each tile needs a pngPath and must lie on the page.");
        }
        RenderTile region;
        region.x = tile.x;
        region.y = tile.y;
        region.width = std::min(size.width - tile.x, tile.width);
        region.height = std::min(size.height - tile.y, tile.height);
        RenderedRegion rendered = renderRegion(page.get(), form_.handle(), region, grid, annotations);
        const std::filesystem::path to(*tile.pngPath);
        if (to.has_parent_path() && to.parent_path() != folderMade) {
            DocumentFiles::makeFolders(to.parent_path());
            folderMade = to.parent_path();
        }
        PngWriter::PendingCopy copy =
            writes.start(to, rendered.firstRow, static_cast<std::uint32_t>(region.width),
                         static_cast<std::uint32_t>(region.height), rendered.stride);
        const std::size_t bytes = static_cast<std::size_t>(region.width * region.height) * 4;
        copying.push_back(StartedTile{std::move(rendered), std::move(copy), bytes});
        bytesCopying += bytes;
        while (copying.size() > maxTilesCopying || (copying.size() > 1 && bytesCopying > maxBytesCopying)) {
            bytesCopying -= copying.front().bytes;
            copying.pop_front();  // waits for its copy, helping, then frees its bitmap
        }
    }
    return size;  // the last bitmaps go with `copying`, each once copied
}

void Session::draw(FPDF_PAGE page, const RenderTile& region, const TileGrid& grid, bool annotations,
                   const std::filesystem::path& to, PngWriter::Batch& writes) const {
    const RenderedRegion rendered = renderRegion(page, form_.handle(), region, grid, annotations);
    if (to.has_parent_path()) DocumentFiles::makeFolders(to.parent_path());
    // The rows are copied before this returns, so the bitmap can go while they compress.
    writes.add(to, rendered.firstRow, static_cast<std::uint32_t>(region.width),
               static_cast<std::uint32_t>(region.height), rendered.stride);
}

}  // namespace kivo
