#pragma once

// The one interface through which the assistant talks to a chat model, whichever server
// answers, and the plain records that cross it: messages, tool definitions, the events of a
// streamed reply, its outcome, the model list and the chat limits.
//
// A provider's calls block the calling thread (the caller owns it, never the GUI thread) and
// each takes a `std::stop_token`: a stop ends the call at once. Every failure of a chat comes
// out as one `ProviderError` (provider_error.hpp); `status` and `capabilities` never throw.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "assistant/json_value.hpp"
#include "core/assistant_records.hpp"

namespace kivo {

struct ChatMessage {
    enum class Role { system, user, assistant };

    Role role = Role::user;
    std::string content{};

    bool operator==(const ChatMessage&) const = default;
};

// "system", "user" or "assistant"; construction accepts exactly these words, case-sensitive.
std::string_view roleName(ChatMessage::Role role) noexcept;
std::optional<ChatMessage::Role> roleNamed(std::string_view name) noexcept;

struct ToolDefinition {
    std::string name{};
    std::string description{};
    // A JSON Schema object describing the arguments.
    JSONValue parameters{};

    friend bool operator==(const ToolDefinition&, const ToolDefinition&) = default;
};

struct ToolCall {
    std::string name{};
    // As the model sent them, normally an object.
    JSONValue arguments{};

    friend bool operator==(const ToolCall&, const ToolCall&) = default;
};

// One event of a streaming reply: the next piece of answer text, one whole tool call, or a
// sign that the model is reasoning (its reasoning text is not passed on).
struct ChatEvent {
    enum class Kind { text, toolCall, thinking };

    Kind kind = Kind::text;
    std::string text{};
    std::optional<ToolCall> toolCall{};

    static ChatEvent textPiece(std::string piece) { return {Kind::text, std::move(piece), std::nullopt}; }
    static ChatEvent call(ToolCall toolCall) { return {Kind::toolCall, {}, std::move(toolCall)}; }
    static ChatEvent thinking() { return {Kind::thinking, {}, std::nullopt}; }

    friend bool operator==(const ChatEvent&, const ChatEvent&) = default;
};

using ChatEventHandler = std::function<void(const ChatEvent&)>;

// Why a reply ended; `other` keeps the server's own word.
struct FinishReason {
    enum class Kind { stop, length, other };

    Kind kind = Kind::stop;
    std::string word{};

    static FinishReason stop() { return {Kind::stop, {}}; }
    static FinishReason length() { return {Kind::length, {}}; }
    static FinishReason other(std::string word) { return {Kind::other, std::move(word)}; }

    bool operator==(const FinishReason&) const = default;
};

struct ChatOutcome {
    std::string text{};
    std::vector<ToolCall> toolCalls{};
    FinishReason finish{};
    AnswerUsage usage{};

    friend bool operator==(const ChatOutcome&, const ChatOutcome&) = default;
};

struct ModelInfo {
    std::string name{};
    std::optional<std::string> parameterSize{};
    std::optional<std::int64_t> sizeBytes{};
    std::optional<std::vector<std::string>> capabilities{};

    // Whether the capabilities are known and include calling tools: what proposing edits needs.
    bool canCallTools() const {
        return capabilities &&
               std::find(capabilities->begin(), capabilities->end(), "tools") != capabilities->end();
    }

    bool operator==(const ModelInfo&) const = default;
};

struct ModelCapabilities {
    bool tools = false;
    bool thinking = false;
    // False: the values are the provider's defaults, not the server's word.
    bool known = false;

    bool operator==(const ModelCapabilities&) const = default;
};

// Ready with the server's version and models, or unavailable with the sentence that says why.
struct ProviderStatus {
    bool ready = false;
    std::string version{};
    std::vector<ModelInfo> models{};
    std::string reason{};

    static ProviderStatus available(std::string version, std::vector<ModelInfo> models) {
        return {true, std::move(version), std::move(models), {}};
    }
    static ProviderStatus unavailable(std::string reason) { return {false, {}, {}, std::move(reason)}; }

    bool operator==(const ProviderStatus&) const = default;
};

struct ChatLimits {
    std::int64_t maxOutputTokens = 0;
    // The context window to ask for; the assistant run computes its own for each chat.
    std::int64_t contextTokens = 0;
    // The longest silence allowed between received bytes.
    double idleSeconds = 0;
    // The longest time the whole chat may take.
    double totalSeconds = 0;
    // Absent: no thinking setting is sent.
    std::optional<bool> think{};

    static ChatLimits standard() { return {1024, 16384, 120, 300, std::nullopt}; }
    static ChatLimits hosted() { return {4096, 16384, 120, 300, std::nullopt}; }

    bool operator==(const ChatLimits&) const = default;
};

// The longest time limit a chat accepts (about 31 years); anything above is a caller's mistake.
inline constexpr double maximumChatSeconds = 1e9;

// Throws std::invalid_argument when a time limit is not a finite number from 0 to
// `maximumChatSeconds`, so no request is made with limits no timer can honour.
void checkChatLimits(const ChatLimits& limits);

// Environment variables by name, as the providers' `fromEnvironment` factories read them; the
// process's own come from processEnvironment() in core/worker_limits.hpp.
using Environment = std::map<std::string, std::string>;

class ModelProvider {
public:
    virtual ~ModelProvider() = default;

    // "Anthropic" or "Ollama"; the errors that name a provider use the same word.
    virtual std::string name() const = 0;
    // Never throws: any failure comes back as `unavailable`.
    virtual ProviderStatus status(std::stop_token stop) = 0;
    // Never throws: a provider that cannot learn the answer gives its defaults with `known` false.
    virtual ModelCapabilities capabilities(const std::string& model, std::stop_token stop) = 0;
    // One streamed chat. `onEvent` is called on the calling thread, one event at a time, in
    // arrival order. Throws ProviderError for every failure of the server, the connection or
    // the reply (a stop gives `cancelled` with the text so far), std::invalid_argument for
    // limits `checkChatLimits` refuses, and JSONValue::EncodingError for a body it cannot encode.
    virtual ChatOutcome chat(const std::string& model, const std::vector<ChatMessage>& messages,
                             const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                             const ChatEventHandler& onEvent, std::stop_token stop) = 0;
};

}  // namespace kivo
