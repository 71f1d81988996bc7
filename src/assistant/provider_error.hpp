#pragma once

// The one error type of all model providers, with the sentence the editor shows for each case,
// and `ProviderStream`, the accumulator one chat attempt fills while its reply streams in.

#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "assistant/model_provider.hpp"

namespace kivo {

class ProviderError : public std::exception {
public:
    enum class Kind {
        notLocal,
        modelMissing,
        missingKey,
        invalidKey,
        rateLimited,
        timedOut,
        cancelled,
        disconnected,
        server,
        malformed,
        notRunning,
        toolsUnsupported,
        thinkingUnsupported,
        foreignServer,
    };

    // The refused address as text (or the configured text when it is no address at all).
    static ProviderError notLocal(std::string address);
    static ProviderError modelMissing(std::string model);
    static ProviderError missingKey(std::string provider);
    static ProviderError invalidKey(std::string provider);
    // A wait that is not finite, negative or above 1e9 seconds gives the sentence without one.
    static ProviderError rateLimited(std::string provider, std::optional<double> retryAfter);
    static ProviderError timedOut(std::string partial);
    static ProviderError cancelled(std::string partial);
    static ProviderError disconnected(std::string partial);
    // The sentence shows the message only, never the status.
    static ProviderError server(std::int64_t status, std::string message);
    // The note is for logs and tests; the sentence never shows it.
    static ProviderError malformed(std::string note);
    static ProviderError notRunning();
    static ProviderError toolsUnsupported();
    static ProviderError thinkingUnsupported();
    // A program of another user listens on the local server's address (given as text).
    static ProviderError foreignServer(std::string address);

    Kind kind() const noexcept { return kind_; }
    // The case's text payload: address, model, provider name, partial text, message or note.
    const std::string& payload() const noexcept { return payload_; }
    std::int64_t status() const noexcept { return status_; }
    std::optional<double> retryAfter() const noexcept { return retryAfter_; }

    // The answer text received before a timeout, a stop or a lost connection; empty otherwise.
    std::string partialText() const;
    // The sentence for the user.
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const ProviderError& other) const;

private:
    ProviderError(Kind kind, std::string payload, std::int64_t status = 0,
                  std::optional<double> retryAfter = std::nullopt);

    Kind kind_;
    std::string payload_;
    std::int64_t status_ = 0;
    std::optional<double> retryAfter_;
    std::string description_;
};

// What one chat attempt has received so far. Providers append text pieces and finished tool
// calls as they arrive and read the whole at the end; every access takes the one lock.
class ProviderStream {
public:
    void appendText(std::string_view piece);
    void add(ToolCall call);
    void markTimedOut();

    std::string text() const;
    std::vector<ToolCall> calls() const;
    // Text and calls read together, so they always match.
    std::pair<std::string, std::vector<ToolCall>> contents() const;
    bool didTimeOut() const;

private:
    mutable std::mutex lock_;
    std::string text_;
    std::vector<ToolCall> calls_;
    bool didTimeOut_ = false;
};

}  // namespace kivo
