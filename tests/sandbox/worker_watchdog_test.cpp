#include <dirent.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <limits>
#include <thread>

#include "child_process.hpp"
#include "sandbox/worker_watchdog.hpp"

namespace kivo {
namespace {

using testing::inChild;
using testing::writeAll;
constexpr double infinity = std::numeric_limits<double>::infinity();

ResourceLimits limits(std::uint64_t hardBytes, double stallSeconds) {
    ResourceLimits result;
    result.memoryHardBytes = hardBytes;
    result.stallSeconds = stallSeconds;
    return result;
}

TEST(WatchdogDecision, MemoryRule) {
    const std::uint64_t eightGiB = 8'589'934'592;
    const struct {
        std::uint64_t hard;
        std::uint64_t footprint;
        const char* reason;  // nullptr: no stop
    } cases[] = {
        {eightGiB, eightGiB, nullptr},
        {eightGiB, eightGiB + 1, "its memory went past the hard limit of 8192 MB"},
        {1'572'864, 1'572'865, "its memory went past the hard limit of 1 MB"},
        {0, 1, "its memory went past the hard limit of 0 MB"},
        {0, 0, nullptr},  // an unreadable footprint counts as 0
        {ResourceLimits::noLimitBytes, ResourceLimits::noLimitBytes, nullptr},
    };
    for (const auto& c : cases) {
        const auto stop = WorkerWatchdog::memoryStop(limits(c.hard, infinity), c.footprint);
        if (c.reason == nullptr) {
            EXPECT_FALSE(stop) << c.hard << " " << c.footprint;
        } else {
            ASSERT_TRUE(stop) << c.hard << " " << c.footprint;
            EXPECT_EQ(*stop, (WorkerWatchdog::Stop{71, c.reason}));
        }
    }
}

TEST(WatchdogDecision, StallRule) {
    const struct {
        double stall;
        bool busy;
        double quiet;
        const char* reason;
        bool interrupt;  // the command alone is stopped first, at three quarters of the limit
    } cases[] = {
        {60, false, 1e9, nullptr, false},  // idle is never a stall
        {60, true, 45, nullptr, false},    // strictly longer only
        {60, true, 45.001, nullptr, true},
        {60, true, 60, nullptr, true},
        {60, true, 60.001, "a command showed no progress for 60.0 s", true},
        {2.5, true, 3, "a command showed no progress for 2.5 s", true},
        {infinity, true, 1e300, nullptr, false},
        {60, true, std::nan(""), nullptr, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            WorkerWatchdog::interruptDue(limits(ResourceLimits::noLimitBytes, c.stall), {c.busy, c.quiet}),
            c.interrupt)
            << c.stall << " " << c.quiet;
        const auto stop =
            WorkerWatchdog::stallStop(limits(ResourceLimits::noLimitBytes, c.stall), {c.busy, c.quiet});
        if (c.reason == nullptr) {
            EXPECT_FALSE(stop) << c.stall << " " << c.quiet;
        } else {
            ASSERT_TRUE(stop) << c.stall << " " << c.quiet;
            EXPECT_EQ(*stop, (WorkerWatchdog::Stop{72, c.reason}));
        }
    }
}

TEST(WatchdogDecision, SecondsPrintShortestWithAWholeNumberMark) {
    EXPECT_EQ(WorkerWatchdog::formatSeconds(60), "60.0");
    EXPECT_EQ(WorkerWatchdog::formatSeconds(2.5), "2.5");
    EXPECT_EQ(WorkerWatchdog::formatSeconds(0.1), "0.1");
    EXPECT_EQ(WorkerWatchdog::formatSeconds(0.05), "0.05");
    EXPECT_EQ(WorkerWatchdog::formatSeconds(1e20), "1e+20");
}

TEST(WatchdogDecision, MemoryComesFirstAndProgressIsReadOnlyAfterIt) {
    std::atomic<int> progressReads{0};
    WorkerWatchdog::Sources sources{[] { return std::uint64_t{2048}; },
                                    [&] {
                                        ++progressReads;
                                        return ProgressSnapshot{true, 1000};
                                    }};
    const auto both = WorkerWatchdog::check(limits(1024, 1), sources);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->status, 71);
    EXPECT_EQ(progressReads, 0);

    const auto stallOnly = WorkerWatchdog::check(limits(ResourceLimits::noLimitBytes, 1), sources);
    ASSERT_TRUE(stallOnly);
    EXPECT_EQ(stallOnly->status, 72);
    EXPECT_EQ(progressReads, 1);

