#pragma once

// Shared pieces of the connector's tests: a scratch support folder, a fake
// worker on a real Unix socket, an in-process server session, and programs
// started as children.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/command_json.hpp"
#include "core/commands.hpp"
#include "core/line_io.hpp"
#include "mcp/mcp_server.hpp"
#include "scoped_env.hpp"
#include "test_pdfs.hpp"
#include "unix_listener.hpp"

extern char** environ;

namespace kivo::mcptest {

using nlohmann::json;

// Short scratch folders keep the socket paths inside them below the limit.
using TempDir = testing::ShortTempDir;
using testing::ScopedEnv;

using testing::writeFile;

// Tokens of the shape the editor writes; the connector reads no other.
inline const std::string mcpToken = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
inline const std::string otherToken = "6BA7B810-9DAD-41D1-80B4-00C04FD430C8";

// A support folder (KIVO_PDF_SUPPORT_DIR points at it for the scope) with the
// ipc folder and a token file, owner-only as the editor writes it.
class SupportDir {
public:
    explicit SupportDir(const std::string& token = mcpToken)
        : env_("KIVO_PDF_SUPPORT_DIR", dir_.path().string()) {
        std::filesystem::create_directories(dir_.path() / "ipc");
        setToken(token);
    }
    void setToken(const std::string& token) const {
        const auto path = dir_.path() / "ipc" / "token";
        writeFile(path, token + "\n");
        std::filesystem::permissions(path,
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::replace);
    }
    std::filesystem::path root() const { return dir_.path(); }
    std::filesystem::path socket() const { return dir_.path() / "ipc" / "commands.sock"; }

private:
    TempDir dir_;
    ScopedEnv env_;
};

// A worker stand-in serving one connection at a time on its own thread. It
// checks hello against its token, records every other request and answers it
// with the handler's response; a handler that gives nothing makes it hang up
// without answering. Every blocking step has a way out, so a broken connector
// cannot hang the suite.
class FakeWorker {
public:
    using Handler = std::function<std::optional<CommandResponse>(const CommandRequest&)>;

    FakeWorker(const std::filesystem::path& socketPath, std::string token, Handler handler)
        : token_(std::move(token)), handler_(std::move(handler)) {
        listenFd_ = testing::listenOnUnixSocket(socketPath);
        thread_ = std::thread([this] { serve(); });
    }

    ~FakeWorker() {
        stop_ = true;
        hangUp();
        thread_.join();
        ::close(listenFd_);
    }

    // An answer that echoes the request's id with the given result.
    static Handler answering(CommandResult result = {}) {
        return
            [result](const CommandRequest& request) { return CommandResponse::success(request.id, result); };
    }

    void setToken(std::string token) {
        std::lock_guard guard(mutex_);
        token_ = std::move(token);
    }

    // Drops the current connection, as a worker that stopped would.
    void hangUp() {
        std::lock_guard guard(mutex_);
        if (activeFd_ >= 0) ::shutdown(activeFd_, SHUT_RDWR);
    }

    // The next answer goes out as this line instead.
    void garbleNextReply(std::string line) {
        std::lock_guard guard(mutex_);
        garbled_ = std::move(line);
    }

    std::vector<CommandRequest> requests() const {
        std::lock_guard guard(mutex_);
        return requests_;
    }
    std::vector<std::string> requestLines() const {
        std::lock_guard guard(mutex_);
        return lines_;
    }
    int connections() const { return connections_; }
    int refusedHellos() const { return refusedHellos_; }

private:
    void serve() {
        while (!stop_) {
            pollfd entry{listenFd_, POLLIN, 0};
            if (::poll(&entry, 1, 20) != 1) continue;
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            timeval timeout{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            ++connections_;
            {
                std::lock_guard guard(mutex_);
                activeFd_ = fd;
            }
            try {
                serveConnection(fd);
            } catch (const std::exception&) {
                // the peer went away or the test hung up
            }
            {
                std::lock_guard guard(mutex_);
                activeFd_ = -1;
            }
            ::close(fd);
        }
    }

    void serveConnection(int fd) {
        LineReader reader;
        const auto hello = CommandJSON::decodeRequest(reader.readLine(fd));
        std::string expected;
        {
            std::lock_guard guard(mutex_);
            expected = token_;
        }
        if (hello.method != CommandMethod::hello || hello.params.token != expected) {
            ++refusedHellos_;
            writeAll(fd, CommandJSON::encode(CommandResponse::failure(hello.id, FailureCode::unauthorized,
                                                                      "That token is not valid.")));
            return;
        }
        writeAll(fd, CommandJSON::encode(CommandResponse::success(hello.id, {})));
        while (!stop_) {
            const auto line = reader.readLine(fd);
            const auto request = CommandJSON::decodeRequest(line);
            {
                std::lock_guard guard(mutex_);
                requests_.push_back(request);
                lines_.push_back(line);
            }
            const auto response = handler_(request);
            if (!response) return;
            std::optional<std::string> garbled;
            {
                std::lock_guard guard(mutex_);
                garbled.swap(garbled_);
            }
            writeAll(fd, garbled ? *garbled + "\n" : CommandJSON::encode(*response));
        }
    }

    std::string token_;
    Handler handler_;
    int listenFd_ = -1;
    int activeFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> refusedHellos_{0};
    mutable std::mutex mutex_;
    std::vector<CommandRequest> requests_;
    std::vector<std::string> lines_;
    std::optional<std::string> garbled_;
    std::thread thread_;
};

// A server in this process whose replies are collected as parsed JSON.
class Session {
public:
    explicit Session(MCPServer::ClientFactory factory = MCPServer::workerClientFactory())
        : server_([this](std::string_view line) { return collect(line); }, std::move(factory)) {}

