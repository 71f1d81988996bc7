#include <sys/mman.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "pdfium/fpdf.hpp"
#include "pdfium_fixture.hpp"

namespace kivo::pdfium {
namespace {

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
    for (const Case& c : {Case{nullptr, false}, Case{"wrong", false}, Case{"openpassword", true},
                          Case{"permissionpassword", true}}) {
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

// The census reads annotations without loading their page; what it reads from their dictionaries and
// their fields must be what the loaded page gives, on every sample document. (A widget's state needs
// its page loaded, so the census loads pages that hold widgets.)
TEST_F(PdfiumTest, AnnotationsReadWithoutLoadingThePageAreThoseOfTheLoadedPage) {
    if (testing::corpus("annotated.pdf").empty()) GTEST_SKIP() << "sample documents absent";
    const auto text = [](auto&& get) {
        std::vector<uint16_t> units(4096);
        const unsigned long bytes = get(std::span<uint16_t>(units));
        return std::u16string(units.begin(), units.begin() + std::min<size_t>(bytes / 2, units.size()));
    };
    const auto describe = [&](FPDF_FORMHANDLE form, FPDF_ANNOTATION annotation) {
        FS_RECTF rect{};
        FPDFAnnot_GetRect(annotation, &rect);
        std::u16string line =
            u"subtype " + std::u16string(1, char16_t('0' + FPDFAnnot_GetSubtype(annotation)));
        for (const char* key : {"NM", "Contents", "T"})
            line +=
                u" | " + text([&](auto buffer) { return FPDFAnnot_GetStringValue(annotation, key, buffer); });
        line +=
            u" | " + text([&](auto buffer) { return FPDFAnnot_GetFormFieldName(form, annotation, buffer); });
        line +=
            u" | " + text([&](auto buffer) { return FPDFAnnot_GetFormFieldValue(form, annotation, buffer); });
        line +=
            u" flags " + std::u16string(1, char16_t(0x4000 + FPDFAnnot_GetFormFieldFlags(form, annotation)));
        for (const float edge : {rect.left, rect.bottom, rect.right, rect.top})
            line += u" " + std::u16string(1, char16_t(0x4000 + static_cast<int>(edge * 4)));
        return line;
    };
    int seen = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(testing::corpus("annotated.pdf").parent_path())) {
        if (entry.path().extension() != ".pdf") continue;
        Document document = load(testing::readFile(entry.path()));
        if (!document) continue;  // the password sample
        document.openFormFill();
        for (int i = 0; i < FPDF_GetPageCount(document.get()); ++i) {
            ScopedPage page(FPDF_LoadPage(document.get(), i));
            const int count = FPDFPage_GetAnnotCount(page.get());
            ASSERT_EQ(EPDFPage_GetAnnotCountRaw(document.get(), i), count) << entry.path() << " page " << i;
            for (int j = 0; j < count; ++j, ++seen) {
                ScopedAnnotation loaded(FPDFPage_GetAnnot(page.get(), j));
                ScopedAnnotation unparsed(EPDFPage_GetAnnotRaw(document.get(), i, j));
                ASSERT_TRUE(unparsed) << entry.path() << " page " << i << " #" << j;
                EXPECT_EQ(describe(document.formHandle(), unparsed.get()),
                          describe(document.formHandle(), loaded.get()))
                    << entry.path() << " page " << i << " #" << j;
            }
        }
    }
    EXPECT_GT(seen, 500);  // the samples hold widgets, links and markup
}

}  // namespace
}  // namespace kivo::pdfium
