#include "workspace/recovery_checkpoints.hpp"

#include <filesystem>

#include "workspace/command_sender.hpp"
#include "workspace/workspace_state.hpp"

namespace kivo {

RecoveryCheckpoints::RecoveryCheckpoints(WorkspaceState& state, CommandSender& link, QObject* parent)
    : QObject(parent), state_(state), link_(link) {}

void RecoveryCheckpoints::setRecoveries(std::vector<RecoveryInfo> value) {
    if (value == recoveries_) return;
    recoveries_ = std::move(value);
    emit recoveriesChanged();
}

void RecoveryCheckpoints::setShowRecovery(bool value) {
    if (value == showRecovery_) return;
    showRecovery_ = value;
    emit showRecoveryChanged();
}

void RecoveryCheckpoints::refresh() {
    link_.send(CommandSender::makeRequest(CommandMethod::listRecovery), std::nullopt, true,
               [this](const CommandResult& result) {
                   setRecoveries(result.recoveries.value_or(std::vector<RecoveryInfo>{}));
                   setShowRecovery(!recoveries_.empty() && !state_.sessionId());
               });
}

void RecoveryCheckpoints::dismiss() { setShowRecovery(false); }

void RecoveryCheckpoints::discard(const std::string& recoveryId) {
    CommandParams params;
    params.recoveryId = recoveryId;
    link_.send(CommandSender::makeRequest(CommandMethod::discardRecovery, std::move(params)), std::nullopt,
               true, [this](const CommandResult&) { refresh(); });
}

std::string RecoveryCheckpoints::name(const std::string& recoveryId) const {
    std::string name = "this PDF";
    for (const RecoveryInfo& recovery : recoveries_) {
        if (recovery.recoveryId == recoveryId && recovery.sourcePath)
            name = std::filesystem::path(*recovery.sourcePath).filename().string();
    }
    return name;
}

}  // namespace kivo
