// Renders every page of a document at 150 dpi into BGRA bitmaps and reports pages per second.
// The document is $KIVO_BENCH_PDF, else the shared sample of 117 pages, else a generated one.
// Both ways of handing a document to PDFium are measured: bytes read on demand from the host,
// and a copy inside the module's memory.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"

namespace {

using namespace kivo::pdfium;

std::shared_ptr<std::string> benchDocument() {
    static std::shared_ptr<std::string> bytes = [] {
        std::filesystem::path path;
        if (const char* chosen = std::getenv("KIVO_BENCH_PDF")) path = chosen;
        else path = std::filesystem::path(KIVO_CORPUS_DIR) / "geotopo.pdf";
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "render_bench: %s not found\n", path.c_str());
            std::exit(2);
        }
        return std::make_shared<std::string>(std::istreambuf_iterator<char>(in),
                                             std::istreambuf_iterator<char>());
    }();
    return bytes;
}

void renderAll(benchmark::State& state, Document::Source source) {
    static bool initialised = (kivo::pdfium::initLibrary(), true);
    (void)initialised;
    auto bytes = benchDocument();
    const std::span<const uint8_t> view(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size());
    int64_t pages = 0;
    for (auto _ : state) {
        Document document = Document::load(view, bytes, nullptr, source);
        if (!document) {
            state.SkipWithError("PDFium could not open the document");
            return;
        }
        const int count = FPDF_GetPageCount(document.get());
        for (int i = 0; i < count; ++i) {
            ScopedPage page(FPDF_LoadPage(document.get(), i));
            const int width = static_cast<int>(FPDF_GetPageWidthF(page.get()) * 150 / 72 + 0.5);
            const int height = static_cast<int>(FPDF_GetPageHeightF(page.get()) * 150 / 72 + 0.5);
            ScopedBitmap bitmap(FPDFBitmap_Create(width, height, 1));
            FPDFBitmap_FillRect(bitmap.get(), 0, 0, width, height, 0xFFFFFFFF);
            FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, width, height, 0, FPDF_ANNOT);
            benchmark::DoNotOptimize(bitmapPixels(bitmap.get()).data());
        }
        pages += count;
    }
    state.counters["pages_per_s"] =
        benchmark::Counter(static_cast<double>(pages), benchmark::Counter::kIsRate);
    state.counters["module_MiB"] = static_cast<double>(module::memorySize()) / (1024.0 * 1024.0);
}

void BM_RenderOnDemand(benchmark::State& state) { renderAll(state, Document::Source::OnDemand); }
void BM_RenderModuleCopy(benchmark::State& state) { renderAll(state, Document::Source::ModuleCopy); }

BENCHMARK(BM_RenderOnDemand)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RenderModuleCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
