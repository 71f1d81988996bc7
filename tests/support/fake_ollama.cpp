#include "fake_ollama.hpp"

#include <nlohmann/json.hpp>

namespace kivo::testing {

FakeOllama::FakeOllama() : FakeOllama(Script{}) {}

FakeOllama::FakeOllama(Script script)
    : script_(std::move(script)), server_([this](const RecordedRequest& request, FakeConnection& connection) {
          answer(request, connection);
      }) {}

void FakeOllama::setScript(Script script) {
    std::lock_guard guard(lock_);
    script_ = std::move(script);
}

std::string FakeOllama::content(std::string_view text) {
    return nlohmann::json{{"message", {{"role", "assistant"}, {"content", text}}}, {"done", false}}.dump();
}

std::string FakeOllama::toolCall(std::string_view name, std::string_view argumentsJSON) {
    return nlohmann::json{
        {"message",
         {{"role", "assistant"},
          {"content", ""},
          {"tool_calls",
           {{{"function", {{"name", name}, {"arguments", nlohmann::json::parse(argumentsJSON)}}}}}}}},
        {"done", false}}
        .dump();
}

std::string FakeOllama::done(std::string_view reason, int promptTokens, int outputTokens) {
    return nlohmann::json{{"done", true},
                          {"done_reason", reason},
                          {"prompt_eval_count", promptTokens},
                          {"eval_count", outputTokens},
                          {"total_duration", 2500000000LL}}
        .dump();
}

void FakeOllama::answer(const RecordedRequest& request, FakeConnection& connection) {
    Script script;
    {
        std::lock_guard guard(lock_);
        script = script_;
    }
    const std::vector<std::string> json{"Content-Type: application/json"};
    if (request.target == "/api/version")
        return connection.respond(200, R"({"version":")" + script.version + "\"}", json);
    if (request.target == "/api/tags") {
        if (script.tagsPause.count() > 0 && !connection.pause(script.tagsPause)) return;
        return connection.respond(200, script.tags, json);
    }
    if (request.target == "/api/show") return connection.respond(200, script.show, json);
    if (request.target != "/api/chat") return connection.respond(404, R"({"error":"not found"})", json);
    if (script.chatStatus != 200) return connection.respond(script.chatStatus, script.chatBody, json);
    chatLinesSent_ = 0;
    chatHungUp_ = 0;
    connection.startBody(200, {"Content-Type: application/x-ndjson"});
    for (const auto& step : script.chat) {
        if (step.pause.count() > 0) {
            if (!connection.pause(step.pause)) {
                chatHungUp_ = chatLinesSent_ + 1;
                return;
            }
            continue;
        }
        connection.send(step.line + "\n");
        ++chatLinesSent_;
    }
}

std::optional<std::size_t> FakeOllama::chatHungUpAfter() const {
    const std::size_t hungUp = chatHungUp_;
    return hungUp == 0 ? std::nullopt : std::optional(hungUp - 1);
}

}  // namespace kivo::testing
