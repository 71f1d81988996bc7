#include "bench_worker.hpp"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace kivo::bench {
namespace {

[[noreturn]] void fail(const char* program, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", program, what.c_str());
    std::exit(1);
}

}  // namespace

std::filesystem::path BenchWorker::builtWorker() {
    return std::filesystem::path(KIVO_BIN_DIR) / "kivo-pdf-worker";
}

BenchWorker::BenchWorker(const char* program, const std::filesystem::path& worker)
    : program_(program), worker_(worker) {
    char pattern[] = "/tmp/kivo-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) fail(program_, "could not make a scratch folder");
    folder_ = pattern;
    // The socket's folder must not hold the support folder: the worker's sandbox walls it off.
    if (::mkdir((folder_ / "ipc").c_str(), 0700) != 0) fail(program_, "could not make a socket folder");
    spawn();
}

// The folders go through this process's environment, set again at every start: another worker
// started in between has set its own.
void BenchWorker::spawn() {
    ::setenv("KIVO_PDF_SUPPORT_DIR", (folder_ / "support").c_str(), 1);
    ::setenv("TMPDIR", folder_.c_str(), 1);
    int tokens[2];
    if (::pipe(tokens) != 0) fail(program_, "could not make a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, tokens[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, tokens[1]);
    std::vector<std::string> args = {worker_.string(), "--socket", (folder_ / "ipc" / "w.sock").string(),
                                     "--token-stdin"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, worker_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(tokens[0]);
    if (spawned != 0) fail(program_, "could not start " + worker_.string());
    const std::string lines = std::string(uiToken) + "\n" + mcpToken + "\n";
    if (::write(tokens[1], lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) {
        fail(program_, "could not hand the worker its tokens");
    }
    ::close(tokens[1]);
}

// SIGKILL, so the worker leaves its folder as a crash would: no checkpoint is written on the way out.
void BenchWorker::killAndRestart() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::unlink((folder_ / "ipc" / "w.sock").c_str());
    spawn();
}

BenchWorker::~BenchWorker() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::unique_ptr<CommandClient> BenchWorker::connect(CommandChannel channel) const {
    const char* token = channel == CommandChannel::mcp ? mcpToken : uiToken;
    auto client = std::make_unique<CommandClient>((folder_ / "ipc" / "w.sock").string(), token, channel);
    for (int attempt = 0; attempt < 200 && !client->isConnected(); ++attempt) {
        try {
            client->connect();
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!client->isConnected()) fail(program_, "the worker did not start listening");
    return client;
}

void require(const char* program, const CommandResponse& response, const char* what) {
    if (response.ok) return;
    fail(program, std::string(what) + " failed: " + (response.error ? response.error->message : ""));
}

}  // namespace kivo::bench
