#include "engine/running_commands.hpp"

namespace kivo {

std::shared_ptr<RunningCommand> RunningCommands::begin(const CommandRequest& request, ResourceLimits limits,
                                                       RunningCommand::Report report) {
    auto command = std::make_shared<RunningCommand>(request.id, request.channel, limits, std::move(report));
    std::lock_guard guard(lock_);
    commands_[command->key()] = command;
    return command;
}

bool RunningCommands::cancel(CommandChannel channel, const std::string& id) {
    std::shared_ptr<RunningCommand> found;
    {
        std::lock_guard guard(lock_);
        const auto entry = commands_.find(RunningCommand::key(channel, id));
        if (entry != commands_.end()) found = entry->second;
    }
    // The registry lock is released before the command's own is taken: never both at once.
    if (found) found->requestCancel();
    return found != nullptr;
}

void RunningCommands::end(const std::shared_ptr<RunningCommand>& command) {
    if (!command) return;
    std::lock_guard guard(lock_);
    const auto entry = commands_.find(command->key());
    if (entry != commands_.end() && entry->second == command) commands_.erase(entry);
}

}  // namespace kivo