    // Handles one line and returns every reply it produced.
    std::vector<json> replies(std::string_view line) {
        lines_.clear();
        server_.handle(line);
        std::vector<json> parsed;
        for (const auto& reply : lines_) parsed.push_back(json::parse(reply));
        return parsed;
    }

    // Handles one line that must produce exactly one reply.
    json reply(std::string_view line) {
        auto all = replies(line);
        if (all.size() != 1) {
            ADD_FAILURE() << "expected one reply to " << line << ", got " << all.size();
            return json();
        }
        return all.front();
    }

    // The result of one tools/call.
    json call(const std::string& tool, const json& arguments = json::object()) {
        const json request = {{"jsonrpc", "2.0"},
                              {"id", 1},
                              {"method", "tools/call"},
                              {"params", {{"name", tool}, {"arguments", arguments}}}};
        return reply(request.dump())["result"];
    }

    const std::vector<std::string>& rawLines() const { return lines_; }
    MCPServer& server() { return server_; }

private:
    bool collect(std::string_view line) {
        lines_.emplace_back(line);
        return true;
    }

    std::vector<std::string> lines_;
    MCPServer server_;
};

// A program started as a child with pipes on its standard input and output
// (standard error is inherited, so its complaints show in the test log, unless
// `errorFile` names a file to take it). It
// inherits this process's environment, with `environment` added over it. Every
// read and wait has a time limit, and a child still running at the end is killed.
class ChildProgram {
public:
    ChildProgram(const std::string& program, const std::vector<std::string>& arguments = {},
                 const std::map<std::string, std::string>& environment = {}, bool keepOutput = true,
                 const std::optional<std::filesystem::path>& errorFile = std::nullopt) {
        ::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (errorFile)
            posix_spawn_file_actions_addopen(&actions, 2, errorFile->c_str(), O_WRONLY | O_CREAT, 0600);

        std::map<std::string, std::string> merged;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (const auto equals = text.find('='); equals != std::string::npos) {
                merged[text.substr(0, equals)] = text.substr(equals + 1);
            }
        }
        for (const auto& [key, value] : environment) merged[key] = value;
        std::vector<std::string> envText;
        for (const auto& [key, value] : merged) envText.push_back(key + "=" + value);
        std::vector<std::string> argText{program};
        argText.insert(argText.end(), arguments.begin(), arguments.end());
        const auto pointers = [](std::vector<std::string>& texts) {
            std::vector<char*> list;
            for (auto& text : texts) list.push_back(text.data());
            list.push_back(nullptr);
            return list;
        };
        auto argv = pointers(argText);
        auto envp = pointers(envText);
        const int spawned =
            ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (spawned != 0) {
            pid_ = -1;
            ADD_FAILURE() << "could not start " << program << ": " << std::strerror(spawned);
        }
        if (!keepOutput) {
            ::close(output_);
            output_ = -1;
        }
    }
    ~ChildProgram() {
        if (input_ >= 0) ::close(input_);
        if (output_ >= 0) ::close(output_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    void write(const std::string& text) {
        std::size_t done = 0;
        while (input_ >= 0 && done < text.size()) {
            const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    void closeInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }

    // The next line of standard output without its line feed; at the end of
    // the output, or when no line came within `seconds`, what there is of it.
    std::string readLine(double seconds = 10) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
        for (;;) {
            if (const auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{output_, POLLIN, 0};
            char chunk[65536];
            ssize_t n = 0;
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1 ||
                (n = ::read(output_, chunk, sizeof chunk)) <= 0) {
                return std::exchange(pending_, std::string());
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The exit status, or -1 when the child has not ended within `seconds`.
    int wait(double seconds = 10) {
        for (int i = 0; pid_ > 0 && i < seconds * 100; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
};

}  // namespace kivo::mcptest
