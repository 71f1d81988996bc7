// Saving, searching, page organisation and printing against the real worker: each action's
// command, its status, and what it did to the worker's document and to the files on disk.

#include <gtest/gtest.h>

#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::waitUntil;

class DocumentActionsTest : public testing::LaunchedWorkspaceTest {
protected:
    void open(const std::string& name, int pages) {
        std::vector<testing::TestPage> list;
        for (int i = 0; i < pages; ++i)
            list.push_back(testing::TestPage{612, 792, "Hello page " + std::to_string(i + 1)});
        ws().open(testing::writeDocument(scratch_, name, list));
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened " + name; })) << ws().status();
    }

    // Waits for the status and fails on an error instead.
    bool finished(const std::string& status) {
        return waitUntil([&] { return ws().status() == status || ws().errorMessage(); }) && ws().status() == status;
    }

    void highlight() {
        ws().setStatus("");
        ws().setSelection(PDFRect{72, 300, 200, 320});
        ws().highlightSelection();
        ASSERT_TRUE(finished("Highlight added")) << ws().errorMessage().value_or("");
    }

    std::vector<std::string> pageIds() {
        std::vector<std::string> ids;
        for (const PageInfo& page : *ws().inspect()->pages) ids.push_back(page.id);
        return ids;
    }
};

TEST_F(DocumentActionsTest, SavesSavesAsCopiesAndAsksWhenTheFileChangedOnDisk) {
    open("report.pdf", 1);
    if (HasFatalFailure()) return;
    highlight();
    EXPECT_EQ(ws().saveLabel(), "Unsaved");
    ws().save();
    EXPECT_EQ(ws().saveLabel(), "Saving…");
    ASSERT_TRUE(finished("Saved")) << ws().errorMessage().value_or("");
    EXPECT_EQ(ws().savePhase(), "saved");
    EXPECT_NE(testing::readFile(scratch_.docs() / "report.pdf").find("/Highlight"), std::string::npos);

    test_->dialogs->savePdf = scratch_.docs() / "copy.pdf";
    ws().saveCopy();
    ASSERT_TRUE(finished("Saved a copy")) << ws().errorMessage().value_or("");
    EXPECT_EQ(test_->dialogs->suggestedNames.back(), "Untitled copy.pdf");
    EXPECT_EQ(test_->dialogs->folders.back(), scratch_.docs()) << "the panel opens beside the document";
    EXPECT_TRUE(std::filesystem::exists(scratch_.docs() / "copy.pdf"));
    EXPECT_EQ(ws().inspect()->sourcePath, (scratch_.docs() / "report.pdf").string());

    test_->dialogs->savePdf = scratch_.docs() / "renamed.pdf";
    ws().saveAs();
    ASSERT_TRUE(finished("Saved")) << ws().errorMessage().value_or("");
    EXPECT_EQ(test_->dialogs->suggestedNames.back(), "report.pdf");
    EXPECT_EQ(ws().inspect()->sourcePath, (scratch_.docs() / "renamed.pdf").string());
    EXPECT_EQ(ws().suggestedName(), "renamed.pdf");

    // Someone else writes the file; the next save in place is refused and asks.
    testing::writeFile(scratch_.docs() / "renamed.pdf", testing::makePdf({testing::TestPage{}, testing::TestPage{}}));
    highlight();
    ws().save();
    ASSERT_TRUE(waitUntil([&] { return ws().errorMessage().has_value(); }));
    EXPECT_EQ(test_->prompts->staleAsked, 1);
    EXPECT_EQ(*ws().errorMessage(), "Save cancelled because the file on disk changed.");
    EXPECT_EQ(ws().saveLabel(), "Save failed");
    highlight();
    EXPECT_EQ(ws().saveLabel(), "Save failed") << "a later edit keeps the failure on show";

    test_->prompts->staleChoices = {Prompts::StaleFileChoice::overwrite};
    ws().save();
    ASSERT_TRUE(finished("Saved")) << ws().errorMessage().value_or("");
    EXPECT_EQ(test_->prompts->staleAsked, 2);
    EXPECT_EQ(ws().saveLabel(), "Saved");
    EXPECT_EQ(testing::readFile(scratch_.docs() / "renamed.pdf").find("/Count 2"), std::string::npos)
        << "the worker's document replaced the other program's file";
}

