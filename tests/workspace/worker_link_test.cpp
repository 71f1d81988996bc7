// The link alone, on the fake worker: every request takes the one road, the gate's refusal keeps a
// request from the worker, each outcome reaches exactly one handler after send() returns, and only a
// stop of its own is reported. Then the link as the workspace drives it: the worker's command line
// and tokens, the waits of a launch, the activity card and cancelling, a reconnect after an unreadable
// reply, the editor lock, and the worker's watchdog, which sleeps while no command runs.

#include <signal.h>
#include <sys/stat.h>

#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>

#include "workspace/worker_link.hpp"
#include "workspace/workspace_state.hpp"
#include "fake_worker_fixture.hpp"
#include "real_worker_fixture.hpp"
#include "test_pdfs.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::fakeLog;
using testing::FakeWorkerTest;
using testing::RealWorkerTest;
using testing::waitUntil;

class WorkerLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        services_.workerHost = std::make_shared<testing::TestWorkerHost>(
            testing::fakeWorker(),
            std::map<std::string, std::string>{{"KIVO_FAKE_WORKER_LOG", scratch_.log().string()}});
        services_.clock = std::make_shared<testing::FakeClock>();
        services_ = services_.withDefaults();
        state_ = std::make_unique<WorkspaceState>();
        link_ = std::make_unique<WorkerLink>(*state_, services_);
    }

    std::vector<std::string> sentIds(CommandMethod method) const {
        std::vector<std::string> ids;
        for (const CommandRequest& request : testing::sentRequests(scratch_.log(), method))
            ids.push_back(request.id);
        return ids;
    }

    testing::Scratch scratch_;
    WorkspaceServices services_;
    std::unique_ptr<WorkspaceState> state_;
    std::unique_ptr<WorkerLink> link_;
};

