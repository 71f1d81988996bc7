// Times what the worker does for a person through a document session, on $KIVO_BENCH_PDF, else
// the shared sample of 117 pages: opening, the census of a fresh revision, rendering every page
// to PNG at 150 dpi, the text of every page, a search, and one undo checkpoint; the PNG encoder
// alone at a few compression levels on one rendered page; and two edits: filling one text field
// ($KIVO_BENCH_FORM_PDF, else the shared pdflatex form) and merging the document into itself; and
// the stages of one highlight and its undo as the engine frames them, to show where an edit's
// round trip goes. Figures are printed, never checked.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "session/document_bytes.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/png_writer.hpp"
#include "engine/recovery_store.hpp"
#include "session/session.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kivo;

fs::path chosenPath(const char* variable, const char* sample) {
    if (const char* chosen = std::getenv(variable)) return chosen;
    return fs::path(KIVO_CORPUS_DIR) / sample;
}

fs::path benchPath() { return chosenPath("KIVO_BENCH_PDF", "geotopo.pdf"); }
fs::path formPath() { return chosenPath("KIVO_BENCH_FORM_PDF", "pdflatex-forms.pdf"); }

DocumentBytes::Shared readOrExit(const fs::path& path) {
    if (!fs::exists(path)) {
        std::fprintf(stderr, "session_bench: %s not found\n", path.c_str());
        std::exit(2);
    }
    return DocumentBytes::read(path);
}

// Every session of the run, closed with the PDFium lock held before PDFium stops.
std::vector<std::unique_ptr<Session>>& openSessions() {
    static std::vector<std::unique_ptr<Session>> sessions;
    return sessions;
}

Session& openSession(const fs::path& path) {
    if (openSessions().empty()) PdfiumRuntime::addUser();
    const DocumentBytes::Shared bytes = readOrExit(path);
    std::lock_guard lock(PdfiumRuntime::lock());
    openSessions().push_back(Session::load(bytes, path.string(), std::nullopt));
    return *openSessions().back();
}

// One session on the benchmark document for the whole run.
Session& benchSession() {
    static Session& session = openSession(benchPath());
    return session;
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

void BM_Open(benchmark::State& state) {
    benchSession();  // starts PDFium outside the timing
    const DocumentBytes::Shared bytes = readOrExit(benchPath());
    std::lock_guard lock(PdfiumRuntime::lock());
    std::size_t pages = 0;
    for (auto _ : state) {
        std::unique_ptr<Session> session = Session::load(bytes, benchPath().string(), std::nullopt);
        pages = session->pages().size();
        state.PauseTiming();
        session.reset();
        state.ResumeTiming();
    }
    state.counters["pages"] = static_cast<double>(pages);
}

// What an edit's answer costs after the change: a new revision, so the census walks every page.
void BM_CensusOfFreshRevision(benchmark::State& state) {
    Session& session = benchSession();
    std::lock_guard lock(PdfiumRuntime::lock());
    std::size_t annotations = 0;
    for (auto _ : state) {
        session.setRevision(session.revision() + 1);
        const CommandResult result = session.inspectResult();
        annotations = result.annotations ? result.annotations->size() : 0;
    }
    state.counters["annotations"] = static_cast<double>(annotations);
}

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
    state.counters["pages_per_s"] =
        benchmark::Counter(static_cast<double>(pages), benchmark::Counter::kIsRate);
    state.counters["KiB_per_page"] =
        pages ? static_cast<double>(bytes) / 1024.0 / static_cast<double>(pages) : 0;
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
    state.counters["pages_per_s"] =
        benchmark::Counter(static_cast<double>(pages), benchmark::Counter::kIsRate);
}

// A common word stops at the 200-hit cap after a few pages; a word that is nowhere walks them all the
// first time, and later only the pages whose kept text may hold it (see searchAgain).
void searchFor(benchmark::State& state, const char* query) {
    Session& session = benchSession();
    std::lock_guard lock(PdfiumRuntime::lock());
    std::size_t hits = 0;
    for (auto _ : state) hits = session.search(query, std::nullopt).size();
    state.counters["hits"] = static_cast<double>(hits);
}

