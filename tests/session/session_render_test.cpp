#include "session_test.hpp"

#include <cstring>

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

using SessionRender = SessionTest;

RenderTile tile(std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h,
                std::optional<fs::path> path) {
    RenderTile t;
    t.x = x;
    t.y = y;
    t.width = w;
    t.height = h;
    if (path) t.pngPath = path->string();
    return t;
}

// PDFium's own pixels of `region` of the page at `scale`, as RGBA rows, rendered the way a render
// must: a margin of 8 around a region that is not the whole page, white paper, annotations drawn.
std::vector<std::uint8_t> pdfiumPixels(const Session& session, const std::string& pageId, double scale,
                                       const RenderTile& region) {
    using namespace pdfium;
    const OpenPage page = session.loadPage(pageId);
    const auto gridWidth = static_cast<int>(TileGrid::pixels(FPDF_GetPageWidthF(page.get()), scale));
    const auto gridHeight = static_cast<int>(TileGrid::pixels(FPDF_GetPageHeightF(page.get()), scale));
    const bool whole = region.width == gridWidth && region.height == gridHeight;
    const int margin = whole ? 0 : 8;
    const int width = static_cast<int>(region.width) + 2 * margin;
    const int height = static_cast<int>(region.height) + 2 * margin;
    ScopedBitmap bitmap(FPDFBitmap_Create(width, height, 1));
    FPDFBitmap_FillRect(bitmap.get(), 0, 0, width, height, 0xFFFFFFFF);
    FPDF_RenderPageBitmap(bitmap.get(), page.get(), margin - static_cast<int>(region.x),
                          margin - static_cast<int>(region.y), gridWidth, gridHeight, 0,
                          FPDF_ANNOT | FPDF_LCD_TEXT);
    const std::uint8_t* bgra = bitmapPixels(bitmap.get()).data();
    const auto stride = static_cast<std::size_t>(FPDFBitmap_GetStride(bitmap.get()));
    std::vector<std::uint8_t> rgba;
    for (int y = margin; y < margin + region.height; ++y) {
        for (int x = margin; x < margin + region.width; ++x) {
            const std::uint8_t* p = bgra + y * stride + x * 4;
            rgba.insert(rgba.end(), {p[2], p[1], p[0], p[3]});
        }
    }
    return rgba;
}

bool isWhite(const std::uint8_t* p) { return p[0] == 255 && p[1] == 255 && p[2] == 255; }
bool isBlack(const std::uint8_t* p) { return p[0] < 30 && p[1] < 30 && p[2] < 30; }

TEST_F(SessionRender, WholePageIsAnOpaqueSrgbPng) {
    const auto session = open(makePdf());  // black box at (100, 100), 200 x 150 points
    const fs::path png = dir_.path() / "not" / "yet" / "there" / "page.png";
    const Session::PixelSize size =
        session->renderTiles(session->pages()[0].id, 1.0, {tile(0, 0, 612, 792, png)}, true);
    EXPECT_EQ(size, (Session::PixelSize{612, 792}));

    const DecodedPng image = decodePng(png);
    ASSERT_EQ(image.width, 612u);
    ASSERT_EQ(image.height, 792u);
    EXPECT_TRUE(isBlack(image.pixel(150, 792 - 150)));  // inside the box; y grows downwards
    EXPECT_TRUE(isWhite(image.pixel(10, 10)));
    for (std::uint32_t i = 3; i < image.rgba.size(); i += 4) ASSERT_EQ(image.rgba[i], 255) << "opaque";

    const std::string bytes = readFile(png);
    EXPECT_EQ(bytes[24], 8);  // bit depth
    EXPECT_EQ(bytes[25], 6);  // colour with alpha
    EXPECT_NE(bytes.find("sRGB"), std::string::npos);

    // Twice the scale, twice the pixels.
    EXPECT_EQ(session->renderTiles(session->pages()[0].id, 2.0, {}, true), (Session::PixelSize{1224, 1584}));
}

