// Renders every page of a document to PNG at 150 dpi and extracts the text of every page through
// a document session, reporting pages per second; and times the PNG encoder alone at a few
// compression levels on one rendered page. The document is $KIVO_BENCH_PDF, else the shared
// sample of 117 pages.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "engine/document_bytes.hpp"
#include "engine/pdfium_runtime.hpp"
#include "engine/png_writer.hpp"
#include "engine/session.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kivo;

fs::path benchPath() {
    if (const char* chosen = std::getenv("KIVO_BENCH_PDF")) return chosen;
    return fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf";
}

std::unique_ptr<Session>& sessionSlot() {
    static std::unique_ptr<Session> session;
    return session;
}

// One session for the whole run, opened on first use with the PDFium lock held.
Session& benchSession() {
    std::unique_ptr<Session>& session = sessionSlot();
    if (!session) {
        const fs::path path = benchPath();
        if (!fs::exists(path)) {
            std::fprintf(stderr, "session_bench: %s not found\n", path.c_str());
            std::exit(2);
        }
        PdfiumRuntime::addUser();
        std::lock_guard lock(PdfiumRuntime::lock());
        session = Session::load(DocumentBytes::read(path), path.string(), std::nullopt);
    }
    return *session;
}

fs::path scratchFolder() {
    static const fs::path folder = [] {
        fs::path f = fs::temp_directory_path() / ("kivo-session-bench-" + std::to_string(::getpid()));
        fs::create_directories(f);
        return f;
    }();
    return folder;
}

constexpr double dpi150 = 150.0 / 72.0;

void BM_RenderAllPagesToPng(benchmark::State& state) {
    Session& session = benchSession();
    std::lock_guard lock(PdfiumRuntime::lock());
    const fs::path png = scratchFolder() / "page.png";
    std::int64_t pages = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        for (const PageInfo& page : session.pages()) {
            const Session::PixelSize size = session.renderTiles(page.id, dpi150, {}, true);
            RenderTile whole;
            whole.width = size.width;
            whole.height = size.height;
            whole.pngPath = png.string();
            session.renderTiles(page.id, dpi150, {whole}, true);
            bytes += static_cast<std::int64_t>(fs::file_size(png));
            fs::remove(png);  // as a client does once it has loaded the render
        }
        pages += static_cast<std::int64_t>(session.pages().size());
    }
    state.counters["pages_per_s"] = benchmark::Counter(static_cast<double>(pages), benchmark::Counter::kIsRate);
    state.counters["KiB_per_page"] = pages ? static_cast<double>(bytes) / 1024.0 / static_cast<double>(pages) : 0;
}

void BM_ExtractTextOfAllPages(benchmark::State& state) {
    Session& session = benchSession();
    std::lock_guard lock(PdfiumRuntime::lock());
    std::int64_t pages = 0;
    for (auto _ : state) {
        for (const PageInfo& page : session.pages()) {
            Session::ExtractedText text = session.extractText(page.id);
            benchmark::DoNotOptimize(text.chars.data());
        }
        pages += static_cast<std::int64_t>(session.pages().size());
    }
    state.counters["pages_per_s"] = benchmark::Counter(static_cast<double>(pages), benchmark::Counter::kIsRate);
}

// The encoder alone, on the BGRA pixels of the document's first page at 150 dpi.
void BM_EncodePng(benchmark::State& state) {
    static const std::vector<std::uint8_t> pixels = [] {
        Session& session = benchSession();
        std::lock_guard lock(PdfiumRuntime::lock());
        OpenPage page = session.loadPage(session.pages()[0].id);
        const std::int64_t width = TileGrid::pixels(pdfium::FPDF_GetPageWidthF(page.get()), dpi150);
        const std::int64_t height = TileGrid::pixels(pdfium::FPDF_GetPageHeightF(page.get()), dpi150);
        pdfium::ScopedBitmap bitmap(pdfium::FPDFBitmap_Create(static_cast<int>(width), static_cast<int>(height), 1));
        pdfium::FPDFBitmap_FillRect(bitmap.get(), 0, 0, static_cast<int>(width), static_cast<int>(height), 0xFFFFFFFF);
        pdfium::FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, static_cast<int>(width),
                                      static_cast<int>(height), 0, pdfium::FPDF_ANNOT | pdfium::FPDF_LCD_TEXT);
        const std::span<std::uint8_t> view = pdfium::bitmapPixels(bitmap.get());
        std::vector<std::uint8_t> copy(view.begin(), view.end());
        copy.resize(copy.size() + 2 * sizeof(std::uint32_t));
        const std::uint32_t dims[2] = {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
        std::memcpy(copy.data() + view.size(), dims, sizeof dims);
        return copy;
    }();
    std::uint32_t dims[2];
    std::memcpy(dims, pixels.data() + pixels.size() - sizeof dims, sizeof dims);
    const fs::path png = scratchFolder() / "encoded.png";
    const int level = static_cast<int>(state.range(0));
    for (auto _ : state) PngWriter::writeBgra(png, pixels.data(), dims[0], dims[1], dims[0] * 4, level);
    state.counters["KiB"] = static_cast<double>(fs::file_size(png)) / 1024.0;
    state.counters["Mpx_per_s"] = benchmark::Counter(static_cast<double>(dims[0]) * dims[1] * state.iterations() / 1e6,
                                                     benchmark::Counter::kIsRate);
    fs::remove(png);
}

BENCHMARK(BM_RenderAllPagesToPng)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_ExtractTextOfAllPages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_EncodePng)->Arg(1)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (sessionSlot()) {
        {
            std::lock_guard lock(PdfiumRuntime::lock());
            sessionSlot().reset();
        }
        PdfiumRuntime::removeUser();
    }
    std::error_code ignored;
    fs::remove_all(scratchFolder(), ignored);
    return 0;
}