// A search of a freshly opened document reads every page's text; the same search again reads only the
// pages whose kept text may hold the query. Both are timed in every iteration, as first_ms and again_ms.
void searchAgain(benchmark::State& state, const char* query) {
    benchSession();  // starts PDFium outside the timing
    const DocumentBytes::Shared bytes = readOrExit(benchPath());
    std::lock_guard lock(PdfiumRuntime::lock());
    using Clock = std::chrono::steady_clock;
    Clock::duration first{}, again{};
    std::size_t hits = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<Session> session = Session::load(bytes, benchPath().string(), std::nullopt);
        state.ResumeTiming();
        const Clock::time_point start = Clock::now();
        hits = session->search(query, std::nullopt).size();
        const Clock::time_point between = Clock::now();
        benchmark::DoNotOptimize(session->search(query, std::nullopt).size());
        again += Clock::now() - between;
        first += between - start;
        state.PauseTiming();
        session.reset();
        state.ResumeTiming();
    }
    const auto ms = [&](Clock::duration total) {
        return std::chrono::duration<double, std::milli>(total).count() /
               static_cast<double>(state.iterations());
    };
    state.counters["first_ms"] = ms(first);
    state.counters["again_ms"] = ms(again);
    state.counters["hits"] = static_cast<double>(hits);
}

// The snapshot an edit takes around its change: the whole document written to bytes once.
void BM_UndoCheckpoint(benchmark::State& state) {
    Session& session = benchSession();
    std::lock_guard lock(PdfiumRuntime::lock());
    for (auto _ : state) {
        session.checkpoint();
        session.refreshBacking();
        session.commitCheckpoint();
    }
    state.counters["MiB"] = static_cast<double>(session.backingBytes()->count()) / 1048576.0;
}

// One add_highlight and one undo, stage by stage, as the engine runs them: the change between
// an undo checkpoint and its commit, the document written to bytes for the undo entry, the census
// of the new revision, the recovery checkpoint written to disk (into a scratch support folder),
// and the answer; then the undo's rebind, census and recovery checkpoint. Each counter is the
// mean milliseconds of one stage; the highlight and its undo leave the document as it was.
void BM_HighlightAndUndoStages(benchmark::State& state) {
    Session& session = benchSession();
    std::lock_guard lock(PdfiumRuntime::lock());
    using Clock = std::chrono::steady_clock;
    enum Stage {
        change,
        snapshot,
        census,
        recovery,
        answer,
        undoRebind,
        undoCensus,
        undoRecovery,
        stageCount
    };
    static constexpr const char* names[stageCount] = {"hl_change",   "hl_snapshot",  "hl_census",
                                                      "hl_recovery", "hl_answer",    "undo_rebind",
                                                      "undo_census", "undo_recovery"};
    double totals[stageCount] = {};
    const std::string firstPage = session.pages().front().id;
    for (auto _ : state) {
        auto mark = Clock::now();
        auto lap = [&](Stage stage) {
            const auto now = Clock::now();
            totals[stage] += std::chrono::duration<double, std::milli>(now - mark).count();
            mark = now;
        };
        session.checkpoint();
        session.addHighlight(firstPage, PDFRect{40, 40, 200, 56}, "bench");
        lap(change);
        session.refreshBacking();
        lap(snapshot);
        session.setRevision(session.revision() + 1);
        session.documentContent();
        session.commitCheckpoint();
        lap(census);
        RecoveryStore::write(session);
        lap(recovery);
        benchmark::DoNotOptimize(session.inspectResult());
        lap(answer);
        session.undo();
        lap(undoRebind);
        session.setRevision(session.revision() + 1);
        session.documentContent();
        lap(undoCensus);
        RecoveryStore::write(session);
        lap(undoRecovery);
    }
    const double n = static_cast<double>(state.iterations());
    for (int stage = 0; stage < stageCount; ++stage)
        state.counters[names[stage]] = n > 0 ? totals[stage] / n : 0;
}

