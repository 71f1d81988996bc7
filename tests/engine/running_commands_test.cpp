#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/running_commands.hpp"
#include "running_as.hpp"

namespace kivo {
namespace {

using testing::runAs;

CommandRequest request(std::string id, CommandChannel channel) {
    CommandRequest r;
    r.id = std::move(id);
    r.channel = channel;
    return r;
}

TEST(RunningCommands, CancelFindsOnlyItsOwnChannelAndId) {
    RunningCommands running;
    const auto cli = running.begin(request("a", CommandChannel::cli), ResourceLimits::unlimited(), nullptr);
    EXPECT_FALSE(running.cancel(CommandChannel::ui, "a"));
    EXPECT_FALSE(running.cancel(CommandChannel::cli, "b"));
    EXPECT_FALSE(cli->cancelRequested());
    EXPECT_TRUE(running.cancel(CommandChannel::cli, "a"));
    EXPECT_TRUE(running.cancel(CommandChannel::cli, "a"));  // a second cancel also finds it
    EXPECT_TRUE(cli->cancelRequested());
    running.end(cli);
    EXPECT_FALSE(running.cancel(CommandChannel::cli, "a"));
}

TEST(RunningCommands, LaterRequestWithSameIdReplacesTheEarlier) {
    RunningCommands running;
    const auto earlier =
        running.begin(request("x", CommandChannel::ui), ResourceLimits::unlimited(), nullptr);
    const auto later = running.begin(request("x", CommandChannel::ui), ResourceLimits::unlimited(), nullptr);
    EXPECT_TRUE(running.cancel(CommandChannel::ui, "x"));
    EXPECT_TRUE(later->cancelRequested());
    EXPECT_FALSE(earlier->cancelRequested());
    running.end(earlier);  // leaves the later entry in place
    EXPECT_TRUE(running.cancel(CommandChannel::ui, "x"));
    running.end(later);
    EXPECT_FALSE(running.cancel(CommandChannel::ui, "x"));
}

TEST(RunningCommands, CancelFromAnotherThreadStopsTheLoop) {
    RunningCommands running;
    const auto command =
        running.begin(request("long", CommandChannel::ui), ResourceLimits::unlimited(), nullptr);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        running.cancel(CommandChannel::ui, "long");
    });
    const std::optional<FailureCode> code = runAs(*command, [] {
        for (int i = 0;; ++i) {
            RunningCommand::step(CommandPhase::searching, i, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    canceller.join();
    EXPECT_EQ(code, FailureCode::cancelled);
    running.end(command);
}

}  // namespace
}  // namespace kivo
