#pragma once

// A stand-in Ollama server on 127.0.0.1 for tests of the assistant and of the editor's model
// runs: it answers the version, the model list, the model details and one scripted chat reply,
// and records every request. Point a provider at it with KIVO_PDF_OLLAMA_URL = url().

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fake_http_server.hpp"

namespace kivo::testing {

class FakeOllama {
public:
    // One step of the chat reply: a line (a newline is added) or, with `pause` set, a wait.
    struct Step {
        std::string line;
        std::chrono::milliseconds pause{0};
    };

    struct Script {
        std::string version = "0.9.0";
        std::string tags = R"({"models":[{"name":"tiny:1b","size":1000,"details":{"parameter_size":"1B"}}]})";
        // How long the model list takes, for tests of what happens while it is on its way.
        std::chrono::milliseconds tagsPause{0};
        std::string show = R"({"capabilities":["completion","tools"]})";
        // The chat reply: a status other than 200 sends `chatBody` whole; 200 sends the steps.
        int chatStatus = 200;
        std::string chatBody;
        std::vector<Step> chat;
    };

    FakeOllama();
    explicit FakeOllama(Script script);

    void setScript(Script script);
    std::string url() const { return server_.url(); }
    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    FakeHttpServer& server() { return server_; }

    // Lines of the latest chat reply sent so far, and how many had gone when its client hung up before the
    // reply's end (nothing while it runs or when it ran to the end): what a client's stop cut short.
    std::size_t chatLinesSent() const { return chatLinesSent_; }
    std::optional<std::size_t> chatHungUpAfter() const;

    // Chat reply lines.
    static std::string content(std::string_view text);
    static std::string toolCall(std::string_view name, std::string_view argumentsJSON);
    static std::string done(std::string_view reason = "stop", int promptTokens = 12, int outputTokens = 3);

private:
    void answer(const RecordedRequest& request, FakeConnection& connection);

    mutable std::mutex lock_;
    Script script_;
    std::atomic<std::size_t> chatLinesSent_ = 0;
    // The lines sent when the client hung up, plus one; 0 for none.
    std::atomic<std::size_t> chatHungUp_ = 0;
    FakeHttpServer server_;
};

}  // namespace kivo::testing
