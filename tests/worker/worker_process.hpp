#pragma once

// Starts build/bin/kivo-pdf-worker as a child with pipes on its three standard streams, and
// talks to it in stdio mode or over its socket.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/command_json.hpp"
#include "core/commands.hpp"

namespace kivo::testing {

class WorkerProcess {
public:
    // `environment` is added to (and overrides) this process's environment.
    WorkerProcess(const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment);
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    void write(const std::string& bytes);
    void closeInput();
    // The next line of standard output, or nothing at its end or after `seconds`.
    std::optional<std::string> readLine(double seconds = 20);
    // The exit status, or -1 when the process has not ended within `seconds` (it is then killed).
    int wait(double seconds = 20);
    // Everything written to standard error so far (after wait, all of it).
    std::string errorOutput();
    int pid() const { return pid_; }

private:
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outPending_;
    std::string errText_;
    std::optional<int> status_;
};

// A socket connection to a worker.
class SocketConnection {
public:
    explicit SocketConnection(const std::filesystem::path& socket);
    ~SocketConnection();
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    void write(const std::string& bytes);
    std::optional<std::string> readLine(double seconds = 20);
    // Sends hello with `token`; true when the worker accepted it.
    bool authenticate(const std::string& token);
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string pending_;
};

// A worker in socket mode at `socket` with the tokens "ui-token" and "mcp-token" (sent with the
// white space and line ends a token file may have), once it says it is listening.
std::unique_ptr<WorkerProcess> startSocketWorker(const std::filesystem::path& socket,
                                                 const std::map<std::string, std::string>& environment);

// One request line in the wire form, with the fields the tests vary.
std::string requestLine(const CommandRequest& request);

// The progress lines and the response of one request; no response when the stream ended first.
struct Exchange {
    std::vector<CommandProgress> progress;
    std::optional<CommandResponse> response;
};

template <class Connection>
Exchange readExchange(Connection& connection, double seconds = 20) {
    Exchange exchange;
    while (auto line = connection.readLine(seconds)) {
        CommandReply reply = CommandJSON::decodeReply(*line);
        if (auto* progress = std::get_if<CommandProgress>(&reply)) {
            exchange.progress.push_back(*progress);
            continue;
        }
        exchange.response = std::get<CommandResponse>(std::move(reply));
        break;
    }
    return exchange;
}

}  // namespace kivo::testing
