#include "workspace/png_reader.hpp"

#include <malloc.h>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <QColorSpace>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace kivo::PngReader {
namespace {

constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// A chunk is its length and type, its data, then the CRC of type and data.
constexpr std::size_t chunkHead = 8;
constexpr std::size_t chunkFrame = chunkHead + 4;

std::uint32_t bigEndian(const std::uint8_t* at) {
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
}

struct Chunk {
    const std::uint8_t* type;
    const std::uint8_t* data;
    std::uint32_t length;

    bool is(const char (&name)[5]) const { return std::memcmp(type, name, 4) == 0; }
};

// The chunk at `at` (at most `size`) when it lies wholly within the bytes and its CRC matches; `at`
// then moves past it. The length field is the file's word, so it is held against what is left.
std::optional<Chunk> readChunk(const std::uint8_t* bytes, std::size_t size, std::size_t& at) {
    if (size - at < chunkFrame) return std::nullopt;
    const std::uint32_t length = bigEndian(bytes + at);
    if (length > size - at - chunkFrame) return std::nullopt;
    const Chunk chunk{bytes + at + 4, bytes + at + chunkHead, length};
    if (crc32_gzip_refl(0, chunk.type, std::uint64_t{length} + 4) != bigEndian(chunk.data + length)) {
        return std::nullopt;
    }
    at += chunkFrame + length;
    return chunk;
}

// 8 bits a channel, RGBA, deflate, the adaptive filters, not interlaced.
bool isRgbaHeader(const Chunk& chunk) {
    static constexpr std::uint8_t rest[5] = {8, 6, 0, 0, 0};
    return chunk.is("IHDR") && chunk.length == 13 && std::memcmp(chunk.data + 8, rest, sizeof rest) == 0;
}

// RGBA bytes to the native 0xAARRGGBB words of QImage's 32-bit formats, in place; answers the AND of
// every alpha. A plain loop over words, which the compiler vectorises, but only out of line (GCC 12).
[[gnu::noinline]] std::uint32_t toArgb(std::uint32_t* pixels, std::size_t count) {
    std::uint32_t all = ~0u;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t pixel = pixels[i];
        all &= pixel;
        pixels[i] = (pixel & 0xFF00FF00u) | ((pixel >> 16) & 0xFFu) | ((pixel & 0xFFu) << 16);
    }
    return all >> 24;
}

// Where decoded pixels live: blocks that go back to a few kept free ones once no image holds them, and
// are taken again by the next decode of the same size. Memory fresh from the system costs a page fault
// on the first touch of every 4 KiB, which on a machine that hands its memory out lazily costs many times
// the decode itself (a 714 × 1010 page: 2 ms to decode into a used block, 30 ms into a fresh one).
class Blocks {
public:
    // Never destroyed: an image may let its pixels go after static destructors ran.
    static Blocks& shared() {
        static Blocks* const blocks = new Blocks;
        return *blocks;
    }

    // A block of `bytes`, a kept one when one of that size is free; null when out of memory.
    std::uint8_t* take(std::size_t bytes) {
        {
            const std::lock_guard guard(lock_);
            const auto found = std::find_if(free_.begin(), free_.end(),
                                            [&](std::uint8_t* block) { return sizeOf(block) == bytes; });
            if (found != free_.end()) {
                std::uint8_t* block = *found;
                free_.erase(found);
                freeBytes_ -= bytes;
                return block;
            }
        }
        auto* base = static_cast<std::uint8_t*>(std::malloc(sizeof(Header) + bytes));
        if (base == nullptr) return nullptr;
        reinterpret_cast<Header*>(base)->bytes = bytes;
        return base + sizeof(Header);
    }

    void releaseAll() {
        std::vector<std::uint8_t*> dropped;
        {
            const std::lock_guard guard(lock_);
            dropped.swap(free_);
            freeBytes_ = 0;
        }
        for (std::uint8_t* gone : dropped) std::free(gone - sizeof(Header));
        ::malloc_trim(0);
    }

    std::size_t freeBytes() {
        const std::lock_guard guard(lock_);
        return freeBytes_;
    }

    // Any thread. Small blocks go back to the C library, which reuses its own; of the large ones, the
    // latest few are kept.
    void give(std::uint8_t* block) {
        std::vector<std::uint8_t*> dropped;
        if (sizeOf(block) < keptMinimumBytes) {
            dropped.push_back(block);
        } else {
            const std::lock_guard guard(lock_);
            free_.push_back(block);
            freeBytes_ += sizeOf(block);
            while (free_.size() > keptBlocks || freeBytes_ > keptBytes) {
                freeBytes_ -= sizeOf(free_.front());
                dropped.push_back(free_.front());
                free_.erase(free_.begin());
            }
        }
        for (std::uint8_t* gone : dropped) std::free(gone - sizeof(Header));
    }

private:
    // Before every block: its size. As large as malloc's alignment, so the pixels keep it.
    struct alignas(std::max_align_t) Header {
        std::size_t bytes;
    };
    static std::size_t sizeOf(const std::uint8_t* block) {
        return reinterpret_cast<const Header*>(block - sizeof(Header))->bytes;
    }

