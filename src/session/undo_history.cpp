#include "session/undo_history.hpp"

#include <algorithm>
#include <iterator>

#include "core/engine_failure.hpp"
#include "session/thread_pool.hpp"

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

void UndoHistory::trim(std::vector<Snapshot>& stack, std::vector<Snapshot>* dropped) {
    std::int64_t total = 0;
    for (const Snapshot& entry : stack) total += entry.bytes ? entry.bytes->count() : 0;
    std::size_t remaining = stack.size();
    std::size_t oldest = 0;
    // The count rule comes first; the byte budget never takes the stack below four entries.
    while (remaining > maxEntries || (total > byteBudget && remaining > minEntriesUnderBudget)) {
        total -= stack[oldest].bytes ? stack[oldest].bytes->count() : 0;
        ++oldest;
        --remaining;
    }
    const auto end = stack.begin() + static_cast<std::ptrdiff_t>(oldest);
    if (dropped != nullptr) std::move(stack.begin(), end, std::back_inserter(*dropped));
    stack.erase(stack.begin(), end);
}

void UndoHistory::commit() {
    // A state of a long document is thousands of small allocations and a mapping to take down;
    // freeing them need not hold up the answer to the edit that forgot them.
    std::vector<Snapshot> forgotten = std::move(redo_);
    redo_.clear();
    trim(undo_, &forgotten);
    if (!forgotten.empty()) ThreadPool::releaseLater(std::move(forgotten));
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
