// Showing pages: the page render with its zoom and fit, the tiles of a large page, navigation and the
// thumbnails standing in. The part alone answers to a fake sender; through the
// workspace, the fake worker counts what it was asked for and the real one shows that its files and
// sizes fit.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "core/command_json.hpp"
#include "fake_command_sender.hpp"
#include "test_pdfs.hpp"
#include "workspace/page_renders.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::waitUntil;

// Zooms before a document is open and lets the zoom settle, so the first render is at `zoom` and no
// settled re-render follows the opening.
void zoomBeforeOpening(Workspace& workspace, double zoom) {
    workspace.shownPage().stepZoom(zoom);
    waitUntil([] { return false; }, 0.3);
}

const char* const unloadable = "The page rendered but the preview image could not be loaded.";

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) files.push_back(entry.path());
    return files;
}

QSizeF shownSize(const QImage& image) { return image.deviceIndependentSize(); }

// ---- The shown page alone, against a fake sender

// The reply of a render whose 40 × 50 red image the worker wrote to `file`; an empty result when it
// could not be written, which the part then fails to load.
CommandResult drawnInto(const std::string& file) {
    QImage page(40, 50, QImage::Format_RGB32);
    page.fill(Qt::red);
    if (!page.save(QString::fromStdString(file), "PNG")) return {};
    CommandResult result;
    result.pngPath = file;
    result.width = 40;
    result.height = 50;
    return result;
}

// The shown page over the parts it shares with the thumbnails, as the workspace makes them.
class ShownPageTest : public ::testing::Test {
protected:
    testing::Scratch scratch_;
    testing::RenderParts render_;
    testing::PartFixture& parts_ = render_.parts;
    ShownPage part_{parts_.state,     parts_.sender,   parts_.services,
                    render_.versions, render_.decoder, render_.thumbnails};
};

TEST_F(ShownPageTest, FitsThePageOrItsWidthIntoTheViewport) {
    testing::showDocument(parts_.state, 3);
    const struct {
        FitMode mode;
        QSizeF viewport;
        double zoom;  // 1.2 is the zoom it started with: nothing changed
    } cases[] = {
        {FitMode::page, {848, 648}, 600.0 / 792}, {FitMode::width, {848, 648}, 800.0 / 612},
        {FitMode::width, {60, 500}, 0.25},        {FitMode::width, {40, 500}, 1.2},
        {FitMode::page, {848, 40}, 1.2},          {FitMode::manual, {848, 648}, 1.2},
        {FitMode::page, {10000, 10000}, 4.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.mode)) + " " + std::to_string(c.viewport.width()));
        part_.stepZoom(1.2);
        part_.setFitMode(c.mode);
        part_.setViewport(c.viewport);
        part_.applyFit();
        EXPECT_DOUBLE_EQ(part_.zoom(), c.zoom);
    }

    // A resize fits once, after it settles.
    part_.stepZoom(1.2);
    part_.setFitMode(FitMode::width);
    for (double width : {500.0, 600.0, 660.0}) {
        part_.setViewport({width, 500});
        part_.scheduleFit();
    }
    EXPECT_EQ(part_.zoom(), 1.2);
    ASSERT_TRUE(waitUntil([&] { return part_.zoom() != 1.2; }));
    EXPECT_DOUBLE_EQ(part_.zoom(), 612.0 / 612);
}

// The GUI thread never waits for a page to decode: a page moved to meanwhile is asked for at once, and the
// image of the page left, once decoded, is kept for a return to it but never shown over the page moved to.
TEST_F(ShownPageTest, ThePageMovedToWhileAnotherDecodesIsAskedForAtOnceAndTheOtherNeverShows) {
    testing::showDocument(parts_.state, 3);
    parts_.sender.setReady(true);
    std::vector<QSize> shown;
    QObject::connect(&part_, &ShownPage::pageImageChanged,
                     [&] { shown.push_back(part_.pageImage().size()); });
    const auto renders = [&] { return parts_.sender.sent(CommandMethod::renderPage); };
    part_.refreshPage();
    ASSERT_EQ(renders().size(), 1u);
    const std::string file = renders()[0].params.pngPath.value_or("");
    ASSERT_TRUE(parts_.sender.succeed(CommandMethod::renderPage, drawnInto(file)));
    EXPECT_TRUE(part_.decoding());

    // A jump, so that no thumbnail is asked for ahead of a run.
    testing::arrange(parts_.state, "selectedPageId", std::optional<std::string>("p3"));
    part_.refreshPage();
    ASSERT_EQ(renders().size(), 2u) << "p3 is asked for while p1 decodes";
    EXPECT_EQ(renders()[1].params.pageId, "p3");
    ASSERT_TRUE(waitUntil([&] { return !part_.decoding(); }));
    EXPECT_TRUE(shown.empty()) << "p1's image never shows over p3";
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(part_.renderCacheUse().pages, 1);

    testing::arrange(parts_.state, "selectedPageId", std::optional<std::string>("p1"));
    part_.refreshPage();
    EXPECT_EQ(part_.pageImage().size(), QSize(40, 50)) << "p1, back, shows its image at once";
}

