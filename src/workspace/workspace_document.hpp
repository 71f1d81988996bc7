#pragma once

// The document as a model run reads it: the worker's "assistant_context" and "search" commands for
// one session, carried by the workspace's own transport. A run calls it on its own thread; each
// read hops to the GUI thread to send and waits there for the answer, so it must never be called
// on the GUI thread itself (that would wait forever, and it throws instead).

#include <exception>
#include <string>

#include "assistant/assistant_run.hpp"
#include "core/commands.hpp"

namespace kivo {

class Workspace;

// The worker refused a read, or the transport could not carry it: its code and sentence.
class AssistantCommandError : public std::exception {
public:
    AssistantCommandError(std::string code, std::string message)
        : code_(std::move(code)), message_(std::move(message)) {}

    const std::string& code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string code_;
    std::string message_;
};

class WorkspaceDocument : public AssistantDocument {
public:
    // `workspace` must outlive every read; the workspace stops and joins its runs before it goes.
    WorkspaceDocument(Workspace& workspace, std::string sessionId)
        : workspace_(workspace), sessionId_(std::move(sessionId)) {}

    // Throws AssistantCommandError for a refusal, and for an answer without a context (`internal`).
    AssistantContext context(const AssistantQuestion& question, std::int64_t limit, std::stop_token stop) override;
    // No hits is an empty list. Throws AssistantCommandError for a refusal.
    std::vector<SearchHit> find(const std::string& text, const std::string& pageId, std::stop_token stop) override;
    // One read for the assistant, without revision or operation id. Throws AssistantCommandError
    // when it fails, ProviderError cancelled when `stop` ends the wait, std::logic_error on the GUI
    // thread.
    CommandResult perform(CommandMethod method, CommandParams params, std::stop_token stop);

private:
    Workspace& workspace_;
    const std::string sessionId_;
};

}  // namespace kivo
