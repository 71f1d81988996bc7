#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "pdfium_fixture.hpp"

namespace kivo::pdfium {
namespace {

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
        {"no image", false, true, 2, 2, 8, false},
        {"no pixels", true, false, 2, 2, 8, false},
        {"zero width", true, true, 0, 2, 8, false},
        {"zero height", true, true, 2, 0, 8, false},
        {"negative width", true, true, -2, 2, 8, false},
        {"stride below width x 4", true, true, 2, 2, 7, false},
        {"exact stride", true, true, 2, 2, 8, true},
        {"padded stride", true, true, 2, 2, 24, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(setImageBGRA(c.hasImage ? image.get() : FPDF_PAGEOBJECT{},
                               c.hasPixels ? pixels.data() : nullptr, c.width, c.height, c.stride),
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