// A page whose read was cancelled, or stopped for its time, says why in place of an image, and holds the
// worker no longer: neither its text nor its thumbnail is read behind it, no zoom or resize reads it again,
// nor does the page ahead; turned to again, it is read again. Another page is drawn as ever.
TEST_F(ShownPageTest, APageNotDrawnSaysWhyAndIsNotReadAgainUntilTurnedTo) {
    const std::string stopped =
        "Kivo PDF stopped reading page 1 of a.pdf because it took too long. Nothing changed.";
    const struct {
        const char* how;
        std::function<bool(testing::FakeCommandSender&)> end;
        std::string reason;
    } rows[] = {
        {"cancelled",
         [](testing::FakeCommandSender& sender) { return sender.cancel(CommandMethod::renderPage); },
         "Page 1 was not drawn: its rendering was cancelled. Turn to it again to draw it."},
        {"stopped",
         [&](testing::FakeCommandSender& sender) {
             return sender.fail(CommandMethod::renderPage, "resource_limit", stopped);
         },
         stopped},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.how);
        testing::RenderParts render;
        testing::PartFixture& parts = render.parts;
        ShownPage part{parts.state,     parts.sender,   parts.services,
                       render.versions, render.decoder, render.thumbnails};
        const auto reads = [&](const std::string& pageId) {
            std::vector<std::string> asked;
            for (CommandMethod method : {CommandMethod::renderPage, CommandMethod::extractText}) {
                for (const CommandRequest& request : parts.sender.sent(method)) {
                    if (request.params.pageId == pageId)
                        asked.push_back(std::string(rawValue(method)) +
                                        (request.params.scale && *request.params.scale < 1 ? " small" : ""));
                }
            }
            return asked;
        };
        testing::showDocument(parts.state, 3);
        parts.sender.setReady(true);
        render.thumbnails.showThumbnail("p1");
        part.refreshPage();
        waitUntil([] { return false; }, 0.05);
        EXPECT_EQ(reads("p1"), std::vector<std::string>{"render_page"}) << "its thumbnail waits for it";
        EXPECT_FALSE(part.notDrawnReason());
        ASSERT_TRUE(row.end(parts.sender));
        EXPECT_EQ(part.notDrawnReason(), row.reason);
        part.zoomTo(2.0);
        part.refreshPage();
        waitUntil([] { return false; }, 0.05);
        EXPECT_EQ(reads("p1"), std::vector<std::string>{"render_page"});
        EXPECT_EQ(part.notDrawnReason(), row.reason);
        render.thumbnails.showThumbnail("p2");
        waitUntil([] { return false; }, 0.05);
        EXPECT_EQ(reads("p1"), std::vector<std::string>{"render_page"});
        EXPECT_EQ(reads("p2"), std::vector<std::string>{"render_page small"})
            << "another page is drawn as ever";

        testing::arrange(parts.state, "selectedPageId", std::optional<std::string>("p2"));
        part.refreshPage();
        EXPECT_FALSE(part.notDrawnReason());
        // p2's reads go, so that nothing waits when p1 is turned to again.
        while (parts.sender.cancel(CommandMethod::renderPage)) {}
        testing::arrange(parts.state, "selectedPageId", std::optional<std::string>("p1"));
        part.refreshPage();
        EXPECT_EQ(reads("p1"), (std::vector<std::string>{"render_page", "render_page"})) << "turned to again";
        // Drawn this time, it has its thumbnail as any page does.
        const CommandResult drawn =
            drawnInto(parts.sender.sent(CommandMethod::renderPage).back().params.pngPath.value_or(""));
        ASSERT_TRUE(parts.sender.succeed(CommandMethod::renderPage, drawn));
        EXPECT_FALSE(part.notDrawnReason());
        waitUntil([] { return false; }, 0.05);
        EXPECT_EQ(reads("p1"), (std::vector<std::string>{"render_page", "render_page", "render_page small",
                                                         "extract_text"}));
    }
}

// ---- Against the fake worker

class RenderFakeTest : public ::testing::Test {
protected:
    Workspace& start(std::map<std::string, std::string> extra = {}, double backing = 2.0) {
        extra["KIVO_FAKE_WORKER_LOG"] = scratch_.log().string();
        test_ = std::make_unique<testing::TestWorkspace>(testing::fakeWorker(), std::move(extra));
        test_->screen->scale = backing;
        ws().launchOnce();
        EXPECT_TRUE(ws().link().workerReady()) << ws().errorMessage().value_or("");
        return ws();
    }

    Workspace& ws() { return **test_; }

    std::vector<CommandRequest> sent(CommandMethod method) const {
        return testing::sentRequests(scratch_.log(), method);
    }

    std::vector<CommandRequest> tileRequests() const {
        std::vector<CommandRequest> tiles;
        for (auto& request : sent(CommandMethod::renderPage)) {
            if (request.params.tiles) tiles.push_back(request);
        }
        return tiles;
    }

    void openDocument(const std::string& name = "a.pdf") {
        ws().open(scratch_.docs() / name);
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened " + name; })) << ws().status();
    }

    // Two exchanges through the command queue, each once the files on their way are decoded: whatever a
    // reply handled before the first of them sent has reached the worker, and is decoded, once they are back.
    void roundTrips() {
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().decoding(); }));
            ws().setStatus("");
            ws().search("anything");
            ASSERT_TRUE(waitUntil([&] { return ws().status() == "0 matches"; })) << ws().status();
        }
        ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().decoding(); }));
    }

    fs::path renderFolder() const { return scratch_.tmp() / ("kivo-pdf-ui-" + std::to_string(::geteuid())); }

    testing::Scratch scratch_;
    std::unique_ptr<testing::TestWorkspace> test_;
};

TEST_F(RenderFakeTest, ThePageRendersAtZoomTimesTheBackingScaleAndComesBackFromTheCache) {
    start({}, 1.5);
    openDocument();
    ASSERT_TRUE(waitUntil(
        [&] { return !ws().shownPage().pageImage().isNull() && !ws().shownPage().pageChars().empty(); }));

    const auto renders = sent(CommandMethod::renderPage);
    const auto texts = sent(CommandMethod::extractText);
    ASSERT_GE(renders.size(), 1u);
    ASSERT_GE(texts.size(), 1u);
    EXPECT_EQ(renders[0].params.pageId, "p1");
    EXPECT_EQ(renders[0].params.scale, 1.2 * 1.5);
    EXPECT_EQ(fs::path(renders[0].params.pngPath.value_or("")).parent_path(), renderFolder());
    EXPECT_FALSE(renders[0].params.renderAnnotations);
    EXPECT_FALSE(renders[0].expectedRevision || renders[0].operationId);
    EXPECT_EQ(texts[0].params.pageId, "p1");
    EXPECT_FALSE(texts[0].params.scale || texts[0].params.pngPath);

    // 612 × 792 points at 1.8 pixels a point, shown at the zoomed size in points.
    EXPECT_EQ(ws().shownPage().pageImage().size(), QSize(1102, 1426));
    EXPECT_NEAR(shownSize(ws().shownPage().pageImage()).width(), 1102 / 1.5, 1e-9);
    EXPECT_NEAR(shownSize(ws().shownPage().pageImage()).height(), 1426 / 1.5, 1e-9);
    roundTrips();
    EXPECT_TRUE(filesIn(renderFolder()).empty()) << "the PNG is deleted once loaded";
    EXPECT_FALSE(ws().inspect()->width || ws().inspect()->pngPath)
        << "the document's state, not the render's";

    const qint64 first = ws().shownPage().pageImage().cacheKey();
    roundTrips();
    ws().select("p2");
    EXPECT_NE(ws().shownPage().pageImage().cacheKey(), first) << "p2, rendered ahead, at once";
    EXPECT_EQ(ws().shownPage().pageChars().size(), 1u) << "with its text";
    ws().select("p1");
    EXPECT_EQ(ws().shownPage().pageImage().cacheKey(), first) << "p1 comes from the cache at once";
    EXPECT_EQ(ws().shownPage().pageChars().size(), 1u);
    roundTrips();
    // p2 rendered ahead of the move to it, then p3's thumbnail and p3 ahead of the next; nothing for p1.
    std::vector<std::string> asked;
    for (const auto& request : sent(CommandMethod::renderPage))
        asked.push_back(request.params.pageId.value_or("") +
                        (request.params.scale == 1.2 * 1.5 ? "" : " thumbnail"));
    EXPECT_EQ(asked, (std::vector<std::string>{"p1", "p2", "p3 thumbnail", "p3"}));
    EXPECT_EQ(sent(CommandMethod::extractText).size(), 3u);
    EXPECT_EQ(ws().pageJump(), "1");
}