TEST_F(SessionRender, TilesMatchTheWholePageAndAreClippedAtTheEdges) {
    const auto session = open(makePdf());
    const std::string page = session->pages()[0].id;
    const fs::path whole = dir_.path() / "whole.png";
    const fs::path corner = dir_.path() / "corner.png";
    const fs::path edge = dir_.path() / "edge.png";
    session->renderTiles(page, 1.0, {tile(0, 0, 612, 792, whole), tile(80, 620, 64, 64, corner)}, false);

    const DecodedPng full = decodePng(whole);
    const DecodedPng part = decodePng(corner);
    ASSERT_EQ(part.width, 64u);
    ASSERT_EQ(part.height, 64u);
    // The margin keeps tile edges identical to the same pixels of a whole-page render.
    for (std::uint32_t y = 0; y < 64; ++y) {
        for (std::uint32_t x = 0; x < 64; ++x) {
            ASSERT_EQ(std::memcmp(part.pixel(x, y), full.pixel(80 + x, 620 + y), 4), 0) << x << "," << y;
        }
    }
    // At twice the scale the grid is 1224 x 1584: a tile hanging over the edges is cut to it.
    session->renderTiles(page, 2.0, {tile(1214, 1000, 1024, 1024, edge)}, false);
    const DecodedPng clipped = decodePng(edge);
    EXPECT_EQ(clipped.width, 10u);
    EXPECT_EQ(clipped.height, 584u);
}

TEST_F(SessionRender, InvalidTilesFailTheCall) {
    const auto session = open(makePdf());
    const std::string page = session->pages()[0].id;
    const fs::path first = dir_.path() / "first.png";
    const fs::path p = dir_.path() / "t.png";
    struct Case {
        const char* name;
        RenderTile bad;
    };
    const Case cases[] = {
        {"no path", tile(0, 0, 10, 10, std::nullopt)},
        {"x at the grid width", tile(612, 0, 10, 10, p)},
        {"y at the grid height", tile(0, 792, 10, 10, p)},
        {"negative x", tile(-1, 0, 10, 10, p)},
        {"width 0", tile(0, 0, 0, 10, p)},
        {"height 0", tile(0, 0, 10, 0, p)},
        {"wider than the grid", tile(0, 0, 613, 10, p)},
        {"taller than the grid", tile(0, 0, 10, 793, p)},
    };
    const EngineFailure expected(FailureCode::invalidArgument,
                                 "Each tile needs a pngPath and must lie on the page.");
    for (const Case& c : cases) {
        fs::remove(first);
        EXPECT_EQ(failureOf([&] {
                      session->renderTiles(page, 1.0, {tile(0, 0, 16, 16, first), c.bad}, true);
                  }),
                  expected)
            << c.name;
        EXPECT_TRUE(fs::exists(first)) << c.name << ": tiles before the bad one stay written";
        EXPECT_FALSE(fs::exists(p)) << c.name;
    }
    EXPECT_EQ(failureOf([&] { session->renderTiles("missing", 1.0, {}, true); }).code,
              FailureCode::invalidPage);
}

