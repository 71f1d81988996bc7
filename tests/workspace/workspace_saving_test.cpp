// Saving against the real worker: in place, under a new name, as a copy, and the question when the
// file changed on disk, with what each did to the files. Against the fake worker: a failed save stays
// with its document.

#include <gtest/gtest.h>

#include "document_actions_fixture.hpp"
#include "fake_worker_fixture.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::DocumentActionsTest;
using testing::FakeWorkerTest;
using testing::waitUntil;

TEST_F(DocumentActionsTest, SavesSavesAsCopiesAndAsksWhenTheFileChangedOnDisk) {
    open("report.pdf", 1);
    if (HasFatalFailure()) return;
    highlight();
    EXPECT_EQ(ws().saveLabel(), "Unsaved");
    ws().save();
    EXPECT_EQ(ws().saveLabel(), "Saving…");
    ASSERT_TRUE(finished("Saved")) << ws().errorMessage().value_or("");
    EXPECT_EQ(rawValue(ws().savePhase()), "saved");
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
    testing::writeFile(scratch_.docs() / "renamed.pdf",
                       testing::makePdf({testing::TestPage{}, testing::TestPage{}}));
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

TEST_F(FakeWorkerTest, ASaveFailureStaysWithItsDocument) {
    start({{"KIVO_FAKE_WORKER_SCRIPT", "save_document=error:write_failed:The file could not be written."}});
    openDocument("a.pdf");
    ws().save();
    ASSERT_TRUE(waitUntil([&] { return ws().errorMessage().has_value(); }));
    EXPECT_EQ(ws().saveLabel(), "Save failed");
    openDocument("b.pdf");
    EXPECT_EQ(rawValue(ws().savePhase()), "saved");
    EXPECT_EQ(ws().saveLabel(), "Saved");
}

}  // namespace
}  // namespace kivo
