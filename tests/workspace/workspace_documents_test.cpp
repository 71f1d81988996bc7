// Another document opened in place of the open one, against the real worker: what the first one
// rendered goes with it. Against the fake worker: opening with a password, the files named at launch,
// another document replacing the open one, and the revision and operation id each change carries.

#include <gtest/gtest.h>

#include <fstream>

#include "document_actions_fixture.hpp"
#include "fake_worker_fixture.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::DocumentActionsTest;
using testing::FakeWorkerTest;
using testing::waitUntil;

// What a replaced document rendered goes with it, also what was still on its way when the next one
// was opened: the page list's thumbnails, the page and its tiles at 400 %.
TEST_F(DocumentActionsTest, OpeningAnotherDocumentReleasesWhatTheFirstRendered) {
    open("first.pdf", 12);
    if (HasFatalFailure()) return;
    ws().shownPage().setVisibleCanvasRect(QRectF(0, 0, 900, 600));
    ws().shownPage().stepZoom(4.0);
    ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().pageTiles().empty(); }));
    const std::vector<std::string> ids = pageIds();
    for (const std::string& id : ids) ws().thumbnails().showThumbnail(id);
    ASSERT_TRUE(waitUntil([&] { return !ws().thumbnails().thumbnail(ids[2]).isNull(); }));
    const ShownPage::RenderCacheUse before = ws().shownPage().renderCacheUse();
    EXPECT_GT(before.tiles, 0);
    EXPECT_GT(before.thumbnails, 0);

    // Thumbnails of the first are still being rendered, one at a time, when the second is opened.
    ws().shownPage().stepZoom(1.0);
    // Read the caches the moment the second is opened, before its own first render can come back.
    std::optional<ShownPage::RenderCacheUse> atOpen;
    const QMetaObject::Connection opened = QObject::connect(&ws(), &WorkspaceState::statusChanged, [&] {
        if (!atOpen && ws().status() == "Opened second.pdf") atOpen = ws().shownPage().renderCacheUse();
    });
    open("second.pdf", 1);
    QObject::disconnect(opened);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(atOpen.has_value());
    EXPECT_EQ(atOpen->pages + atOpen->tiles + atOpen->thumbnails, 0);
    EXPECT_EQ(atOpen->bytes, 0);
    ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().pageImage().isNull() && !ws().link().activity(); }));
    waitUntil([] { return false; }, 0.5);
    const ShownPage::RenderCacheUse after = ws().shownPage().renderCacheUse();
    EXPECT_EQ(after.pages, 1) << "only the second's page";
    EXPECT_EQ(after.tiles, 0);
    EXPECT_EQ(after.thumbnails, 0) << "no late thumbnail of the first";
}

// ---- Against the fake worker

// The window drops what was typed for a document when the user brings another in its place, and keeps
// it while a restart brings the same one back, from its checkpoint or from its file.
TEST_F(FakeWorkerTest, SaysAnotherDocumentReplacedTheOpenOneOnlyWhenTheUserBroughtIt) {
    for (const char* checkpoint : {"", "s1"}) {
        SCOPED_TRACE(std::string("checkpoint ") + checkpoint);
        workspace_.reset();
        std::filesystem::remove(scratch_.log());
        start({{"KIVO_FAKE_WORKER_RECOVERIES", checkpoint}});
        int replaced = 0;
        QObject::connect(&ws(), &Workspace::documentReplaced, [&] { ++replaced; });
        openDocument("a.pdf");
        EXPECT_EQ(replaced, 1);
        stopWorker();
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened a.pdf again"; })) << ws().status();
        EXPECT_EQ(replaced, 1) << "the same document came back";
        openDocument("b.pdf");
        EXPECT_EQ(replaced, 2);
        ws().restoreRecovery("s1");
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Restored unsaved work"; })) << ws().status();
        EXPECT_EQ(replaced, 3);
    }
}

