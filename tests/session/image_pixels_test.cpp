#include <sys/stat.h>
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include "session/image_pixels.hpp"
#include "failures.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EngineFailure& failure) {
        return testing::describe(failure);
    }
    return "no failure";
}

TEST(ImagePixelsSize, Limits) {
    struct Case {
        int64_t width, height;
        const char* expected;
    };
    const Case cases[] = {
        {1, 64'000'000, "no failure"},
        {64'000'000, 1, "no failure"},
        {8000, 8000, "no failure"},
        {8001, 8000,
         "invalid_argument: That image is 8001 by 8000 pixels, which is too large to add to a page."},
        {0, 10, "invalid_argument: That image is 0 by 10 pixels, which is too large to add to a page."},
        {10, 0, "invalid_argument: That image is 10 by 0 pixels, which is too large to add to a page."},
        {64'000'001, 1,
         "invalid_argument: That image is 64000001 by 1 pixels, which is too large to add to a page."},
        {-5, 3, "invalid_argument: That image is -5 by 3 pixels, which is too large to add to a page."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(failureOf([&] { ImagePixels::checkSize(c.width, c.height); }), c.expected)
            << c.width << "x" << c.height;
}

// Straight alpha comes through untouched: a half-transparent red stays full red at alpha 128.
TEST(ImagePixelsDecode, PngKeepsStraightAlpha) {
    testing::TempDir dir;
    const uint8_t rgba[2 * 2 * 4] = {255, 0, 0, 128, 0, 255, 0, 255, 0, 0, 255, 0, 10, 20, 30, 255};
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 2;
    image.height = 2;
    image.format = PNG_FORMAT_RGBA;
    const auto path = dir.path() / "dot.png";
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, rgba, 0, nullptr));

    const ImagePixels pixels = ImagePixels::bgra(path);
    EXPECT_EQ(pixels.width, 2);
    EXPECT_EQ(pixels.height, 2);
    EXPECT_EQ(pixels.stride, 8);
    const std::vector<uint8_t> expected = {0, 0, 255, 128, 0, 255, 0, 255, 255, 0, 0, 0, 30, 20, 10, 255};
    EXPECT_EQ(pixels.bytes, expected);
}

std::string chunk(const char* type, const std::string& data) {
    std::string out;
    const uint32_t length = static_cast<uint32_t>(data.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(length >> shift));
    const std::string body = std::string(type, 4) + data;
    out += body;
    const uint32_t crc =
        static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size()));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(crc >> shift));
    return out;
}

// The size is judged from the header: a huge image fails before any pixel memory is taken.
TEST(ImagePixelsDecode, HugePngRefusedFromItsHeader) {
    testing::TempDir dir;
    std::string ihdr;
    for (uint32_t side : {10'000u, 7'000u})
        for (int shift = 24; shift >= 0; shift -= 8) ihdr.push_back(static_cast<char>(side >> shift));
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);
    testing::writeFile(dir.path() / "huge.png", std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) +
                                                    chunk("IDAT", "") + chunk("IEND", ""));
    EXPECT_EQ(failureOf([&] { ImagePixels::bgra(dir.path() / "huge.png"); }),
              "invalid_argument: That image is 10000 by 7000 pixels, which is too large to add to a page.");
}

TEST(ImagePixelsDecode, UnreadableFilesNameOnlyTheFile) {
    testing::TempDir dir;
    testing::writeFile(dir.path() / "notes.png", "plain text, not an image");
    testing::writeFile(dir.path() / "cut.jpg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10));
    testing::writeFile(dir.path() / "cut.png", std::string("\x89PNG\r\n\x1a\n", 8));
    for (const char* name : {"logo.png", "notes.png", "cut.jpg", "cut.png"}) {
        EXPECT_EQ(failureOf([&] { ImagePixels::bgra(dir.path() / name); }),
                  std::string("invalid_argument: Could not read image at ") + name + ".")
            << name;
    }
    // Neither a folder nor a FIFO, which would block the open for good, is read.
    ASSERT_EQ(::mkfifo((dir.path() / "pipe.png").c_str(), 0600), 0);
    for (const std::filesystem::path& path : {dir.path(), dir.path() / "pipe.png"}) {
        EXPECT_EQ(failureOf([&] { ImagePixels::bgra(path); }),
                  "file: The image " + path.filename().string() +
                      " is not a regular file, so it was not read. " + "Nothing changed.");
    }
}

TEST(ImagePixelsDecode, SampleImages) {
    struct Case {
        const char* name;
        int width, height;
    };
    for (const Case& c : {Case{"smile.png", 16, 16}, Case{"image.jpg", 300, 200}}) {
        const auto path = testing::corpus(c.name);
        if (path.empty()) GTEST_SKIP() << "sample images absent";
        const ImagePixels pixels = ImagePixels::bgra(path);
        EXPECT_EQ(pixels.width, c.width) << c.name;
        EXPECT_EQ(pixels.height, c.height) << c.name;
        EXPECT_EQ(pixels.bytes.size(), static_cast<size_t>(c.width) * 4 * c.height) << c.name;
        // Opaque sources stay opaque.
        EXPECT_EQ(pixels.bytes[3], 255) << c.name;
    }
}

}  // namespace
}  // namespace kivo
