#include "session/recovery_meta.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "session/session_warnings.hpp"

namespace kivo {

void Session::checkpoint() { history_.checkpoint(currentSnapshot()); }

Session::Snapshot Session::currentSnapshot() const {
    return Snapshot{backingBytes_, pages_, history_.generation(), census_.snapshot()};
}

void Session::refreshBacking() {
    if (!document_) throw session_detail::documentClosed();
    backingBytes_ = DocumentBytes::writing(document_.get());
}

void Session::commitCheckpoint() { history_.commit(); }

void Session::rollbackCheckpoint() noexcept {
    std::optional<Snapshot> entry = history_.takeCheckpoint();
    if (!entry) return;
    try {
        reopen(*entry);
    } catch (const std::exception&) {
        // The caller is already failing; a rollback has nothing further to report.
    }
}

// A failed rebind leaves the history's stacks moved and propagates.
void Session::stepThroughHistory(bool back) {
    reopen(back ? history_.stepBack(currentSnapshot()) : history_.stepForward(currentSnapshot()));
}

// The warnings never change either way, so one raised after loading survives and none is doubled.
void Session::reopen(const Snapshot& entry) {
    const std::vector<std::string> warnings = warnings_;
    try {
        bind(entry.bytes, std::nullopt, entry.pages, true);
    } catch (...) {
        warnings_ = warnings;
        throw;
    }
    warnings_ = warnings;
    history_.restore(entry.generation);
    census_.adopt(entry.census);
}

void Session::undo() { stepThroughHistory(true); }

void Session::redoLast() { stepThroughHistory(false); }

void Session::applyRecovery(const RecoveryMeta& meta, bool originalChanged) {
    if (originalChanged) {
        history_.markUnsaved();
        sourcePath_.reset();
        stamp_.setFingerprint(std::nullopt);
        warnings_.push_back(SessionWarnings::recoveryCopy);
        return;
    }
    sourcePath_ = meta.sourcePath;
    stamp_.setFingerprint(meta.sourceFingerprint);
    if (meta.dirty || !meta.sourcePath) {
        history_.markUnsaved();
    } else {
        history_.markSaved();
    }
}

}  // namespace kivo
