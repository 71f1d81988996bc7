// Measures the worker as a person's editor drives it: started from build/bin in socket mode with
// its sandbox, reached through the shared client. Prints the `ping` round trip (median and 99th
// percentile over 10,000), `open` + `inspect` of a document, `render_page` of every page at
// scale 2 (144 dpi), and the round trips of one `add_highlight` (the change, its undo snapshot,
// the census of the new revision and the recovery checkpoint) and one `undo`, on the document and
// on one of 1,000 pages the benchmark builds from it with `merge_documents` and `extract_pages`,
// so that the growth with page count shows. Figures are printed, never checked.
//
// With --render it measures only rendering, as the editor asks for it: `render_page` of every page
// at 150 dpi into a PNG, one request after another, then one request of 64 tiles of 256 pixels at
// scale 4 on each of the first 24 pages. It prints `key=value` lines for bench/compare_render.sh
// and, with --keep, leaves the PNGs of a few pages (page-N.png, N counted from 1) in that folder.
// With --big SMALL it measures only what a long document costs beside a short one: `open` + `inspect`
// of the document, the worker's CPU for a Save a Copy of it (the median of five), and the median
// `add_highlight` and `undo` round trips on it and on SMALL, taken in turns, twenty of each, as
// `key=value` lines for bench/compare_big.sh.
// --worker runs another build of the worker, an older one say, instead of the one in build/bin.
// usage: worker_bench [--render [--keep folder] | --big small.pdf] [--worker program] [document.pdf]
//        (default: the shared 117-page sample)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "bench_worker.hpp"
#include "core/command_client.hpp"
#include "core/page_tiles.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

kivo::CommandRequest request(std::string id, kivo::CommandMethod method) {
    kivo::CommandRequest r;
    r.id = std::move(id);
    r.method = method;
    return r;
}

void require(const kivo::CommandResponse& response, const char* what) {
    kivo::bench::require("worker_bench", response, what);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Sends one request and answers its round trip in milliseconds; any failure ends the run.
double timed(kivo::CommandClient& client, const kivo::CommandRequest& r, const char* what,
             kivo::CommandResponse* answer = nullptr) {
    const auto start = Clock::now();
    kivo::CommandResponse response = client.send(r);
    const double ms = microseconds(Clock::now() - start) / 1000;
    require(response, what);
    if (answer) *answer = std::move(response);
    return ms;
}

struct EditFigures {
    std::size_t pages = 0;
    double openMs = 0;
    std::vector<double> highlightMs;
    std::vector<double> undoMs;
};

constexpr int editRounds = 10;

// Opens the documents, then in each of `rounds` rounds adds a highlight to each and undoes it, one
// document after the other, cycling over their first four pages as a person reading along would;
// closes them again. Taken in turns, the documents meet the same machine: a busy moment, or a disk
// slow to flush, weighs on both alike.
std::vector<EditFigures> highlightAndUndo(kivo::CommandClient& client, const std::vector<fs::path>& documents,
                                          int rounds = editRounds) {
    std::vector<EditFigures> figures(documents.size());
    std::vector<kivo::CommandResponse> opened(documents.size());
    for (std::size_t d = 0; d < documents.size(); ++d) {
        auto open = request("open-edit-" + std::to_string(d), kivo::CommandMethod::open);
        open.params.path = documents[d].string();
        figures[d].openMs = timed(client, open, "open", &opened[d]);
        figures[d].pages = opened[d].result->pages->size();
    }
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t d = 0; d < documents.size(); ++d) {
            const std::string& sessionId = *opened[d].result->sessionId;
            const auto& pages = *opened[d].result->pages;
            const std::string name = std::to_string(d) + "-" + std::to_string(round);
            auto highlight = request("highlight-" + name, kivo::CommandMethod::addHighlight);
            highlight.params.sessionId = sessionId;
            highlight.params.pageId =
                pages[static_cast<std::size_t>(round) % std::min<std::size_t>(4, pages.size())].id;
            highlight.params.rect = kivo::PDFRect{40, 40, 200, 56};
            highlight.params.contents = "bench";
            figures[d].highlightMs.push_back(timed(client, highlight, "add_highlight"));
            auto undo = request("undo-" + name, kivo::CommandMethod::undo);
            undo.params.sessionId = sessionId;
            figures[d].undoMs.push_back(timed(client, undo, "undo"));
        }
    }
    for (std::size_t d = 0; d < documents.size(); ++d) {
        auto close = request("close-edit-" + std::to_string(d), kivo::CommandMethod::close);
        close.params.sessionId = *opened[d].result->sessionId;
        timed(client, close, "close");
    }
    return figures;
}

