#pragma once

// The model provider of a local Ollama server, reached over plain http on a loopback host only
// and never through a proxy. It reports the server's version and models, probes what a model
// accepts, and runs one streamed chat per call, reading the reply's JSON lines. A chat sends the
// document text only once the connection stands to a listener of this user, root or a system
// account; another user's program on the address gets nothing (ProviderError foreignServer).
//
// Construction throws ProviderError notLocal; `chat` throws as ModelProvider says.

#include <memory>
#include <optional>
#include <string>

#include "http/http_transport.hpp"
#include "assistant/loopback_listener.hpp"
#include "assistant/model_provider.hpp"
#include "assistant/provider_error.hpp"

namespace kivo {

class OllamaProvider : public ModelProvider {
public:
    static constexpr const char* defaultURL = "http://127.0.0.1:11434";

    // KIVO_PDF_OLLAMA_URL when set and not empty (notLocal with its text when it does not
    // parse), else `defaultURL`.
    static std::unique_ptr<OllamaProvider> fromEnvironment(const Environment& environment);

    // `listeners`: where the chat learns who listens on the server's address (the system's tables;
    // tests give their own).
    explicit OllamaProvider(const Http::Address& baseURL,
                            LoopbackListener::Tables listeners = LoopbackListener::systemTables());

    // Plain http on a loopback host; https is refused, also on a loopback host.
    static bool isLoopback(const Http::Address& url);

    std::string name() const override { return "Ollama"; }
    ProviderStatus status(std::stop_token stop) override;
    ModelCapabilities capabilities(const std::string& model, std::stop_token stop) override;
    ChatOutcome chat(const std::string& model, const std::vector<ChatMessage>& messages,
                     const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                     const ChatEventHandler& onEvent, std::stop_token stop) override;

    static ProviderError map(const Http::TransportError& error, const std::string& partial);
    // The error for a server's error text: the capability texts first, then a missing model,
    // then `server` with the status and the text.
    static ProviderError failure(std::int64_t status, const std::string& message,
                                 const std::optional<std::string>& model);
    // The same from a raw error body: its `error` text, else its first 300 bytes.
    static ProviderError failureFromBody(std::int64_t status, std::string_view body,
                                         const std::optional<std::string>& model);

    const Http::Address& baseURL() const noexcept { return baseURL_; }

private:
    Http::Request request(std::string method, std::string_view path, double idleSeconds,
                          double totalSeconds) const;
    // A 200 reply's decoded body; every failure as a ProviderError.
    JSONValue perform(const Http::Request& request, std::stop_token stop) const;

    Http::Address baseURL_;
    LoopbackListener::Tables listeners_;
};

}  // namespace kivo
