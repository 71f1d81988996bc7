// The fast decoder of the worker's PNGs: files built here byte by byte in the worker's shape decode
// to the same pixels as the general decoder, and every damaged or foreign variant is turned down
// without a read outside the bytes, so the general decoder answers for it as before.

#include <QBuffer>
#include <QImageReader>

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <functional>
#include <memory>

#include "scoped_env.hpp"
#include "workspace/page_renders.hpp"
#include "workspace/png_reader.hpp"
#include "workspace/render_decoder.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using Bytes = std::string;

void putBigEndian(Bytes& to, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) to += static_cast<char>(value >> shift);
}

Bytes chunk(const char* type, const Bytes& data) {
    Bytes out;
    putBigEndian(out, static_cast<std::uint32_t>(data.size()));
    const Bytes body = type + data;
    putBigEndian(out, crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size()));
    return out.insert(4, body);
}

Bytes header(std::uint32_t width, std::uint32_t height, std::uint8_t colourType = 6) {
    Bytes data;
    putBigEndian(data, width);
    putBigEndian(data, height);
    return data + Bytes{8, static_cast<char>(colourType), 0, 0, 0};
}

// The rows of `image` as PNG holds them: a filter byte, then R, G, B (and A with 4 `channels`).
// Row `subRow` uses the Sub filter (each byte less the one a pixel to its left); every other row
// none, as the worker writes them.
Bytes rows(const QImage& image, int channels = 4, int subRow = -1) {
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    Bytes out;
    for (int y = 0; y < rgba.height(); ++y) {
        Bytes row;
        for (int x = 0; x < rgba.width(); ++x) {
            row.append(reinterpret_cast<const char*>(rgba.constScanLine(y)) + 4 * x, channels);
        }
        if (y == subRow) {
            for (std::size_t i = row.size() - 1; i >= std::size_t(channels); --i)
                row[i] = char(row[i] - row[i - channels]);
        }
        out += static_cast<char>(y == subRow ? 1 : 0) + row;
    }
    return out;
}

Bytes deflated(const Bytes& raw) {
    uLongf size = compressBound(raw.size());
    Bytes out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
              raw.size(), 1);
    out.resize(size);
    return out;
}

// A file of the worker's shape: IHDR, sRGB, the stream cut into IDATs of `piece` bytes, IEND.
Bytes png(const Bytes& ihdr, const Bytes& stream, std::size_t piece = 1000, const Bytes& after = {}) {
    Bytes out = "\x89PNG\r\n\x1a\n" + chunk("IHDR", ihdr) + chunk("sRGB", Bytes(1, '\0'));
    for (std::size_t at = 0; at < stream.size(); at += piece) out += chunk("IDAT", stream.substr(at, piece));
    return out + after + chunk("IEND", {});
}

QImage generalDecode(const Bytes& bytes) {
    QBuffer buffer;
    buffer.setData(QByteArray::fromStdString(bytes));
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer, "png").read();
}

// Whether `shown` is `expected`, pixel for pixel; both null counts too.
bool samePixels(const QImage& shown, const QImage& expected) {
    if (shown.size() != expected.size()) return false;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            if (shown.pixel(x, y) != expected.pixel(x, y)) return false;
        }
    }
    return true;
}

bool isOpaque(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) != 0xFF) return false;
        }
    }
    return true;
}

QImage pattern(int width, int height, const std::function<QRgb(int, int)>& colour) {
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) image.setPixel(x, y, colour(x, y));
    }
    return image;
}