TEST_F(DocumentActionsTest, SearchWrapsAndPagesMoveRotateDeleteMergeAndExtract) {
    open("pages.pdf", 3);
    if (HasFatalFailure()) return;
    const std::vector<std::string> ids = pageIds();

    ws().setSearchQuery("  Hello  ");
    ws().findNext();  // no hits yet: searches
    ASSERT_TRUE(finished("Match 1 of 3")) << ws().errorMessage().value_or("");
    ws().findPrevious();
    EXPECT_EQ(ws().status(), "Match 3 of 3");
    EXPECT_EQ(ws().selectedPageId(), ids[2]);
    ws().findNext();
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

TEST_F(DocumentActionsTest, PrintToFileHoldsOnlyThePagesOfTheRange) {
    open("range.pdf", 4);
    if (HasFatalFailure()) return;
    const std::filesystem::path file = scratch_.docs() / "printed.pdf";
    const struct {
        bool toFile;
        std::string ranges;
        std::string count;  // of the pages handed on
        std::string rangesHandedOn;
    } cases[] = {
        {true, "2-3", "/Count 2", ""}, {true, "4,1,4", "/Count 2", ""},   {true, "3-9", "/Count 2", ""},
        {true, "", "/Count 4", ""},    {false, "2-3", "/Count 4", "2-3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ranges);
        PrintChoice choice;
        choice.pageRanges = c.ranges;
        if (c.toFile) choice.outputFile = file;
        test_->printer->choice = choice;
        const std::size_t before = test_->printer->printed.size();
        ws().printDocument();
        ASSERT_TRUE(waitUntil([&] { return test_->printer->printed.size() > before || ws().errorMessage(); }))
            << ws().errorMessage().value_or("");
        const auto& seen = test_->printer->printed.back();
        EXPECT_NE(seen.bytes.find(c.count), std::string::npos);
        EXPECT_EQ(seen.choice.pageRanges, c.rangesHandedOn) << "a printer takes the range as an option";
        EXPECT_EQ(seen.choice.outputFile, choice.outputFile);
        EXPECT_TRUE(seen.job.path.filename().string().starts_with("kivo-print-")) << seen.job.path;
        EXPECT_FALSE(std::filesystem::exists(seen.job.path)) << "the copy is deleted once printed";
    }
    const auto left = std::distance(std::filesystem::directory_iterator(scratch_.support().parent_path() / "tmp"),
                                    std::filesystem::directory_iterator());
    test_->printer->choice = std::nullopt;
    ws().printDocument();
    ws().history(CommandMethod::redo, "Redo");  // a barrier: the export before it has its answer
    waitUntil([&] { return ws().status() == "Redo" || ws().errorMessage(); });
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch_.support().parent_path() / "tmp"),
                            std::filesystem::directory_iterator()),
              left)
        << "a closed dialog leaves no copy behind";
}

TEST_F(DocumentActionsTest, PrintsAnExportedCopyWithTheUnsavedChangesAndDeletesIt) {
    ws().printDocument();  // no document: nothing at all
    open("print.pdf", 2);
    if (HasFatalFailure()) return;
    highlight();
    ws().printDocument();
    ws().printDocument();
    ASSERT_TRUE(waitUntil([&] { return test_->printer->printed.size() == 2 || ws().errorMessage(); }))
        << ws().errorMessage().value_or("");
    for (const auto& seen : test_->printer->printed) {
        EXPECT_EQ(seen.job.path.parent_path(), scratch_.support().parent_path() / "tmp");
        EXPECT_TRUE(seen.job.path.filename().string().starts_with("kivo-print-")) << seen.job.path;
        EXPECT_EQ(seen.job.title, "print.pdf");
        EXPECT_EQ(seen.job.pageCount, 2);
        EXPECT_NE(seen.bytes.find("/Highlight"), std::string::npos) << "the unsaved highlight is printed";
        EXPECT_FALSE(std::filesystem::exists(seen.job.path)) << "the copy is deleted once printed";
    }
    EXPECT_NE(test_->printer->printed[0].job.path, test_->printer->printed[1].job.path);

    test_->printer->outcome = PrintOutcome::failed("the printer is out of paper");
    ws().printDocument();
    ASSERT_TRUE(waitUntil([&] { return ws().errorMessage().has_value(); }));
    EXPECT_EQ(*ws().errorMessage(), "Could not print: the printer is out of paper. Nothing was printed.");
    EXPECT_FALSE(std::filesystem::exists(test_->printer->printed.back().job.path));
}

TEST(PrintingTest, AnExportThatLeftNoReadableCopyPrintsNothing) {
    const testing::Scratch scratch;
    testing::TestWorkspace test(testing::fakeWorker());
    test->launchOnce();
    test->open(scratch.docs() / "a.pdf");
    ASSERT_TRUE(waitUntil([&] { return test->status() == "Opened a.pdf"; }));
    test->printDocument();  // the fake worker answers the export without writing anything
    ASSERT_TRUE(waitUntil([&] { return test->errorMessage().has_value(); }));
    EXPECT_EQ(*test->errorMessage(), "Could not print: the exported copy could not be read. Nothing was printed.");
    EXPECT_TRUE(test.printer->printed.empty());
}

}  // namespace
}  // namespace kivo
