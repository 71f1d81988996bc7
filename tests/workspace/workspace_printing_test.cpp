// Printing: what a print to a file holds, the owner-only copy the printer gets and that it is deleted,
// against the real worker, and the copies a failed export or a quitting editor leave, against the fake.

#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "document_actions_fixture.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::DocumentActionsTest;
using testing::waitUntil;

std::filesystem::path privateFolder(const testing::Scratch& scratch) {
    return scratch.tmp() / ("kivo-pdf-ui-" + std::to_string(::geteuid()));
}

// The print copies in `folder` and any hidden file written for one.
std::vector<std::string> printCopiesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.starts_with("kivo-print-") || name.starts_with(".kivo-print-")) names.push_back(name);
    }
    return names;
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
    const std::filesystem::path copies = test_->printer->printed.back().job.path.parent_path();
    const auto left =
        std::distance(std::filesystem::directory_iterator(copies), std::filesystem::directory_iterator());
    test_->printer->choice = std::nullopt;
    ws().printDocument();
    ws().history(CommandMethod::redo, "Redo");  // a barrier: the export before it has its answer
    waitUntil([&] { return ws().status() == "Redo" || ws().errorMessage(); });
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(copies), std::filesystem::directory_iterator()),
        left)
        << "a closed dialog leaves no copy behind";
}

// A file holds what a printer would have made of the choice: the copies, collated or not, and on
// both sides each copy (each sheet, uncollated) starting on the front of a sheet. The file handed
// on is read back through the worker: page n is 500 + n points wide and says "Hello page n"; a
// blank page has the size of the page before it and no text.
TEST_F(DocumentActionsTest, PrintToFileHoldsTheCopiesAndBeginsEachOnAFrontSide) {
    using Sides = PrintChoice::Sides;
    const struct {
        std::string ranges;
        int copies;
        bool collate;
        Sides sides;
        std::string pages;  // as read back, "_" for a blank page
        bool reverse = false;
    } cases[] = {
        {"", 2, true, Sides::oneSided, "123123"},
        {"", 2, false, Sides::printerDefault, "112233"},
        {"", 2, true, Sides::longEdge, "123_123"},
        {"", 2, false, Sides::shortEdge, "12123_3"},
        {"2-3", 3, true, Sides::longEdge, "232323"},
        {"1", 2, true, Sides::longEdge, "1_1"},
        {"3,1", 2, false, Sides::oneSided, "3311"},
        {"", 1, true, Sides::longEdge, "123"},
        // The dialog's "Reverse": the last page first.
        {"", 1, true, Sides::oneSided, "321", true},
        {"", 2, true, Sides::printerDefault, "321321", true},
        {"3,1", 2, false, Sides::oneSided, "1133", true},
    };
    const std::filesystem::path printed = scratch_.docs() / "printed.pdf";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pages);
        std::vector<testing::TestPage> list;
        for (int i = 1; i <= 3; ++i)
            list.push_back(testing::TestPage{500.0 + i, 700, "Hello page " + std::to_string(i)});
        ws().open(testing::writeDocument(scratch_, "copies.pdf", list));
        ASSERT_TRUE(finished("Opened copies.pdf"));
        PrintChoice choice{"",       c.copies, c.collate, c.ranges, c.sides, scratch_.docs() / "chosen.pdf",
                           c.reverse};
        test_->printer->choice = choice;
        const std::size_t before = test_->printer->printed.size();
        ws().printDocument();
        ASSERT_TRUE(waitUntil([&] { return test_->printer->printed.size() > before || ws().errorMessage(); }))
            << ws().errorMessage().value_or("");
        testing::writeFile(printed, test_->printer->printed.back().bytes);

        ws().open(printed);
        ASSERT_TRUE(finished("Opened printed.pdf"));
        ws().findNext("Hello page");
        ASSERT_TRUE(waitUntil([&] { return ws().status().starts_with("Match 1 of") || ws().errorMessage(); }))
            << ws().errorMessage().value_or("");
        std::set<std::string> withText;
        for (const SearchHit& hit : ws().searchHits()) withText.insert(hit.pageId);
        std::string pages;
        for (const PageInfo& page : *ws().inspect()->pages) {
            pages += withText.contains(page.id) ? std::to_string(static_cast<int>(page.width) - 500) : "_";
        }
        EXPECT_EQ(pages, c.pages);
    }
}

