// The small values the workspace publishes, as the windows show them.

#include <gtest/gtest.h>

#include "workspace/workspace_types.hpp"

namespace kivo {
namespace {

TEST(CommandActivity, TellsThePhaseWithCountsInTheUsersLocale) {
    const struct {
        CommandPhase phase;
        std::int64_t completed;
        std::int64_t total;
        const char* detail;
    } cases[] = {
        {CommandPhase::waiting, 1, 5, "Waiting for another command to finish"},
        {CommandPhase::started, 0, 0, "Working…"},
        {CommandPhase::searching, 1200, 2500, "Searching pages: 1,200 of 2,500"},
        {CommandPhase::loadingPages, 0, 0, "Loading pages"},
        {CommandPhase::readingText, 3, 9, "Reading page text: 3 of 9"},
    };
    for (const auto& c : cases) {
        CommandActivity activity;
        activity.phase = c.phase;
        activity.completed = c.completed;
        activity.total = c.total;
        EXPECT_EQ(activity.detail(), c.detail);
    }
}

}  // namespace
}  // namespace kivo
