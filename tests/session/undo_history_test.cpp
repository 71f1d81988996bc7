#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "failures.hpp"
#include "session/undo_history.hpp"

namespace kivo {
namespace {

using testing::failureOf;
using testing::Thrown;

constexpr std::int64_t MiB = 1024 * 1024;

// Snapshots of the given lengths that own no memory: only their counts matter to the trim.
std::vector<UndoHistory::Snapshot> fakeStack(const std::vector<std::int64_t>& lengths) {
    static const std::uint8_t byte = 0;
    std::vector<UndoHistory::Snapshot> stack;
    for (size_t i = 0; i < lengths.size(); ++i) {
        stack.push_back(UndoHistory::Snapshot{
            std::make_shared<DocumentBytes>(&byte, lengths[i], 0), {}, static_cast<std::int64_t>(i)});
    }
    return stack;
}

TEST(UndoHistoryTrim, CountAndByteBudget) {
    struct Case {
        const char* name;
        std::vector<std::int64_t> lengths;
        size_t kept;
    };
    const Case cases[] = {
        {"under both limits", std::vector<std::int64_t>(5, 1000), 5},
        {"41 small entries", std::vector<std::int64_t>(41, 1000), 32},
        {"four of 100 MiB", std::vector<std::int64_t>(4, 100 * MiB), 4},
        {"five of 100 MiB", std::vector<std::int64_t>(5, 100 * MiB), 4},
        {"budget never below four", std::vector<std::int64_t>(8, 300 * MiB), 4},
        {"exactly the budget", {MiB, MiB, MiB, MiB, MiB, 251 * MiB}, 6},
        {"one byte over the budget", {MiB + 1, MiB, MiB, MiB, MiB, 251 * MiB}, 5},
        {"one big old entry", {251 * MiB, MiB, MiB, MiB, MiB, MiB, MiB}, 6},
    };
    for (const Case& c : cases) {
        std::vector<UndoHistory::Snapshot> stack = fakeStack(c.lengths);
        UndoHistory::trim(stack);
        ASSERT_EQ(stack.size(), c.kept) << c.name;
        // The newest entries survive.
        EXPECT_EQ(stack.back().generation, static_cast<std::int64_t>(c.lengths.size()) - 1) << c.name;
    }
}

// The history alone, the states standing for documents: a state is known by its generation.
TEST(UndoHistorySteps, GenerationsStacksAndTheSavedState) {
    UndoHistory history;
    const auto state = [&history] { return UndoHistory::Snapshot{nullptr, {}, history.generation()}; };
    EXPECT_TRUE(history.isSaved());
    EXPECT_EQ(failureOf([&] { history.stepBack(state()); }),
              (Thrown{FailureCode::emptyHistory, "Nothing to undo."}));
    EXPECT_EQ(failureOf([&] { history.stepForward(state()); }),
              (Thrown{FailureCode::emptyHistory, "Nothing to redo."}));
    EXPECT_FALSE(history.takeCheckpoint());
    EXPECT_FALSE(history.canUndo() || history.canRedo());

    // Two edits: generations 1 and 2; the first was saved.
    history.checkpoint(state());
    history.commit();
    history.markSaved();
    history.checkpoint(state());
    history.commit();
    EXPECT_EQ(history.generation(), 2);
    EXPECT_FALSE(history.isSaved());

    // Undo hands back the state before and keeps the one left for redo.
    UndoHistory::Snapshot back = history.stepBack(state());
    EXPECT_EQ(back.generation, 1);
    history.restore(back.generation);
    EXPECT_TRUE(history.isSaved());
    ASSERT_EQ(history.redoStack().size(), 1u);
    EXPECT_EQ(history.redoStack().back().generation, 2);

    // A rolled-back change gives its checkpoint back and leaves the redo entry alone.
    history.checkpoint(state());
    const std::optional<UndoHistory::Snapshot> rolledBack = history.takeCheckpoint();
    ASSERT_TRUE(rolledBack);
    EXPECT_EQ(rolledBack->generation, 1);
    EXPECT_TRUE(history.canRedo());

    // A new edit forgets redo and never gives a generation twice.
    history.checkpoint(state());
    history.commit();
    EXPECT_EQ(history.generation(), 3);
    EXPECT_FALSE(history.canRedo());
    EXPECT_EQ(history.undoStack().size(), 2u);
    history.markUnsaved();
    history.restore(1);
    EXPECT_FALSE(history.isSaved());
}

}  // namespace
}  // namespace kivo