TEST(PngReaderTest, TheWorkersShapeDecodesLikeTheGeneralDecoderAndAnythingElseGoesToIt) {
    const QImage opaque = pattern(37, 23, [](int x, int y) { return qRgb(x * 7, y * 11, (x * y) & 0xFF); });
    const QImage clear =
        pattern(19, 7, [](int x, int y) { return qRgba(x * 13, y * 29, 200, (x * 37 + y) & 0xFF); });
    const QImage dot = pattern(1, 1, [](int, int) { return qRgb(1, 2, 3); });
    const Bytes ihdr = header(37, 23);
    const Bytes raw = rows(opaque);
    const Bytes stream = deflated(raw);
    const auto flipped = [](Bytes bytes, std::size_t at) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        return bytes;
    };
    // The IDAT's length field says `length`; its CRC is left as it was.
    const auto idatLength = [&](const char* length) {
        return png(ihdr, stream, stream.size()).replace(46, 4, length, 4);
    };
    const struct {
        const char* what;
        Bytes bytes;
        bool fast;
        std::optional<QImage> shows;    // without one, the load answers what the general decoder does
        std::int64_t limit = 64 << 20;  // of the fast decoder; the load's is 64 MiB
    } cases[] = {
        {"opaque, in several IDATs", png(ihdr, stream, 100), true, opaque},
        {"with transparency", png(header(19, 7), deflated(rows(clear))), true, clear},
        {"one pixel", png(header(1, 1), deflated(rows(dot))), true, dot},
        {"one row filtered", png(ihdr, deflated(rows(opaque, 4, 5))), false, opaque},
        {"RGB", png(header(37, 23, 2), deflated(rows(opaque, 3))), false, opaque},
        {"a chunk between IDATs", png(ihdr, stream, 100, chunk("tEXt", Bytes("a\0b", 3))), false, opaque},
        {"IDAT cut short", png(ihdr, stream.substr(0, stream.size() / 2)), false, {}},
        {"IDAT length past the end", idatLength("\x00\x01\x00\x00"), false, {}},
        {"IDAT length 2^32 - 1", idatLength("\xff\xff\xff\xff"), false, {}},
        {"IDAT CRC wrong",
         flipped(png(ihdr, stream, stream.size()), 8 + 25 + 13 + 8 + stream.size()),
         false,
         {}},
        {"wider and higher than 64 MiB", png(header(0x7fffffff, 0x7fffffff), stream), false, {}},
        {"just over 64 MiB", png(header(4096, 4097), stream), false, {}},
        {"at the limit", png(ihdr, stream), true, opaque, 37 * 23 * 4},
        {"a byte over the limit", png(ihdr, stream), false, opaque, 37 * 23 * 4 - 1},
        {"no pixels", png(header(0, 23), stream), false, {}},
        {"a row short", png(ihdr, deflated(raw.substr(0, raw.size() - 1))), false, {}},
        {"a row over", png(ihdr, deflated(raw + raw.substr(0, 1 + 37 * 4))), false, {}},
        {"bytes after the stream", png(ihdr, stream + Bytes(2, '\0'), 100), false, {}},
        {"bad Adler-32", png(ihdr, flipped(stream, stream.size() - 1)), false, {}},
        {"bytes after IEND", png(ihdr, stream) + "junk", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Exactly as many bytes as the file, so the sanitizers see any read past them.
        const auto exact = std::make_unique<char[]>(c.bytes.size());
        std::memcpy(exact.get(), c.bytes.data(), c.bytes.size());
        const QImage fast = PngReader::decodeRgba(QByteArrayView(exact.get(), c.bytes.size()), c.limit);
        EXPECT_EQ(!fast.isNull(), c.fast);
        if (c.fast) {
            EXPECT_TRUE(samePixels(fast, generalDecode(c.bytes)));
            EXPECT_EQ(fast.format(), isOpaque(*c.shows) ? QImage::Format_RGB32 : QImage::Format_ARGB32);
        }

        const testing::ShortTempDir folder;
        const auto path = folder.path() / "render.png";
        std::ofstream(path, std::ios::binary) << c.bytes;
        const std::optional<QImage> shown =
            PageRenders::loadPreview(path.string(), std::nullopt, std::nullopt, 1);
        EXPECT_TRUE(samePixels(shown.value_or(QImage()), c.shows.value_or(generalDecode(c.bytes))));
    }
}

// A page's pixels, once no image holds them, are taken by the next page of the same size, so a run of pages
// needs no memory fresh from the system: the next page shows its own pixels in them, and a page of another
// size, or an image still held, never gets them. The four let go last are kept.
TEST(PngReaderTest, ThePixelsOfAPageLetGoAreTakenByTheNextPageOfItsSize) {
    const auto file = [](int width, int height, QRgb colour) {
        return png(header(width, height),
                   deflated(rows(pattern(width, height, [&](int, int) { return colour; }))));
    };
    const auto decode = [](const Bytes& bytes) {
        return PngReader::decodeRgba(QByteArray::fromStdString(bytes), 64 << 20);
    };
    const Bytes red = file(400, 300, qRgb(255, 0, 0));
    const Bytes blue = file(400, 300, qRgb(0, 0, 255));

    std::vector<const uchar*> letGo;
    {
        std::vector<QImage> pages;
        for (int i = 0; i < 6; ++i) {
            pages.push_back(decode(red));
            ASSERT_FALSE(pages.back().isNull());
            letGo.push_back(pages.back().constBits());
        }
    }
    const std::vector<const uchar*> kept(letGo.end() - 4, letGo.end());
    const QImage held = decode(red);
    const QImage wider = decode(file(401, 300, qRgb(0, 255, 0)));
    EXPECT_EQ(std::count(kept.begin(), kept.end(), wider.constBits()), 0)
        << "another size takes a block of its own";
    std::vector<QImage> next;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        next.push_back(decode(blue));
        EXPECT_EQ(std::count(kept.begin(), kept.end(), next.back().constBits()), 1) << "a kept block";
        EXPECT_NE(next.back().constBits(), held.constBits());
        EXPECT_TRUE(samePixels(next.back(), generalDecode(blue)))
            << "its own pixels, none of the page before";
    }
    EXPECT_TRUE(samePixels(held, generalDecode(red))) << "the image still held keeps its pixels";
    EXPECT_NE(next[0].constBits(), next[1].constBits());
    EXPECT_NE(next[1].constBits(), next[2].constBits());
}

// The blocks kept for the next page go back to the system once decoding has stopped for a while: after a
// burst of pages, none is kept.
TEST(PngReaderTest, TheBlocksKeptForTheNextPageGoBackOnceDecodingStops) {
    const QImage page = pattern(400, 300, [](int x, int y) { return qRgb(x % 256, y % 256, 7); });
    const QByteArray file = QByteArray::fromStdString(png(header(400, 300), deflated(rows(page))));
    QObject context;
    RenderDecoder decoder(&context);
    int decoded = 0;
    for (int i = 0; i < 6; ++i) {
        decoder.unpack(file, 1.0,
                       [&](std::optional<QImage> image) { decoded += image && samePixels(*image, page); });
    }
    ASSERT_TRUE(testing::waitUntil([&] { return decoded == 6; }));
    EXPECT_GE(PngReader::keptBytes(), 400 * 300 * 4) << "the pages let go are kept for the next";
    EXPECT_TRUE(testing::waitUntil([] { return PngReader::keptBytes() == 0; }));
}

}  // namespace
}  // namespace kivo
