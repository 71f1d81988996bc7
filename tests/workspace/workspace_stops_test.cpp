// A stop of the fake worker: told in the notice, restarted up to the third stop within a minute, never
// after the sandbox failed, and the lost document brought back by the notice's button.

#include <signal.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "fake_worker_fixture.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::FakeWorkerTest;
using testing::waitUntil;

TEST_F(FakeWorkerTest, EveryStopIsToldAndRestarted) {
    const struct {
        const char* usr1;
        int signal;
        std::map<std::string, std::string> environment;
        bool sharing;
        std::string notice;
    } cases[] = {
        {"exit:71",
         SIGUSR1,
         {{"KIVO_PDF_WORKER_MEMORY_HARD_LIMIT_MB", "3000"}},
         false,
         "The PDF worker stopped because a document took its memory past 3000 MB. Kivo PDF started it "
         "again."},
        {"exit:72",
         SIGUSR1,
         {{"KIVO_PDF_WORKER_STALL_LIMIT_S", "2.5"}},
         false,
         "The PDF worker stopped because a command made no progress for 2.5 seconds. Kivo PDF started it "
         "again."},
        {"signal:11",
         SIGUSR1,
         {},
         false,
         "The PDF worker crashed (Segmentation fault). Kivo PDF started it again."},
        {"exit:3",
         SIGUSR1,
         {},
         true,
         "The PDF worker exited unexpectedly with status 3. Kivo PDF started it again. MCP access is off "
         "until you "
         "turn it on again."},
        {"",
         SIGKILL,
         {},
         false,
         "The PDF worker was killed (Killed). The system does this when memory runs out, and another program "
         "can "
         "too. Kivo PDF started it again."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.notice);
        workspace_.reset();
        auto environment = c.environment;
        environment["KIVO_FAKE_WORKER_USR1"] = c.usr1;
        start(environment);
        ASSERT_TRUE(ws().link().workerReady());
        testing::arrange(ws().sharing(), "mcpAccessGranted", c.sharing);
        stopWorker(c.signal);
        EXPECT_EQ(noticeText(), c.notice);
        EXPECT_FALSE(ws().workerNotice()->offersRestart);
        EXPECT_EQ(ws().status(), "PDF worker restarted");
        EXPECT_TRUE(ws().link().workerReady());
        EXPECT_FALSE(ws().sharing().mcpAccessGranted());
    }
}

TEST_F(FakeWorkerTest, TheThirdStopWithinAMinuteIsNotRestartedAndTheButtonBringsTheDocumentBack) {
    auto& test = start();
    stopWorker();
    test.clock->advance(30);
    stopWorker();
    EXPECT_TRUE(ws().link().workerReady());

    openDocument("a.pdf");
    CommandParams note;
    note.sessionId = ws().sessionId();
    note.pageId = "p2";
    ws().mutate(CommandMethod::addNote, note, "Note added");
    ASSERT_TRUE(waitUntil([&] { return rawValue(ws().savePhase()) == "unsaved"; }));
    ws().select("p3");

    test.clock->advance(20);
    stopWorker();
    const std::string cause = "The PDF worker stopped because a document took its memory past ";
    EXPECT_TRUE(noticeText().starts_with(cause)) << noticeText();
    EXPECT_TRUE(
        noticeText().ends_with(" MB. It stopped 3 times within a minute, so Kivo PDF stopped restarting it. "
                               "Unsaved changes stay in their "
                               "recovery checkpoint."))
        << noticeText();
    EXPECT_TRUE(ws().workerNotice()->offersRestart);
    EXPECT_EQ(ws().status(), "The PDF worker stopped");
    EXPECT_FALSE(ws().link().workerReady() || ws().sessionId() || ws().inspect());
    EXPECT_FALSE(ws().sharing().mcpEnabled()) << "no MCP client can reach a worker that is not running";
    ASSERT_TRUE(ws().lostDocument());
    EXPECT_EQ(ws().lostDocument()->pageIndex, 2);

    // Commands now say what to do.
    ws().checkpoints().refresh();
    EXPECT_EQ(ws().errorMessage().value_or(""),
              "The PDF worker is not running. Use Restart Worker in the inspector.");

    ws().restartWorker();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened a.pdf again"; })) << ws().status();
    EXPECT_TRUE(ws().sharing().mcpEnabled());
    EXPECT_TRUE(
        noticeText().ends_with("Kivo PDF started it again and opened a.pdf from its file. Its unsaved "
                               "changes had no recovery checkpoint "
                               "and are lost."))
        << noticeText();
    EXPECT_EQ(ws().selectedPageId(), "p3");
    EXPECT_EQ(ws().pageJump(), "3");
    EXPECT_FALSE(ws().lostDocument());
}

TEST_F(FakeWorkerTest, ASandboxStopIsNeverRestarted) {
    start({{"KIVO_FAKE_WORKER_USR1", "exit:73"}});
    testing::arrange(ws().sharing(), "mcpAccessGranted", true);
    stopWorker();
    EXPECT_EQ(noticeText(),
              "The PDF worker stopped because the system would not apply its sandbox, and it does not open "
              "documents without one.");
    EXPECT_TRUE(ws().workerNotice()->offersRestart);
    EXPECT_FALSE(ws().sharing().mcpAccessGranted() || ws().link().workerReady());
    EXPECT_EQ(ws().link().workerProcessId(), 0);
}

}  // namespace
}  // namespace kivo