    EXPECT_FALSE(WorkerWatchdog::check(limits(4096, infinity), sources));
}

TEST(WatchdogDecision, NeededOnlyWithAHardLimitOrAFiniteStallLimit) {
    EXPECT_FALSE(WorkerWatchdog::needed(ResourceLimits::unlimited()));
    EXPECT_FALSE(WorkerWatchdog::needed(limits(ResourceLimits::noLimitBytes, std::nan(""))));
    EXPECT_TRUE(WorkerWatchdog::needed(limits(ResourceLimits::noLimitBytes, 60)));
    EXPECT_TRUE(WorkerWatchdog::needed(limits(1024, infinity)));
}

TEST(WatchdogEngineSources, ReadTheEnginesProgressClockAndFootprint) {
    const auto sources = WorkerWatchdog::Sources::engine();
    EXPECT_GT(sources.footprint(), 0u);
    EngineProgress::shared().mark(true);
    EXPECT_TRUE(sources.progress().busy);
    EngineProgress::shared().mark(false);
    EXPECT_FALSE(sources.progress().busy);
}

bool watchdogThreadExists() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        found = found || name == WorkerWatchdog::threadName;
    }
    ::closedir(tasks);
    return found;
}

TEST(WatchdogThread, StartsNothingWithoutLimits) {
    const auto outcome = inChild([](int) {
        const bool started = WorkerWatchdog::start(ResourceLimits::unlimited(), {});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return started || watchdogThreadExists() ? 1 : 0;
    });
    EXPECT_EQ(outcome.exitStatus, 0);
}

TEST(WatchdogThread, EndsTheProcessWith71WhenMemoryPassesTheHardLimit) {
    const auto outcome = inChild(
        [](int) {
            WorkerWatchdog::start(limits(1'048'576, infinity),
                                  {[] { return std::uint64_t{1'048'577}; }, nullptr});
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!watchdogThreadExists()) return 2;
            std::this_thread::sleep_for(std::chrono::seconds(5));
            return 0;
        },
        /*reportIsStderr=*/true);
    EXPECT_EQ(outcome.exitStatus, 71);
    EXPECT_EQ(outcome.report,
              "kivo-pdf-worker: stopping, because its memory went past the hard limit of 1 MB\n");
}

TEST(WatchdogThread, EndsTheProcessWith72WhenABusyCommandStalls) {
    const auto outcome = inChild(
        [](int) {
            WorkerWatchdog::start(limits(ResourceLimits::noLimitBytes, 0.05),
                                  {nullptr, [] {
                                       return ProgressSnapshot{true, 0.2};
                                   }});
            std::this_thread::sleep_for(std::chrono::seconds(5));
            return 0;
        },
        /*reportIsStderr=*/true);
    EXPECT_EQ(outcome.exitStatus, 72);
    EXPECT_EQ(outcome.report, "kivo-pdf-worker: stopping, because a command showed no progress for 0.05 s\n");
}

TEST(WatchdogThread, StopsABusyEngineThatStopsMakingProgress) {
    const auto outcome = inChild(
        [](int) {
            EngineProgress::shared().mark(true);
            WorkerWatchdog::start(limits(ResourceLimits::noLimitBytes, 0.2));
            // Steps for a while, then hangs inside "one long call".
            for (int i = 0; i < 8; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                EngineProgress::shared().mark(true);
            }
            std::this_thread::sleep_for(std::chrono::seconds(5));
            return 0;
        },
        /*reportIsStderr=*/true);
    EXPECT_EQ(outcome.exitStatus, 72);
    EXPECT_EQ(outcome.report, "kivo-pdf-worker: stopping, because a command showed no progress for 0.2 s\n");
}

// A command quiet past three quarters of the limit is stopped on its own; once that stop lands (the
// command shows progress again) the worker goes on. The clock is the test's.
TEST(WatchdogThread, StopsTheQuietCommandAloneWhenThatStopLands) {
    const auto outcome = inChild([](int report) {
        static std::atomic<double> quiet{0.2};  // between 0.1875 and the stall limit of 0.25
        WorkerWatchdog::Sources sources{nullptr, [] { return ProgressSnapshot{true, quiet.load()}; }};
        sources.interrupt = [report](double quietSeconds) {
            if (quiet.exchange(0) != 0) writeAll(report, "interrupted after " + std::to_string(quietSeconds));
            return true;
        };
        WorkerWatchdog::start(limits(ResourceLimits::noLimitBytes, 0.25), std::move(sources));
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        return 0;
    });
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.report, "interrupted after 0.187500");
}

TEST(WatchdogThread, NeverStopsAnIdleEngineForStalling) {
    const auto outcome = inChild([](int) {
        EngineProgress::shared().mark(false);
        WorkerWatchdog::start(limits(ResourceLimits::noLimitBytes, 0.05));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return 0;
    });
    EXPECT_EQ(outcome.exitStatus, 0);
}

TEST(WatchdogThread, LeavesACommandThatKeepsSteppingAlone) {
    const auto outcome = inChild([](int) {
        const auto begun = std::chrono::steady_clock::now();
        WorkerWatchdog::start(
            limits(ResourceLimits::noLimitBytes, 0.3),
            {nullptr, [begun] {
                 // Steps every 0.2 s: never quiet for longer than that.
                 const double elapsed =
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
                 return ProgressSnapshot{true, std::fmod(elapsed, 0.2)};
             }});
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        return 0;
    });
    EXPECT_EQ(outcome.exitStatus, 0);
}

}  // namespace
}  // namespace kivo
