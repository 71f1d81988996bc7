// Page organisation against the real worker: the search that finds the pages, moving, rotating,
// deleting, merging and extracting them, and the page shown after a deletion.

#include <gtest/gtest.h>

#include "document_actions_fixture.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::DocumentActionsTest;
using testing::waitUntil;

TEST_F(DocumentActionsTest, SearchWrapsAndPagesMoveRotateDeleteMergeAndExtract) {
    open("pages.pdf", 3);
    if (HasFatalFailure()) return;
    const std::vector<std::string> ids = pageIds();

    ws().findNext("  Hello  ");  // no hits yet: searches
    ASSERT_TRUE(finished("Match 1 of 3")) << ws().errorMessage().value_or("");
    ws().findPrevious("  Hello  ");
    EXPECT_EQ(ws().status(), "Match 3 of 3");
    EXPECT_EQ(ws().selectedPageId(), ids[2]);
    ws().findNext("  Hello  ");
    EXPECT_EQ(ws().status(), "Match 1 of 3");

    ws().moveSelectedPage(-1);  // the first page cannot move up
    ws().moveSelectedPage(1);
    ASSERT_TRUE(finished("Page moved to position 2")) << ws().errorMessage().value_or("");
    EXPECT_EQ(pageIds(), (std::vector<std::string>{ids[1], ids[0], ids[2]}));

    ws().movePage({1, 7, -1}, 99);  // rows that are gone are left out; the end is the page count
    ASSERT_TRUE(finished("Pages reordered")) << ws().errorMessage().value_or("");
    EXPECT_EQ(pageIds(), (std::vector<std::string>{ids[1], ids[2], ids[0]}));
    const std::int64_t revision = *ws().inspect()->revision;
    ws().movePage({5}, 0);
    ws().history(CommandMethod::redo, "Redo");  // a barrier: anything sent before it has its answer
    waitUntil([&] { return ws().status() == "Redo" || ws().errorMessage(); });
    EXPECT_EQ(ws().inspect()->revision, revision) << "a move of nothing sent nothing";

    ws().select(ids[0]);
    ws().rotateSelected(-90);
    ASSERT_TRUE(finished("Page rotated")) << ws().errorMessage().value_or("");
    EXPECT_EQ(ws().currentPage()->rotation, 3) << "three quarter turns";

    ws().deleteSelectedPage();
    ASSERT_TRUE(finished("Page deleted")) << ws().errorMessage().value_or("");
    EXPECT_EQ(pageIds(), (std::vector<std::string>{ids[1], ids[2]}));
    EXPECT_EQ(ws().selectedPageId(), ids[2]) << "the last page gave way to the new last";

    test_->dialogs->openPdf = testing::writeDocument(scratch_, "more.pdf", {testing::TestPage{}});
    ws().mergePanel();
    ASSERT_TRUE(finished("Merged more.pdf")) << ws().errorMessage().value_or("");
    EXPECT_EQ(ws().inspect()->pages->size(), 3u);

    const CommandResult before = *ws().inspect();
    test_->dialogs->savePdf = scratch_.docs() / "one page.pdf";
    ws().extractPanel();
    ASSERT_TRUE(finished("Extracted page to one page.pdf")) << ws().errorMessage().value_or("");
    EXPECT_EQ(test_->dialogs->suggestedNames.back(), "Extracted pages.pdf");
    EXPECT_EQ(test_->dialogs->folders.back(), scratch_.docs());
    EXPECT_EQ(ws().inspect(), before) << "extracting leaves the open document as it was";
    EXPECT_NE(testing::readFile(scratch_.docs() / "one page.pdf").find("/Count 1"), std::string::npos);
}

TEST_F(DocumentActionsTest, ADeletedPageGivesWayToThePageThatTookItsPlace) {
    open("four.pdf", 4);
    if (HasFatalFailure()) return;
    const std::vector<std::string> ids = pageIds();
    const struct {
        std::string deleted;
        std::string shown;
        std::string pageJump;
    } cases[] = {{ids[1], ids[2], "2"}, {ids[0], ids[2], "1"}, {ids[3], ids[2], "1"}};
    for (const auto& c : cases) {
        ws().select(c.deleted);
        ws().setStatus("");
        ws().deleteSelectedPage();
        ASSERT_TRUE(finished("Page deleted")) << ws().errorMessage().value_or("");
        EXPECT_EQ(ws().selectedPageId(), c.shown);
        EXPECT_EQ(ws().pageJump(), c.pageJump);
    }
}

}  // namespace
}  // namespace kivo