// The copy holds the whole document, unsaved changes included: only its user may read it.
TEST_F(DocumentActionsTest, PrintsAnOwnerOnlyCopyWithTheUnsavedChangesAndDeletesIt) {
    ws().printDocument();  // no document: nothing at all
    open("print.pdf", 2);
    if (HasFatalFailure()) return;
    highlight();
    ws().printDocument();
    ws().printDocument();
    ASSERT_TRUE(waitUntil([&] { return test_->printer->printed.size() == 2 || ws().errorMessage(); }))
        << ws().errorMessage().value_or("");
    for (const auto& seen : test_->printer->printed) {
        EXPECT_EQ(seen.job.path.parent_path(), scratch_.support() / "print")
            << "where only the editor writes";
        EXPECT_EQ(seen.mode, 0600u) << std::oct << seen.mode;
        EXPECT_TRUE(seen.job.path.filename().string().starts_with("kivo-print-")) << seen.job.path;
        EXPECT_EQ(seen.job.title, "print.pdf");
        EXPECT_EQ(seen.job.pageCount, 2);
        EXPECT_NE(seen.bytes.find("/Highlight"), std::string::npos) << "the unsaved highlight is printed";
    }
    EXPECT_NE(test_->printer->printed[0].job.path, test_->printer->printed[1].job.path);

    struct Case {
        PrintOutcome outcome;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {PrintOutcome::printed(), std::nullopt},
        {PrintOutcome::cancelled(), std::nullopt},
        {PrintOutcome::failed("the printer is out of paper"),
         "Could not print: the printer is out of paper. Nothing was printed."},
    };
    for (const Case& c : cases) {
        test_->printer->outcome = c.outcome;
        const std::size_t before = test_->printer->printed.size();
        ws().setErrorMessage(std::nullopt);
        ws().printDocument();
        ASSERT_TRUE(
            waitUntil([&] { return test_->printer->printed.size() > before || ws().errorMessage(); }));
        ASSERT_TRUE(waitUntil([&] {
            return printCopiesIn(privateFolder(scratch_)).empty() &&
                   printCopiesIn(scratch_.support() / "print").empty();
        })) << c.error.value_or("")
            << ": the export and the copy are deleted";
        EXPECT_EQ(ws().errorMessage(), c.error);
    }
    EXPECT_TRUE(printCopiesIn(scratch_.tmp()).empty());
}

// An export that fails, or an editor that quits while the worker writes, leaves no copy behind
// either; the fake worker writes nothing, so the copy is the one the editor made for the export.
TEST(PrintingTest, NoCopyOutlivesAFailedExportOrTheEditor) {
    struct Case {
        const char* name;
        std::string script;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"a copy the export left unreadable", "",
         "Could not print: the exported copy could not be read. Nothing was printed."},
        {"a refused export", "export_document=error:stale_revision:The document changed.",
         "The document changed."},
        {"quitting during the export", "export_document=stall", std::nullopt},
    };
    for (const Case& c : cases) {
        const testing::Scratch scratch;
        testing::TestWorkspace test(
            testing::fakeWorker(),
            {{"KIVO_FAKE_WORKER_SCRIPT", c.script}, {"KIVO_FAKE_WORKER_LOG", scratch.log().string()}});
        test->launchOnce();
        test->open(scratch.docs() / "a.pdf");
        ASSERT_TRUE(waitUntil([&] { return test->status() == "Opened a.pdf"; })) << c.name;
        test->printDocument();
        if (c.error) {
            ASSERT_TRUE(waitUntil([&] { return test->errorMessage().has_value(); })) << c.name;
            EXPECT_EQ(*test->errorMessage(), *c.error) << c.name;
        } else {
            ASSERT_TRUE(waitUntil([&] {
                return testing::sentRequests(scratch.log(), CommandMethod::exportDocument).size() == 1;
            })) << c.name;
            EXPECT_EQ(printCopiesIn(privateFolder(scratch)).size(), 1u) << c.name << ": the copy is out";
            test.workspace.reset();
        }
        EXPECT_TRUE(printCopiesIn(privateFolder(scratch)).empty()) << c.name;
        EXPECT_TRUE(test.printer->printed.empty()) << c.name;
    }
}

// A file of more printed pages than the worker takes is refused before the list is made; the
// worker is not asked for it. The fake worker's copy holds no pages, so a file it is asked for
// cannot be read back.
TEST(PrintingTest, AFileOfMorePagesThanTheWorkerTakesIsRefusedBeforeItIsListed) {
    const testing::Scratch scratch;
    testing::TestWorkspace test(testing::fakeWorker(), {{"KIVO_FAKE_WORKER_SCRIPT", "export_document=pdf"},
                                                        {"KIVO_FAKE_WORKER_PAGES", "1053"},
                                                        {"KIVO_FAKE_WORKER_LOG", scratch.log().string()}});
    test->launchOnce();
    test->open(scratch.docs() / "a.pdf");
    ASSERT_TRUE(waitUntil([&] { return test->status() == "Opened a.pdf"; }));
    const struct {
        int copies;
        std::size_t listed;  // pages asked of the worker
        std::string error;
    } cases[] = {
        {94, 1053 * 94, "Could not print: the exported copy could not be read. Nothing was printed."},
        {95, 0, "Could not print: the page list is longer than 100,000 pages. Nothing was printed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.copies);
        test.printer->choice =
            PrintChoice{"", c.copies, true, "", PrintChoice::Sides::oneSided, scratch.docs() / "o.pdf"};
        test->setErrorMessage(std::nullopt);
        const std::size_t asked = testing::sentRequests(scratch.log(), CommandMethod::extractPages).size();
        test->printDocument();
        ASSERT_TRUE(waitUntil([&] { return test->errorMessage().has_value(); }));
        EXPECT_EQ(*test->errorMessage(), c.error);
        const auto sent = testing::sentRequests(scratch.log(), CommandMethod::extractPages);
        EXPECT_EQ(sent.size() - asked, c.listed ? 1u : 0u);
        if (c.listed && sent.size() > asked) {
            EXPECT_EQ(sent.back().params.pageIds->size(), c.listed);
        }
    }
}

}  // namespace
}  // namespace kivo