TEST_F(RenderFakeTest, AZoomBurstShowsPreviewsAtOnceAndRendersOnceAfterItSettles) {
    start();
    openDocument();
    ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().pageImage().isNull(); }));
    // Nothing on its way when the burst begins, so that the settled render waits for nothing but the rest.
    roundTrips();
    const uchar* pixels = ws().shownPage().pageImage().constBits();
    int changes = 0;
    QObject::connect(&ws().shownPage(), &ShownPage::pageImageChanged, [&] { ++changes; });
    ws().shownPage().setFitMode(FitMode::page);

    ws().shownPage().stepZoom(1.5);
    ws().shownPage().stepZoom(2.0);
    const auto lastStep = std::chrono::steady_clock::now();
    ws().shownPage().stepZoom(10);
    // A control of the rest's length, started after it: timers come due in order however late the event loop
    // turns, so a search the control sends reaches the worker after the settled render, unless the render
    // waited longer than the rest.
    QObject control;
    QTimer::singleShot(150, Qt::PreciseTimer, &control, [&] { ws().search("rested"); });
    EXPECT_EQ(ws().shownPage().zoom(), 4.0);
    EXPECT_EQ(ws().shownPage().fitMode(), FitMode::manual);
    EXPECT_EQ(changes, 3) << "one preview a step";
    EXPECT_EQ(ws().shownPage().pageImage().constBits(), pixels) << "a preview is the old bitmap, stretched";
    EXPECT_DOUBLE_EQ(shownSize(ws().shownPage().pageImage()).width(), 4896 / 2.0);
    EXPECT_NEAR(shownSize(ws().shownPage().pageImage()).height(), 6336 / 2.0, 1.0);

    // The render is asked for once the zoom has rested 0.15 s; p2 was rendered ahead at the opening zoom.
    const auto pageRenders = [&] {
        std::vector<CommandRequest> renders;
        for (auto& request : sent(CommandMethod::renderPage))
            if (request.params.pageId == "p1") renders.push_back(request);
        return renders;
    };
    ASSERT_TRUE(waitUntil([&] { return pageRenders().size() == 2; }));
    const std::chrono::duration<double> settled = std::chrono::steady_clock::now() - lastStep;
    EXPECT_GE(settled.count(), 0.15);
    const auto order = [&] {
        std::vector<std::string> seen;
        for (const auto& line : testing::fakeLog(scratch_.log(), "request ")) {
            const CommandRequest request = CommandJSON::decodeRequest(line);
            if (request.method == CommandMethod::search && request.params.query == "rested")
                seen.push_back("control");
            if (request.method == CommandMethod::renderPage && request.params.pageId == "p1")
                seen.push_back("p1");
        }
        return seen;
    };
    // The search goes page by page: its first request is the one that counts.
    ASSERT_TRUE(waitUntil([&] { return order().size() >= 3; }));
    const std::vector<std::string> seen = order();
    const std::vector<std::string> first(seen.begin(), seen.begin() + 3);
    EXPECT_EQ(first, (std::vector<std::string>{"p1", "p1", "control"})) << "the render waited past the rest";

    // Past 8,000,000 pixels the page comes at the base scale, stretched to the full size.
    ASSERT_TRUE(waitUntil([&] { return ws().shownPage().pageImage().constBits() != pixels; }));
    const auto renders = pageRenders();
    ASSERT_EQ(renders.size(), 2u);
    EXPECT_EQ(renders[1].params.scale, 2.87);
    EXPECT_EQ(ws().shownPage().pageImage().width(), 1756);
    EXPECT_EQ(shownSize(ws().shownPage().pageImage()).width(), 4896 / 2.0);
    roundTrips();
    EXPECT_EQ(pageRenders().size(), 2u);
    for (const auto& request : sent(CommandMethod::renderPage))
        EXPECT_TRUE(request.params.pageId == "p1" || request.params.scale == 2.4)
            << "no page ahead that needs tiles";

    ws().shownPage().stepZoom(0.1);
    EXPECT_EQ(ws().shownPage().zoom(), 0.25);
}

