#pragma once

// A worker in stdio or socket mode as the editor talks to it, with (over the socket) a second
// connection as the MCP client, so one scenario can run through both modes.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/commands.hpp"
#include "test_pdfs.hpp"
#include "worker_process.hpp"

namespace kivo::testing {

enum class WorkerMode { stdio, socket };

std::string modeName(WorkerMode mode);

class DocumentWorker {
public:
    // Support folder, temporary folder and socket live below `folder`; the sandbox is off.
    DocumentWorker(WorkerMode mode, const std::filesystem::path& folder);
    ~DocumentWorker();
    DocumentWorker(const DocumentWorker&) = delete;
    DocumentWorker& operator=(const DocumentWorker&) = delete;

    // One request and its answer; an MCP request goes over the MCP connection. A missing answer
    // is a failure with code "<no response>".
    CommandResponse send(const CommandRequest& request);
    // Opens a file from the editor; a failed open fails the calling test.
    CommandResponse open(const std::filesystem::path& path);
    // Ends the worker as its owner would (stdio: the end of its input) and answers its status.
    int stop();
    // Ends the worker with SIGKILL, as a crash would: it gets no chance to tidy up.
    void kill() { process_->wait(0); }

private:
    WorkerMode mode_;
    std::unique_ptr<WorkerProcess> process_;
    std::unique_ptr<SocketConnection> editor_;
    std::unique_ptr<SocketConnection> mcp_;
    int requests_ = 0;
};

CommandRequest makeRequest(CommandMethod method, CommandChannel channel = CommandChannel::ui);

// A worker with a two-page document (a default page, then a 300 by 400 "Second page") open from
// the editor, for test fixtures to build on. A failed open fails the calling test.
struct OpenedDocument {
    void start(WorkerMode mode);
    // A request from the editor on `sessionId`, by default on the opened document.
    CommandRequest on(CommandMethod method, const std::string& sessionId = {}) const;

    TempDir dir;
    std::filesystem::path pdf;
    std::unique_ptr<DocumentWorker> worker;
    std::string session;
    std::vector<std::string> pages;
};

// "ok", or the error's code and message as "code: message".
std::string outcome(const CommandResponse& response);

// A two-by-two PNG.
std::string tinyPng();

}  // namespace kivo::testing
