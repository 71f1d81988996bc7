#include "session/png_writer.hpp"

#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <random>

#include "session_test.hpp"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

// BGRA pixels, `stride` bytes a row (at least 4 x width).
struct Image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    std::vector<std::uint8_t> bgra;

    const std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) const { return &bgra[y * stride + x * 4]; }
};

enum class Fill { noise, paper, translucent };

// Noise does not compress (stored blocks); paper is white with a few dark marks, as a page is;
// translucent varies alpha, which must come back straight, not premultiplied.
Image makeImage(std::uint32_t width, std::uint32_t height, Fill fill, std::size_t padding = 0) {
    Image image{width, height, width * std::size_t{4} + padding, {}};
    image.bgra.assign(image.stride * height, 0xEE);
    std::mt19937 random(width * 7919 + height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* p = &image.bgra[y * image.stride + x * 4];
            switch (fill) {
                case Fill::noise:
                    for (int c = 0; c < 4; ++c) p[c] = static_cast<std::uint8_t>(random());
                    break;
                case Fill::paper: {
                    const bool mark = (x / 7 + y / 5) % 23 == 0;
                    p[0] = mark ? 10 : 255;
                    p[1] = mark ? 40 : 255;
                    p[2] = mark ? 90 : 255;
                    p[3] = 255;
                    break;
                }
                case Fill::translucent:
                    p[0] = static_cast<std::uint8_t>(x);
                    p[1] = static_cast<std::uint8_t>(y);
                    p[2] = static_cast<std::uint8_t>(x + y);
                    p[3] = static_cast<std::uint8_t>(x * 3 + y);
                    break;
            }
        }
    }
    return image;
}

// The rows as the PNG holds them before deflate: filter byte 0, then RGBA.
std::string filteredRows(const Image& image) {
    std::string rows;
    for (std::uint32_t y = 0; y < image.height; ++y) {
        rows.push_back('\0');
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const std::uint8_t* p = image.pixel(x, y);
            for (int c : {2, 1, 0, 3}) rows.push_back(static_cast<char>(p[c]));
        }
    }
    return rows;
}

void write(const fs::path& path, const Image& image) {
    PngWriter::writeBgra(path, image.bgra.data(), image.width, image.height, image.stride);
}

std::uint32_t bigEndian(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

struct Chunk {
    std::string type;
    std::string data;
    bool crcMatches = false;
};

std::vector<Chunk> chunksOf(const std::string& png) {
    std::vector<Chunk> chunks;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t length = bigEndian(png, at);
        const std::string typeAndData = png.substr(at + 4, 4 + length);
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(typeAndData.data()), typeAndData.size());
        chunks.push_back(
            {typeAndData.substr(0, 4), typeAndData.substr(4), crc == bigEndian(png, at + 8 + length)});
        at += 12 + length;
    }
    return chunks;
}

// Inflates a zlib stream whose content should be `expected`; Z_OK only when it inflates to
// exactly that and its Adler-32 matches.
int inflateTo(const std::string& stream, const std::string& expected) {
    std::string out(expected.size() + 1, '\0');
    uLongf length = out.size();
    const int status = uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                                  reinterpret_cast<const Bytef*>(stream.data()), stream.size());
    if (status != Z_OK) return status;
    return out.substr(0, length) == expected ? Z_OK : Z_DATA_ERROR;
}