TEST_F(SessionRender, EmptyTileListOnlyMeasures) {
    const auto session = open(makePdf({{300, 200}}));
    EXPECT_EQ(session->renderTiles(session->pages()[0].id, 1.5, {}, true), (Session::PixelSize{450, 300}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(SessionRender, AnnotationsAreDrawnOnlyWhenAsked) {
    const auto session = open(makeAnnotatedPdf());
    const std::string page = session->pages()[0].id;
    const fs::path with = dir_.path() / "with.png";
    const fs::path without = dir_.path() / "without.png";
    session->renderTiles(page, 1.0, {tile(0, 0, 612, 792, with)}, true);
    session->renderTiles(page, 1.0, {tile(0, 0, 612, 792, without)}, false);
    // Inside the first highlight, (150, 690) in page space.
    EXPECT_FALSE(isWhite(decodePng(with).pixel(150, 792 - 690)));
    EXPECT_TRUE(isWhite(decodePng(without).pixel(150, 792 - 690)));
}

TEST_F(SessionRender, FileSystemFailures) {
    const auto session = open(makePdf());
    const std::string page = session->pages()[0].id;
    writeFile(dir_.path() / "plain", "x");
    // A folder that cannot be made is the file system's own error.
    EXPECT_THROW(session->renderTiles(page, 1.0, {tile(0, 0, 10, 10, dir_.path() / "plain" / "t.png")}, true),
                 fs::filesystem_error);
    // A path that is a folder cannot take a PNG.
    fs::create_directory(dir_.path() / "folder.png");
    EXPECT_EQ(failureOf([&] {
                  session->renderTiles(page, 1.0, {tile(0, 0, 10, 10, dir_.path() / "folder.png")}, true);
              }),
              EngineFailure(FailureCode::renderFailed, "Could not create PNG writer."));
}

// Compression runs apart from rendering now; what comes back out of the PNG must still be exactly
// what PDFium drew, on whole pages and on tiles, on a page of annotations and on real pages.
TEST_F(SessionRender, PngsDecodeToPdfiumsOwnPixels) {
    const auto annotated = open(makeAnnotatedPdf());
    std::vector<std::pair<const Session*, std::string>> pages = {{annotated.get(), annotated->pages()[0].id}};
    const auto sample = openSample("pdflatex-4-pages.pdf");
    if (sample) {
        for (const PageInfo& page : sample->pages()) pages.emplace_back(sample.get(), page.id);
    }
    for (const auto& [session, pageId] : pages) {
        constexpr double scale = 150.0 / 72;
        const Session::PixelSize size = session->renderTiles(pageId, scale, {}, true);
        const RenderTile regions[] = {tile(0, 0, size.width, size.height, std::nullopt),
                                      tile(101, 233, 517, 389, std::nullopt),
                                      tile(size.width - 50, size.height - 70, 50, 70, std::nullopt)};
        std::vector<RenderTile> tiles;
        for (const RenderTile& region : regions) {
            tiles.push_back(region);
            tiles.back().pngPath = (dir_.path() / ("t" + std::to_string(tiles.size()) + ".png")).string();
        }
        session->renderTiles(pageId, scale, tiles, true);
        for (const RenderTile& written : tiles) {
            const DecodedPng png = decodePng(*written.pngPath);
            ASSERT_EQ(png.width, static_cast<std::uint32_t>(written.width));
            ASSERT_EQ(png.height, static_cast<std::uint32_t>(written.height));
            EXPECT_TRUE(png.rgba == pdfiumPixels(*session, pageId, scale, written))
                << pageId << " at " << written.x << "," << written.y;
        }
    }
}

TEST_F(SessionRender, SamplePagesRender) {
    const auto session = openSample("pdflatex-4-pages.pdf");
    if (!session) GTEST_SKIP() << "sample folder absent";
    for (const PageInfo& page : session->pages()) {
        const fs::path png = dir_.path() / (page.id + ".png");
        const auto size = session->renderTiles(page.id, 150.0 / 72, {}, true);
        session->renderTiles(page.id, 150.0 / 72, {tile(0, 0, size.width, size.height, png)}, true);
        const DecodedPng image = decodePng(png);
        EXPECT_EQ(image.width, static_cast<std::uint32_t>(size.width));
        EXPECT_EQ(image.height, static_cast<std::uint32_t>(size.height));
        // Text makes some pixels dark.
        bool dark = false;
        for (std::uint32_t i = 0; i + 3 < image.rgba.size() && !dark; i += 4) dark = image.rgba[i] < 100;
        EXPECT_TRUE(dark) << page.index;
    }
}

}  // namespace
}  // namespace kivo::testing
