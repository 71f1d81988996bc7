// The recovery commands: list the checkpoints an earlier worker left behind, reopen one as a new
// session, or throw one away.

#include "engine/document_engine.hpp"
#include "engine/recovery_store.hpp"
#include "session/session.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

// Only a file that is there, readable and different proves a change; a file that is gone or
// unreadable gives no reason to detach the recovered document from its path.
bool originalChanged(const RecoveryMeta& meta) {
    if (!meta.sourcePath || !meta.sourceFingerprint) return false;
    const std::optional<std::string> current = RecoveryStore::fingerprint(*meta.sourcePath);
    return current && *current != *meta.sourceFingerprint;
}

}  // namespace

CommandResponse DocumentEngine::listRecovery(const CommandRequest& request) {
    CommandResult result;
    result.recoveries = RecoveryStore::list();
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::restoreRecovery(const CommandRequest& request) {
    const auto& recoveryId = request.params.recoveryId;
    if (!recoveryId)
        throw EngineFailure(FailureCode::invalidArgument, "restore_recovery requires recoveryId.");
    RecoveryStore::Checkpoint checkpoint = RecoveryStore::load(*recoveryId);
    const bool changed = originalChanged(checkpoint.meta);

    std::shared_ptr<Session> session =
        Session::load(std::move(checkpoint.bytes), changed ? std::nullopt : checkpoint.meta.sourcePath,
                      request.params.password);
    session->applyRecovery(checkpoint.meta, changed);
    // A failure here (a cancel, say) drops the new session unregistered.
    session->documentContent();
    sessions_.emplace(session->id(), session);

    // The checkpoint moves to the new session's folder; the old one goes only once the new one
    // is safely on disk.
    bool written = false;
    try {
        RecoveryStore::write(*session);
        written = true;
    } catch (...) {}
    if (written && *recoveryId != session->id()) {
        try {
            RecoveryStore::discard(*recoveryId);
        } catch (...) {}
    }
    return CommandResponse::success(request.id, session->inspectResult());
}

CommandResponse DocumentEngine::discardRecovery(const CommandRequest& request) {
    const auto& recoveryId = request.params.recoveryId;
    if (!recoveryId)
        throw EngineFailure(FailureCode::invalidArgument, "discard_recovery requires recoveryId.");
    RecoveryStore::discard(*recoveryId);
    return CommandResponse::success(request.id, CommandResult{});
}

}  // namespace kivo
