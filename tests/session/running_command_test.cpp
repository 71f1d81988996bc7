#include <sys/mman.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/descriptor.hpp"
#include "session/running_command.hpp"
#include "running_as.hpp"

namespace kivo {
namespace {

using testing::runAs;

struct Recorder {
    std::vector<CommandProgress> lines;
    RunningCommand::Report report() {
        return [this](const CommandProgress& line) { lines.push_back(line); };
    }
};

TEST(RunningCommandProgress, ThrottlesRepeatsOfOnePhase) {
    Recorder recorder;
    RunningCommand command("r1", CommandChannel::ui, ResourceLimits::unlimited(), recorder.report());
    runAs(command, [] {
        for (int i = 0; i < 10; ++i) RunningCommand::step(CommandPhase::searching, i, 10);
    });
    ASSERT_EQ(recorder.lines.size(), 1u);
    EXPECT_EQ(recorder.lines[0], (CommandProgress{"progress", "r1", CommandPhase::searching, 0, 10}));

    // A change of phase is always sent, and so is a repeat once the throttle has passed.
    runAs(command, [] {
        RunningCommand::step(CommandPhase::readingFields, 0, 3);
        RunningCommand::step(CommandPhase::searching, 1, 3);
        RunningCommand::step(CommandPhase::searching, 2, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(110));
        RunningCommand::step(CommandPhase::searching, 3, 3);
    });
    ASSERT_EQ(recorder.lines.size(), 4u);
    EXPECT_EQ(recorder.lines[1].phase, CommandPhase::readingFields);
    EXPECT_EQ(recorder.lines[2].completed, 1);
    EXPECT_EQ(recorder.lines[3].completed, 3);
}

TEST(RunningCommandProgress, StepWithoutCurrentCommandDoesNothing) {
    ASSERT_EQ(RunningCommand::current(), nullptr);
    EXPECT_NO_THROW(RunningCommand::step(CommandPhase::searching, 0, 1));
}

TEST(RunningCommandStep, CancelAndMemoryRules) {
    struct Case {
        const char* name;
        std::uint64_t softLimit;
        bool cancelled;
        bool withReport;
        CommandPhase phase;
        std::optional<FailureCode> expected;
    };
    const std::uint64_t none = ResourceLimits::noLimitBytes;
    const Case cases[] = {
        {"nothing asked", none, false, true, CommandPhase::searching, std::nullopt},
        {"cancelled", none, true, true, CommandPhase::searching, FailureCode::cancelled},
        {"cancelled without progress lines", none, true, false, CommandPhase::loadingPages,
         FailureCode::cancelled},
        {"cancel is checked at the start step", none, true, true, CommandPhase::started,
         FailureCode::cancelled},
        {"soft limit of zero", 0, false, true, CommandPhase::readingFields, FailureCode::resourceLimit},
        {"soft limit of zero without progress lines", 0, false, false, CommandPhase::readingFields,
         FailureCode::resourceLimit},
        {"memory is not checked at the start step", 0, false, true, CommandPhase::started, std::nullopt},
        {"cancel wins over memory", 0, true, true, CommandPhase::searching, FailureCode::cancelled},
        {"a generous soft limit", 1ull << 50, false, true, CommandPhase::searching, std::nullopt},
    };
    for (const Case& c : cases) {
        ResourceLimits limits;
        limits.memorySoftBytes = c.softLimit;
        Recorder recorder;
        RunningCommand command("id", CommandChannel::cli, limits, c.withReport ? recorder.report() : nullptr);
        if (c.cancelled) command.requestCancel();
        EXPECT_EQ(runAs(command, [&] { RunningCommand::step(c.phase, 0, 1); }), c.expected) << c.name;
        // Progress goes out before the command stops.
        EXPECT_EQ(recorder.lines.size(), c.withReport ? 1u : 0u) << c.name;
    }
}

TEST(RunningCommandStep, UninterruptibleSectionDefersCancel) {
    Recorder recorder;
    RunningCommand command("r", CommandChannel::ui, ResourceLimits::unlimited(), recorder.report());
    int finished = 0;
    const std::optional<FailureCode> code = runAs(command, [&] {
        {
            RunningCommand::Uninterruptible section;
            {
                RunningCommand::Uninterruptible nested;
                command.requestCancel();
                RunningCommand::step(CommandPhase::readingAnnotations, 0, 2);
            }
            RunningCommand::step(CommandPhase::readingAnnotations, 1, 2);
            ++finished;
        }
        RunningCommand::step(CommandPhase::searching, 0, 1);
        ++finished;
    });
    EXPECT_EQ(code, FailureCode::cancelled);
    EXPECT_EQ(finished, 1);
    EXPECT_FALSE(recorder.lines.empty());  // progress still went out inside the section
    // Without a current command a section is harmless.
    EXPECT_NO_THROW(RunningCommand::Uninterruptible{});
}

TEST(EngineProgressClock, BusyWhileACommandRuns) {
    RunningCommand command("p", CommandChannel::ui, ResourceLimits::unlimited(), nullptr);
    {
        RunningCommand::Activation active(command);
        EXPECT_EQ(RunningCommand::current(), &command);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_TRUE(EngineProgress::shared().snapshot().busy);
        EXPECT_GE(EngineProgress::shared().snapshot().quietSeconds, 0.025);
        RunningCommand::step(CommandPhase::searching, 0, 1);  // progress resets the quiet time
        EXPECT_LT(EngineProgress::shared().snapshot().quietSeconds, 0.025);
    }
    EXPECT_EQ(RunningCommand::current(), nullptr);
    EXPECT_FALSE(EngineProgress::shared().snapshot().busy);
}

TEST(ProcessMemoryFootprint, IsMeasurable) {
    // This process has dirtied some anonymous memory, so the footprint cannot be zero.
    std::vector<char> block(8 << 20, 1);
    volatile char touched = block.back();
    (void)touched;
    EXPECT_GT(ProcessMemory::footprint(), block.size() / 2);

    // Pages of a memory-backed file count too: only swap could take them, like anonymous ones.
    const std::size_t length = 16 << 20;
    const Descriptor file(::memfd_create("footprint", MFD_CLOEXEC));
    ASSERT_TRUE(file);
    ASSERT_EQ(::ftruncate(file.get(), static_cast<off_t>(length)), 0);
    const std::uint64_t before = ProcessMemory::footprint();
    void* mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0);
    ASSERT_NE(mapped, MAP_FAILED);
    std::memset(mapped, 1, length);
    EXPECT_GT(ProcessMemory::footprint(), before + length / 2);
    ::munmap(mapped, length);
}

}  // namespace
}  // namespace kivo