TEST_F(FakeWorkerTest, AWrongPasswordIsSaidToBeWrongAndAskedForAgain) {
    auto& test = start();
    test.prompts->passwords = {"wrong", "also wrong", "secret"};
    ws().open(scratch_.docs() / "locked.pdf");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened locked.pdf"; })) << ws().status();
    ASSERT_EQ(test.prompts->asked.size(), 3u);
    EXPECT_EQ(test.prompts->asked[0].title, "Password required");
    EXPECT_EQ(test.prompts->asked[1].title, "That password did not open locked.pdf");
    EXPECT_EQ(test.prompts->asked[2].title, "That password did not open locked.pdf");
    EXPECT_FALSE(ws().errorMessage());
}

TEST_F(FakeWorkerTest, ChangesCarryTheirRevisionAndAFreshOperationId) {
    auto& test = start();
    // With no document open, these have nothing to act on.
    ws().history(CommandMethod::undo, "Undo");
    ws().fill("name", "Ada");
    ws().search("budget");
    EXPECT_FALSE(ws().errorMessage());

    openDocument("a.pdf");
    testing::arrange(ws(), "searchHits", std::vector<SearchHit>({SearchHit{"p1", 0, 1, {}, "budget"}}));
    CommandParams params;
    params.sessionId = ws().sessionId();
    ws().mutate(CommandMethod::rotatePages, params, "Page rotated");
    ws().mutate(CommandMethod::rotatePages, params, "Page rotated");
    ASSERT_TRUE(waitUntil([&] { return ws().inspect()->revision == 3; }));
    ws().history(CommandMethod::undo, "Undo");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Undo"; }));

    const auto rotations = sent(CommandMethod::rotatePages);
    ASSERT_EQ(rotations.size(), 2u);
    // Both were made against revision 1; the second goes with the revision the first produced.
    EXPECT_EQ(rotations[0].expectedRevision, 1);
    EXPECT_EQ(rotations[1].expectedRevision, 2);
    for (const auto& rotation : rotations) {
        EXPECT_EQ(rotation.operationId.value_or("").size(), 36u);
        EXPECT_EQ(rotation.channel, CommandChannel::ui);
    }
    EXPECT_NE(rotations[0].operationId, rotations[1].operationId);
    const auto undo = sent(CommandMethod::undo);
    ASSERT_EQ(undo.size(), 1u);
    EXPECT_EQ(undo[0].expectedRevision, 3);
    EXPECT_FALSE(undo[0].operationId);
    EXPECT_EQ(undo[0].params.sessionId, ws().sessionId());
    EXPECT_TRUE(sent(CommandMethod::search).empty());
    EXPECT_TRUE(sent(CommandMethod::fillForm).empty());
    EXPECT_EQ(ws().searchHits().size(), 1u) << "the same session keeps its hits";

    // The worker answering an open with the open session keeps it open; another document closes it.
    openDocument("a.pdf");
    EXPECT_TRUE(sent(CommandMethod::close).empty());
    const auto first = ws().sessionId();
    openDocument("b.pdf");
    ASSERT_TRUE(waitUntil([&] { return sent(CommandMethod::close).size() == 1; }));
    EXPECT_EQ(sent(CommandMethod::close)[0].params.sessionId, first);
    EXPECT_TRUE(ws().searchHits().empty()) << "hits of another document are gone";
    EXPECT_TRUE(test.prompts->asked.empty());
}

TEST_F(FakeWorkerTest, OpensTheFirstReadablePdfNamedAtLaunchOnceTheWorkerIsReady) {
    for (const char* name : {"notes.txt", "B.PDF", "c.pdf"}) std::ofstream(scratch_.docs() / name) << "x";
    const std::vector<std::string> arguments = {
        (scratch_.docs() / "missing.pdf").string(), (scratch_.docs() / "notes.txt").string(),
        (scratch_.docs() / "B.PDF").string(), (scratch_.docs() / "c.pdf").string()};
    workspace_ = std::make_unique<testing::TestWorkspace>(
        testing::fakeWorker(),
        std::map<std::string, std::string>{{"KIVO_FAKE_WORKER_LOG", scratch_.log().string()}});
    ws().openLaunchFiles(arguments, 8);
    ws().launchOnce();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened B.PDF"; })) << ws().status();
    EXPECT_EQ(sent(CommandMethod::open).size(), 1u);
}

}  // namespace
}  // namespace kivo