TEST_F(RenderFakeTest, AnotherPageShowsTheSharpestImageAtHandStretchedWhileItsRenderIsOnTheWay) {
    // Five pages: p5 is never next to a page shown, so nothing but its thumbnail is ever at hand.
    start({{"KIVO_FAKE_WORKER_PAGES", "5"}});
    openDocument();
    ASSERT_TRUE(waitUntil(
        [&] { return !ws().shownPage().pageImage().isNull() && !ws().shownPage().pageChars().empty(); }));
    ws().thumbnails().showThumbnail("p5");
    ws().thumbnails().showThumbnail("p3");
    ASSERT_TRUE(waitUntil([&] {
        return !ws().thumbnails().thumbnail("p5").isNull() && !ws().thumbnails().thumbnail("p3").isNull();
    }));
    // p3 also rendered at half the zoom, smaller than it is shown now but sharper than its thumbnail.
    ws().select("p3");
    ws().shownPage().stepZoom(0.5);
    ASSERT_TRUE(waitUntil([&] { return ws().shownPage().pageImage().width() == 612; }));
    const QImage halfZoom = ws().shownPage().pageImage();
    ws().select("p1");
    ws().shownPage().stepZoom(1.0);
    ASSERT_TRUE(waitUntil([&] {
        return ws().shownPage().pageImage().width() == 1224 && !ws().shownPage().pageChars().empty();
    }));
    const struct {
        const char* page;
        // At once, before any reply, pixel for pixel (a page away from the one shown is decoded again from
        // its file); none: its thumbnail.
        const QImage* shown;
        // Cached at this zoom: the page itself, whichever of its renders came last (one at the opening zoom
        // is sharper still when it finished before the zoom changed).
        bool itself;
    } cases[] = {
        {"p5", nullptr, false},
        {"p3", &halfZoom, false},
        {"p1", nullptr, true},
        {"p2", nullptr, true},  // rendered ahead of the move from p1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        const QImage expected = c.shown != nullptr ? *c.shown : ws().thumbnails().thumbnail(c.page);
        roundTrips();
        ws().select(c.page);
        if (c.itself) EXPECT_GE(ws().shownPage().pageImage().width(), 1224);
        else EXPECT_TRUE(ws().shownPage().pageImage() == expected && !expected.isNull());
        // One pixel ratio stretches both sides: the height is off by what rounding a small image's side
        // gives.
        EXPECT_DOUBLE_EQ(shownSize(ws().shownPage().pageImage()).width(), 612);
        EXPECT_NEAR(shownSize(ws().shownPage().pageImage()).height(), 792, 2);
        ASSERT_TRUE(waitUntil([&] { return ws().shownPage().pageImage().width() == 1224; }));
        ws().select("p1");
    }
}

TEST_F(RenderFakeTest, PagesPassedByWhileARenderIsOnItsWayAreNeverAskedFor) {
    // A second per render: the keys below come while p1's is on its way, however slow the machine.
    start({{"KIVO_FAKE_WORKER_SCRIPT", "render_page=sleep:1000"}});
    openDocument();
    ASSERT_TRUE(waitUntil([&] { return !sent(CommandMethod::renderPage).empty(); }));
    ASSERT_EQ(sent(CommandMethod::renderPage).size(), 1u) << "p1's render, still on its way";
    std::vector<int> shownWidths;
    QObject::connect(&ws().shownPage(), &ShownPage::pageImageChanged,
                     [&] { shownWidths.push_back(ws().shownPage().pageImage().width()); });
    // A held next-page key: p2 and p3 go by while p1 renders; only the page shown then is asked for, after
    // p3's thumbnail, which the move to p2 asked for ahead.
    ws().nextPage();
    ws().nextPage();
    // p1's text is p1's: only p3's reaches the page.
    ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().pageChars().empty(); }));
    roundTrips();
    std::vector<std::string> asked;
    for (const auto& request : sent(CommandMethod::renderPage))
        asked.push_back(request.params.pageId.value_or("") + (request.params.scale == 2.0 * 1.2 ? "" : "t"));
    EXPECT_EQ(asked, (std::vector<std::string>{"p1", "p3t", "p3"}));
    // Nor is the text of a page left before its image was back: the page shown then waits behind none. A
    // page's text is asked for once its image is in, so a page whose image was cancelled or stopped for its
    // time leaves no read of its text behind it either; p1's was back after p1 was left.
    std::vector<std::string> read;
    for (const auto& request : sent(CommandMethod::extractText))
        read.push_back(request.params.pageId.value_or(""));
    EXPECT_EQ(read, (std::vector<std::string>{"p3"}));
    EXPECT_EQ(ws().selectedPageId(), "p3");
    // p3's thumbnail, back while its render was still on its way, stands in for it until then.
    const int thumbnailWidth = ws().thumbnails().thumbnail("p3").width();
    ASSERT_GT(thumbnailWidth, 0);
    EXPECT_EQ(shownWidths, (std::vector<int>{thumbnailWidth, 1469}))
        << "p1's render, back after p1 was left, is never shown";
    EXPECT_TRUE(filesIn(renderFolder()).empty());
}

// A run of next-page moves: the page after the shown one is rendered ahead, so each move is a paint, and
// the thumbnails of the pages beyond it are asked for, one at a time, to stand in when a held key outruns
// it. A jump is no run, and a page with a render at hand needs no thumbnail.
TEST_F(RenderFakeTest, ARunOfPageMovesShowsEachPageAtOnceFromARenderAskedForAhead) {
    start({{"KIVO_FAKE_WORKER_PAGES", "9"}});
    openDocument();
    ShownPage& renderer = ws().shownPage();
    const auto sharp = [&] { return renderer.pageImage().width() == 1469 && !renderer.pageChars().empty(); };
    ASSERT_TRUE(waitUntil(sharp));
    const auto asked = [&] {
        roundTrips();
        std::vector<std::string> pages;
        for (const auto& request : sent(CommandMethod::renderPage))
            pages.push_back(request.params.pageId.value_or("") +
                            (request.params.scale == 2.0 * 1.2 ? "" : "t"));
        return pages;
    };

    const QSizeF pageSize = renderer.pageSize();
    EXPECT_EQ(pageSize, shownSize(renderer.pageImage()));
    // The page after the shown one is rendered ahead: each move of the run is a paint of it, and the next
    // page is asked for behind the thumbnail the move asks for.
    asked();  // p2 rendered ahead by now
    ws().nextPage();
    EXPECT_TRUE(sharp()) << "p2, rendered ahead, at once";
    ASSERT_TRUE(waitUntil([&] { return !ws().thumbnails().thumbnail("p6").isNull(); }));
    EXPECT_EQ(asked(), (std::vector<std::string>{"p1", "p2", "p3t", "p3", "p4t", "p5t", "p6t"}));
    for (const char* page : {"p3", "p4"}) {
        SCOPED_TRACE(page);
        ws().nextPage();
        EXPECT_EQ(ws().selectedPageId(), page);
        EXPECT_TRUE(sharp()) << "rendered ahead, at once";
        EXPECT_EQ(renderer.pageSize(), pageSize);
        roundTrips();
    }
    ASSERT_TRUE(waitUntil([&] { return !ws().thumbnails().thumbnail("p8").isNull(); }));
    ws().previousPage();
    EXPECT_TRUE(sharp()) << "p3 from the cache; p2 and p1 behind it have renders at hand";
    ws().select("p9");
    ASSERT_TRUE(waitUntil(sharp));
    EXPECT_EQ(asked(), (std::vector<std::string>{"p1", "p2", "p3t", "p3", "p4t", "p5t", "p6t", "p7t", "p4",
                                                 "p8t", "p5", "p9"}));
}

