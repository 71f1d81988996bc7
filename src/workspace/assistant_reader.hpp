#pragma once

// The document as a model run reads it: the worker's "assistant_context" and "search" commands for
// one session, carried by the assistant session over the worker link. A run calls it on its own
// thread; each read hops to the GUI thread to send and waits there for the answer, so it must never be called
// on the GUI thread itself (that would wait forever, and it throws instead).

#include <exception>
#include <string>

#include "assistant/assistant_run.hpp"
#include "core/commands.hpp"

namespace kivo {

class AssistantSession;

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

class AssistantReader : public AssistantDocument {
public:
    // `session` must outlive every read; the session stops and joins its runs before it goes.
    AssistantReader(AssistantSession& session, std::string sessionId)
        : session_(session), sessionId_(std::move(sessionId)) {}

    // Throws AssistantCommandError for a refusal, and for an answer without a context (`internal`).
    AssistantContext context(const AssistantQuestion& question, std::int64_t limit,
                             std::stop_token stop) override;
    // No hits is an empty list. Throws AssistantCommandError for a refusal.
    std::vector<SearchHit> find(const std::string& text, const std::string& pageId,
                                std::stop_token stop) override;
    // One read for the assistant, without revision or operation id. Throws AssistantCommandError
    // when it fails, ProviderError cancelled when `stop` ends the wait, std::logic_error on the GUI
    // thread.
    CommandResult perform(CommandMethod method, CommandParams params, std::stop_token stop);

private:
    AssistantSession& session_;
    const std::string sessionId_;
};

}  // namespace kivo