TEST(PngWriter, DecodesToExactlyThePixelsGiven) {
    const TempDir dir;
    struct Case {
        const char* name;
        Image image;
    };
    const Case cases[] = {
        {"one pixel", makeImage(1, 1, Fill::translucent)},
        {"one column", makeImage(1, 3000, Fill::paper)},
        {"one row", makeImage(3000, 1, Fill::noise)},
        {"rows with padding", makeImage(37, 41, Fill::translucent, 12)},
        {"a page of strips", makeImage(1240, 1754, Fill::paper)},
        {"strips of noise", makeImage(700, 900, Fill::noise)},
    };
    for (const Case& c : cases) {
        const fs::path png = dir.path() / "out.png";
        write(png, c.image);
        const DecodedPng decoded = decodePng(png);
        ASSERT_EQ(decoded.width, c.image.width) << c.name;
        ASSERT_EQ(decoded.height, c.image.height) << c.name;
        for (std::uint32_t y = 0; y < c.image.height; ++y) {
            for (std::uint32_t x = 0; x < c.image.width; ++x) {
                const std::uint8_t* want = c.image.pixel(x, y);
                const std::uint8_t* got = decoded.pixel(x, y);
                ASSERT_TRUE(got[0] == want[2] && got[1] == want[1] && got[2] == want[0] && got[3] == want[3])
                    << c.name << " at " << x << "," << y;
            }
        }
        const std::vector<Chunk> chunks = chunksOf(readFile(png));
        ASSERT_GE(chunks.size(), 4u) << c.name;
        for (const Chunk& chunk : chunks) EXPECT_TRUE(chunk.crcMatches) << c.name << ": " << chunk.type;
        EXPECT_EQ(chunks.front().type, "IHDR") << c.name;
        EXPECT_EQ(chunks.front().data.substr(8), std::string("\x08\x06\x00\x00\x00", 5)) << c.name;
        EXPECT_EQ(chunks[1].type, "sRGB") << c.name;
        EXPECT_EQ(chunks.back().type, "IEND") << c.name;
    }
}

// The strips are separate IDAT chunks; together they must be one zlib stream that a decoder
// checks end to end.
TEST(PngWriter, StripsMakeOneCheckedZlibStream) {
    const TempDir dir;
    const Image image = makeImage(1240, 1754, Fill::paper);
    write(dir.path() / "page.png", image);
    std::vector<std::string> strips;
    for (const Chunk& chunk : chunksOf(readFile(dir.path() / "page.png"))) {
        if (chunk.type == "IDAT") strips.push_back(chunk.data);
    }
    ASSERT_GE(strips.size(), 2u);
    for (std::size_t i = 0; i + 1 < strips.size(); ++i) {
        // A full flush ends on an empty stored block, so the next strip starts on a byte boundary.
        EXPECT_EQ(strips[i].substr(strips[i].size() - 4), std::string("\x00\x00\xFF\xFF", 4))
            << "strip " << i;
    }
    const auto joined = [](const std::vector<std::string>& parts) {
        std::string stream;
        for (const std::string& part : parts) stream += part;
        return stream;
    };
    const std::string expected = filteredRows(image);
    ASSERT_EQ(inflateTo(joined(strips), expected), Z_OK);

    struct Case {
        const char* name;
        std::function<void(std::vector<std::string>&)> damage;
    };
    const Case cases[] = {
        {"wrong Adler-32", [](auto& s) { s.back().back() ^= 1; }},
        {"first strip one byte short", [](auto& s) { s.front().pop_back(); }},
        {"middle strip cut in half", [](auto& s) { s[1].resize(s[1].size() / 2); }},
        {"a strip missing", [](auto& s) { s.erase(s.begin() + 1); }},
        {"strips swapped", [](auto& s) { std::swap(s[1], s[2]); }},
    };
    for (const Case& c : cases) {
        std::vector<std::string> damaged = strips;
        c.damage(damaged);
        EXPECT_NE(inflateTo(joined(damaged), expected), Z_OK) << c.name;
    }
}

