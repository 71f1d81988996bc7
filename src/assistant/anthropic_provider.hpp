#pragma once

// The model provider of the Anthropic Messages API: the hosted service over https (or, for
// tests and local relays, plain http on a loopback host), reached with the user's own key. It
// lists the models the key can use and runs one streamed chat per call, reading the reply's
// server-sent events with `AnthropicEventReader`. It remembers per model whether the model
// takes the `output_config.effort` field and retries once without it when the server rejects
// it for that reason.
//
// Construction throws ProviderError (missingKey, invalidKey, notLocal); `chat` throws as
// ModelProvider says.

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "http/http_transport.hpp"
#include "assistant/model_provider.hpp"
#include "assistant/provider_error.hpp"

namespace kivo {

// One streamed reply's events, turned into chat events, tool calls and the final outcome.
class AnthropicEventReader {
public:
    AnthropicEventReader(ProviderStream& stream, const ChatEventHandler& onEvent);

    // One decoded "data:" payload; the outcome at "message_stop". Throws ProviderError for an
    // "error" event and for a refusal that produced nothing.
    std::optional<ChatOutcome> receive(const JSONValue& event, const std::string& model);
    ChatOutcome outcome() const;

private:
    struct PendingTool {
        std::string name;
        std::string json;
        std::optional<JSONValue> input;
    };

    ProviderStream& stream_;
    const ChatEventHandler& onEvent_;
    std::optional<std::int64_t> promptTokens_;
    std::optional<std::int64_t> outputTokens_;
    std::optional<std::string> stopReason_;
    std::map<std::int64_t, PendingTool> blocks_;
    std::chrono::steady_clock::time_point started_;
};

class AnthropicProvider : public ModelProvider {
public:
    static constexpr const char* id = "anthropic";
    static constexpr const char* apiVersion = "2023-06-01";
    static constexpr const char* defaultURL = "https://api.anthropic.com";
    static constexpr const char* apiHost = "api.anthropic.com";
    static constexpr const char* defaultModel = "claude-opus-5";
    static const std::vector<ModelInfo>& knownModels();

    // KIVO_PDF_ANTHROPIC_URL when set and not empty (notLocal with its text when it does not
    // parse), else `defaultURL`.
    static std::unique_ptr<AnthropicProvider> fromEnvironment(std::string_view key,
                                                              const Environment& environment);

    // The key is trimmed; an empty one is missingKey, one holding a control character invalidKey
    // (it could never travel in a header); then the address must pass `isAllowed`.
    AnthropicProvider(std::string_view key, const Http::Address& baseURL);

    // https on the API host, or http on a loopback host.
    static bool isAllowed(const Http::Address& url);

    std::string name() const override { return "Anthropic"; }
    ProviderStatus status(std::stop_token stop) override;
    ModelCapabilities capabilities(const std::string& model, std::stop_token stop) override;
    ChatOutcome chat(const std::string& model, const std::vector<ChatMessage>& messages,
                     const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                     const ChatEventHandler& onEvent, std::stop_token stop) override;

    // The HTTP-like status of an in-stream error type.
    static std::int64_t statusFor(std::string_view errorType);
    // The error for a reply whose status is not 200 (its body, at most what was read).
    static ProviderError failure(std::int64_t status, std::string_view body, const Http::Reply* reply,
                                 const std::optional<std::string>& model);
    static ProviderError map(const Http::TransportError& error, const std::string& partial);

    // The effort text sent as `output_config.effort`.
    std::string effort = "low";

private:
    Http::Request request(std::string method, std::string_view path, double idleSeconds,
                          double totalSeconds) const;
    ChatOutcome send(const std::string& model, const std::vector<ChatMessage>& messages,
                     const std::vector<ToolDefinition>& tools, const ChatLimits& limits, bool withEffort,
                     const ChatEventHandler& onEvent, std::stop_token stop);

    Http::Address baseURL_;
    std::string key_;
    std::mutex effortLock_;
    std::map<std::string, bool> effortKnown_;
};

}  // namespace kivo