// Builds a document of exactly `wanted` pages by merging `document` into a session of itself
// until it has enough, then writing the first `wanted` pages to `to`. Answers the merge round
// trips, in order, with the page count each one reached.
std::vector<std::pair<std::size_t, double>> buildLongDocument(kivo::CommandClient& client,
                                                              const fs::path& document, std::size_t wanted,
                                                              const fs::path& to) {
    auto open = request("open-long", kivo::CommandMethod::open);
    open.params.path = document.string();
    kivo::CommandResponse answer;
    timed(client, open, "open", &answer);
    const std::string sessionId = *answer.result->sessionId;
    std::vector<std::pair<std::size_t, double>> merges;
    while (answer.result->pages->size() < wanted) {
        auto merge = request("merge-" + std::to_string(merges.size()), kivo::CommandMethod::mergeDocuments);
        merge.params.sessionId = sessionId;
        merge.params.path = document.string();
        const double ms = timed(client, merge, "merge_documents", &answer);
        merges.emplace_back(answer.result->pages->size(), ms);
    }
    auto extract = request("extract-long", kivo::CommandMethod::extractPages);
    extract.params.sessionId = sessionId;
    extract.params.destination = to.string();
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < wanted; ++i) ids.push_back((*answer.result->pages)[i].id);
    extract.params.pageIds = std::move(ids);
    timed(client, extract, "extract_pages");
    auto close = request("close-long", kivo::CommandMethod::close);
    close.params.sessionId = sessionId;
    timed(client, close, "close");
    return merges;
}

void printEdits(const EditFigures& figures) {
    std::printf(
        "  %4zu pages: open %.1f ms, add_highlight median %.1f ms (min %.1f, max %.1f), undo median %.1f ms "
        "(min %.1f, max %.1f)\n",
        figures.pages, figures.openMs, median(figures.highlightMs),
        *std::min_element(figures.highlightMs.begin(), figures.highlightMs.end()),
        *std::max_element(figures.highlightMs.begin(), figures.highlightMs.end()), median(figures.undoMs),
        *std::min_element(figures.undoMs.begin(), figures.undoMs.end()),
        *std::max_element(figures.undoMs.begin(), figures.undoMs.end()));
}

constexpr double dpi150 = 150.0 / 72.0;
constexpr double tileScale = 4;
constexpr std::int64_t tileSide = 256;
constexpr std::int64_t tileBlock = 8;  // 8 x 8 = 64 tiles, the most one request may carry
constexpr std::size_t tilePages = 24;

// The pages whose PNGs --keep leaves behind: the first, the last and a few between.
bool keptPage(std::size_t index, std::size_t count) { return index % 20 == 0 || index + 1 == count; }

// The 64 tiles of one request: an 8 x 8 block of the page's 256-pixel grid at scale 4, centred on
// the page so that it holds text rather than margin, each to its own file in `folder`.
std::vector<kivo::RenderTile> centredTiles(const kivo::PageInfo& page, const fs::path& folder) {
    const kivo::TileGrid grid = kivo::TileGrid::forPage(page.width, page.height, tileScale, tileSide);
    const std::int64_t firstColumn = std::max<std::int64_t>(0, (grid.columns() - tileBlock) / 2);
    const std::int64_t firstRow = std::max<std::int64_t>(0, (grid.rows() - tileBlock) / 2);
    std::vector<kivo::RenderTile> tiles;
    for (std::int64_t row = firstRow; row < std::min(grid.rows(), firstRow + tileBlock); ++row) {
        for (std::int64_t column = firstColumn; column < std::min(grid.columns(), firstColumn + tileBlock);
             ++column) {
            kivo::RenderTile tile = grid.region({column, row});
            tile.pngPath = (folder / ("tile-" + std::to_string(tiles.size()) + ".png")).string();
            tiles.push_back(std::move(tile));
        }
    }
    return tiles;
}

