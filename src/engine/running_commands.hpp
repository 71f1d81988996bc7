#pragma once

// The commands being handled, by key: the engine registers each one so that a cancel arriving on
// another connection can reach it while it runs.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/commands.hpp"
#include "core/worker_limits.hpp"
#include "session/running_command.hpp"

namespace kivo {

class RunningCommands {
public:
    // Registers a new record for the request, replacing any stored under the same key.
    std::shared_ptr<RunningCommand> begin(const CommandRequest& request, ResourceLimits limits,
                                          RunningCommand::Report report);
    // Sets the cancel flag of the command with that channel and id; false when none runs.
    bool cancel(CommandChannel channel, const std::string& id);
    // Removes the command's entry, but only when the stored record is this very object.
    void end(const std::shared_ptr<RunningCommand>& command);

private:
    std::mutex lock_;
    std::map<std::string, std::shared_ptr<RunningCommand>> commands_;
};

}  // namespace kivo
