// The workspace against the real kivo-pdf-worker, started the way the editor starts it, inside its
// sandbox where this system offers one.

#include <signal.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "core/ipc_paths.hpp"
#include "test_pdfs.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::waitUntil;

// The arguments of a running process as the kernel holds them.
std::vector<std::string> commandLine(qint64 pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(in, argument, '\0');) arguments.push_back(argument);
    return arguments;
}

// What this process writes on its standard error while it lives, read back when it ends.
class CapturedStandardError {
public:
    explicit CapturedStandardError(const std::filesystem::path& file) : file_(file) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~CapturedStandardError() { restore(); }

    std::string text() {
        restore();
        return testing::readFile(file_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(std::exchange(saved_, -1));
    }

    std::filesystem::path file_;
    int saved_ = -1;
};

// How often the worker's watchdog thread has been switched in so far; nothing when it has none.
std::optional<long> watchdogSwitches(qint64 pid) {
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name != "kivo-watchdog") continue;
        std::ifstream status(task.path() / "status");
        long switches = 0;
        for (std::string line; std::getline(status, line);) {
            const auto colon = line.find(':');
            if (line.find("ctxt_switches") != std::string::npos && colon != std::string::npos)
                switches += std::stol(line.substr(colon + 1));
        }
        return switches;
    }
    return std::nullopt;
}

class RealWorkerTest : public ::testing::Test {
protected:
    // A workspace whose worker is ready: with the sandbox where it can be applied, else without.
    std::unique_ptr<testing::TestWorkspace> launched() { return testing::launchedRealWorker(scratch_); }

    std::filesystem::path document(const std::string& name, const std::vector<testing::TestPage>& pages) {
        const auto path = scratch_.docs() / name;
        testing::writeFile(path, testing::makePdf(pages));
        return path;
    }

    // A document long enough that searching it takes the worker a few seconds.
    void openLongDocument(Workspace& ws) {
        const auto path = scratch_.docs() / "long.pdf";
        testing::writeFile(path, testing::makeLongTextPdf(longPages));
        ws.open(path);
        ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened long.pdf"; })) << ws.status();
    }

    static constexpr int longPages = 2000;

    void highlight(Workspace& ws, const std::string& pageId) {
        CommandParams params;
        params.sessionId = ws.sessionId();
        params.pageId = pageId;
        params.rect = PDFRect{72, 300, 200, 320};
        ws.mutate(CommandMethod::addHighlight, params, "Highlighted");
        ASSERT_TRUE(waitUntil([&] { return ws.status() == "Highlighted"; }))
            << ws.errorMessage().value_or("");
    }

    testing::Scratch scratch_;
};

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

