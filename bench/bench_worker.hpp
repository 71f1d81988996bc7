#pragma once

// The real worker as the benchmarks drive it: started from build/bin in socket mode with its
// sandbox, in a scratch folder of its own, reached through the shared client. A benchmark has no
// one to report a failure to, so every failure here prints one line and ends the run.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/command_client.hpp"

namespace kivo::bench {

class BenchWorker {
public:
    static constexpr const char* uiToken = "bench-ui";
    static constexpr const char* mcpToken = "bench-mcp";

    // The worker this build made, in build/bin.
    static std::filesystem::path builtWorker();

    // Starts `worker` with this process's environment plus its own support and temporary
    // folders; `program` names the benchmark in failure lines.
    explicit BenchWorker(const char* program, const std::filesystem::path& worker = builtWorker());
    // Terminates the worker and removes the scratch folder.
    ~BenchWorker();
    BenchWorker(const BenchWorker&) = delete;
    BenchWorker& operator=(const BenchWorker&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    pid_t pid() const { return pid_; }

    // A client that has said hello with the token of `channel`; waits up to two seconds for the
    // worker to listen.
    std::unique_ptr<CommandClient> connect(CommandChannel channel) const;
    // Kills the worker with SIGKILL and starts the same program again in the same folders.
    void killAndRestart();

private:
    void spawn();

    const char* program_;
    std::filesystem::path worker_;
    std::filesystem::path folder_;
    pid_t pid_ = -1;
};

// Ends the run with the worker's message when `response` failed.
void require(const char* program, const CommandResponse& response, const char* what);

}  // namespace kivo::bench