int renderFigures(kivo::CommandClient& client, const fs::path& document, const fs::path& scratch,
                  const std::optional<fs::path>& keep) {
    fs::create_directories(scratch);
    auto open = request("open", kivo::CommandMethod::open);
    open.params.path = document.string();
    kivo::CommandResponse opened;
    timed(client, open, "open", &opened);
    const std::vector<kivo::PageInfo>& pages = *opened.result->pages;
    if (keep) fs::create_directories(*keep);

    double pageMs = 0;
    std::uintmax_t pngBytes = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const fs::path png = scratch / "page.png";
        auto render = request("render-" + std::to_string(i), kivo::CommandMethod::renderPage);
        render.params.sessionId = opened.result->sessionId;
        render.params.pageId = pages[i].id;
        render.params.scale = dpi150;
        render.params.pngPath = png.string();
        pageMs += timed(client, render, "render_page");
        pngBytes += fs::file_size(png);
        if (keep && keptPage(i, pages.size())) {
            fs::rename(png, *keep / ("page-" + std::to_string(i + 1) + ".png"));
        } else {
            fs::remove(png);  // as a client does once it has loaded the render
        }
    }

    std::vector<double> tileMs;
    for (std::size_t i = 0; i < std::min(tilePages, pages.size()); ++i) {
        auto render = request("tiles-" + std::to_string(i), kivo::CommandMethod::renderPage);
        render.params.sessionId = opened.result->sessionId;
        render.params.pageId = pages[i].id;
        render.params.scale = tileScale;
        render.params.tiles = centredTiles(pages[i], scratch);
        tileMs.push_back(timed(client, render, "render_page with tiles"));
        for (const kivo::RenderTile& tile : *render.params.tiles) fs::remove(*tile.pngPath);
    }

    std::printf("pages=%zu\n", pages.size());
    std::printf("page_seconds=%.3f\n", pageMs / 1000);
    std::printf("mean_png_bytes=%.0f\n", static_cast<double>(pngBytes) / static_cast<double>(pages.size()));
    std::printf("tile_requests=%zu\n", tileMs.size());
    std::printf("tile_request_mean_ms=%.1f\n",
                std::accumulate(tileMs.begin(), tileMs.end(), 0.0) /
                    static_cast<double>(std::max<std::size_t>(tileMs.size(), 1)));
    std::printf("tile_request_median_ms=%.1f\n", tileMs.empty() ? 0.0 : median(tileMs));
    return 0;
}

// The whole suite: ping, open, page renders at scale 2 and the edit round trips.
void suiteFigures(kivo::CommandClient& client, const fs::path& document, const fs::path& root) {
    std::vector<double> pings;
    pings.reserve(10'000);
    for (int i = 0; i < 10'000; ++i) {
        const auto start = Clock::now();
        require(client.send(request(std::to_string(i), kivo::CommandMethod::ping)), "ping");
        pings.push_back(microseconds(Clock::now() - start));
    }
    std::sort(pings.begin(), pings.end());

    const auto openStart = Clock::now();
    auto open = request("open", kivo::CommandMethod::open);
    open.params.path = document.string();
    const kivo::CommandResponse opened = client.send(open);
    require(opened, "open");
    const double openOnlyMs = microseconds(Clock::now() - openStart) / 1000;
    auto inspect = request("inspect", kivo::CommandMethod::inspect);
    inspect.params.sessionId = opened.result->sessionId;
    require(client.send(inspect), "inspect");
    const double openMs = microseconds(Clock::now() - openStart) / 1000;

    const auto& pages = *opened.result->pages;
    const auto renderStart = Clock::now();
    for (const auto& page : pages) {
        auto render = request("render-" + page.id, kivo::CommandMethod::renderPage);
        render.params.sessionId = opened.result->sessionId;
        render.params.pageId = page.id;
        render.params.scale = 2;
        const kivo::CommandResponse rendered = client.send(render);
        require(rendered, "render_page");
        if (rendered.result && rendered.result->pngPath) fs::remove(*rendered.result->pngPath);
    }
    const double renderSeconds = microseconds(Clock::now() - renderStart) / 1e6;

    const EditFigures shortEdits = highlightAndUndo(client, {document}).front();
    const fs::path longDocument = root / "long.pdf";
    const auto merges = buildLongDocument(client, document, 1000, longDocument);
    const EditFigures longEdits = highlightAndUndo(client, {longDocument}).front();

    std::printf("document: %s (%zu pages)\n", document.c_str(), pages.size());
    std::printf("ping round trip: median %.1f us, p99 %.1f us (10000 requests; target median < 50 us)\n",
                pings[pings.size() / 2], pings[pings.size() * 99 / 100]);
    std::printf("open + inspect: %.1f ms (open %.1f ms; target < 300 ms)\n", openMs, openOnlyMs);
    std::printf("render_page at scale 2: %.2f s for %zu pages, %.1f pages/s\n", renderSeconds, pages.size(),
                static_cast<double>(pages.size()) / renderSeconds);
    std::printf("merge_documents of the document into a session of it (whole round trip):\n");
    for (const auto& [count, ms] : merges) std::printf("  reaching %4zu pages: %.1f ms\n", count, ms);
    std::printf(
        "add_highlight and undo round trips, %d rounds each (target: add_highlight < 100 ms at 117 pages):\n",
        editRounds);
    printEdits(shortEdits);
    printEdits(longEdits);
    std::printf("  growth from %zu to %zu pages (%.1fx): add_highlight %.1fx, undo %.1fx\n", shortEdits.pages,
                longEdits.pages, static_cast<double>(longEdits.pages) / static_cast<double>(shortEdits.pages),
                median(longEdits.highlightMs) / median(shortEdits.highlightMs),
                median(longEdits.undoMs) / median(shortEdits.undoMs));
}

// CPU time the process has spent, in milliseconds: the sum over its threads, so that the pool's
// share counts as well. Threads that ended are not counted, and the pool's stay.
double processCpuMs(pid_t pid) {
    double nanoseconds = 0;
    std::error_code error;
    for (const auto& task : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task", error)) {
        std::FILE* stat = std::fopen((task.path() / "schedstat").c_str(), "r");
        if (stat == nullptr) continue;
        unsigned long long onCpu = 0;
        if (std::fscanf(stat, "%llu", &onCpu) == 1) nanoseconds += static_cast<double>(onCpu);
        std::fclose(stat);
    }
    return nanoseconds / 1e6;
}

// The median worker CPU of a Save a Copy of the open document, each to a fresh file in `folder`.
double saveCopyCpuMs(kivo::CommandClient& client, pid_t worker, const std::string& sessionId,
                     const fs::path& folder) {
    std::vector<double> cpu;
    for (int i = 0; i < 5; ++i) {
        auto save = request("save-copy-" + std::to_string(i), kivo::CommandMethod::saveDocument);
        save.params.sessionId = sessionId;
        save.params.saveMode = "saveCopy";
        save.params.destination = (folder / ("copy-" + std::to_string(i) + ".pdf")).string();
        const double before = processCpuMs(worker);
        require(client.send(save), "save_document");
        cpu.push_back(processCpuMs(worker) - before);
        fs::remove(*save.params.destination);
    }
    return median(cpu);
}

// Open + inspect of the document, a Save a Copy of it, then its edits and those of `small`.
void bigFigures(kivo::CommandClient& client, pid_t worker, const fs::path& document, const fs::path& small,
                const fs::path& folder) {
    const auto openStart = Clock::now();
    auto open = request("open", kivo::CommandMethod::open);
    open.params.path = document.string();
    const kivo::CommandResponse opened = client.send(open);
    require(opened, "open");
    auto inspect = request("inspect", kivo::CommandMethod::inspect);
    inspect.params.sessionId = opened.result->sessionId;
    require(client.send(inspect), "inspect");
    const double openMs = microseconds(Clock::now() - openStart) / 1000;
    const double saveMs = saveCopyCpuMs(client, worker, *opened.result->sessionId, folder);
    auto close = request("close", kivo::CommandMethod::close);
    close.params.sessionId = opened.result->sessionId;
    require(client.send(close), "close");

    const std::vector<EditFigures> edits = highlightAndUndo(client, {document, small}, 2 * editRounds);
    const EditFigures& big = edits[0];
    const EditFigures& little = edits[1];
    std::printf("pages=%zu\nopen_inspect_ms=%.1f\nsave_copy_cpu_ms=%.1f\n", big.pages, openMs, saveMs);
    std::printf("highlight_big_ms=%.2f\nundo_big_ms=%.2f\n", median(big.highlightMs), median(big.undoMs));
    std::printf("small_pages=%zu\nhighlight_small_ms=%.2f\nundo_small_ms=%.2f\n", little.pages,
                median(little.highlightMs), median(little.undoMs));
}

}  // namespace

