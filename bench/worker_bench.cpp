// Measures the worker as a person's editor drives it: started from build/bin in socket mode with
// its sandbox, reached through the shared client. Prints the `ping` round trip (median and 99th
// percentile over 10,000), `open` + `inspect` of a document, `render_page` of every page at
// scale 2 (144 dpi), and the round trips of one `add_highlight` (the change, its undo snapshot,
// the census of the new revision and the recovery checkpoint) and one `undo`, on the document and
// on one of 1,000 pages the benchmark builds from it with `merge_documents` and `extract_pages`,
// so that the growth with page count shows. Figures are printed, never checked.
// usage: worker_bench [document.pdf]   (default: the shared 117-page sample)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_worker.hpp"
#include "core/command_client.hpp"

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

// Opens the document, then adds a highlight to its first page and undoes it, ten times over;
// closes it again.
EditFigures highlightAndUndo(kivo::CommandClient& client, const fs::path& document) {
    EditFigures figures;
    auto open = request("open-edit", kivo::CommandMethod::open);
    open.params.path = document.string();
    kivo::CommandResponse opened;
    figures.openMs = timed(client, open, "open", &opened);
    const std::string sessionId = *opened.result->sessionId;
    figures.pages = opened.result->pages->size();
    const std::string firstPage = opened.result->pages->front().id;
    for (int round = 0; round < editRounds; ++round) {
        auto highlight = request("highlight-" + std::to_string(round), kivo::CommandMethod::addHighlight);
        highlight.params.sessionId = sessionId;
        highlight.params.pageId = firstPage;
        highlight.params.rect = kivo::PDFRect{40, 40, 200, 56};
        highlight.params.contents = "bench";
        figures.highlightMs.push_back(timed(client, highlight, "add_highlight"));
        auto undo = request("undo-" + std::to_string(round), kivo::CommandMethod::undo);
        undo.params.sessionId = sessionId;
        figures.undoMs.push_back(timed(client, undo, "undo"));
    }
    auto close = request("close-edit", kivo::CommandMethod::close);
    close.params.sessionId = sessionId;
    timed(client, close, "close");
    return figures;
}

// Builds a document of exactly `wanted` pages by merging `document` into a session of itself
// until it has enough, then writing the first `wanted` pages to `to`. Answers the merge round
// trips, in order, with the page count each one reached.
std::vector<std::pair<std::size_t, double>> buildLongDocument(kivo::CommandClient& client, const fs::path& document,
                                                              std::size_t wanted, const fs::path& to) {
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

}  // namespace

int main(int argc, char** argv) {
    const fs::path document = argc > 1 ? fs::path(argv[1]) : fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf";
    if (!fs::exists(document)) {
        std::fprintf(stderr, "worker_bench: %s not found\n", document.c_str());
        return 2;
    }
    kivo::bench::BenchWorker worker("worker_bench");
    const fs::path root = worker.folder();
    const std::unique_ptr<kivo::CommandClient> connection = worker.connect(kivo::CommandChannel::ui);
    kivo::CommandClient& client = *connection;

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

    const EditFigures shortEdits = highlightAndUndo(client, document);
    const fs::path longDocument = root / "long.pdf";
    const auto merges = buildLongDocument(client, document, 1000, longDocument);
    const EditFigures longEdits = highlightAndUndo(client, longDocument);

    client.close();

    std::printf("document: %s (%zu pages)\n", document.c_str(), pages.size());
    std::printf("ping round trip: median %.1f us, p99 %.1f us (10000 requests; target median < 50 us)\n",
                pings[pings.size() / 2], pings[pings.size() * 99 / 100]);
    std::printf("open + inspect: %.1f ms (open %.1f ms; target < 300 ms)\n", openMs, openOnlyMs);
    std::printf("render_page at scale 2: %.2f s for %zu pages, %.1f pages/s\n", renderSeconds, pages.size(),
                static_cast<double>(pages.size()) / renderSeconds);
    std::printf("merge_documents of the document into a session of it (whole round trip):\n");
    for (const auto& [count, ms] : merges) std::printf("  reaching %4zu pages: %.1f ms\n", count, ms);
    std::printf("add_highlight and undo round trips, %d rounds each (target: add_highlight < 100 ms at 117 pages):\n",
                editRounds);
    printEdits(shortEdits);
    printEdits(longEdits);
    std::printf("  growth from %zu to %zu pages (%.1fx): add_highlight %.1fx, undo %.1fx\n", shortEdits.pages,
                longEdits.pages, static_cast<double>(longEdits.pages) / static_cast<double>(shortEdits.pages),
                median(longEdits.highlightMs) / median(shortEdits.highlightMs),
                median(longEdits.undoMs) / median(shortEdits.undoMs));
    return 0;
}
