// The link alone, on the fake worker: every request takes the one road, the gate's refusal keeps a
// request from the worker, each outcome reaches exactly one handler after send() returns, and only a
// stop of its own is reported.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "workspace/worker_link.hpp"
#include "workspace/workspace_state.hpp"
#include "test_pdfs.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

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

}  // namespace
}  // namespace kivo
