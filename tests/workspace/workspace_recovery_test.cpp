// The lost document brought back after a stop, and a checkpoint restored, against the fake worker and
// the real one.

#include <signal.h>

#include <gtest/gtest.h>

#include <string>

#include "fake_worker_fixture.hpp"
#include "real_worker_fixture.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::FakeWorkerTest;
using testing::RealWorkerTest;
using testing::waitUntil;

TEST_F(FakeWorkerTest, AWorkerThatStopsWhileRestoringIsRestartedOnceAndTheDocumentGivenUp) {
    start({{"KIVO_FAKE_WORKER_RECOVERIES", "s1"}, {"KIVO_FAKE_WORKER_SCRIPT", "restore_recovery=exit:72"}});
    openDocument("a.pdf");
    stopWorker();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Could not open a.pdf again"; })) << ws().status();
    EXPECT_EQ(noticeText(),
              "The PDF worker stopped because a command made no progress for 60 seconds. Kivo PDF started it "
              "again, "
              "but could not open a.pdf: the PDF worker stopped again while opening it.");
    EXPECT_TRUE(ws().link().workerReady());
    EXPECT_EQ(sent(CommandMethod::restoreRecovery).size(), 1u);
    EXPECT_EQ(testing::fakeLog(scratch_.log(), "argv ").size(), 3u);
    // The checkpoint stays and is offered.
    ASSERT_TRUE(waitUntil([&] { return ws().checkpoints().showRecovery(); }));
    EXPECT_EQ(ws().checkpoints().recoveries().at(0).recoveryId, "s1");
}

TEST_F(FakeWorkerTest, ACancelledRestoreGivesUpAndOffersTheCheckpoint) {
    start({{"KIVO_FAKE_WORKER_RECOVERIES", "s1"},
           {"KIVO_FAKE_WORKER_SCRIPT",
            "restore_recovery=error:cancelled:The command was cancelled. Nothing changed."}});
    openDocument("a.pdf");
    stopWorker();
    ASSERT_TRUE(waitUntil([&] { return ws().checkpoints().showRecovery(); }));
    EXPECT_TRUE(noticeText().ends_with(
        "Kivo PDF started it again, but could not open a.pdf: the restore was cancelled."))
        << noticeText();
    EXPECT_EQ(ws().status(), "Could not open a.pdf again");
    EXPECT_FALSE(ws().lostDocument());
}

TEST_F(FakeWorkerTest, ADocumentOpenedWhileTheLostOneIsOnItsWayStaysOpen) {
    start({{"KIVO_FAKE_WORKER_RECOVERIES", "s1"}, {"KIVO_FAKE_WORKER_SCRIPT", "list_recovery=sleep:300"}});
    openDocument("a.pdf");
    const qint64 first = ws().link().workerProcessId();
    ::kill(static_cast<pid_t>(first), SIGUSR1);
    ASSERT_TRUE(waitUntil(
        [&] { return ws().link().workerProcessId() != first && ws().link().workerProcessId() != 0; }));
    // The restore is sent only after this open, whose answer ends the wait for the lost document.
    openDocument("b.pdf");
    ASSERT_TRUE(waitUntil([&] { return sent(CommandMethod::restoreRecovery).size() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return sent(CommandMethod::close).size() == 1; }));
    EXPECT_EQ(sent(CommandMethod::close)[0].params.sessionId, "r2") << "the restored copy is closed, unseen";
    EXPECT_EQ(ws().status(), "Opened b.pdf");
    EXPECT_EQ(ws().inspect()->sourcePath, (scratch_.docs() / "b.pdf").string());
    EXPECT_FALSE(ws().lostDocument());
}

TEST_F(FakeWorkerTest, ALostEncryptedDocumentAsksForItsPasswordAgain) {
    auto& test = start();
    test.prompts->passwords = {"secret"};
    openDocument("locked.pdf");
    test.prompts->asked.clear();
    test.prompts->passwords = {"wrong", std::nullopt};
    stopWorker();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Could not open locked.pdf again"; }))
        << ws().status();
    ASSERT_EQ(test.prompts->asked.size(), 2u);
    EXPECT_EQ(test.prompts->asked[0].title, "Password required");
    EXPECT_EQ(test.prompts->asked[1].title, "That password did not open locked.pdf");
    EXPECT_EQ(test.prompts->asked[1].detail,
              "Enter the password for locked.pdf to open it again after the PDF worker stopped. The password "
              "is not "
              "stored or logged.");
    EXPECT_TRUE(noticeText().ends_with("could not open locked.pdf: no password was entered."))
        << noticeText();
}

TEST_F(FakeWorkerTest, AnEncryptedCheckpointOpensWithThePasswordAndReplacesTheOpenDocument) {
    auto& test = start({{"KIVO_FAKE_WORKER_RECOVERIES", "locked-1"}});
    ASSERT_TRUE(waitUntil([&] { return ws().checkpoints().showRecovery(); }));
    openDocument("a.pdf");
    const auto opened = ws().sessionId();
    test.prompts->passwords = {"wrong", "secret"};
    ws().restoreRecovery("locked-1");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Restored unsaved work"; })) << ws().status();
    EXPECT_EQ(test.prompts->asked.size(), 2u);
    EXPECT_EQ(test.prompts->asked.at(0).title, "Password required");
    EXPECT_EQ(test.prompts->asked.at(1).title, "That password did not open this PDF");
    EXPECT_EQ(test.prompts->asked.at(1).detail,
              "This PDF is encrypted. The password is not stored or logged.");
    EXPECT_FALSE(ws().checkpoints().showRecovery());
    ASSERT_TRUE(waitUntil([&] { return sent(CommandMethod::close).size() == 1; }));
    EXPECT_EQ(sent(CommandMethod::close)[0].params.sessionId, opened);
}

TEST_F(RealWorkerTest, AKilledWorkerIsRestartedAndTheDocumentRestoredAtItsPage) {
    const auto test = launched();
    ASSERT_TRUE(test);
    Workspace& ws = **test;
    ws.open(document("notes.pdf", {testing::TestPage{}, testing::TestPage{}, testing::TestPage{}}));
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened notes.pdf"; })) << ws.status();
    const std::string third = ws.inspect()->pages->at(2).id;
    ws.select(third);
    highlight(ws, third);
    if (HasFatalFailure()) return;
    const auto killed = ws.sessionId();

    ::kill(static_cast<pid_t>(ws.link().workerProcessId()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened notes.pdf again"; })) << ws.status();
    EXPECT_EQ(
        ws.workerNotice()->message,
        "The PDF worker was killed (Killed). The system does this when memory runs out, and another program "
        "can too. Kivo PDF started it again and restored notes.pdf from its last recovery checkpoint. Undo "
        "history from before the stop is gone.");
    EXPECT_FALSE(ws.workerNotice()->offersRestart);
    EXPECT_NE(ws.sessionId(), killed);
    EXPECT_EQ(ws.pageJump(), "3");
    EXPECT_EQ(ws.currentPage()->index, 2);
    EXPECT_EQ(ws.inspect()->annotations->size(), 1u) << "the highlight came back with the checkpoint";
    EXPECT_TRUE(ws.link().workerReady());

    // Another document is no document the stop touched: the notice keeps the stop, and names no file.
    ws.open(document("contract.pdf", {testing::TestPage{}}));
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened contract.pdf"; })) << ws.status();
    ASSERT_TRUE(ws.workerNotice());
    EXPECT_EQ(ws.workerNotice()->message,
              "The PDF worker was killed (Killed). The system does this when memory runs out, and another "
              "program can too. Kivo PDF started it again.");
}

}  // namespace
}  // namespace kivo
