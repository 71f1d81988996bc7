// Measures how the editor's model shows a long document, as the editor runs it: offscreen, the
// workspace launching build/bin/kivo-pdf-worker beside this program (inside its sandbox where the
// system offers one), a screen of backing scale 2. Prints, never checks:
//   - next page shown: from nextPage() to the new page's image in the model, at zoom 1.2;
//   - zoom to 400 %: from stepZoom(4) to every tile under the visible rectangle present;
//   - thumbnail scroll: the longest the GUI thread was busy at once while the page list scrolls
//     through every page (rows appearing and disappearing as they pass a window of 10 rows);
//   - the editor's resident memory with the document open and every thumbnail loaded, measured
//     before the page and zoom runs fill the page cache (and again after them).
// usage: workspace_render_bench [document.pdf]   (default: the shared 117-page sample)

#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/command_client.hpp"
#include "core/ipc_paths.hpp"
#include "core/page_tiles.hpp"
#include "core/text.hpp"
#include "workspace/page_renders.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/worker_link.hpp"
#include "workspace/workspace.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double backing = 2.0;
constexpr int zoomRuns = 8;
constexpr int visibleRows = 10;
constexpr auto scrollFrame = std::chrono::milliseconds(16);

class BenchScreen : public kivo::Screen {
public:
    double backingScale() const override { return backing; }
};

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return (values[(values.size() - 1) / 2] + values[values.size() / 2]) / 2;
}

// The event loop as the GUI thread runs it, keeping the longest single turn.
struct Loop {
    double longestMs = 0;

    void turn() {
        const auto start = Clock::now();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        longestMs = std::max(longestMs, milliseconds(Clock::now() - start));
    }

    bool until(const std::function<bool()>& done, double seconds = 60) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (Clock::now() > deadline) return false;
            turn();
        }
        return true;
    }

    void for_(Clock::duration span) {
        const auto end = Clock::now() + span;
        while (Clock::now() < end) turn();
    }
};

[[noreturn]] void fail(const std::string& what, const kivo::Workspace& workspace) {
    std::fprintf(stderr, "workspace_render_bench: %s: %s\n", what.c_str(),
                 workspace.errorMessage().value_or(workspace.status()).c_str());
    std::exit(1);
}

