#pragma once

// Where the worker comes from: its executable, the environment it starts with, and the process
// that runs it. The editor's own answer looks next to its executable; tests point it elsewhere.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "workspace/worker_process.hpp"

namespace kivo {

class WorkerHost {
public:
    virtual ~WorkerHost() = default;

    // The worker executable, or nothing when there is none to run.
    virtual std::optional<std::filesystem::path> workerExecutable() const = 0;
    // The worker's whole environment; the editor reads the worker's limits from it as well.
    virtual std::map<std::string, std::string> environment() const = 0;
    // Whether the editor runs installed rather than from its build folder; only the wording of a
    // missing worker depends on it.
    virtual bool installed() const = 0;
    // A new process, not yet started.
    virtual std::unique_ptr<WorkerProcess> makeProcess() const { return std::make_unique<QProcessWorker>(); }
    // The MCP connector that MCP clients start, or nothing when there is none: by default
    // kivo-pdf-mcp beside the editor.
    virtual std::optional<std::filesystem::path> connectorExecutable() const;
};

// The file `name` in the folder of the editor's own executable as the program started
// (/proc/self/exe, links resolved, taken once), when it is an executable file there; otherwise
// nothing. Never fails.
std::optional<std::filesystem::path> siblingExecutable(const std::string& name);

// The editor's own host: kivo-pdf-worker beside the editor, the editor's environment unchanged,
// and "installed" whenever the editor does not run from the build folder it was built into.
class DesktopWorkerHost : public WorkerHost {
public:
    std::optional<std::filesystem::path> workerExecutable() const override;
    std::map<std::string, std::string> environment() const override;
    bool installed() const override;
};

}  // namespace kivo
