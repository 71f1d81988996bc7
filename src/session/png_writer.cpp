#include "session/png_writer.hpp"

#include <png.h>

#include <cstdio>

#include "pdfium/engine_failure.hpp"

namespace kivo::PngWriter {
namespace {

[[noreturn]] void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

// libpng reports errors by a long jump back here, so nothing that needs a destructor may live
// in this function.
bool encode(std::FILE* file, const std::uint8_t* firstRow, std::uint32_t width, std::uint32_t height,
            std::size_t stride, int compressionLevel) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, &onError, &onWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, compressionLevel);
    // Rendered pages are mostly flat runs of paper colour, which deflate well unfiltered:
    // measured on an A4 page at 150 dpi, no filter at level 1 was both the fastest and smaller
    // than Sub, Up or adaptive filtering at the same level.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    png_set_bgr(png);
    for (std::uint32_t y = 0; y < height; ++y) {
        png_write_row(png, const_cast<png_bytep>(firstRow + static_cast<std::size_t>(y) * stride));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

void writeBgra(const std::filesystem::path& path, const std::uint8_t* firstRow, std::uint32_t width,
               std::uint32_t height, std::size_t stride, int compressionLevel) {
    std::FILE* file = std::fopen(path.c_str(), "wbe");
    if (file == nullptr) throw EngineFailure("render_failed", "Could not create PNG writer.");
    const bool encoded = encode(file, firstRow, width, height, stride, compressionLevel);
    const bool closed = std::fclose(file) == 0;
    if (!encoded || !closed) {
        std::remove(path.c_str());
        throw EngineFailure("render_failed", "Could not write PNG.");
    }
}

}  // namespace kivo::PngWriter