TEST_F(RealWorkerTest, ANormalStartPrintsNothingYetTheWorkersNotesStillReachTheTerminal) {
    CapturedStandardError captured(scratch_.docs() / "stderr.txt");
    {
        // Without its sandbox the worker says so: a note that must still come through.
        testing::TestWorkspace test(testing::realWorker(),
                                    {{"HOME", scratch_.home().string()}, {"KIVO_PDF_WORKER_SANDBOX", "off"}});
        test->launchOnce();
        ASSERT_TRUE(test->link().workerReady()) << test->errorMessage().value_or("");
        test->shutdownWorker();
    }
    const std::string text = captured.text();
    EXPECT_NE(text.find("kivo-pdf-worker: sandbox off (KIVO_PDF_WORKER_SANDBOX=off)\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("listening on"), std::string::npos) << text;
}

TEST_F(RealWorkerTest, TheWatchdogWakesForACommandAndSleepsWhileTheWorkerIsIdle) {
    const auto test = launched();
    ASSERT_TRUE(test);
    Workspace& ws = **test;
    ws.open(document("two.pdf", {testing::TestPage{}, testing::TestPage{300, 400, "Second page"}}));
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened two.pdf"; })) << ws.status();
    const qint64 pid = ws.link().workerProcessId();
    ASSERT_TRUE(watchdogSwitches(pid)) << "the worker has no watchdog thread";

    // Once the editor's renders are done, some half second passes without the watchdog running at all.
    const auto quietHalfSecond = [&] {
        for (int round = 0; round < 40; ++round) {
            const auto before = watchdogSwitches(pid);
            waitUntil([] { return false; }, 0.5);
            if (watchdogSwitches(pid) == before) return true;
        }
        return false;
    };
    ASSERT_TRUE(quietHalfSecond()) << "the idle worker's watchdog kept waking";

    // A command wakes it: it still watches what runs.
    const long idle = *watchdogSwitches(pid);
    ws.search("Second");
    ASSERT_TRUE(waitUntil([&] { return !ws.searchHits().empty(); }));
    EXPECT_TRUE(waitUntil([&] { return watchdogSwitches(pid) > idle; }, 5));
    EXPECT_TRUE(quietHalfSecond()) << "the watchdog kept waking after the command";
}

TEST_F(RealWorkerTest, ALongCommandShowsItsActivityAndIsCancelledFromTheControlConnection) {
    const auto test = launched();
    ASSERT_TRUE(test);
    Workspace& ws = **test;
    openLongDocument(ws);
    if (HasFatalFailure()) return;

    std::vector<CommandActivity> seen;
    QObject::connect(&ws.link(), &WorkerLink::activityChanged, [&] {
        if (ws.link().activity()) seen.push_back(*ws.link().activity());
    });
    ws.search("  no such words anywhere  ");
    ASSERT_TRUE(waitUntil([&] {
        return ws.link().activity() && ws.link().activity()->visible && ws.link().activity()->total > 0;
    })) << "the search ended before its activity showed";
    EXPECT_EQ(ws.link().activity()->title, "Searching for “no such words anywhere”");
    EXPECT_EQ(seen.front().visible, false) << "an activity shows only after 0.25 s";
    EXPECT_EQ(ws.link().activity()->phase, CommandPhase::searching);
    EXPECT_EQ(ws.link().activity()->total, longPages);

    ws.link().cancelActivity();
    EXPECT_TRUE(ws.link().activity()->cancelling);
    ASSERT_TRUE(waitUntil([&] { return !ws.link().activity(); }));
    EXPECT_EQ(ws.status(), "Cancelled before it finished. Nothing changed.");
    EXPECT_FALSE(ws.errorMessage());
    EXPECT_TRUE(ws.searchHits().empty());
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
}

TEST_F(RealWorkerTest, ASecondEditorOnTheSameSupportFolderStartsNoWorker) {
    const auto first = launched();
    ASSERT_TRUE(first);
    const std::string token = testing::readFile(scratch_.token());

    testing::TestWorkspace second(testing::realWorker(), {{"KIVO_PDF_WORKER_SANDBOX", "off"}});
    EXPECT_FALSE(second->link().claimEditorLock());
    second->launchOnce();
    EXPECT_FALSE(second->link().workerReady());
    EXPECT_EQ(second->link().workerProcessId(), 0);
    EXPECT_EQ(
        second->errorMessage().value_or(""),
        "Kivo PDF is already running for this user, and that window holds the PDF worker. Use it, or quit it "
        "first.");
    second->checkpoints().refresh();
    EXPECT_EQ(second->errorMessage().value_or(""), EngineLaunchError::anotherEditor().what());

    EXPECT_EQ(testing::readFile(scratch_.token()), token);
    EXPECT_TRUE(std::filesystem::exists(scratch_.socket()));
    (*first)->checkpoints().refresh();
    EXPECT_TRUE(waitUntil([&] { return !(*first)->errorMessage() && (*first)->link().workerReady(); }));
}

TEST_F(RealWorkerTest, QuittingDuringALongSearchReturnsAtOnceAndLeavesNoWorker) {
    const auto test = launched();
    ASSERT_TRUE(test);
    Workspace& ws = **test;
    openLongDocument(ws);
    if (HasFatalFailure()) return;
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
