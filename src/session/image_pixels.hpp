#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace kivo {

// An image decoded for a stamp: `height` rows of `stride` bytes, top row first, each pixel in
// memory order blue, green, red, alpha. Alpha is straight, not premultiplied: PDFium's BGRA
// bitmaps are straight, and premultiplied pixels would darken every soft edge of a signature.
struct ImagePixels {
    std::vector<uint8_t> bytes;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;

    // At most this many pixels, so the buffer stays below 256,000,000 bytes.
    static constexpr int64_t kMaxPixels = 64'000'000;

    // Decodes the first frame of a PNG or JPEG file (recognised by its content, not its name).
    // Fails with `invalidArgument` for an unreadable file, an unknown format or an image too
    // large; the size is checked from the header before any pixel memory is taken.
    static ImagePixels bgra(const std::filesystem::path& file);

    // The size check on its own: fails with the "too large" sentence unless both sides are 1 to
    // 64,000,000 and their product is at most 64,000,000.
    static void checkSize(int64_t width, int64_t height);
};

}  // namespace kivo