int main(int argc, char** argv) {
    bool renderOnly = false;
    std::optional<fs::path> keep;
    std::optional<fs::path> small;
    fs::path program = kivo::bench::BenchWorker::builtWorker();
    fs::path document = fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--render") {
            renderOnly = true;
        } else if (arg == "--keep" && i + 1 < argc) {
            keep = fs::absolute(argv[++i]);
        } else if (arg == "--big" && i + 1 < argc) {
            small = fs::absolute(argv[++i]);
        } else if (arg == "--worker" && i + 1 < argc) {
            program = argv[++i];
        } else if (arg.starts_with("--")) {
            std::fprintf(
                stderr,
                "usage: worker_bench [--render [--keep folder] | --big small.pdf] [--worker program] "
                "[document.pdf]\n");
            return 2;
        } else {
            document = arg;
        }
    }
    if (!fs::exists(document)) {
        std::fprintf(stderr, "worker_bench: %s not found\n", document.c_str());
        return 2;
    }
    kivo::bench::BenchWorker worker("worker_bench", program);
    const fs::path root = worker.folder();
    const std::unique_ptr<kivo::CommandClient> connection = worker.connect(kivo::CommandChannel::ui);
    kivo::CommandClient& client = *connection;
    int status = 0;
    if (renderOnly) {
        status = renderFigures(client, fs::absolute(document), root / "renders", keep);
    } else if (small) {
        bigFigures(client, worker.pid(), fs::absolute(document), *small, root);
    } else {
        suiteFigures(client, document, root);
    }
    client.close();
    return status;
}