TEST_F(WorkerLinkTest, EveryRequestPassesTheGateAndEndsInExactlyOneHandler) {
    std::vector<std::string> leaving;
    link_->setGate({[](const CommandRequest& request) -> std::optional<std::string> {
                        if (request.params.sessionId == std::optional<std::string>("lost")) return "Wait.";
                        return std::nullopt;
                    },
                    [&](const CommandRequest& request) { leaving.push_back(request.id); }, nullptr});
    link_->launch();
    ASSERT_TRUE(link_->running());

    struct Row {
        const char* name;
        std::optional<std::string> session;
        bool clearsError;
        const char* code;  // nothing: a success
        bool reachesWorker;
    };
    const Row rows[] = {
        {"goes", std::nullopt, true, nullptr, true},
        {"refused by the gate", "lost", true, "worker_restarting", false},
        {"error kept without clearsError", std::nullopt, false, nullptr, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        state_->setErrorMessage("earlier");
        leaving.clear();
        CommandParams params;
        params.sessionId = row.session;
        CommandRequest request = WorkerLink::makeRequest(CommandMethod::listRecovery, params);
        const std::string id = request.id;
        int successes = 0;
        std::vector<std::string> failures;
        link_->send(
            std::move(request), "Listing", row.clearsError, [&](const CommandResult&) { ++successes; },
            [&](const std::string& code, const std::string&) { failures.push_back(code); });
        // Never on the sender's stack, where a queue that asks again from a failure would recurse.
        EXPECT_EQ(successes + failures.size(), 0u);
        ASSERT_TRUE(waitUntil([&] { return successes + failures.size() > 0 && !link_->activity(); }));
        waitUntil([] { return false; }, 0.1);  // a second outcome would arrive here
        EXPECT_EQ(successes, row.code ? 0 : 1);
        EXPECT_EQ(failures, row.code ? std::vector<std::string>{row.code} : std::vector<std::string>{});
        EXPECT_EQ(leaving, row.reachesWorker ? std::vector<std::string>{id} : std::vector<std::string>{});
        const auto sent = sentIds(CommandMethod::listRecovery);
        EXPECT_EQ(std::count(sent.begin(), sent.end(), id), row.reachesWorker ? 1 : 0);
        EXPECT_EQ(state_->errorMessage(),
                  row.clearsError ? std::nullopt : std::optional<std::string>("earlier"));
    }

    link_->shutdown();
    std::string code;
    link_->send(
        WorkerLink::makeRequest(CommandMethod::listRecovery), std::nullopt, true, [](const CommandResult&) {},
        [&](const std::string& failed, const std::string&) { code = failed; });
    EXPECT_EQ(code, "");
    ASSERT_TRUE(waitUntil([&] { return !code.empty(); }));
    EXPECT_EQ(code, "internal");
}

TEST_F(WorkerLinkTest, ReportsOnlyAStopOfItsOwn) {
    std::vector<WorkerStop> stops;
    QObject::connect(link_.get(), &WorkerLink::stopped,
                     [&](const WorkerStop& stop) { stops.push_back(stop); });
    link_->launch();
    const qint64 pid = link_->workerProcessId();
    ASSERT_GT(pid, 0);
    ::kill(static_cast<pid_t>(pid), SIGUSR1);
    ASSERT_TRUE(waitUntil([&] { return !stops.empty(); }));
    EXPECT_FALSE(link_->running());
    EXPECT_EQ(link_->workerProcessId(), 0);
    EXPECT_EQ(stops.front().recentStops, 1u);
    EXPECT_FALSE(stops.front().cause.empty());

    link_->launch();
    link_->shutdown();
    waitUntil([] { return false; }, 0.3);
    EXPECT_EQ(stops.size(), 1u);
}

// A worker started ahead of its launch is that launch's: one process, and its end before the launch is the
// launch's failure, never a stop that would bring a worker back.
TEST_F(WorkerLinkTest, AnEarlyStartIsTheFirstHalfOfTheLaunchThatFollows) {
    struct Row {
        const char* name;
        const char* start;  // the fake worker's start; nothing: no worker program at all
        std::optional<EngineLaunchError::Kind> failure;
    };
    const Row rows[] = {
        {"serves", "serve", std::nullopt},
        {"ends before the launch", "exit:3", EngineLaunchError::Kind::stoppedAtStart},
        {"missing", nullptr, EngineLaunchError::Kind::missingWorker},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testing::Scratch scratch;
        WorkspaceServices services;
        services.workerHost = std::make_shared<testing::TestWorkerHost>(
            row.start ? std::optional(testing::fakeWorker()) : std::nullopt,
            std::map<std::string, std::string>{{"KIVO_FAKE_WORKER_LOG", scratch.log().string()},
                                               {"KIVO_FAKE_WORKER_START", row.start ? row.start : ""}});
        services = services.withDefaults();
        WorkspaceState state;
        WorkerLink link(state, services);
        std::vector<WorkerStop> stops;
        QObject::connect(&link, &WorkerLink::stopped, [&](const WorkerStop& stop) { stops.push_back(stop); });

        link.startEarly();
        // Long enough for a worker that ends at once to be reported.
        waitUntil([] { return false; }, 0.3);
        std::optional<EngineLaunchError::Kind> failure;
        try {
            link.launch();
        } catch (const EngineLaunchError& error) {
            failure = error.kind();
        }
        EXPECT_EQ(failure, row.failure);
        EXPECT_EQ(link.running(), !row.failure);
        waitUntil([] { return false; }, 0.1);
        EXPECT_TRUE(stops.empty());
        if (row.start) {
            const std::string log = testing::readFile(scratch.log());
            std::size_t started = 0;
            for (std::size_t at = log.find("argv"); at != std::string::npos; at = log.find("argv", at + 1))
                ++started;
            EXPECT_EQ(started, 1u);
        }
        link.shutdown();
    }
}

// ---- The link as the workspace drives it, on the fake worker and on the real one

TEST_F(FakeWorkerTest, HandsTheWorkerItsCommandLineAndTokensAndANewMCPTokenAtEachStart) {
    std::filesystem::create_directories(scratch_.socket().parent_path());
    std::ofstream(scratch_.socket()) << "left over from an earlier run";
    start();
    ASSERT_TRUE(ws().link().workerReady()) << ws().errorMessage().value_or("");
    EXPECT_EQ(ws().status(), "Worker ready. PDFium 154.0.8035 isolated from the UI.");
    EXPECT_TRUE(ws().sharing().mcpEnabled());

    const std::string arguments = "--socket " + scratch_.socket().string() + " --token-stdin";
    const std::string firstToken = readAll(scratch_.token());
    EXPECT_EQ(fakeLog(scratch_.log(), "argv "), std::vector<std::string>{arguments});
    EXPECT_EQ(fakeLog(scratch_.log(), "stdin "),
              (std::vector<std::string>{ws().link().uiToken(), firstToken, "closed"}));
    struct stat info {};
    ASSERT_EQ(::stat(scratch_.token().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(firstToken.size(), 36u);
    EXPECT_TRUE(waitUntil([&] { return sent(CommandMethod::listRecovery).size() == 1; }));

    ws().restartWorker();  // a worker and its connection stand: nothing to do
    EXPECT_EQ(fakeLog(scratch_.log(), "argv ").size(), 1u);

    stopWorker();
    EXPECT_TRUE(ws().link().workerReady());
    const std::string secondToken = readAll(scratch_.token());
    EXPECT_NE(secondToken, firstToken);
    EXPECT_EQ(fakeLog(scratch_.log(), "argv "), (std::vector<std::string>{arguments, arguments}));
    EXPECT_EQ(fakeLog(scratch_.log(), "stdin "),
              (std::vector<std::string>{ws().link().uiToken(), firstToken, "closed", ws().link().uiToken(),
                                        secondToken, "closed"}));
}

// The launch looks for the socket 40 times, 50 ms apart, then tries to connect 20 times. It lasts at least
// so long, however fast the machine; at most, it waits so long, however slow the machine makes each wait.
TEST_F(FakeWorkerTest, TheLaunchWaitsTwoSecondsForTheSocketAndOneMoreToConnect) {
    const struct {
        const char* start;
        bool ready;
        double least, most;  // seconds the launch takes, and its waits for the worker add up to
    } cases[] = {
        {"late:1400", true, 1.3, 2.6},
        {"silent", false, 2.85, 4.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        workspace_.reset();
        const auto begun = std::chrono::steady_clock::now();
        start({{"KIVO_FAKE_WORKER_START", c.start}});
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begun;
        const std::vector<int> waits = workspace_->host->waitsRunOut();
        const double waited = std::accumulate(waits.begin(), waits.end(), 0) / 1000.0;
        EXPECT_EQ(ws().link().workerReady(), c.ready) << ws().errorMessage().value_or("");
        EXPECT_GE(took.count(), c.least);
        EXPECT_LE(waited, c.most) << waits.size() << " waits, " << took.count() << " s";
    }
}

// The activity card shows a command that is still running 0.25 s after it was sent, not before. How late
// the event loop turns is the machine's: a control timer of half a second, started as the command began,
// fires after the card is shown however late both come.
TEST_F(FakeWorkerTest, AnActivityIsShownAQuarterSecondAfterItBegan) {
    start({{"KIVO_FAKE_WORKER_SCRIPT", "search=stall"}});
    openDocument("a.pdf");
    std::optional<std::chrono::steady_clock::time_point> begun, shown;
    std::optional<bool> shownByControl;
    QObject control;
    QObject::connect(&ws().link(), &WorkerLink::activityChanged, [&] {
        const auto now = std::chrono::steady_clock::now();
        if (ws().link().activity() && !begun) {
            begun = now;
            QTimer::singleShot(500, Qt::PreciseTimer, &control, [&] { shownByControl = shown.has_value(); });
        }
        if (ws().link().activity() && ws().link().activity()->visible && !shown) shown = now;
    });
    ws().search("anything");
    ASSERT_TRUE(waitUntil([&] { return shown.has_value() && shownByControl.has_value(); }, 5));
    ASSERT_TRUE(begun);
    const std::chrono::duration<double> delay = *shown - *begun;
    EXPECT_GE(delay.count(), 0.24);
    EXPECT_TRUE(*shownByControl) << "shown " << delay.count() << " s after it began, after the control";
}

TEST_F(FakeWorkerTest, AnUnreadableReplyReconnectsAndReadsTheDocumentAgain) {
    start({{"KIVO_FAKE_WORKER_SCRIPT", "search=garbage"}});
    openDocument("a.pdf");
    ws().search("anything");
    ASSERT_TRUE(waitUntil([&] { return ws().errorMessage().has_value(); }));

    CommandParams note;
    note.sessionId = ws().sessionId();
    note.pageId = "p1";
    ws().mutate(CommandMethod::addNote, note, "Note added");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Note added"; })) << ws().errorMessage().value_or("");
    EXPECT_FALSE(ws().errorMessage());
    // The page rendered ahead may read it once more after the reconnect; what matters is that it was read.
    EXPECT_GE(sent(CommandMethod::inspect).size(), 1u)
        << "the document is read again before the next command";
    EXPECT_EQ(ws().inspect()->revision, 2);
}

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
    const auto test = launchedOnLongDocument();
    ASSERT_TRUE(test);
    Workspace& ws = **test;

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

}  // namespace
}  // namespace kivo
