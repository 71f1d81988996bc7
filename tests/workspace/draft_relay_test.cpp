// The draft relay: which offers wake the GUI thread, what it takes, and that a flood of pieces from
// another thread leaves at most one wake waiting, however the two threads meet.

#include "workspace/draft_relay.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kivo {
namespace {

TEST(DraftRelayTest, WakesOnceUntilTakenAndHandsOnTheLatestText) {
    struct Step {
        const char* offered;  // nullptr: the GUI thread takes instead
        bool wakes;
        const char* taken;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"the first piece wakes, the rest wait for the take",
         {{"a", true, ""}, {"ab", false, ""}, {"abc", false, ""}, {nullptr, false, "abc"}}},
        {"a piece after a take wakes again",
         {{"a", true, ""}, {nullptr, false, "a"}, {"ab", true, ""}, {nullptr, false, "ab"}}},
        {"a draft that starts again replaces the text",
         {{"long draft", true, ""},
          {nullptr, false, "long draft"},
          {"new", true, ""},
          {nullptr, false, "new"}}},
        {"a take with nothing new keeps the text",
         {{"a", true, ""}, {nullptr, false, "a"}, {nullptr, false, "a"}}},
    };
    for (const Case& c : cases) {
        DraftRelay relay;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            if (step.offered != nullptr) {
                EXPECT_EQ(relay.offer(step.offered), step.wakes) << c.name << ", step " << i;
            } else {
                EXPECT_EQ(relay.take(), step.taken) << c.name << ", step " << i;
            }
        }
    }
}

// The run's thread offers every piece while the GUI thread takes whenever it is woken; a wake stands
// for an event in the GUI thread's queue, so the number waiting is the length of that queue.
TEST(DraftRelayTest, AFloodOfPiecesLeavesAtMostOneWakeWaiting) {
    constexpr int pieces = 200'000;
    DraftRelay relay;
    std::atomic<int> waiting = 0;
    std::atomic<int> mostWaiting = 0;
    std::atomic<bool> done = false;
    int wakes = 0;
    std::thread run([&] {
        std::string draft;
        for (int i = 0; i < pieces; ++i) {
            draft += "ab ";
            if (relay.offer(draft)) {
                ++wakes;
                const int now = ++waiting;
                int most = mostWaiting.load();
                while (now > most && !mostWaiting.compare_exchange_weak(most, now)) {}
            }
        }
        done = true;
    });
    int takes = 0;
    std::string last;
    while (!done || waiting > 0) {
        if (waiting == 0) {
            std::this_thread::yield();
            continue;
        }
        --waiting;
        last = relay.take();
        ++takes;
    }
    run.join();

    EXPECT_EQ(mostWaiting, 1) << "a wake is sent only once the one before was taken";
    EXPECT_EQ(wakes, takes);
    EXPECT_EQ(last.size(), 3u * pieces) << "the last take holds every piece";
}

}  // namespace
}  // namespace kivo
