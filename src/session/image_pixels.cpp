#include "session/image_pixels.hpp"

#include <png.h>
// jpeglib.h needs FILE and size_t declared first.
#include <cstdio>
#include <cstring>
#include <jpeglib.h>

#include <csetjmp>
#include <memory>
#include <string>

#include "core/document_files.hpp"
#include "core/safe_files.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

EngineFailure unreadable(const std::filesystem::path& file) {
    return EngineFailure(FailureCode::invalidArgument,
                         "Could not read image at " + file.filename().string() + ".");
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

ImagePixels allocate(int64_t width, int64_t height) {
    ImagePixels::checkSize(width, height);
    ImagePixels pixels;
    pixels.width = static_cast<int32_t>(width);
    pixels.height = static_cast<int32_t>(height);
    pixels.stride = pixels.width * 4;
    pixels.bytes.assign(static_cast<size_t>(width) * 4 * static_cast<size_t>(height), 0);
    return pixels;
}

// libpng's simplified reader converts palettes, grey, 16-bit and gamma to 8-bit sRGB with straight
// alpha, and reports the size before the pixels are read.
ImagePixels decodePng(const std::filesystem::path& file, std::FILE* stream) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_stdio(&image, stream)) throw unreadable(file);
    struct Guard {
        png_image* image;
        ~Guard() { png_image_free(image); }
    } guard{&image};
    image.format = PNG_FORMAT_BGRA;
    ImagePixels pixels = allocate(image.width, image.height);
    if (!png_image_finish_read(&image, nullptr, pixels.bytes.data(), pixels.stride, nullptr))
        throw unreadable(file);
    return pixels;
}

struct JpegError {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void jpegFail(j_common_ptr info) { longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }
void jpegQuiet(j_common_ptr, int) {}

// Returns false on a decoding error; sizes are reported through `width` and `height` first so
// that the caller's check runs before any pixel memory is taken.
bool decodeJpegInto(std::FILE* stream, jpeg_decompress_struct& info, JpegError& error, ImagePixels& pixels,
                    int64_t& width, int64_t& height, bool& tooLarge) {
    if (setjmp(error.jump) != 0) return false;
    jpeg_stdio_src(&info, stream);
    jpeg_read_header(&info, TRUE);
    width = info.image_width;
    height = info.image_height;
    if (width < 1 || height < 1 || width > ImagePixels::kMaxPixels || height > ImagePixels::kMaxPixels ||
        width * height > ImagePixels::kMaxPixels) {
        tooLarge = true;
        return false;
    }
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    jpeg_start_decompress(&info);
    pixels.width = static_cast<int32_t>(width);
    pixels.height = static_cast<int32_t>(height);
    pixels.stride = pixels.width * 4;
    pixels.bytes.assign(static_cast<size_t>(pixels.stride) * static_cast<size_t>(height), 0);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels.bytes.data() + static_cast<size_t>(info.output_scanline) * pixels.stride;
        jpeg_read_scanlines(&info, &row, 1);
    }
    if (cmyk) {
        // Adobe's CMYK JPEGs store inverted ink values; the naive conversion is enough for stamps.
        const bool inverted = info.saw_Adobe_marker;
        for (size_t i = 0; i < pixels.bytes.size(); i += 4) {
            uint8_t* p = &pixels.bytes[i];
            int c = p[0], m = p[1], y = p[2], k = p[3];
            if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
            p[0] = static_cast<uint8_t>(y * k / 255);
            p[1] = static_cast<uint8_t>(m * k / 255);
            p[2] = static_cast<uint8_t>(c * k / 255);
            p[3] = 255;
        }
    }
    jpeg_finish_decompress(&info);
    return true;
}

ImagePixels decodeJpeg(const std::filesystem::path& file, std::FILE* stream) {
    jpeg_decompress_struct info{};
    JpegError error{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFail;
    error.manager.emit_message = jpegQuiet;
    jpeg_create_decompress(&info);
    ImagePixels pixels;
    int64_t width = 0, height = 0;
    bool tooLarge = false;
    const bool ok = decodeJpegInto(stream, info, error, pixels, width, height, tooLarge);
    jpeg_destroy_decompress(&info);
    if (tooLarge) ImagePixels::checkSize(width, height);
    if (!ok) throw unreadable(file);
    return pixels;
}

}  // namespace

void ImagePixels::checkSize(int64_t width, int64_t height) {
    if (width < 1 || width > kMaxPixels || height < 1 || height > kMaxPixels || width * height > kMaxPixels) {
        throw EngineFailure(FailureCode::invalidArgument,
                            "That image is " + std::to_string(width) + " by " + std::to_string(height) +
                                " pixels, which is too large to add to a page.");
    }
}

ImagePixels ImagePixels::bgra(const std::filesystem::path& file) {
    // Opened once and read through that descriptor only: a FIFO planted under the name must
    // not stall the worker, and a name swapped after the check must not be read instead.
    SafeFiles::ReadableFile opened = DocumentFiles::openForReading(file);
    if (!opened.fd) throw unreadable(file);
    if (!opened.isRegular) {
        throw EngineFailure(FailureCode::file,
                            "The image " + file.filename().string() +
                                " is not a regular file, so it was not read. Nothing changed.");
    }
    File stream(::fdopen(opened.fd.get(), "rb"));
    if (!stream) throw unreadable(file);
    opened.fd.release();
    unsigned char magic[8] = {};
    const size_t got = std::fread(magic, 1, sizeof magic, stream.get());
    std::rewind(stream.get());
    if (got == 8 && png_sig_cmp(magic, 0, 8) == 0) return decodePng(file, stream.get());
    if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF)
        return decodeJpeg(file, stream.get());
    throw unreadable(file);
}

}  // namespace kivo
