// Another document opened in place of the open one, against the real worker: what the first one
// rendered goes with it.

#include <gtest/gtest.h>

#include "document_actions_fixture.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::DocumentActionsTest;
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

}  // namespace
}  // namespace kivo