    // Enough for the page shown and the next one of a run while the cache lets older ones go.
    static constexpr std::size_t keptBlocks = 4;
    static constexpr std::size_t keptBytes = std::size_t{48} << 20;
    static constexpr std::size_t keptMinimumBytes = std::size_t{256} << 10;

    std::mutex lock_;
    std::vector<std::uint8_t*> free_;
    std::size_t freeBytes_ = 0;
};

struct Free {
    void operator()(std::uint8_t* bytes) const { Blocks::shared().give(bytes); }
};

QImage decode(const std::uint8_t* bytes, std::size_t size, std::uint64_t limit) {
    if (size < sizeof signature || std::memcmp(bytes, signature, sizeof signature) != 0) return {};
    std::size_t at = sizeof signature;
    const std::optional<Chunk> header = readChunk(bytes, size, at);
    if (!header || !isRgbaHeader(*header)) return {};
    const std::uint32_t width = bigEndian(header->data);
    const std::uint32_t height = bigEndian(header->data + 4);
    if (width == 0 || height == 0 || std::uint64_t{width} * height > limit / 4) return {};

    std::optional<Chunk> chunk = readChunk(bytes, size, at);
    const bool srgb = chunk && chunk->is("sRGB");
    if (srgb) {
        if (chunk->length != 1 || chunk->data[0] != 0) return {};  // perceptual, as the worker writes it
        chunk = readChunk(bytes, size, at);
    }
    std::vector<std::uint8_t> stream;
    stream.reserve(size);
    for (; chunk && chunk->is("IDAT"); chunk = readChunk(bytes, size, at)) {
        stream.insert(stream.end(), chunk->data, chunk->data + chunk->length);
    }
    if (!chunk || !chunk->is("IEND") || chunk->length != 0 || at != size || stream.empty() ||
        stream.size() > std::numeric_limits<std::uint32_t>::max()) {
        return {};
    }

    // Each row is its filter byte and its pixels. The limit (1 GiB at most) keeps all of them below
    // 2^32 bytes, as isa-l counts, and every side within an int, as QImage wants.
    const std::size_t rowBytes = 1 + std::size_t{4} * width;
    const std::size_t rawBytes = rowBytes * height;
    std::unique_ptr<std::uint8_t, Free> rows(Blocks::shared().take(rawBytes));
    if (!rows) return {};
    const auto state = std::make_unique_for_overwrite<inflate_state>();  // 85 KiB, too much for a stack
    isal_inflate_init(state.get());
    state->crc_flag = ISAL_ZLIB;  // the zlib header and the Adler-32 of the rows are checked
    state->next_in = stream.data();
    state->avail_in = static_cast<std::uint32_t>(stream.size());
    state->next_out = rows.get();
    state->avail_out = static_cast<std::uint32_t>(rawBytes);
    // The stream ends exactly where the last row does: no row short, none over, no bytes after it.
    if (isal_inflate_stateless(state.get()) != ISAL_DECOMP_OK || state->block_state != ISAL_BLOCK_FINISH ||
        state->total_out != rawBytes || state->avail_in != 0) {
        return {};
    }

    // Rows move down over the filter bytes, each in place: row y lands below where row y + 1 starts.
    const std::size_t pixelBytes = rowBytes - 1;
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = rows.get() + rowBytes * y;
        if (row[0] != 0) return {};  // filtered: the general decoder undoes that
        std::memmove(rows.get() + pixelBytes * y, row + 1, pixelBytes);
    }
    const std::uint32_t alpha =
        toArgb(reinterpret_cast<std::uint32_t*>(rows.get()), std::size_t{width} * height);
    // An opaque image paints as a plain copy as RGB32; ARGB32 would be premultiplied on every paint.
    const auto format = alpha == 0xFF ? QImage::Format_RGB32 : QImage::Format_ARGB32;
    QImage image(
        rows.get(), static_cast<int>(width), static_cast<int>(height), static_cast<qsizetype>(pixelBytes),
        format, [](void* kept) { Blocks::shared().give(static_cast<std::uint8_t*>(kept)); }, rows.get());
    if (image.isNull()) return {};
    rows.release();
    if (srgb) image.setColorSpace(QColorSpace::SRgb);
    return image;
}

}  // namespace

QImage decodeRgba(QByteArrayView bytes, std::int64_t limitBytes) {
    // Rows are turned into pixels as little-endian words.
    if constexpr (std::endian::native != std::endian::little) return {};
    try {
        return decode(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                      static_cast<std::size_t>(bytes.size()),
                      static_cast<std::uint64_t>(std::clamp<std::int64_t>(limitBytes, 0, 1LL << 30)));
    } catch (const std::bad_alloc&) {
        return {};
    }
}

void releaseKeptBlocks() { Blocks::shared().releaseAll(); }

std::int64_t keptBytes() { return static_cast<std::int64_t>(Blocks::shared().freeBytes()); }

}  // namespace kivo::PngReader