// Paging through a document keeps the pages a window shows, not every page passed, and the caches' bytes
// are those of the images they hold.
TEST_F(RenderFakeTest, PagingThroughALongDocumentKeepsWithinTheCachesBound) {
    start({{"KIVO_FAKE_WORKER_PAGES", "30"}});
    openDocument();
    ShownPage& renderer = ws().shownPage();
    const auto sharp = [&] { return renderer.pageImage().width() == 1469 && !renderer.pageChars().empty(); };
    ASSERT_TRUE(waitUntil(sharp));
    for (int page = 2; page <= 30; ++page) {
        ws().nextPage();
        roundTrips();
        ASSERT_EQ(ws().selectedPageId(), "p" + std::to_string(page));
        ASSERT_TRUE(sharp());
    }
    roundTrips();
    const ShownPage::RenderCacheUse use = renderer.renderCacheUse();
    EXPECT_EQ(use.pages, 24);
    EXPECT_EQ(use.tiles, 0);
    std::int64_t thumbnailBytes = 0;
    for (const auto& page : *ws().inspect()->pages)
        thumbnailBytes += ws().thumbnails().thumbnail(page.id).sizeInBytes();
    EXPECT_EQ(use.bytes, 24 * renderer.pageImage().sizeInBytes() + thumbnailBytes);
    EXPECT_LE(use.bytes, use.boundBytes);
}

// Of the pages cached, only the shown one and its neighbours keep their pixels, the rest their files: the
// cache still holds and counts as many pages, a turn either way is still a paint, and a page jumped to comes
// back from its file pixel for pixel, without the worker.
TEST_F(RenderFakeTest, PagesAwayFromTheShownOneKeepOnlyTheirFilesYetShowAtOnce) {
    start({{"KIVO_FAKE_WORKER_PAGES", "30"}});
    openDocument();
    ShownPage& renderer = ws().shownPage();
    const auto sharp = [&] { return renderer.pageImage().width() == 1469 && !renderer.pageChars().empty(); };
    const auto pageRenders = [&] {
        std::size_t count = 0;
        for (const auto& request : sent(CommandMethod::renderPage))
            count += request.params.scale == 2.0 * 1.2;
        return count;
    };
    ASSERT_TRUE(waitUntil(sharp));
    QImage tenth;
    for (int page = 2; page <= 28; ++page) {
        ws().nextPage();
        roundTrips();
        ASSERT_TRUE(sharp());
        if (page == 10) tenth = renderer.pageImage().copy();
    }
    const std::int64_t pageBytes = renderer.pageImage().sizeInBytes();
    std::int64_t thumbnailBytes = 0;
    for (const auto& page : *ws().inspect()->pages)
        thumbnailBytes += ws().thumbnails().thumbnail(page.id).sizeInBytes();
    ShownPage::RenderCacheUse use = renderer.renderCacheUse();
    EXPECT_EQ(use.pages, 24);
    EXPECT_EQ(use.bytes, 24 * pageBytes + thumbnailBytes) << "each page counts its pixels, kept or not";
    EXPECT_EQ(use.packedPages, 21) << "all but p27, p28 and p29, rendered ahead";
    const std::int64_t files = use.heldBytes - 3 * pageBytes - thumbnailBytes;
    EXPECT_GT(files, 0);
    EXPECT_LT(files, 21 * pageBytes / 4);

    const std::size_t asked = pageRenders();
    for (const char* page : {"p27", "p26", "p25"}) {
        SCOPED_TRACE(page);
        ws().previousPage();
        EXPECT_EQ(ws().selectedPageId(), page);
        EXPECT_TRUE(sharp()) << "decoded from its file while its neighbour was shown";
        roundTrips();
    }
    EXPECT_EQ(renderer.renderCacheUse().packedPages, 21) << "p29 and p28 packed again, p24 and p25 decoded";
    ws().select("p10");
    EXPECT_TRUE(sharp()) << "from its file at once";
    EXPECT_TRUE(renderer.pageImage() == tenth);
    EXPECT_EQ(renderer.pageSize(), shownSize(tenth));
    roundTrips();
    EXPECT_EQ(pageRenders(), asked);
    EXPECT_EQ(renderer.renderCacheUse().pages, 24);
}

