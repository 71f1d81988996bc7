#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace kivo::PngWriter {

// Rendered pages are read once by a client and deleted, so speed matters more than size.
inline constexpr int defaultCompressionLevel = 1;

// Writes `height` rows of `width` BGRA pixels (straight alpha), `stride` bytes apart, as an
// 8-bit RGBA PNG tagged sRGB, straight from the given memory. Fails with "render_failed"; a
// partly written file is removed.
void writeBgra(const std::filesystem::path& path, const std::uint8_t* firstRow, std::uint32_t width,
               std::uint32_t height, std::size_t stride, int compressionLevel = defaultCompressionLevel);

}  // namespace kivo::PngWriter
