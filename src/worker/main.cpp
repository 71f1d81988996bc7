// kivo-pdf-worker: holds every open document and runs the command vocabulary on a Unix socket
// (the editor and the MCP connector) or on standard input and output (the command line).

#include <malloc.h>
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/file_creation.hpp"
#include "core/ipc_paths.hpp"
#include "core/worker_limits.hpp"
#include "engine/document_engine.hpp"
#include "session/running_command.hpp"
#include "sandbox/file_broker.hpp"
#include "sandbox/sandbox_self_test.hpp"
#include "sandbox/worker_sandbox.hpp"
#include "sandbox/worker_watchdog.hpp"
#include "worker/worker_main.hpp"

namespace kivo::WorkerMain {
namespace {

// Ends the worker when its memory passes the hard limit or a running command stops making
// progress; it reads the engine's progress clock, and sleeps while no command runs.
void startWatchdog(const ResourceLimits& limits) {
    WorkerWatchdog::Sources sources = WorkerWatchdog::Sources::engine();
    // A document whose reading ahead the watchdog stops is not read ahead again when reopened.
    sources.beforeStop = DocumentEngine::markStoppedReading;
    WorkerWatchdog::start(limits, std::move(sources));
}

}  // namespace

// With KIVO_PDF_WORKER_SANDBOX=off it says so and returns; otherwise it confines the process for
// good or ends it with status 73.
void applySandbox(const std::filesystem::path& ipc) { WorkerSandbox::applyForWorker(ipc); }

}  // namespace kivo::WorkerMain

int main(int argc, char** argv) {
    using namespace kivo;
    ::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    for (const std::string& argument : arguments) {
        if (argument == "--sandbox-self-test") return runSandboxSelfTest(std::cout);
    }
    // Once confined the worker may not change a file's mode, so each file gets it when created.
    FileCreation::clearUmask();
    // The broker that reaches documents for the confined worker is forked while the worker is
    // still small and has no threads; the sandbox hands it its policy.
    if (!WorkerSandbox::switchedOff(std::getenv(WorkerSandbox::switchVariable))) FileBroker::startEarly();
    // Fixed thresholds, so the C library never raises them after a long request line: a large
    // buffer is mapped on its own and goes back when freed, and a connection thread's heap gives
    // back what it no longer holds, rather than keeping tens of megabytes per thread for good.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 1 << 20);

    const ResourceLimits limits =
        ResourceLimits::fromEnvironment(processEnvironment(), physicalMemoryBytes());
    auto engine = std::make_unique<DocumentEngine>(limits);
    WorkerMain::startWatchdog(limits);

    const std::optional<std::string> socketPath = WorkerMain::value("--socket", arguments);
    if (!socketPath) {
        WorkerMain::applySandbox(IPCPaths::ipcDirectory());
        WorkerMain::runStdio(*engine);
        engine.reset();  // writes recovery checkpoints of unsaved documents
        return 0;
    }
    if (const auto problem = WorkerMain::socketPathProblem(*socketPath)) {
        WorkerMain::say(*problem);
        return WorkerMain::badCommandLine;
    }
    bool tokenStdin = false;
    for (const std::string& argument : arguments) tokenStdin = tokenStdin || argument == "--token-stdin";
    const auto tokens = tokenStdin ? WorkerMain::readTokens() : std::nullopt;
    if (!tokens) {
        WorkerMain::say(
            "kivo-pdf-worker: --socket needs --token-stdin with the UI token and the MCP token on "
            "separate lines.");
        return WorkerMain::badCommandLine;
    }
    try {
        WorkerMain::runSocket(*socketPath, *engine, ConnectionGate(tokens->first, tokens->second),
                              limits.stallSeconds);
    } catch (const std::system_error& error) {
        WorkerMain::say("kivo-pdf-worker: could not listen on " + *socketPath + ": " + error.what());
        return WorkerMain::socketFailed;
    }
}