TEST_F(RenderFakeTest, ARenderReplyTakesInOnlyItsOwnFileAndOnlyTheRevisionItKnows) {
    const struct {
        const char* action;
        bool loaded;
        std::size_t filesLeft;  // in the render folder, once the reply is handled
    } cases[] = {
        // An MCP client moved the document on: the image is good, the revision is the watch's to adopt.
        {"newer", true, 0},
        // The reply names another file: it is neither read nor deleted, and the one asked for is gone; so
        // for the page rendered ahead.
        {"foreign-path", false, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        test_.reset();
        fs::remove_all(renderFolder());
        start({{"KIVO_FAKE_WORKER_SCRIPT", std::string("render_page=") + c.action}});
        openDocument();
        ASSERT_TRUE(
            waitUntil([&] { return !ws().shownPage().pageChars().empty() && !ws().shownPage().decoding(); }));
        EXPECT_EQ(!ws().shownPage().pageImage().isNull(), c.loaded);
        EXPECT_EQ(ws().errorMessage(), c.loaded ? std::nullopt : std::optional<std::string>(unloadable));
        EXPECT_EQ(ws().inspect()->revision, 1);
        roundTrips();
        EXPECT_EQ(filesIn(renderFolder()).size(), c.filesLeft);
    }
}

TEST_F(RenderFakeTest, ARenderCutShortOrRefusedLeavesNoFileBehind) {
    const struct {
        const char* action;
        bool stopped;  // the worker is stopped while it renders
    } cases[] = {
        {"stall", true},
        {"exit:3", false},
        {"error:render_failed:The page could not be rendered.", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        test_.reset();
        fs::remove_all(renderFolder());
        fs::remove(scratch_.log());
        start({{"KIVO_FAKE_WORKER_SCRIPT", std::string("render_page=") + c.action}});
        // Not openDocument(): a worker that ends on the render may replace "Opened" before it is seen.
        ws().open(scratch_.docs() / "a.pdf");
        ASSERT_TRUE(waitUntil([&] { return !sent(CommandMethod::renderPage).empty(); }));
        const fs::path begun = sent(CommandMethod::renderPage).front().params.pngPath.value_or("");
        ASSERT_TRUE(waitUntil([&] {
            const auto began = testing::fakeLog(scratch_.log(), "began ");
            return std::find(began.begin(), began.end(), begun.string()) != began.end();
        })) << "the worker began the file";
        const qint64 worker = ws().link().workerProcessId();
        if (c.stopped) ::kill(static_cast<pid_t>(worker), SIGUSR1);
        EXPECT_TRUE(waitUntil([&] { return !fs::exists(begun); })) << begun;
    }
}

// 375 points at 400% and backing scale 2: a page of 3000 × 3000 pixels, shown at 1500 points.
class TileFakeTest : public RenderFakeTest {
protected:
    void openLargePage(std::map<std::string, std::string> extra = {}) {
        extra["KIVO_FAKE_WORKER_PAGE_SIZE"] = "375x375";
        start(extra);
        zoomBeforeOpening(ws(), 4.0);
        ws().shownPage().setVisibleCanvasRect(QRectF(0, 0, 500, 400));
        openDocument();
    }

    static std::vector<RenderTile> squares(const CommandRequest& request) {
        std::vector<RenderTile> tiles = *request.params.tiles;
        for (auto& tile : tiles) tile.pngPath.reset();
        return tiles;
    }

    std::vector<std::string> tileIds() {
        std::vector<std::string> ids;
        for (const auto& tile : ws().shownPage().pageTiles()) ids.push_back(tile.id);
        return ids;
    }
};

TEST_F(TileFakeTest, ALargePageGetsTilesInViewFirstThenThoseInTwiceTheVisibleArea) {
    openLargePage();
    ASSERT_TRUE(waitUntil([&] { return ws().shownPage().pageTiles().size() == 2; }))
        << tileRequests().size() << " " << ws().shownPage().pageImage().deviceIndependentSize().width() << " "
        << ws().errorMessage().value_or("") << sent(CommandMethod::renderPage).size();
    EXPECT_EQ(sent(CommandMethod::renderPage).at(0).params.scale, 5.33) << "the base image";
    EXPECT_EQ(shownSize(ws().shownPage().pageImage()), QSizeF(1500, 1500));

    // The view, 1000 × 800 pixels, lies in the first tile alone: it is asked for on its own, then the one
    // beside it that twice the view reaches into; none below, which only four times the view would reach.
    auto requests = tileRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].params.scale, 8.0);
    EXPECT_EQ(squares(requests[0]), (std::vector<RenderTile>{{0, 0, 1024, 1024}}));
    EXPECT_EQ(squares(requests[1]), (std::vector<RenderTile>{{1024, 0, 1024, 1024}}));
    for (const auto& tile : *requests[0].params.tiles) {
        EXPECT_EQ(fs::path(tile.pngPath.value_or("")).parent_path(), renderFolder());
    }
    EXPECT_EQ(tileIds(), (std::vector<std::string>{"p1@8.0#0,0", "p1@8.0#1,0"}));
    EXPECT_EQ(ws().shownPage().pageTiles()[1].frame, QRectF(512, 0, 512, 512));
    EXPECT_EQ(shownSize(ws().shownPage().pageTiles()[1].image), QSizeF(512, 512));

    // The whole page in view: the rest, nearest its middle first, and the corner tiles last.
    ws().shownPage().setVisibleCanvasRect(QRectF(0, 0, 1500, 1500));
    ws().shownPage().updateTiles();
    ASSERT_TRUE(waitUntil([&] { return ws().shownPage().pageTiles().size() == 9; }));
    requests = tileRequests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(squares(requests[2]), (std::vector<RenderTile>{{1024, 1024, 1024, 1024},
                                                             {0, 1024, 1024, 1024},
                                                             {2048, 1024, 952, 1024},
                                                             {1024, 2048, 1024, 952}}));
    EXPECT_EQ(squares(requests[3]),
              (std::vector<RenderTile>{{2048, 0, 952, 1024}, {0, 2048, 1024, 952}, {2048, 2048, 952, 952}}));
    EXPECT_TRUE(filesIn(renderFolder()).empty());

    // A zoom step drops the tiles and asks for none while it settles.
    ws().shownPage().stepZoom(3.9);
    EXPECT_TRUE(ws().shownPage().pageTiles().empty());
    ws().shownPage().updateTiles();
    EXPECT_TRUE(ws().shownPage().pageTiles().empty());
}

