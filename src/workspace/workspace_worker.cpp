// Starting the worker and connecting to it, once at start and again at each restart, and ending
// it when the editor quits. The launch runs on the GUI thread and sleeps there, at most a few
// seconds, as the start-up expects.

#include <system_error>

#include "core/ipc_paths.hpp"
#include "core/text.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int socketChecks = 40;
constexpr int connectAttempts = 20;
constexpr int pauseMilliseconds = 50;
// How long a worker that failed its launch is given to tell how it ended.
constexpr int exitChecks = 10;
constexpr int terminateMilliseconds = 2000;

// Asks the process to end, and ends it when it will not.
void endProcess(WorkerProcess& process) {
    process.terminate();
    if (!process.waitForExit(terminateMilliseconds)) {
        process.kill();
        process.waitForExit(terminateMilliseconds);
    }
}

}  // namespace

bool Workspace::claimEditorLock() {
    if (editorLock_.held()) return true;
    IPCPaths::prepareIPCDirectory();
    editorLock_ = EditorLock::acquire(IPCPaths::ipcDirectory() / "editor.lock");
    lockedOut_ = !editorLock_.held();
    return editorLock_.held();
}

void Workspace::launchOnce() {
    if (didStart_) return;
    didStart_ = true;
    try {
        launchWorker();
    } catch (const std::exception& error) {
        setErrorMessage(error.what());
        return;
    }
    setWorkerReady(true);
    setStatus("Worker ready. PDFium 154.0.8035 isolated from the UI.");
    refreshRecoveries();
}

void Workspace::launchWorker() {
    // The lock comes first: nothing of a running editor's socket or token may be touched.
    if (!claimEditorLock()) throw EngineLaunchError::anotherEditor();
    const std::string socket = IPCPaths::socketURL().string();
    // A fresh MCP token for every worker; the UI token stays the same for the whole run.
    const std::string mcpToken = newUUIDString();
    IPCFiles::writeTokenFile(IPCPaths::tokenURL(), mcpToken);
    std::error_code ignored;
    std::filesystem::remove(socket, ignored);

    const WorkerHost& host = *services_.workerHost;
    const auto executable = host.workerExecutable();
    if (!executable) throw EngineLaunchError::missingWorker(host.installed());

    std::unique_ptr<WorkerProcess> process = host.makeProcess();
    const std::int64_t generation = ++workerGeneration_;
    connect(
        process.get(), &WorkerProcess::finished, this,
        [this, generation](WorkerTermination termination) { workerDidStop(generation, termination); },
        Qt::QueuedConnection);
    process->start(*executable, {"--socket", socket, "--token-stdin"}, host.environment());
    worker_ = std::move(process);
    try {
        worker_->writeInputAndClose(token_ + "\n" + mcpToken + "\n");
        connectToWorker(socket);
    } catch (const std::exception&) {
        abandonLaunch(std::current_exception());
    }
    reconnectPending_ = false;
    setMcpEnabled(true);
}

void Workspace::connectToWorker(const std::string& socket) {
    for (int check = 0; check < socketChecks; ++check) {
        std::error_code error;
        if (std::filesystem::exists(socket, error)) break;
        // The pause between checks, cut short by a worker that ends.
        if (worker_->waitForExit(pauseMilliseconds)) throw std::runtime_error("The PDF worker ended at its start.");
    }
    std::shared_ptr<CommandClient> client;
    for (int attempt = 1; !client; ++attempt) {
        auto candidate = std::make_shared<CommandClient>(socket, token_, CommandChannel::ui);
        try {
            candidate->connect();
            client = std::move(candidate);
        } catch (const std::exception&) {
            if (attempt == connectAttempts || worker_->waitForExit(pauseMilliseconds)) throw;
        }
    }
    // Without the control connection nothing can be cancelled, but everything else works.
    auto control = std::make_shared<CommandClient>(socket, token_, CommandChannel::ui);
    try {
        control->connect();
    } catch (const std::exception&) {
        control.reset();
    }
    controlClient_ = std::move(control);
    client_ = std::move(client);
}

void Workspace::abandonLaunch(std::exception_ptr error) {
    // Its end is no stop of a running worker: the report will carry an old generation.
    ++workerGeneration_;
    const std::unique_ptr<WorkerProcess> process = std::move(worker_);
    bool ended = false;
    for (int check = 0; check < exitChecks && !ended; ++check) ended = process->waitForExit(pauseMilliseconds);
    if (ended) {
        if (const auto termination = process->termination()) {
            throw EngineLaunchError::stoppedAtStart(describeStop(*termination, workerLimits()));
        }
    } else {
        endProcess(*process);
    }
    std::rethrow_exception(error);
}

void Workspace::shutdownWorker() {
    stoppingWorker_ = true;
    // The worker goes first: its end also ends any exchange waiting on it, so closing the
    // connections and joining the queues cannot wait for a stalled command.
    if (worker_) endProcess(*worker_);
    if (client_) client_->close();
    if (controlClient_) controlClient_->close();
    commandQueue_.stop();
    controlQueue_.stop();
    client_.reset();
    controlClient_.reset();
    worker_.reset();
    // Only now that no export can still be writing one.
    discardPrintCopies();
    // The worker cannot remove its socket from inside its sandbox; a file left behind would only
    // make the MCP connector knock at a door nobody answers.
    if (editorLock_.held()) {
        std::error_code ignored;
        std::filesystem::remove(IPCPaths::socketURL(), ignored);
    }
}

void Workspace::restartWorker() {
    if (stoppingWorker_ || (worker_ && client_)) return;
    relaunch(std::nullopt);
}

}  // namespace kivo
