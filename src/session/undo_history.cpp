#include "session/undo_history.hpp"

#include "core/engine_failure.hpp"

namespace kivo {
namespace {

const char* const nothingToUndo = "Nothing to undo.";
const char* const nothingToRedo = "Nothing to redo.";

// Undo and redo are the same step with the stacks exchanged.
UndoHistory::Snapshot step(std::vector<UndoHistory::Snapshot>& from, std::vector<UndoHistory::Snapshot>& to,
                           UndoHistory::Snapshot current, const char* emptyMessage) {
    if (from.empty()) throw EngineFailure(FailureCode::emptyHistory, emptyMessage);
    UndoHistory::Snapshot entry = std::move(from.back());
    from.pop_back();
    to.push_back(std::move(current));
    return entry;
}

}  // namespace

void UndoHistory::trim(std::vector<Snapshot>& stack) {
    std::int64_t total = 0;
    for (const Snapshot& entry : stack) total += entry.bytes ? entry.bytes->count() : 0;
    std::size_t remaining = stack.size();
    std::size_t dropped = 0;
    // The count rule comes first; the byte budget never takes the stack below four entries.
    while (remaining > maxEntries || (total > byteBudget && remaining > minEntriesUnderBudget)) {
        const Snapshot& oldest = stack[dropped];
        total -= oldest.bytes ? oldest.bytes->count() : 0;
        ++dropped;
        --remaining;
    }
    stack.erase(stack.begin(), stack.begin() + static_cast<std::ptrdiff_t>(dropped));
}

void UndoHistory::commit() {
    trim(undo_);
    redo_.clear();
    ++newest_;
    generation_ = newest_;
}

std::optional<UndoHistory::Snapshot> UndoHistory::takeCheckpoint() {
    if (undo_.empty()) return std::nullopt;
    Snapshot entry = std::move(undo_.back());
    undo_.pop_back();
    return entry;
}

const UndoHistory::Snapshot& UndoHistory::next(bool back) const {
    const std::vector<Snapshot>& from = back ? undo_ : redo_;
    if (from.empty()) throw EngineFailure(FailureCode::emptyHistory, back ? nothingToUndo : nothingToRedo);
    return from.back();
}

UndoHistory::Snapshot UndoHistory::stepBack(Snapshot current) {
    return step(undo_, redo_, std::move(current), nothingToUndo);
}

UndoHistory::Snapshot UndoHistory::stepForward(Snapshot current) {
    return step(redo_, undo_, std::move(current), nothingToRedo);
}

}  // namespace kivo