// The document's first text field, by name; empty when it has none.
std::string firstTextField(const Session& session) {
    for (const FormFieldInfo& field : session.listFields()) {
        if (field.type == "text" && !field.readOnly) return field.name;
    }
    return {};
}

void BM_FillTextField(benchmark::State& state) {
    static Session& session = openSession(formPath());
    std::lock_guard lock(PdfiumRuntime::lock());
    const std::string name = firstTextField(session);
    if (name.empty()) {
        state.SkipWithError("the form has no writable text field");
        return;
    }
    state.SetLabel(name);
    // Alternating values, so every fill is a real change.
    const std::string values[2] = {"Kivo bench value", "Another value, a little longer"};
    std::size_t turn = 0;
    for (auto _ : state) session.fillField(name, values[turn++ % 2]);
}

// Appends every page of the document to itself, on a fresh session each time.
void BM_MergeIntoItself(benchmark::State& state) {
    benchSession();
    const DocumentBytes::Shared bytes = readOrExit(benchPath());
    std::lock_guard lock(PdfiumRuntime::lock());
    std::size_t pages = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<Session> session = Session::load(bytes, benchPath().string(), std::nullopt);
        state.ResumeTiming();
        session->merge(session->backingBytes());
        if (state.range(0) != 0) session->refreshBacking();
        pages = session->pages().size();
        state.PauseTiming();
        session.reset();
        state.ResumeTiming();
    }
    state.counters["pages_after"] = static_cast<double>(pages);
}

// The encoder alone, on the BGRA pixels of the document's first page at 150 dpi.
void BM_EncodePng(benchmark::State& state) {
    static const std::vector<std::uint8_t> pixels = [] {
        Session& session = benchSession();
        std::lock_guard lock(PdfiumRuntime::lock());
        OpenPage page = session.loadPage(session.pages()[0].id);
        const std::int64_t width = TileGrid::pixels(pdfium::FPDF_GetPageWidthF(page.get()), dpi150);
        const std::int64_t height = TileGrid::pixels(pdfium::FPDF_GetPageHeightF(page.get()), dpi150);
        pdfium::ScopedBitmap bitmap(
            pdfium::FPDFBitmap_Create(static_cast<int>(width), static_cast<int>(height), 1));
        pdfium::FPDFBitmap_FillRect(bitmap.get(), 0, 0, static_cast<int>(width), static_cast<int>(height),
                                    0xFFFFFFFF);
        pdfium::FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, static_cast<int>(width),
                                      static_cast<int>(height), 0,
                                      pdfium::FPDF_ANNOT | pdfium::FPDF_LCD_TEXT);
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
    for (auto _ : state) PngWriter::writeBgra(png, pixels.data(), dims[0], dims[1], dims[0] * 4);
    state.counters["KiB"] = static_cast<double>(fs::file_size(png)) / 1024.0;
    state.counters["Mpx_per_s"] = benchmark::Counter(
        static_cast<double>(dims[0]) * dims[1] * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    fs::remove(png);
}

BENCHMARK(BM_Open)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CensusOfFreshRevision)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderAllPagesToPng)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_ExtractTextOfAllPages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK_CAPTURE(searchFor, common_word_und, "und")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(searchFor, absent_word, "qqxzqq")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(searchAgain, rare_word, "binormalenvektor")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UndoCheckpoint)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HighlightAndUndoStages)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_FillTextField)->Unit(benchmark::kMillisecond)->UseRealTime();
// Arg 1 also writes the merged document to bytes, as an edit does before its undo entry.
BENCHMARK(BM_MergeIntoItself)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodePng)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Recovery checkpoints go to the scratch folder, never into the person's own support folder.
    setenv("KIVO_PDF_SUPPORT_DIR", (scratchFolder() / "support").c_str(), 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!openSessions().empty()) {
        {
            std::lock_guard lock(PdfiumRuntime::lock());
            openSessions().clear();
        }
        PdfiumRuntime::removeUser();
    }
    std::error_code ignored;
    fs::remove_all(scratchFolder(), ignored);
    return 0;
}