double residentMegabytes(const std::string& pid) {
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

// Whether every tile under the visible rectangle is among the published ones.
bool visibleTilesPresent(kivo::Workspace& workspace) {
    const auto page = workspace.currentPage();
    const QRectF visible = workspace.shownPage().visibleCanvasRect();
    const double scale = workspace.shownPage().zoom() * backing;
    const kivo::TileGrid grid = kivo::TileGrid::forPage(page->width, page->height, scale, 1024);
    const auto wanted = grid.tiles(visible.left() * backing, visible.top() * backing,
                                   visible.right() * backing, visible.bottom() * backing);
    if (wanted.empty()) return false;
    for (const kivo::TileIndex& index : wanted) {
        const std::string suffix = "#" + std::to_string(index.column) + "," + std::to_string(index.row);
        const auto& tiles = workspace.shownPage().pageTiles();
        if (std::none_of(tiles.begin(), tiles.end(),
                         [&](const kivo::PageTile& tile) { return tile.id.ends_with(suffix); }))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication application(argc, argv);
    const fs::path document = argc > 1 ? fs::path(argv[1]) : fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf";
    if (!fs::exists(document)) {
        std::fprintf(stderr, "workspace_render_bench: %s does not exist\n", document.c_str());
        return 1;
    }
    std::string pattern = "/tmp/kivo-render-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    const fs::path scratch = pattern;
    ::setenv("KIVO_PDF_SUPPORT_DIR", (scratch / "support").c_str(), 1);

    kivo::WorkspaceServices services;
    services.screen = std::make_shared<BenchScreen>();
    auto workspace = std::make_unique<kivo::Workspace>(services);
    kivo::Workspace& ws = *workspace;
    Loop loop;
    ws.launchOnce();
    if (!ws.link().workerReady()) fail("the worker did not start", ws);
    ws.shownPage().setViewport(QSizeF(1000, 700));
    ws.shownPage().setVisibleCanvasRect(QRectF(0, 0, 952, 652));

    const std::string opened = "Opened " + document.filename().string();
    ws.open(document);
    if (!loop.until([&] { return ws.status() == opened && !ws.shownPage().pageImage().isNull(); }))
        fail("open", ws);
    const auto pages = *ws.inspect()->pages;

    // Scroll the page list through every page, a row a frame.
    loop.longestMs = 0;
    const std::int64_t generation = ws.thumbnails().thumbnailGeneration();
    for (std::size_t top = 0; top + visibleRows <= pages.size(); ++top) {
        if (top == 0) {
            for (int row = 0; row < visibleRows; ++row)
                ws.thumbnails().showThumbnail(pages[static_cast<std::size_t>(row)].id);
        } else {
            ws.thumbnails().hideThumbnail(pages[top - 1].id);
            ws.thumbnails().showThumbnail(pages[top + visibleRows - 1].id);
        }
        loop.for_(scrollFrame);
    }
    const double scrollStall = loop.longestMs;
    // Then every row at once, as a tall list shows them, until each has its thumbnail.
    for (const auto& page : pages) ws.thumbnails().showThumbnail(page.id);
    if (!loop.until([&] {
            return std::all_of(pages.begin(), pages.end(), [&](const kivo::PageInfo& page) {
                return !ws.thumbnails().thumbnail(page.id).isNull();
            });
        }))
        fail("every thumbnail", ws);
    const double stall = loop.longestMs;
    const double editorMb = residentMegabytes("self");
    const double workerMb = residentMegabytes(std::to_string(ws.link().workerProcessId()));
    const std::int64_t thumbnails = ws.thumbnails().thumbnailGeneration() - generation;

    // Next page, each page new to the cache.
    std::vector<double> nextPage;
    int texts = 0;
    QObject::connect(&ws.shownPage(), &kivo::ShownPage::pageCharsChanged, [&] { ++texts; });
    for (std::size_t i = 1; i < pages.size(); ++i) {
        const qint64 before = ws.shownPage().pageImage().cacheKey();
        const int textsBefore = texts;
        const auto start = Clock::now();
        ws.nextPage();
        if (!loop.until([&] {
                return !ws.shownPage().pageImage().isNull() &&
                       ws.shownPage().pageImage().cacheKey() != before;
            }))
            fail("next page", ws);
        nextPage.push_back(milliseconds(Clock::now() - start));
        // A reader looks at the page a moment: its text arrives (a page like the one before may
        // change nothing) before the next page is asked for.
        loop.until([&] { return texts != textsBefore; }, 1);
    }

    // Zoom to 400 % on pages not seen at that zoom, each first shown at 1.2.
    std::vector<double> zoomIn;
    for (int run = 0; run < zoomRuns; ++run) {
        ws.select(pages[static_cast<std::size_t>(run * 7) % pages.size()].id);
        ws.shownPage().stepZoom(1.2);
        if (!loop.until(
                [&] { return !ws.shownPage().pageImage().isNull() && ws.shownPage().pageTiles().empty(); }))
            fail("zoom 1.2", ws);
        loop.for_(std::chrono::milliseconds(300));
        const auto start = Clock::now();
        ws.shownPage().stepZoom(4.0);
        if (!loop.until([&] { return visibleTilesPresent(ws); })) fail("tiles at 400 %", ws);
        zoomIn.push_back(milliseconds(Clock::now() - start));
    }
    ws.shownPage().stepZoom(1.2);
    loop.for_(std::chrono::milliseconds(300));

    const double afterAllMb = residentMegabytes("self");

    // For comparison, the two shares of a page shown: the worker's render on a bare connection,
    // and loading its PNG as the workspace does on the GUI thread.
    kivo::CommandClient client(kivo::IPCPaths::socketURL().string(), ws.link().uiToken(),
                               kivo::CommandChannel::ui);
    client.connect();
    std::vector<double> workerRenders;
    std::vector<double> decodes;
    for (std::size_t i = 0; i < pages.size(); i += 4) {
        kivo::CommandRequest request;
        request.id = kivo::newUUIDString();
        request.method = kivo::CommandMethod::renderPage;
        request.params.sessionId = ws.sessionId();
        request.params.pageId = pages[i].id;
        request.params.scale = 1.2 * backing;
        request.params.pngPath = kivo::PageRenders::renderPath();
        auto start = Clock::now();
        const kivo::CommandResponse response = client.send(request);
        workerRenders.push_back(milliseconds(Clock::now() - start));
        if (!response.ok || !response.result) fail("a bare render", ws);
        start = Clock::now();
        if (!kivo::PageRenders::loadPreview(request.params.pngPath, response.result->width,
                                            response.result->height, backing))
            fail("loading a bare render", ws);
        decodes.push_back(milliseconds(Clock::now() - start));
    }

    std::printf("workspace_render_bench: %s (%zu pages, backing scale %.0f, offscreen)\n",
                document.filename().c_str(), pages.size(), backing);
    std::printf(
        "  next page shown at zoom 1.2: median %.1f ms, slowest %.1f ms over %zu pages (target median < 60 "
        "ms)\n",
        median(nextPage), *std::max_element(nextPage.begin(), nextPage.end()), nextPage.size());
    std::printf(
        "    of which the worker's render on a bare connection: median %.1f ms; loading its PNG: median %.1f "
        "ms\n",
        median(workerRenders), median(decodes));
    std::printf(
        "  zoom to 400 %%, every visible tile present: median %.1f ms, slowest %.1f ms over %d pages (target "
        "< "
        "400 ms)\n",
        median(zoomIn), *std::max_element(zoomIn.begin(), zoomIn.end()), zoomRuns);
    std::printf(
        "  thumbnail scroll through every page: longest GUI-thread turn %.1f ms (%.1f ms loading the rest); "
        "%lld thumbnails rendered (target < 50 ms)\n",
        scrollStall, stall, static_cast<long long>(thumbnails));
    std::printf(
        "  editor resident memory with every thumbnail loaded: %.0f MB (target < 300 MB); worker: %.0f MB\n",
        editorMb, workerMb);
    std::printf("  editor resident memory after visiting every page and zooming (page cache full): %.0f MB\n",
                afterAllMb);
    workspace.reset();
    fs::remove_all(scratch);
    return 0;
}
