// The workspace's own operations on the worker, against the fake worker and the real one: the first
// launch, a launch that fails, and quitting.

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/ipc_paths.hpp"
#include "fake_worker_fixture.hpp"
#include "real_worker_fixture.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::FakeWorkerTest;
using testing::RealWorkerTest;
using testing::waitUntil;

// The arguments of a running process as the kernel holds them.
std::vector<std::string> commandLine(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(in, argument, '\0');) arguments.push_back(argument);
    return arguments;
}

// A worker that ends at its start is a stop like any later one: told in the notice and started again until
// the third stop within a minute. A launch that fails without the worker's end says why where errors go.
TEST_F(FakeWorkerTest, ALaunchThatFailsSaysWhy) {
    const std::string givenUp = " It stopped 3 times within a minute, so Kivo PDF stopped restarting it.";
    const struct {
        const char* start;
        bool program;
        std::string message;
        bool notice;
        std::size_t starts;
    } cases[] = {
        {"exit:73", true,
         "The PDF worker stopped because the system would not apply its sandbox, and it does not open "
         "documents "
         "without one.",
         true, 1},
        // The signal number of a crash reaches the sentence.
        {"signal:11", true, "The PDF worker crashed (Segmentation fault)." + givenUp, true, 3},
        {"exit:72", true,
         "The PDF worker stopped because a command made no progress for 60 seconds." + givenUp, true, 3},
        {"silent", true, "connect: No such file or directory", false, 1},
        {"serve", false,
         "Could not find kivo-pdf-worker next to the editor. Build it and start the editor with "
         "scripts/run.sh from "
         "the repository root.",
         false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        std::filesystem::remove(scratch_.log());
        std::filesystem::create_directories(scratch_.socket().parent_path());
        std::ofstream(scratch_.socket()) << "stale";
        workspace_.reset();
        start({{"KIVO_FAKE_WORKER_START", c.start}},
              c.program ? std::optional(testing::fakeWorker()) : std::nullopt);
        EXPECT_EQ(c.notice ? noticeText() : ws().errorMessage().value_or(""), c.message);
        EXPECT_EQ(testing::fakeLog(scratch_.log(), "argv ").size(), c.starts);
        EXPECT_FALSE(ws().link().workerReady());
        EXPECT_EQ(ws().link().workerProcessId(), 0);
        // The failed worker's own exit report is stale and changes nothing.
        waitUntil([] { return false; }, 0.3);
        EXPECT_EQ(testing::fakeLog(scratch_.log(), "argv ").size(), c.starts);
        EXPECT_EQ(ws().workerNotice().has_value(), c.notice);
        if (c.notice) {
            EXPECT_TRUE(ws().workerNotice()->offersRestart);
            EXPECT_FALSE(ws().errorMessage());
        }
        EXPECT_EQ(ws().status(), c.notice ? "The PDF worker stopped"
                                          : "Open a PDF to start. Editing stays on this computer.");
        // The token file is written and the stale socket gone before the worker is looked for.
        EXPECT_EQ(readAll(scratch_.token()).size(), 36u);
        if (!c.program) {
            EXPECT_FALSE(std::filesystem::exists(scratch_.socket()));
        }
    }
}

// The editor's own road: its worker comes up while the window is built, and here it is lost before the
// launch reaches it. A new one is started, the loss told, and the file named at launch opens.
TEST_F(FakeWorkerTest, AWorkerLostBeforeTheEditorReachedItIsStartedAgainAndTheLaunchFileOpens) {
    const std::filesystem::path document = scratch_.docs() / "minimal-document.pdf";
    std::filesystem::copy_file(testing::corpus("minimal-document.pdf"), document);
    workspace_ = std::make_unique<testing::TestWorkspace>(
        testing::fakeWorker(),
        std::map<std::string, std::string>{{"KIVO_FAKE_WORKER_LOG", scratch_.log().string()}});
    ws().link().startEarly();
    const qint64 early = ws().link().workerProcessId();
    ASSERT_GT(early, 0);
    ::kill(static_cast<pid_t>(early), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return ws().link().workerEnded(0); }));

    ws().launchOnce();
    ws().openLaunchFiles({document.string()}, 8);
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened minimal-document.pdf"; })) << ws().status();
    EXPECT_EQ(noticeText(),
              "The PDF worker was killed (Killed). The system does this when memory runs out, and another "
              "program can "
              "too. Kivo PDF started it again.");
    EXPECT_FALSE(ws().errorMessage());
    EXPECT_TRUE(ws().link().workerReady());
    EXPECT_NE(ws().link().workerProcessId(), early);
    // The one lost (if it lived to write down its start) and the one started in its place.
    EXPECT_LE(testing::fakeLog(scratch_.log(), "argv ").size(), 2u);
    // The launch still offers what was left unsaved last time.
    EXPECT_TRUE(waitUntil([&] { return sent(CommandMethod::listRecovery).size() == 1; }));
}