TEST_F(TileFakeTest, AZoomChosenInOneGoAsksForTheTilesInViewBeforeThePageAndShowsOnlyItsOwnTiles) {
    start({{"KIVO_FAKE_WORKER_PAGE_SIZE", "375x375"}});
    zoomBeforeOpening(ws(), 1.5);
    ws().shownPage().setVisibleCanvasRect(QRectF(0, 0, 500, 400));
    openDocument();
    ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().pageImage().isNull(); }));
    // The page after it, rendered ahead at the opening zoom, back and decoded: on a busy machine its decode
    // would otherwise hold the zoom's page render back behind a second tile.
    roundTrips();
    ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().decoding(); }));
    ShownPage& renderer = ws().shownPage();
    // As the canvas does: a new image is a new size, and a new size a tile pass.
    QObject::connect(&renderer, &ShownPage::pageImageChanged, [&] { renderer.updateTiles(); });
    // Every tile ever published is at the zoom of the moment, over an image of that zoom's width.
    std::vector<std::string> misplaced;
    QObject::connect(&renderer, &ShownPage::pageTilesChanged, [&] {
        const std::string scale = "@" + PageRenders::scaleText(renderer.zoom() * 2) + "#";
        const double width = std::round(375 * renderer.zoom() * 2) / 2;
        for (const auto& tile : renderer.pageTiles()) {
            if (tile.id.find(scale) == std::string::npos || shownSize(renderer.pageImage()).width() != width)
                misplaced.push_back(tile.id);
        }
    });
    const uchar* pixels = renderer.pageImage().constBits();

    renderer.zoomTo(4.0);
    EXPECT_EQ(renderer.pageImage().constBits(), pixels) << "the old bitmap stands in at once";
    EXPECT_EQ(shownSize(renderer.pageImage()), QSizeF(1500, 1500));
    // The page's own, without the page after it rendered ahead at the opening zoom.
    const auto ownRenders = [&] {
        std::vector<CommandRequest> own;
        for (auto& request : sent(CommandMethod::renderPage))
            if (request.params.pageId == "p1") own.push_back(request);
        return own;
    };
    ASSERT_TRUE(waitUntil([&] { return ownRenders().size() >= 3; }));
    auto renders = ownRenders();
    ASSERT_TRUE(renders[1].params.tiles) << "the tile in view comes first";
    EXPECT_EQ(squares(renders[1]), (std::vector<RenderTile>{{0, 0, 1024, 1024}}));
    EXPECT_EQ(renders[1].params.scale, 8.0);
    EXPECT_FALSE(renders[2].params.tiles) << "then the page";
    EXPECT_EQ(renders[2].params.scale, 5.33);
    ASSERT_TRUE(waitUntil([&] { return renderer.pageTiles().size() == 2; }));

    // Steps that may not be the last ask for no tiles while they settle; the settled refresh puts the
    // tiles at hand straight back up, before any reply.
    const std::size_t before = sent(CommandMethod::renderPage).size();
    renderer.stepZoom(3.9);
    EXPECT_TRUE(renderer.pageTiles().empty());
    renderer.stepZoom(4.0);
    roundTrips();
    EXPECT_EQ(sent(CommandMethod::renderPage).size(), before);
    renderer.refreshPage();
    EXPECT_EQ(tileIds(), (std::vector<std::string>{"p1@8.0#0,0", "p1@8.0#1,0"}));

    // A zoom away while a tile is on its way never shows it.
    renderer.setVisibleCanvasRect(QRectF(0, 600, 500, 400));
    renderer.updateTiles();
    renderer.zoomTo(3.8);
    ASSERT_TRUE(waitUntil([&] { return tileIds().size() == 4; }));
    EXPECT_EQ(tileIds().front(), "p1@7.6#0,1");
    roundTrips();
    EXPECT_TRUE(misplaced.empty()) << misplaced.front();
    EXPECT_TRUE(filesIn(renderFolder()).empty());
}

TEST_F(TileFakeTest, ATileReplyOfTheWrongSizeIsNotAskedAgainAndAgain) {
    openLargePage({{"KIVO_FAKE_WORKER_SCRIPT", "render_page=wrong-size"}});
    ASSERT_TRUE(waitUntil([&] { return tileRequests().size() == 1; }));
    roundTrips();
    EXPECT_EQ(tileRequests().size(), 1u);
    EXPECT_TRUE(ws().shownPage().pageTiles().empty());
    EXPECT_TRUE(filesIn(renderFolder()).empty()) << "the refused tiles' files are deleted";
    EXPECT_FALSE(ws().errorMessage());

    // A later pass, after a scroll, asks again.
    ws().shownPage().setVisibleCanvasRect(QRectF(10, 0, 500, 400));
    ws().shownPage().updateTiles();
    EXPECT_TRUE(waitUntil([&] { return tileRequests().size() == 2; }));
}

TEST_F(RenderFakeTest, PagesAreFoundByTheirPositionWithoutWrapping) {
    start();
    openDocument();
    // The page field's text as typed is read by the canvas bar (canvas_bar_test).
    const struct {
        std::int64_t position;
        const char* shown;
    } cases[] = {
        {3, "p3"}, {1, "p1"},  {0, "p2"},
        {4, "p2"}, {-3, "p2"}, {std::numeric_limits<std::int64_t>::min(), "p2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.position);
        ws().select("p2");
        EXPECT_EQ(ws().jumpToPage(c.position), std::string(c.shown) != "p2");
        EXPECT_EQ(ws().selectedPageId(), c.shown);
        // The position on show, as its plain number.
        EXPECT_EQ(ws().pageJump(), std::string(c.shown).substr(1));
    }
    ws().select("p1");
    ws().previousPage();
    EXPECT_EQ(ws().selectedPageId(), "p1");
    ws().nextPage();
    ws().nextPage();
    EXPECT_EQ(ws().selectedPageId(), "p3");
    ws().nextPage();
    EXPECT_EQ(ws().selectedPageId(), "p3");
    EXPECT_EQ(ws().pageJump(), "3");
}

// ---- Against the real worker

class RenderRealWorkerTest : public testing::LaunchedWorkspaceTest {
protected:
    // One exchange through the command queue once the files on their way are decoded, and their decoding.
    void roundTrip() {
        ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().decoding(); }));
        ws().setStatus("");
        ws().search("no such words");
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "0 matches"; })) << ws().status();
        ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().decoding(); }));
    }
};

TEST_F(RenderRealWorkerTest, PagesAndThumbnailsRenderAndAnEditRendersOnlyWhatItChanged) {
    const fs::path path = scratch_.docs() / "three.pdf";
    testing::writeFile(path,
                       testing::makePdf({testing::TestPage{}, testing::TestPage{}, testing::TestPage{}}));
    ws().open(path);
    ASSERT_TRUE(waitUntil([&] {
        return !ws().shownPage().pageImage().isNull() && !ws().shownPage().pageChars().empty();
    })) << ws().errorMessage().value_or(ws().status());
    // 612 × 792 points at zoom 1.2 on a backing scale of 2.
    EXPECT_EQ(ws().shownPage().pageImage().size(), QSize(1469, 1901));
    EXPECT_EQ(shownSize(ws().shownPage().pageImage()), QSizeF(734.5, 950.5));
    roundTrip();  // the page rendered ahead is in too
    EXPECT_TRUE(filesIn(*PageRenders::folder()).empty());

    const auto pages = *ws().inspect()->pages;
    const std::int64_t start = ws().thumbnails().thumbnailGeneration();
    for (const auto& page : pages) ws().thumbnails().showThumbnail(page.id);
    ws().thumbnails().hideThumbnail(pages[1].id);  // scrolled away before its turn
    ASSERT_TRUE(waitUntil([&] { return ws().thumbnails().thumbnailGeneration() == start + 2; }));
    roundTrip();
    EXPECT_EQ(ws().thumbnails().thumbnailGeneration(), start + 2);
    // At 0.18 of the backing scale of 2.
    EXPECT_EQ(ws().thumbnails().thumbnail(pages[0].id).size(), QSize(220, 285));
    EXPECT_TRUE(ws().thumbnails().thumbnail(pages[1].id).isNull()) << "its row is not on screen";
    ws().thumbnails().showThumbnail(pages[0].id);  // current: not rendered again
    ws().thumbnails().showThumbnail(pages[1].id);
    ASSERT_TRUE(waitUntil([&] { return ws().thumbnails().thumbnailGeneration() == start + 3; }));
    std::vector<qint64> before;
    for (const auto& page : pages) before.push_back(ws().thumbnails().thumbnail(page.id).cacheKey());
    const qint64 shown = ws().shownPage().pageImage().cacheKey();

    CommandParams params;
    params.sessionId = ws().sessionId();
    params.pageId = pages[1].id;
    params.rect = PDFRect{72, 300, 200, 320};
    ws().mutate(CommandMethod::addHighlight, params, "Highlighted");
    ASSERT_TRUE(waitUntil([&] { return ws().thumbnails().thumbnailGeneration() == start + 4; }))
        << ws().errorMessage().value_or(ws().status());
    roundTrip();
    EXPECT_EQ(ws().thumbnails().thumbnailGeneration(), start + 4);
    EXPECT_EQ(ws().thumbnails().thumbnail(pages[0].id).cacheKey(), before[0]);
    EXPECT_NE(ws().thumbnails().thumbnail(pages[1].id).cacheKey(), before[1]);
    EXPECT_EQ(ws().thumbnails().thumbnail(pages[2].id).cacheKey(), before[2]);
    EXPECT_EQ(ws().shownPage().pageImage().cacheKey(), shown) << "the shown page did not change";
    EXPECT_TRUE(filesIn(*PageRenders::folder()).empty());
}

