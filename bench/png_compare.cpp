// Checks the worker's PNGs against the encoder it used before strips were compressed in parallel:
// a single libpng stream at zlib level 1, unfiltered. Every page of the document is rendered here
// at 150 dpi as the worker renders it (annotations drawn; form fields are not, so use documents
// without a form) and written with that encoder, for its mean size; each page-N.png of `folder`
// (N counted from 1, as `worker_bench --render --keep` leaves them) is decoded and compared pixel
// for pixel with the same page written by that encoder and decoded. Prints `key=value` lines for
// bench/compare_render.sh; figures are printed, never checked.
// usage: png_compare document.pdf folder

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "session/document_bytes.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/session.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kivo;

[[noreturn]] void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

// The worker's encoder until now, as it was. libpng leaves by a long jump, so nothing here may
// need a destructor.
bool writeLikeBefore(std::FILE* file, const std::uint8_t* firstRow, std::uint32_t width, std::uint32_t height,
                     std::size_t stride) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, &onError, &onWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, 1);
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

struct Decoded {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba;
};

// Empty when the file is not a PNG libpng can read.
Decoded decode(const fs::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Decoded decoded;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return decoded;
    image.format = PNG_FORMAT_RGBA;
    decoded.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, decoded.rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        decoded.rgba.clear();
        return decoded;
    }
    decoded.width = image.width;
    decoded.height = image.height;
    return decoded;
}

// Pixels of two decoded images that differ; every pixel when their sizes differ.
std::uint64_t differingPixels(const Decoded& a, const Decoded& b) {
    if (a.width != b.width || a.height != b.height || a.rgba.empty()) {
        return std::max<std::uint64_t>(1, std::uint64_t{a.width} * a.height);
    }
    std::uint64_t differing = 0;
    for (std::size_t i = 0; i < a.rgba.size(); i += 4) {
        differing += a.rgba[i] != b.rgba[i] || a.rgba[i + 1] != b.rgba[i + 1] ||
                     a.rgba[i + 2] != b.rgba[i + 2] || a.rgba[i + 3] != b.rgba[i + 3];
    }
    return differing;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: png_compare document.pdf folder\n");
        return 2;
    }
    const fs::path document = argv[1];
    const fs::path folder = argv[2];
    const fs::path before = folder / "before.png";
    constexpr double dpi150 = 150.0 / 72.0;

    PdfiumRuntime::addUser();
    std::uint64_t beforeBytes = 0;
    std::size_t pages = 0;
    std::size_t compared = 0;
    std::uint64_t comparedPixels = 0;
    std::uint64_t differing = 0;
    {
        std::lock_guard lock(PdfiumRuntime::lock());
        const std::unique_ptr<Session> session =
            Session::load(DocumentBytes::read(document), document, std::nullopt);
        for (const PageInfo& info : session->pages()) {
            OpenPage page = session->loadPage(info.id);
            const auto width =
                static_cast<int>(TileGrid::pixels(pdfium::FPDF_GetPageWidthF(page.get()), dpi150));
            const auto height =
                static_cast<int>(TileGrid::pixels(pdfium::FPDF_GetPageHeightF(page.get()), dpi150));
            pdfium::ScopedBitmap bitmap(pdfium::FPDFBitmap_Create(width, height, 1));
            pdfium::FPDFBitmap_FillRect(bitmap.get(), 0, 0, width, height, 0xFFFFFFFF);
            pdfium::FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, width, height, 0,
                                          pdfium::FPDF_ANNOT | pdfium::FPDF_LCD_TEXT);
            std::FILE* file = std::fopen(before.c_str(), "wbe");
            const bool written =
                file != nullptr &&
                writeLikeBefore(file, pdfium::bitmapPixels(bitmap.get()).data(),
                                static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height),
                                static_cast<std::size_t>(pdfium::FPDFBitmap_GetStride(bitmap.get())));
            if (file == nullptr || std::fclose(file) != 0 || !written) {
                std::fprintf(stderr, "png_compare: could not write %s\n", before.c_str());
                return 1;
            }
            beforeBytes += fs::file_size(before);
            ++pages;
            const fs::path ours = folder / ("page-" + std::to_string(pages) + ".png");
            if (!fs::exists(ours)) continue;
            const Decoded theirs = decode(before);
            ++compared;
            comparedPixels += std::uint64_t{theirs.width} * theirs.height;
            differing += differingPixels(theirs, decode(ours));
        }
    }
    PdfiumRuntime::removeUser();
    fs::remove(before);

    std::printf("before_mean_png_bytes=%.0f\n",
                pages ? static_cast<double>(beforeBytes) / static_cast<double>(pages) : 0);
    std::printf("compared_pages=%zu\n", compared);
    std::printf("compared_pixels=%llu\n", static_cast<unsigned long long>(comparedPixels));
    std::printf("differing_pixels=%llu\n", static_cast<unsigned long long>(differing));
    return 0;
}
