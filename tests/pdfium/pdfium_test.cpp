#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"
#include "test_pdfs.hpp"

namespace kivo::pdfium {
namespace {

using testing::bytesOf;
using testing::makeFormPdf;
using testing::makePdf;
using testing::TestPage;

class PdfiumTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { initLibrary(); }
    static void TearDownTestSuite() { destroyLibrary(); }

    static Document load(const std::string& pdf, const std::string* password = nullptr,
                         Document::Source source = Document::Source::OnDemand) {
        auto keep = std::make_shared<std::string>(pdf);
        return Document::load(bytesOf(*keep), keep, password, source);
    }

    static std::string pageText(FPDF_DOCUMENT document, int index) {
        ScopedPage page(FPDF_LoadPage(document, index));
        ScopedTextPage text(FPDFText_LoadPage(page.get()));
        const int count = FPDFText_CountChars(text.get());
        std::vector<uint16_t> units(count + 1);
        FPDFText_GetText(text.get(), 0, count, units);
        return std::string(units.begin(), units.begin() + count);
    }
};

struct SourceCase {
    const char* name;
    Document::Source source;
};

class LoadingTest : public PdfiumTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(LoadingTest, LoadsAndMapsErrors) {
    const Document::Source source = GetParam().source;
    {
        Document document = load(makePdf(), nullptr, source);
        ASSERT_TRUE(document);
        EXPECT_EQ(FPDF_GetPageCount(document.get()), 1);
    }
    struct Bad {
        std::string bytes;
        unsigned long error;
    };
    const std::vector<Bad> bad = {
        {"not a pdf at all", FPDF_ERR_FORMAT},
        {"", FPDF_ERR_FORMAT},
        {"%PDF-1.4\n1 0 obj << >> endobj\ntrailer << >>\n%%EOF", FPDF_ERR_FORMAT},
    };
    for (const Bad& input : bad) {
        Document document = load(input.bytes, nullptr, source);
        EXPECT_FALSE(document) << input.bytes;
        EXPECT_EQ(FPDF_GetLastError(), input.error) << input.bytes;
    }
}

TEST_P(LoadingTest, PasswordProtectedSample) {
    const auto path = testing::corpus("libreoffice-writer-password.pdf");
    if (path.empty()) GTEST_SKIP() << "sample documents absent";
    const std::string pdf = testing::readFile(path);
    const Document::Source source = GetParam().source;
    struct Case {
        const char* password;
        bool opens;
    };
    for (const Case& c :
         {Case{nullptr, false}, Case{"wrong", false}, Case{"openpassword", true}, Case{"permissionpassword", true}}) {
        const std::string password = c.password ? c.password : "";
        Document document = load(pdf, c.password ? &password : nullptr, source);
        EXPECT_EQ(static_cast<bool>(document), c.opens) << (c.password ? c.password : "(none)");
        if (c.opens) {
            EXPECT_GE(FPDF_GetPageCount(document.get()), 1);
        } else {
            EXPECT_EQ(FPDF_GetLastError(), FPDF_ERR_PASSWORD);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, LoadingTest,
                         ::testing::Values(SourceCase{"OnDemand", Document::Source::OnDemand},
                                           SourceCase{"ModuleCopy", Document::Source::ModuleCopy}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PdfiumTest, PageCountAndSizes) {
    Document document = load(makePdf({TestPage{612, 792}, TestPage{842, 595}, TestPage{200.5, 300.25}}));
    ASSERT_EQ(FPDF_GetPageCount(document.get()), 3);
    const float expected[3][2] = {{612, 792}, {842, 595}, {200.5f, 300.25f}};
    for (int i = 0; i < 3; ++i) {
        FS_SIZEF size;
        ASSERT_TRUE(FPDF_GetPageSizeByIndexF(document.get(), i, &size));
        EXPECT_FLOAT_EQ(size.width, expected[i][0]);
        EXPECT_FLOAT_EQ(size.height, expected[i][1]);
        ScopedPage page(FPDF_LoadPage(document.get(), i));
        EXPECT_FLOAT_EQ(FPDF_GetPageWidthF(page.get()), expected[i][0]);
        EXPECT_FLOAT_EQ(FPDF_GetPageHeightF(page.get()), expected[i][1]);
    }
    EXPECT_FALSE(FPDF_LoadPage(document.get(), 3));
}

// Renders at 1 pixel per point: the box spans x 100..300 and, counted from the top of a
// 792-point page, y 542..692.
TEST_F(PdfiumTest, RendersKnownPixels) {
    Document document = load(makePdf({TestPage{612, 792, "", true}}));
    ScopedPage page(FPDF_LoadPage(document.get(), 0));
    ScopedBitmap bitmap(FPDFBitmap_Create(612, 792, 1));
    ASSERT_TRUE(bitmap);
    ASSERT_TRUE(FPDFBitmap_FillRect(bitmap.get(), 0, 0, 612, 792, 0xFFFFFFFF));
    FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, 612, 792, 0, FPDF_ANNOT);
    const std::span<uint8_t> pixels = bitmapPixels(bitmap.get());
    const int stride = FPDFBitmap_GetStride(bitmap.get());
    ASSERT_EQ(pixels.size(), static_cast<size_t>(stride) * 792);
    auto pixel = [&](int x, int y) {
        const uint8_t* p = pixels.data() + static_cast<size_t>(y) * stride + x * 4;
        return std::array<int, 4>{p[0], p[1], p[2], p[3]};
    };
    struct Probe {
        int x, y;
        int value;
    };
    for (const Probe& probe : {Probe{200, 600, 0}, Probe{101, 543, 0}, Probe{298, 690, 0}, Probe{50, 50, 255},
                               Probe{400, 600, 255}, Probe{200, 720, 255}}) {
        const auto p = pixel(probe.x, probe.y);
        EXPECT_EQ(p[0], probe.value) << probe.x << "," << probe.y;
        EXPECT_EQ(p[1], probe.value) << probe.x << "," << probe.y;
        EXPECT_EQ(p[2], probe.value) << probe.x << "," << probe.y;
        EXPECT_EQ(p[3], 255);
    }
}

TEST_F(PdfiumTest, ReadsPageTextAndCharacterBoxes) {
    Document document = load(makePdf({TestPage{612, 792, "Hello PDF", false}}));
    EXPECT_EQ(pageText(document.get(), 0), "Hello PDF");
    ScopedPage page(FPDF_LoadPage(document.get(), 0));
    ScopedTextPage text(FPDFText_LoadPage(page.get()));
    EXPECT_EQ(FPDFText_GetUnicode(text.get(), 0), 'H');
    double left = 0, right = 0, bottom = 0, top = 0;
    ASSERT_TRUE(FPDFText_GetCharBox(text.get(), 0, &left, &right, &bottom, &top));
    EXPECT_NEAR(left, 72, 3);
    EXPECT_GT(right, left);
    EXPECT_NEAR(bottom, 692, 3);
    EXPECT_GT(top, bottom);
    ScopedSearch search(FPDFText_FindStart(text.get(), u"pdf", 0, 0));
    ASSERT_TRUE(FPDFText_FindNext(search.get()));
    EXPECT_EQ(FPDFText_GetSchResultIndex(search.get()), 6);
    EXPECT_EQ(FPDFText_GetSchCount(search.get()), 3);
    EXPECT_FALSE(FPDFText_FindNext(search.get()));
}

TEST_F(PdfiumTest, SavesThroughDescriptorAndLoadsBack) {
    testing::TempDir dir;
    Document document = load(makePdf({TestPage{612, 792, "First"}, TestPage{612, 792, "Second"}}));
    {
        ScopedPage page(FPDF_LoadPage(document.get(), 1));
        FPDFPage_SetRotation(page.get(), 1);
    }
    const auto path = dir.path() / "saved.pdf";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(saveToDescriptor(document.get(), fd));
    // The caller's descriptor stays open and usable.
    EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    ::close(fd);

    const std::string saved = testing::readFile(path);
    ASSERT_EQ(saved.rfind("%PDF-", 0), 0u);
    Document reloaded = load(saved);
    ASSERT_TRUE(reloaded);
    EXPECT_EQ(FPDF_GetPageCount(reloaded.get()), 2);
    EXPECT_EQ(pageText(reloaded.get(), 1), "Second");
    ScopedPage page(FPDF_LoadPage(reloaded.get(), 1));
    EXPECT_EQ(FPDFPage_GetRotation(page.get()), 1);

    const auto byPath = dir.path() / "by-path.pdf";
    ASSERT_TRUE(saveToFile(document.get(), byPath.c_str()));
    EXPECT_EQ(testing::readFile(byPath), saved);
    EXPECT_FALSE(saveToFile(document.get(), (dir.path() / "missing" / "x.pdf").c_str()));
}

TEST_F(PdfiumTest, FormFillEnvironmentReadsAndEditsFields) {
    Document document = load(makeFormPdf());
    ASSERT_TRUE(document);
    EXPECT_EQ(FPDF_GetFormType(document.get()), FORMTYPE_ACRO_FORM);
    FormFillEnvironment environment(document.get());
    ASSERT_NE(environment.record(), 0u);
    const FPDF_FORMHANDLE form = environment.handle();
    ASSERT_TRUE(form);
    {
        ScopedPage page(FPDF_LoadPage(document.get(), 0));
        FORM_OnAfterLoadPage(page.get(), form);
        ASSERT_EQ(FPDFPage_GetAnnotCount(page.get()), 2);
        ScopedAnnotation field(FPDFPage_GetAnnot(page.get(), 0));
        EXPECT_EQ(FPDFAnnot_GetFormFieldType(form, field.get()), FPDF_FORMFIELD_TEXTFIELD);
        auto read = [&](auto getter) {
            const auto units = readUnits([&](std::span<uint16_t> b) { return getter(form, field.get(), b); });
            return std::u16string(units.begin(), std::find(units.begin(), units.end(), 0));
        };
        EXPECT_EQ(read(FPDFAnnot_GetFormFieldName), u"name");
        EXPECT_EQ(read(FPDFAnnot_GetFormFieldValue), u"Ada");

        // Typing through the environment, as a user would.
        ASSERT_TRUE(FORM_SetFocusedAnnot(form, field.get()));
        ASSERT_TRUE(FORM_SelectAllText(form, page.get()));
        FORM_ReplaceSelection(form, page.get(), u"Grace Hopper");
        ASSERT_TRUE(FORM_ForceToKillFocus(form));
        EXPECT_EQ(read(FPDFAnnot_GetFormFieldValue), u"Grace Hopper");

        ScopedAnnotation box(FPDFPage_GetAnnot(page.get(), 1));
        EXPECT_EQ(FPDFAnnot_GetFormFieldType(form, box.get()), FPDF_FORMFIELD_CHECKBOX);
        EXPECT_FALSE(FPDFAnnot_IsChecked(form, box.get()));

        ScopedBitmap bitmap(FPDFBitmap_Create(100, 100, 1));
        FPDFBitmap_FillRect(bitmap.get(), 0, 0, 100, 100, 0xFFFFFFFF);
        FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, 100, 100, 0, FPDF_ANNOT);
        FPDF_FFLDraw(form, bitmap.get(), page.get(), 0, 0, 100, 100, 0, FPDF_ANNOT);
        FORM_OnBeforeClosePage(page.get(), form);
    }
}

TEST_F(PdfiumTest, ImageSetBgraEdgeCases) {
    Document document = load(makePdf({TestPage{612, 792, "", false}}));
    ScopedPageObject image(FPDFPageObj_NewImageObj(document.get()));
    ASSERT_TRUE(image);
    std::vector<uint8_t> pixels(16 * 8 * 4 + 64, 0);
    struct Case {
        const char* name;
        bool hasImage;
        bool hasPixels;
        int width, height, stride;
        bool expected;
    };
    const Case cases[] = {
        {"no image", false, true, 2, 2, 8, false},       {"no pixels", true, false, 2, 2, 8, false},
        {"zero width", true, true, 0, 2, 8, false},      {"zero height", true, true, 2, 0, 8, false},
        {"negative width", true, true, -2, 2, 8, false}, {"stride below width x 4", true, true, 2, 2, 7, false},
        {"exact stride", true, true, 2, 2, 8, true},     {"padded stride", true, true, 2, 2, 24, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(setImageBGRA(c.hasImage ? image.get() : FPDF_PAGEOBJECT{}, c.hasPixels ? pixels.data() : nullptr,
                               c.width, c.height, c.stride),
                  c.expected)
            << c.name;
    }
}

// A red stamp with a padded source stride lands on the page with its colour intact.
TEST_F(PdfiumTest, StampedImageRenders) {
    Document document = load(makePdf({TestPage{200, 200, "", false}}));
    ScopedPage page(FPDF_LoadPage(document.get(), 0));
    const int width = 4, height = 4, stride = 24;
    std::vector<uint8_t> pixels(stride * height, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &pixels[y * stride + x * 4];
            p[0] = 0, p[1] = 0, p[2] = 255, p[3] = 255;  // BGRA red
        }
    FPDF_PAGEOBJECT image = FPDFPageObj_NewImageObj(document.get());
    ASSERT_TRUE(setImageBGRA(image, pixels.data(), width, height, stride));
    ASSERT_TRUE(FPDFImageObj_SetMatrix(image, 100, 0, 0, 100, 50, 50));
    FPDFPage_InsertObject(page.get(), image);
    ASSERT_TRUE(FPDFPage_GenerateContent(page.get()));

    ScopedBitmap bitmap(FPDFBitmap_Create(200, 200, 1));
    FPDFBitmap_FillRect(bitmap.get(), 0, 0, 200, 200, 0xFFFFFFFF);
    FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, 200, 200, 0, 0);
    const auto pixelsOut = bitmapPixels(bitmap.get());
    const int outStride = FPDFBitmap_GetStride(bitmap.get());
    const uint8_t* centre = pixelsOut.data() + 100 * outStride + 100 * 4;
    EXPECT_EQ(centre[2], 255);
    EXPECT_LT(centre[1], 10);
    const uint8_t* outside = pixelsOut.data() + 10 * outStride + 10 * 4;
    EXPECT_EQ(outside[1], 255);
}

TEST(WriteBlock, FailsWithoutStreamAndClearsOk) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    FileWriter writer;
    EXPECT_FALSE(writer.write(bytes, 4));
    EXPECT_FALSE(writer.ok);

    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    FileWriter good{stream, true};
    EXPECT_TRUE(good.write(bytes, 4));
    EXPECT_TRUE(good.ok);
    std::fclose(stream);
}

}  // namespace
}  // namespace kivo::pdfium

namespace kivo::pdfium {
namespace {

// Documents larger than the module can address are refused up front, without a trap. The bytes
// are an untouched reservation, so the test costs no real memory.
TEST_F(PdfiumTest, RefusesDocumentsTooLargeForTheModule) {
    struct Case {
        const char* name;
        Document::Source source;
        size_t size;
    };
    const Case cases[] = {
        {"read on demand beyond 4 GiB", Document::Source::OnDemand, (size_t{4} << 30) + 1},
        {"module copy of 2 GiB", Document::Source::ModuleCopy, size_t{2} << 30},
    };
    for (const Case& c : cases) {
        void* reserved = mmap(nullptr, c.size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(reserved, MAP_FAILED) << c.name;
        try {
            Document::load({static_cast<const uint8_t*>(reserved), c.size}, nullptr, nullptr, c.source);
            ADD_FAILURE() << c.name;
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure.code, FailureCode::file) << c.name;
        }
        munmap(reserved, c.size);
        EXPECT_TRUE(module::usable()) << c.name;
    }
}

}  // namespace
}  // namespace kivo::pdfium