// The page after the one shown is rendered ahead, so a page turn is a paint; what it paints is what a
// render of that page made then would show, also after the page was edited, the edit undone, or the page
// turned on its side while the page before it was shown.
TEST_F(RenderRealWorkerTest, ThePageRenderedAheadIsTheRightOneAfterAnEditAnUndoOrARotation) {
    const fs::path path = scratch_.docs() / "three.pdf";
    testing::writeFile(
        path, testing::makePdf({testing::TestPage{612, 792, "First"}, testing::TestPage{612, 792, "Second"},
                                testing::TestPage{612, 792, "Third"}}));
    ws().open(path);
    ShownPage& renderer = ws().shownPage();
    ASSERT_TRUE(waitUntil([&] { return !renderer.pageImage().isNull() && !renderer.pageChars().empty(); }))
        << ws().errorMessage().value_or(ws().status());
    const auto pages = *ws().inspect()->pages;
    const auto change = [&](CommandMethod method, CommandParams params, const std::string& status) {
        params.sessionId = ws().sessionId();
        ws().mutate(method, std::move(params), status);
        ASSERT_TRUE(waitUntil([&] { return ws().status() == status; })) << ws().errorMessage().value_or("");
    };
    const struct {
        const char* what;
        std::function<void()> apply;
        QSizeF size;  // the second page's, shown
    } cases[] = {
        {"as opened", [] {}, {734.5, 950.5}},
        {"highlighted",
         [&] {
             CommandParams params;
             params.pageId = pages[1].id;
             params.rect = PDFRect{72, 680, 300, 720};
             change(CommandMethod::addHighlight, params, "Highlighted");
         },
         {734.5, 950.5}},
        {"undone", [&] { ws().history(CommandMethod::undo, "Undo"); }, {734.5, 950.5}},
        {"rotated",
         [&] {
             CommandParams params;
             params.pageIds = std::vector<std::string>{pages[1].id};
             params.rotation = 90;
             change(CommandMethod::rotatePages, params, "Page rotated");
         },
         {950.5, 734.5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A jump to the first page, not a step back to it, which would render the page before it ahead.
        ws().select(pages[2].id);
        ws().select(pages[0].id);
        c.apply();
        if (HasFatalFailure()) return;
        // The first page's refresh (asked again when the change made it stale on its way), then the render
        // ahead its text asks for, are back: each exchange through the queue lets one more link of that
        // chain through.
        for (int i = 0; i < 4; ++i) roundTrip();
        const qint64 before = renderer.pageImage().cacheKey();
        ws().nextPage();
        ASSERT_EQ(ws().selectedPageId(), pages[1].id);
        EXPECT_NE(renderer.pageImage().cacheKey(), before) << "the second page is painted at once";
        EXPECT_EQ(renderer.pageSize(), c.size);
        ASSERT_FALSE(renderer.pageChars().empty()) << "with its text";
        const QImage ahead = renderer.pageImage();
        const std::vector<TextRun> aheadChars = renderer.pageChars();

        // The same page rendered now, with nothing at hand.
        renderer.forgetRenders();
        testing::arrange(renderer, "pageChars", std::vector<TextRun>{});
        renderer.refreshPage();
        ASSERT_TRUE(waitUntil([&] {
            return renderer.pageImage().cacheKey() != ahead.cacheKey() && !renderer.pageChars().empty();
        }));
        EXPECT_TRUE(renderer.pageImage() == ahead) << "the page rendered ahead shows what a render now shows";
        EXPECT_EQ(renderer.pageChars(), aheadChars);
    }
}

TEST_F(RenderRealWorkerTest, TilesOfAPageAt400PercentFitTheWorkersGrid) {
    const fs::path path = scratch_.docs() / "one.pdf";
    testing::writeFile(path, testing::makePdf({testing::TestPage{}}));
    zoomBeforeOpening(ws(), 4.0);
    ws().shownPage().setVisibleCanvasRect(QRectF(0, 0, 1000, 700));
    ws().open(path);
    // The view, 2000 × 1400 pixels, in 2 × 2 tiles of 1024, then the two beside them that twice its area
    // reaches into.
    ASSERT_TRUE(waitUntil([&] { return ws().shownPage().pageTiles().size() == 6; }))
        << ws().shownPage().pageTiles().size() << " " << ws().errorMessage().value_or(ws().status());
    EXPECT_DOUBLE_EQ(shownSize(ws().shownPage().pageImage()).width(), 2448);
    EXPECT_EQ(
        ws().shownPage().pageTiles().front().id.substr(ws().shownPage().pageTiles().front().id.find('@')),
        "@8.0#0,0");
    for (const auto& tile : ws().shownPage().pageTiles()) EXPECT_EQ(shownSize(tile.image), tile.frame.size());
    EXPECT_TRUE(filesIn(*PageRenders::folder()).empty());
}

}  // namespace
}  // namespace kivo
