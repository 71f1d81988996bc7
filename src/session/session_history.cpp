#include "session/recovery_meta.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"

namespace kivo {

void Session::checkpoint() { undoStack_.push_back(currentSnapshot()); }

Session::Snapshot Session::currentSnapshot() const {
    return Snapshot{backingBytes_, pages_, generation_,
                    std::make_shared<const std::map<std::string, PageCensus>>(pageCensus_)};
}

void Session::adoptCensus(const Snapshot& entry) {
    if (entry.census) pageCensus_ = *entry.census;
}

void Session::refreshBacking() {
    if (!document_) throw session_detail::documentClosed();
    backingBytes_ = DocumentBytes::writing(document_.get());
}

void Session::trimUndoStack(std::vector<Snapshot>& stack) {
    std::int64_t total = 0;
    for (const Snapshot& entry : stack) total += entry.bytes ? entry.bytes->count() : 0;
    std::size_t remaining = stack.size();
    std::size_t dropped = 0;
    // The count rule comes first; the byte budget never takes the stack below four entries.
    while (remaining > maxUndoEntries || (total > undoByteBudget && remaining > minUndoEntriesUnderBudget)) {
        const Snapshot& oldest = stack[dropped];
        total -= oldest.bytes ? oldest.bytes->count() : 0;
        ++dropped;
        --remaining;
    }
    stack.erase(stack.begin(), stack.begin() + static_cast<std::ptrdiff_t>(dropped));
}

void Session::commitCheckpoint() {
    trimUndoStack(undoStack_);
    redoStack_.clear();
    ++newestGeneration_;
    generation_ = newestGeneration_;
}

void Session::rollbackCheckpoint() noexcept {
    if (undoStack_.empty()) return;
    Snapshot entry = std::move(undoStack_.back());
    undoStack_.pop_back();
    const std::vector<std::string> warnings = warnings_;
    try {
        bind(entry.bytes, std::nullopt, entry.pages, true);
        generation_ = entry.generation;
        adoptCensus(entry);
    } catch (const std::exception&) {
        // The caller is already failing; a rollback has nothing further to report.
    }
    warnings_ = warnings;
}

// Undo and redo are the same step with the stacks exchanged. A failed rebind leaves the
// stacks moved and propagates; the warnings never change either way, so one raised after
// loading survives and none is doubled.
void Session::moveThroughHistory(std::vector<Snapshot>& from, std::vector<Snapshot>& to, const char* emptyMessage) {
    if (from.empty()) throw EngineFailure(FailureCode::emptyHistory, emptyMessage);
    Snapshot entry = std::move(from.back());
    from.pop_back();
    to.push_back(currentSnapshot());
    const std::vector<std::string> warnings = warnings_;
    try {
        bind(entry.bytes, std::nullopt, entry.pages, true);
    } catch (...) {
        warnings_ = warnings;
        throw;
    }
    warnings_ = warnings;
    generation_ = entry.generation;
    adoptCensus(entry);
}

void Session::undo() { moveThroughHistory(undoStack_, redoStack_, "Nothing to undo."); }

void Session::redoLast() { moveThroughHistory(redoStack_, undoStack_, "Nothing to redo."); }

void Session::applyRecovery(const RecoveryMeta& meta, bool originalChanged) {
    if (originalChanged) {
        savedGeneration_.reset();
        sourcePath_.reset();
        sourceFingerprint_.reset();
        warnings_.push_back(recoveryCopyWarning);
        return;
    }
    sourcePath_ = meta.sourcePath;
    sourceFingerprint_ = meta.sourceFingerprint;
    if (meta.dirty || !meta.sourcePath) {
        savedGeneration_.reset();
    } else {
        savedGeneration_ = generation_;
    }
}

}  // namespace kivo
