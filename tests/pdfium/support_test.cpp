#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include "pdfium/saved_trailer.hpp"

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

// What a mending writer leaves in the file and out of it for `save` cut into `blocks`, with the known
// start's last table told or searched for.
struct Written {
    std::string file;
    std::size_t leftOut = 0;
    bool ok = false;
    // The most the writer held back at once: how it got there, not what it wrote.
    std::size_t mostHeld = 0;
    bool operator==(const Written& o) const { return file == o.file && leftOut == o.leftOut && ok == o.ok; }
};

Written writeMending(const std::string& save, const std::vector<std::size_t>& blocks,
                     const std::string& known, std::size_t knownLength, bool told) {
    std::FILE* stream = std::tmpfile();
    KnownStart start{std::span(reinterpret_cast<const uint8_t*>(known.data()), known.size()), knownLength};
    if (told) start.lastTable = [&known] { return SavedTrailer::lastTableStart(known); };
    FileWriter writer{stream, true, SavedTrailer::Mending{false, true}, &start};
    Written out;
    out.ok = true;
    std::size_t at = 0;
    for (const std::size_t size : blocks) {
        const std::size_t n = std::min(size, save.size() - at);
        if (n == 0) break;
        out.ok = writer.write(reinterpret_cast<const uint8_t*>(save.data() + at), n) && out.ok;
        out.mostHeld = std::max(out.mostHeld, writer.held.size());
        at += n;
    }
    out.ok = writer.finish() && out.ok;
    std::fflush(stream);
    std::rewind(stream);
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream))
        out.file.push_back(static_cast<char>(c));
    std::fclose(stream);
    out.leftOut = start.length;
    return out;
}

// Telling the writer where the known start's last table is changes nothing it writes: the search
// it then skips is the oracle, over seeded saves with tables before, inside and after the known
// start, keywords cut by block ends, and known starts the save departs from, the last keyword's
// bytes among them.
TEST(WriteBlock, AKnownLastTableWritesWhatTheSearchWould) {
    const std::string table =
        "\nxref\r\n0 1\r\n0000000000 65535 f\r\ntrailer\r\n<</Info 3 0 R/Root 1 0 R/Size 4>>\r\n"
        "startxref\r\n9\r\n%%EOF\r\n";
    const std::string parts[] = {table,
                                 "1 0 obj\r\n<</Type/Catalog>>\r\nendobj\r\n",
                                 "\nxref\r",
                                 "xref\r\n",
                                 std::string(5000, 'q'),
                                 "stream\r\n\x01\x02\nx\r\nendstream"};
    struct Case {
        std::string save;
        std::vector<std::size_t> blocks;
        std::string known;
        std::size_t knownLength;
    };
    std::vector<Case> cases;
    // A first block that ends around the last keyword's end, with the known start ending there or the
    // save departing at the keyword's last byte.
    const std::string before = "%PDF-1.7\r\n" + std::string(3000, 'q');
    const std::string save = before + table;
    for (std::size_t cut = before.size() + 5; cut <= before.size() + 8; ++cut) {
        cases.push_back({save, {cut, save.size()}, save.substr(0, cut), cut});
        cases.push_back({save, {cut, save.size()}, before + "\nxref\r!" + std::string(500, 'q'), cut});
    }
    std::mt19937 random(42);
    const auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    for (int round = 0; round < 400; ++round) {
        Case c;
        for (std::size_t k = pick(12); k > 0; --k) c.known += parts[pick(std::size(parts))];
        c.save = c.known;
        for (std::size_t k = pick(4); k > 0; --k) c.save += parts[pick(std::size(parts))];
        if (pick(2) == 0) c.save += table;
        // The save departs anywhere, the last keyword's bytes included.
        const std::size_t lastTable = SavedTrailer::lastTableStart(c.known);
        if (!c.known.empty() && pick(4) == 0) {
            const std::size_t at = lastTable != std::string::npos && pick(2) == 0 ? lastTable - 1 + pick(7)
                                                                                  : pick(c.known.size());
            c.known[at] ^= 1;
        }
        c.knownLength = c.known.empty() ? 0 : pick(c.known.size() + 1);
        for (std::size_t total = 0; total < c.save.size();) {
            const std::size_t size = pick(3) == 0 ? 1 + pick(8) : 1 + pick(4096);
            c.blocks.push_back(size);
            total += size;
        }
        cases.push_back(std::move(c));
    }
    int heldLess = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Written searched = writeMending(c.save, c.blocks, c.known, c.knownLength, false);
        const Written told = writeMending(c.save, c.blocks, c.known, c.knownLength, true);
        ASSERT_EQ(told, searched) << "case " << i;
        heldLess += told.mostHeld < searched.mostHeld;
    }
    // Where the search held bytes back after an earlier keyword, the writer told passed them on.
    EXPECT_GT(heldLess, 10);
}

}  // namespace
}  // namespace kivo::pdfium
