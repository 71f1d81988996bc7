// Measures a day-long session of the editor: 200 documents opened one after another in one window
// (kivo-pdf's own start-up, offscreen, the real worker beside this program), each shown as a
// person looks at it: its first page at zoom 1.2, the page list's first ten thumbnails, and a
// moment at 400 % so tiles are made. Prints the editor's resident memory along the way, the
// plateau (the highest after the 100th document) and its growth over the last hundred, beside
// what the render caches hold; never checks.
// usage: long_session_bench [documents...]   (default: the shared samples, in turn)

#include <QApplication>

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

#include "app/shell/app_accessibility.hpp"
#include "app/shell/editor_app.hpp"
#include "design/appearance.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/worker_link.hpp"
#include "workspace/workspace.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int opens = 200;
constexpr int thumbnailRows = 10;

bool until(const std::function<bool()>& done, double seconds = 60) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void settle(double seconds) {
    until([] { return false; }, seconds);
}

double residentMegabytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

[[noreturn]] void fail(const std::string& what, const kivo::Workspace& workspace) {
    std::fprintf(stderr, "long_session_bench: %s: %s\n", what.c_str(),
                 workspace.errorMessage().value_or(workspace.status()).c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    kivo::Appearance::instance().install(application);
    kivo::installAppAccessibility();
    std::vector<fs::path> documents;
    for (int i = 1; i < argc; ++i) documents.emplace_back(argv[i]);
    if (documents.empty()) {
        for (const char* name : {"geotopo.pdf", "multicolumn.pdf", "pdflatex-4-pages.pdf", "habibi.pdf",
                                 "annotated.pdf", "google-doc-document.pdf", "pdflatex-image.pdf"}) {
            const fs::path path = fs::path(KIVO_CORPUS_DIR) / name;
            if (fs::exists(path)) documents.push_back(path);
        }
    }
    if (documents.empty()) {
        std::fprintf(stderr,
                     "long_session_bench: no documents (pass some, or put the shared samples in place)\n");
        return 1;
    }
    std::string pattern = "/tmp/kivo-session-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    ::setenv("KIVO_PDF_SUPPORT_DIR", (fs::path(pattern) / "support").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (fs::path(pattern) / "config").c_str(), 1);

    auto editor = std::make_unique<kivo::EditorApp>();
    if (editor->start({}) != kivo::EditorApp::Start::running) return 1;
    kivo::Workspace& ws = editor->workspace();
    if (!until([&] { return ws.link().workerReady(); })) fail("the worker did not start", ws);
    const double startMb = residentMegabytes();

    std::vector<double> resident;
    for (int open = 0; open < opens; ++open) {
        const fs::path& document = documents[static_cast<std::size_t>(open) % documents.size()];
        ws.shownPage().stepZoom(1.2);
        ws.open(document);
        const std::string opened = "Opened " + document.filename().string();
        if (!until([&] { return ws.status().starts_with(opened) && !ws.shownPage().pageImage().isNull(); }))
            fail("open", ws);
        const auto pages = *ws.inspect()->pages;
        const std::size_t rows = std::min<std::size_t>(pages.size(), thumbnailRows);
        for (std::size_t row = 0; row < rows; ++row) ws.thumbnails().showThumbnail(pages[row].id);
        if (!until([&] {
                return std::all_of(
                    pages.begin(), pages.begin() + static_cast<std::ptrdiff_t>(rows),
                    [&](const kivo::PageInfo& page) { return !ws.thumbnails().thumbnail(page.id).isNull(); });
            }))
            fail("thumbnails", ws);
        ws.shownPage().stepZoom(4.0);
        // A small page needs no tiles even at 400 %; a large one has its first ones by then.
        until([&] { return !ws.shownPage().pageTiles().empty(); }, 0.5);
        settle(0.05);
        resident.push_back(residentMegabytes());
    }
    const kivo::ShownPage::RenderCacheUse use = ws.shownPage().renderCacheUse();

    std::printf("long_session_bench: %d documents opened in turn from %zu samples (the editor, offscreen)\n",
                opens, documents.size());
    std::printf("  resident before the first: %.0f MB\n", startMb);
    for (int at : {1, 10, 30, 50, 100, 150, 200}) std::printf("  after %3d: %.0f MB\n", at, resident[at - 1]);
    const double plateau = *std::max_element(resident.begin() + 99, resident.end());
    std::printf(
        "  plateau (highest after the 100th): %.0f MB; growth from the 100th to the 200th: %+.0f MB\n",
        plateau, resident.back() - resident[99]);
    std::printf(
        "  render caches now: %lld pages, %lld tiles, %lld thumbnails, %.0f MB of pixels (bounds %.0f MB)\n",
        static_cast<long long>(use.pages), static_cast<long long>(use.tiles),
        static_cast<long long>(use.thumbnails), use.bytes / 1048576.0, use.boundBytes / 1048576.0);
    editor.reset();
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
    return 0;
}
