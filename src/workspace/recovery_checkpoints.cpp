#include "workspace/recovery_checkpoints.hpp"

#include <filesystem>

#include "workspace/worker_link.hpp"
#include "workspace/workspace_state.hpp"

namespace kivo {

RecoveryCheckpoints::RecoveryCheckpoints(WorkspaceState& state, WorkerLink& link, QObject* parent)
    : QObject(parent), state_(state), link_(link) {}

void RecoveryCheckpoints::refresh() {
    link_.send(WorkerLink::makeRequest(CommandMethod::listRecovery), std::nullopt, true,
               [this](const CommandResult& result) {
                   state_.setRecoveries(result.recoveries.value_or(std::vector<RecoveryInfo>{}));
                   state_.setShowRecovery(!state_.recoveries().empty() && !state_.sessionId());
               });
}

void RecoveryCheckpoints::discard(const std::string& recoveryId) {
    CommandParams params;
    params.recoveryId = recoveryId;
    link_.send(WorkerLink::makeRequest(CommandMethod::discardRecovery, std::move(params)), std::nullopt, true,
               [this](const CommandResult&) { refresh(); });
}

std::string RecoveryCheckpoints::name(const std::string& recoveryId) const {
    std::string name = "this PDF";
    for (const RecoveryInfo& recovery : state_.recoveries()) {
        if (recovery.recoveryId == recoveryId && recovery.sourcePath)
            name = std::filesystem::path(*recovery.sourcePath).filename().string();
    }
    return name;
}

}  // namespace kivo