TEST_F(FakeWorkerTest, QuittingNeverWaitsForAStalledCommandOrAWorkerThatIgnoresSIGTERM) {
    start({{"KIVO_FAKE_WORKER_SCRIPT", "search=stall"}, {"KIVO_FAKE_WORKER_IGNORE_TERM", "1"}});
    openDocument("a.pdf");
    // The page's own reads are done: the search is the command that stalls.
    ASSERT_TRUE(waitUntil([&] { return !ws().shownPage().pageChars().empty(); }));
    ws().search("anything");
    ASSERT_TRUE(waitUntil([&] { return ws().link().activity().has_value(); }));
    const auto pid = static_cast<pid_t>(ws().link().workerProcessId());

    workspace_->host->forgetWaits();
    ws().shutdownWorker();
    // One grace period for SIGTERM ran out, then the kill: nothing waited on the stalled command.
    EXPECT_EQ(workspace_->host->waitsRunOut(), std::vector<int>{2000});
    EXPECT_NE(::kill(pid, 0), 0) << "the worker is gone";
    ASSERT_TRUE(waitUntil([&] { return ws().errorMessage().has_value(); }));
    EXPECT_EQ(*ws().errorMessage(), "The PDF worker stopped before this finished.");
    EXPECT_FALSE(ws().workerNotice()) << "quitting is no worker stop";
}

TEST_F(RealWorkerTest, LaunchesOpensWithAPasswordEditsUndoesAndRedoes) {
    const auto test = launched();
    ASSERT_TRUE(test);
    Workspace& ws = **test;
    EXPECT_EQ(commandLine(ws.link().workerProcessId()),
              (std::vector<std::string>{testing::realWorker().string(), "--socket",
                                        scratch_.socket().string(), "--token-stdin"}));
    // The worker took the second token line as the MCP token: a client with the file's token gets in.
    const IPCToken fromFile = loadIPCToken();
    CommandClient mcp(fromFile.socket, fromFile.token, CommandChannel::mcp);
    EXPECT_NO_THROW(mcp.connect());

    const auto locked = testing::corpus("libreoffice-writer-password.pdf");
    if (!locked.empty()) {
        test->prompts->passwords = {"not it", "openpassword"};
        ws.open(locked);
        ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened libreoffice-writer-password.pdf"; }))
            << ws.errorMessage().value_or(ws.status());
        ASSERT_EQ(test->prompts->asked.size(), 2u);
        EXPECT_EQ(test->prompts->asked[0].title, "Password required");
        EXPECT_EQ(test->prompts->asked[0].detail,
                  "This PDF is encrypted. The password is not stored or logged.");
        EXPECT_EQ(test->prompts->asked[0].button, "Open");
    }

    ws.open(document("two.pdf", {testing::TestPage{}, testing::TestPage{300, 400, "Second page"}}));
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened two.pdf"; })) << ws.status();
    const std::int64_t opened = *ws.inspect()->revision;
    EXPECT_EQ(ws.pageJump(), "1");
    const std::string second = ws.inspect()->pages->at(1).id;
    ws.select(second);
    EXPECT_EQ(ws.pageJump(), "2");

    highlight(ws, second);
    if (HasFatalFailure()) return;
    EXPECT_EQ(ws.inspect()->revision, opened + 1);
    EXPECT_EQ(rawValue(ws.savePhase()), "unsaved");
    EXPECT_EQ(ws.selectedPageId(), second) << "an edit keeps the page";

    ws.history(CommandMethod::undo, "Undo");
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Undo"; })) << ws.errorMessage().value_or("");
    EXPECT_EQ(ws.inspect()->revision, opened + 2);
    ws.history(CommandMethod::redo, "Redo");
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Redo"; })) << ws.errorMessage().value_or("");
    EXPECT_EQ(ws.inspect()->annotations->size(), 1u);
}

TEST_F(RealWorkerTest, QuittingDuringALongSearchReturnsAtOnceAndLeavesNoWorker) {
    const auto test = launchedOnLongDocument();
    ASSERT_TRUE(test);
    Workspace& ws = **test;
    ws.search("no such words anywhere");
    ASSERT_TRUE(waitUntil([&] { return ws.link().activity() && ws.link().activity()->total > 0; }));
    const auto pid = static_cast<pid_t>(ws.link().workerProcessId());

    test->host->forgetWaits();
    ws.shutdownWorker();
    // What the quit waited for: the worker's end, at most its one grace period before the kill, never the
    // search, which would have lasted seconds more.
    EXPECT_LE(test->host->waitsRunOut().size(), 1u);
    EXPECT_NE(::kill(pid, 0), 0);
    EXPECT_FALSE(ws.workerNotice());
}

}  // namespace
}  // namespace kivo