TEST(PngWriter, FailuresNameTheStepAndLeaveNoFile) {
    const TempDir dir;
    const Image image = makeImage(20, 20, Fill::paper);
    fs::create_directory(dir.path() / "folder.png");
    // Nothing else standing at the path is written into: a pipe nobody reads would hold the worker.
    ASSERT_EQ(::mkfifo((dir.path() / "pipe.png").c_str(), 0600), 0);
    writeFile(dir.path() / "kept.txt", "kept");
    fs::create_symlink(dir.path() / "kept.txt", dir.path() / "link.png");
    struct Case {
        const char* name;
        fs::path path;
        std::uint32_t width;
        const char* message;
    };
    const Case cases[] = {
        {"missing folder", dir.path() / "missing" / "t.png", 20, "Could not create PNG writer."},
        {"a folder", dir.path() / "folder.png", 20, "Could not create PNG writer."},
        {"no columns", dir.path() / "empty.png", 0, "Could not write PNG."},
        {"a named pipe", dir.path() / "pipe.png", 20, "Could not create PNG writer."},
        {"a link", dir.path() / "link.png", 20, "Could not create PNG writer."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            failureOf([&] { PngWriter::writeBgra(c.path, image.bgra.data(), c.width, 20, image.stride); }),
            EngineFailure(FailureCode::renderFailed, c.message))
            << c.name;
        EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(c.path))) << c.name;
    }
    EXPECT_TRUE(fs::is_fifo(dir.path() / "pipe.png"));
    EXPECT_EQ(readFile(dir.path() / "kept.txt"), "kept");
    EXPECT_TRUE(fs::is_directory(dir.path() / "folder.png"));
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));

    // A good file of the same batch is still written, and the failure is the first bad file's.
    PngWriter::Batch batch;
    batch.add(dir.path() / "good.png", image.bgra.data(), 20, 20, image.stride);
    batch.add(dir.path() / "folder.png", image.bgra.data(), 20, 20, image.stride);
    EXPECT_EQ(failureOf([&] { batch.finish(); }),
              EngineFailure(FailureCode::renderFailed, "Could not create PNG writer."));
    EXPECT_EQ(decodePng(dir.path() / "good.png").width, 20u);
}

TEST(PngWriter, TheLaterOfTwoFilesWithOnePathWins) {
    const TempDir dir;
    const fs::path png = dir.path() / "same.png";
    const Image first = makeImage(1240, 1754, Fill::paper);
    const Image second = makeImage(300, 200, Fill::translucent);
    for (int round = 0; round < 5; ++round) {
        PngWriter::Batch batch;
        PngWriter::PendingCopy a =
            batch.start(png, first.bgra.data(), first.width, first.height, first.stride);
        // Spelt differently, the same file.
        PngWriter::PendingCopy b = batch.start(dir.path() / "." / "same.png", second.bgra.data(),
                                               second.width, second.height, second.stride);
        a.wait();
        b.wait();
        batch.finish();
        EXPECT_EQ(decodePng(png).width, 300u) << "round " << round;
    }
}

// Strips reuse the memory of earlier ones: a file written over spare blocks left by a larger image
// of noise, or a smaller one, is byte for byte the file written with no spare block at all.
TEST(PngWriter, StripsOverSpareBlocksWriteWhatFreshOnesWrite) {
    const TempDir dir;
    const Image images[] = {
        makeImage(1275, 1650, Fill::paper),      // a page at 150 dpi: strips over a megabyte
        makeImage(700, 900, Fill::translucent),  // smaller strips, over larger spare blocks
        makeImage(1280, 1660, Fill::noise),      // slightly larger strips than the page's
        makeImage(2000, 2600, Fill::paper),
    };
    const Image before = makeImage(1300, 1700, Fill::noise);
    for (const Image& image : images) {
        SCOPED_TRACE(std::to_string(image.width) + "x" + std::to_string(image.height));
        PngWriter::dropSpareBlocks();
        ASSERT_EQ(PngWriter::spareBlockBytes(), 0u);
        write(dir.path() / "fresh.png", image);
        write(dir.path() / "noise.png", before);
        EXPECT_GT(PngWriter::spareBlockBytes(), 0u) << "nothing kept to reuse";
        write(dir.path() / "reused.png", image);
        EXPECT_EQ(readFile(dir.path() / "reused.png"), readFile(dir.path() / "fresh.png"));
        EXPECT_LE(PngWriter::spareBlockBytes(), std::size_t{48} << 20);
    }
    PngWriter::dropSpareBlocks();
    EXPECT_EQ(PngWriter::spareBlockBytes(), 0u);
}

}  // namespace
}  // namespace kivo::testing
