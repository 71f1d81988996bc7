#include <cmath>
#include <cstdio>
#include <limits>

// After <cstdio>: it needs FILE and size_t declared.
#include <jpeglib.h>

#include "session_test.hpp"

namespace kivo::testing {
namespace {

using namespace pdfium;

// A `width` x `height` PNG, every pixel the same RGBA colour.
void writePng(const std::filesystem::path& path, int width, int height, std::array<std::uint8_t, 4> rgba) {
    std::vector<std::uint8_t> pixels;
    for (int i = 0; i < width * height; ++i) pixels.insert(pixels.end(), rgba.begin(), rgba.end());
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGBA;
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
}

void writeJpeg(const std::filesystem::path& path, int width, int height) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(width) * 3, 200);
    while (info.next_scanline < info.image_height) {
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

class SessionOverlays : public SessionTest {
protected:
    // The first page's last annotation: the one just added.
    static session_detail::FoundAnnotation lastAnnotation(Session& session) {
        const std::string pageId = session.pages().front().id;
        OpenPage page = session.loadPage(pageId);
        const int index = FPDFPage_GetAnnotCount(page.get()) - 1;
        ScopedAnnotation annotation(FPDFPage_GetAnnot(page.get(), index));
        return session_detail::FoundAnnotation(std::move(page), std::move(annotation), pageId, index);
    }
};

TEST_F(SessionOverlays, TextBoxWritesItsDefaultAppearance) {
    auto session = open(makePdf());
    const std::string page = session->pages().front().id;
    struct Case {
        double size;
        std::string da;
    };
    // "DA" is written as "/Helv <size> Tf 0 g"; setting the font colour of 20, 20, 20 afterwards makes
    // PDFium restate it with that colour in front. PDFium refuses the colour for a size below 1, and
    // the refusal is ignored, so those keep the text as written.
    const std::string grey = ".078431375 .078431375 .078431375 rg ";
    const Case cases[] = {{9.99, grey + "/Helv 9 Tf"},
                          {14, grey + "/Helv 14 Tf"},
                          {-3.7, "/Helv -3 Tf 0 g"},
                          {0.5, "/Helv 0 Tf 0 g"},
                          {-9.2e18, "/Helv -9200000000000000000 Tf 0 g"}};
    for (const Case& c : cases) {
        session->addTextBox(page, PDFRect{72, 600, 300, 650}, "Hello", c.size);
        const session_detail::FoundAnnotation added = lastAnnotation(*session);
        EXPECT_EQ(FPDFAnnot_GetSubtype(added.annotation()), FPDF_ANNOT_FREETEXT);
        EXPECT_EQ(session_detail::readStringKey(added.annotation(), "DA"), c.da) << c.size;
        EXPECT_EQ(session_detail::readStringKey(added.annotation(), "Contents"), "Hello");
        EXPECT_EQ(session_detail::readStringKey(added.annotation(), "Subj"), "text");
        EXPECT_EQ(session_detail::readStringKey(added.annotation(), "NM").size(), 36u);
        EXPECT_EQ(FPDFAnnot_GetFlags(added.annotation()), FPDF_ANNOT_FLAG_PRINT);
    }
}

TEST_F(SessionOverlays, ATextBoxLeavesTheFormAsReadersExpectIt) {
    const struct {
        const char* name;
        std::string pdf;
        bool form;
    } cases[] = {{"no form", makePdf(), false}, {"a form", makeFormPdf(), true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = open(c.pdf);
        session->addTextBox(session->pages().front().id, PDFRect{72, 600, 300, 650}, "Hello", 12);
        session->atomicWrite(dir_.path() / "saved.pdf");
        const std::string saved = readFile(dir_.path() / "saved.pdf");
        // An AcroForm dictionary needs its Fields array; a document without a form gets none.
        EXPECT_EQ(saved.find("/AcroForm") != std::string::npos, c.form);
        EXPECT_EQ(saved.find("/Fields") != std::string::npos, c.form);
        EXPECT_EQ(openFile(dir_.path() / "saved.pdf")
                      ->inspectResult()
                      .fields.value_or(std::vector<FormFieldInfo>{})
                      .size(),
                  c.form ? 2u : 0u);
    }
}

TEST_F(SessionOverlays, TextBoxRefusals) {
    auto session = open(makePdf());
    const std::string page = session->pages().front().id;
    const PDFRect rect{72, 600, 300, 650};
    EXPECT_EQ(failureOf([&] { session->addTextBox(page, rect, "", 12); }).message,
              "Text content is required.");
    for (const double size : {std::nan(""), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), 9.3e18, -9.3e18, 1e300}) {
        EXPECT_EQ(failureOf([&] { session->addTextBox(page, rect, "Hi", size); }).code,
                  FailureCode::invalidArgument)
            << size;
    }
    EXPECT_EQ(failureOf([&] { session->addTextBox("nope", rect, "Hi", 12); }).code, FailureCode::invalidPage);
    OpenPage open = session->loadPage(page);
    EXPECT_EQ(FPDFPage_GetAnnotCount(open.get()), 0);
}

TEST_F(SessionOverlays, StampsFromPngAndJpegListWithTheirKind) {
    writePng(dir_.path() / "sig.png", 4, 4, {0, 0, 255, 255});
    writeJpeg(dir_.path() / "photo.jpg", 8, 8);
    auto session = open(makePdf());
    const std::string page = session->pages().front().id;
    session->addStamp(page, PDFRect{100, 500, 300, 550}, dir_.path() / "sig.png", "signature", "Signed");
    session->addStamp(page, PDFRect{100, 300, 200, 400}, dir_.path() / "photo.jpg", "image", "");

    const PageCensusCache::Census census = SessionProbe::census(*session);
    ASSERT_EQ(census.items.size(), 2u);
    EXPECT_EQ(census.items[0].kind, "signature");
    EXPECT_EQ(census.items[0].contents, "Signed");
    EXPECT_EQ(census.items[1].kind, "image");
    EXPECT_NE(census.items[0].id, census.items[1].id);

    // A square image stretched over a 200 x 50 rectangle, aspect ratio not kept.
    OpenPage open = session->loadPage(page);
    ScopedAnnotation stamp(FPDFPage_GetAnnot(open.get(), 0));
    ASSERT_EQ(FPDFAnnot_GetObjectCount(stamp.get()), 1);
    float left = 0, bottom = 0, right = 0, top = 0;
    ASSERT_TRUE(FPDFPageObj_GetBounds(FPDFAnnot_GetObject(stamp.get(), 0), &left, &bottom, &right, &top));
    EXPECT_NEAR(left, 100, 0.01);
    EXPECT_NEAR(bottom, 500, 0.01);
    EXPECT_NEAR(right, 300, 0.01);
    EXPECT_NEAR(top, 550, 0.01);
}

TEST_F(SessionOverlays, StampRefusals) {
    auto session = open(makePdf());
    const std::string page = session->pages().front().id;
    const PDFRect rect{100, 100, 200, 200};
    EXPECT_EQ(
        failureOf([&] { session->addStamp(page, rect, dir_.path() / "logo.png", "image", ""); }).message,
        "Could not read image at logo.png.");
    writeFile(dir_.path() / "fake.png", "not an image");
    EXPECT_EQ(failureOf([&] { session->addStamp(page, rect, dir_.path() / "fake.png", "image", ""); }).code,
              FailureCode::invalidArgument);
    OpenPage open = session->loadPage(page);
    EXPECT_EQ(FPDFPage_GetAnnotCount(open.get()), 0);
}

// Half-transparent red over white must come out pink, not the dark red of premultiplied pixels
// taken as straight ones.
TEST_F(SessionOverlays, SemiTransparentStampIsNotDarkened) {
    writePng(dir_.path() / "tint.png", 4, 4, {255, 0, 0, 128});
    auto session = open(makePdf({TestPage{612, 792, "", false}}));
    const std::string page = session->pages().front().id;
    session->addStamp(page, PDFRect{0, 0, 612, 792}, dir_.path() / "tint.png", "image", "");

    const auto png = dir_.path() / "render.png";
    RenderTile tile{0, 0, 40, 40, png.string()};
    session->renderTiles(page, 0.1, {tile}, true);
    const DecodedPng decoded = decodePng(png);
    ASSERT_GT(decoded.width, 0u);
    const std::uint8_t* pixel = decoded.pixel(20, 20);
    EXPECT_GE(pixel[0], 250);
    EXPECT_NEAR(pixel[1], 127, 12);
    EXPECT_NEAR(pixel[2], 127, 12);
}

}  // namespace
}  // namespace kivo::testing
