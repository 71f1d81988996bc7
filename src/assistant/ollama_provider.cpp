#include "assistant/ollama_provider.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "assistant/provider_replies.hpp"
#include "core/text_match.hpp"

namespace kivo {
namespace {

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// A member that must be a string when present (null counts as absent); a value of another
// kind makes the record undecodable.
bool optionalString(const JSONValue& record, std::string_view key, std::optional<std::string>& out) {
    const JSONValue* member = record[key];
    if (member == nullptr || member->isNull()) return true;
    if (member->string() == nullptr) return false;
    out = *member->string();
    return true;
}

bool optionalInteger(const JSONValue& record, std::string_view key, std::optional<std::int64_t>& out) {
    const JSONValue* member = record[key];
    if (member == nullptr || member->isNull()) return true;
    const double* number = member->number();
    if (number == nullptr || std::trunc(*number) != *number || std::fabs(*number) > 9.2e18) return false;
    out = static_cast<std::int64_t>(*number);
    return true;
}

bool optionalStrings(const JSONValue& record, std::string_view key,
                     std::optional<std::vector<std::string>>& out) {
    const JSONValue* member = record[key];
    if (member == nullptr || member->isNull()) return true;
    if (member->array() == nullptr) return false;
    std::vector<std::string> words;
    for (const auto& item : *member->array()) {
        if (item.string() == nullptr) return false;
        words.push_back(*item.string());
    }
    out = std::move(words);
    return true;
}

std::optional<ModelInfo> tagsModel(const JSONValue& entry) {
    ModelInfo info;
    const JSONValue* name = entry["name"];
    if (entry.object() == nullptr || name == nullptr || name->string() == nullptr) return std::nullopt;
    info.name = *name->string();
    if (!optionalInteger(entry, "size", info.sizeBytes) ||
        !optionalStrings(entry, "capabilities", info.capabilities)) {
        return std::nullopt;
    }
    const JSONValue* details = entry["details"];
    if (details != nullptr && !details->isNull()) {
        if (details->object() == nullptr || !optionalString(*details, "parameter_size", info.parameterSize)) {
            return std::nullopt;
        }
    }
    return info;
}

// One line of the chat stream, as far as the chat reads it.
struct ChatChunk {
    std::optional<std::string> content;
    std::optional<std::string> thinking;
    std::vector<ToolCall> calls;
    bool done = false;
    std::optional<std::string> doneReason;
    std::optional<std::int64_t> promptEvalCount;
    std::optional<std::int64_t> evalCount;
    std::optional<std::int64_t> totalDuration;
    std::optional<std::string> error;
};

// String arguments hold JSON text when the model wrote it so; null or none is an empty object.
JSONValue argumentsOf(const JSONValue* arguments) {
    if (arguments == nullptr || arguments->isNull()) return JSONValue::Object{};
    if (const auto* text = arguments->string()) {
        if (auto parsed = ProviderReplies::decoded(*text)) return std::move(*parsed);
    }
    return *arguments;
}

std::optional<ChatChunk> decodeChunk(const JSONValue& line) {
    if (line.object() == nullptr) return std::nullopt;
    ChatChunk chunk;
    const JSONValue* done = line["done"];
    if (done != nullptr && !done->isNull()) {
        if (done->boolean() == nullptr) return std::nullopt;
        chunk.done = *done->boolean();
    }
    if (!optionalString(line, "done_reason", chunk.doneReason) ||
        !optionalString(line, "error", chunk.error) ||
        !optionalInteger(line, "prompt_eval_count", chunk.promptEvalCount) ||
        !optionalInteger(line, "eval_count", chunk.evalCount) ||
        !optionalInteger(line, "total_duration", chunk.totalDuration)) {
        return std::nullopt;
    }
    const JSONValue* message = line["message"];
    if (message == nullptr || message->isNull()) return chunk;
    if (message->object() == nullptr || !optionalString(*message, "content", chunk.content) ||
        !optionalString(*message, "thinking", chunk.thinking)) {
        return std::nullopt;
    }
    const JSONValue* calls = (*message)["tool_calls"];
    if (calls == nullptr || calls->isNull()) return chunk;
    if (calls->array() == nullptr) return std::nullopt;
    for (const auto& call : *calls->array()) {
        const JSONValue* function = call["function"];
        const JSONValue* name = function ? (*function)["name"] : nullptr;
        if (function == nullptr || function->object() == nullptr || name == nullptr ||
            name->string() == nullptr) {
            return std::nullopt;
        }
        chunk.calls.push_back({*name->string(), argumentsOf((*function)["arguments"])});
    }
    return chunk;
}

FinishReason finishOf(const std::optional<std::string>& reason) {
    if (!reason || *reason == "stop") return FinishReason::stop();
    if (*reason == "length") return FinishReason::length();
    return FinishReason::other(*reason);
}

}  // namespace

std::unique_ptr<OllamaProvider> OllamaProvider::fromEnvironment(const Environment& environment) {
    return std::make_unique<OllamaProvider>(
        ProviderReplies::baseAddress(environment, "KIVO_PDF_OLLAMA_URL", defaultURL));
}

OllamaProvider::OllamaProvider(const Http::Address& baseURL, LoopbackListener::Tables listeners)
    : baseURL_(baseURL), listeners_(std::move(listeners)) {
    if (!isLoopback(baseURL_)) throw ProviderError::notLocal(baseURL_.text());
}

bool OllamaProvider::isLoopback(const Http::Address& url) {
    return url.scheme() == "http" && Http::isLoopbackHost(url.host());
}

Http::Request OllamaProvider::request(std::string method, std::string_view path, double idleSeconds,
                                      double totalSeconds) const {
    Http::Request request(std::move(method), baseURL_.appendingPath(path));
    request.idleSeconds = idleSeconds;
    request.totalSeconds = totalSeconds;
    request.allows = isLoopback;
    return request;
}

JSONValue OllamaProvider::perform(const Http::Request& request, std::stop_token stop) const {
    Http::Reply reply;
    try {
        reply = Http::fetch(request, stop);
    } catch (const Http::TransportError& error) {
        throw map(error, {});
    }
    if (reply.status != 200) throw failureFromBody(reply.status, reply.body, std::nullopt);
    auto body = ProviderReplies::decoded(reply.body);
    if (!body) throw ProviderError::malformed(ProviderReplies::excerpt(reply.body, 200));
    return std::move(*body);
}

ProviderStatus OllamaProvider::status(std::stop_token stop) {
    try {
        const JSONValue version = perform(request("GET", "api/version", 3, 10), stop);
        const JSONValue* text = version["version"];
        if (text == nullptr || text->string() == nullptr) throw ProviderError::malformed("no version");
        const JSONValue tags = perform(request("GET", "api/tags", 5, 15), stop);
        const JSONValue* list = tags["models"];
        if (list == nullptr || list->array() == nullptr) throw ProviderError::malformed("no model list");
        std::vector<ModelInfo> models;
        for (const auto& entry : *list->array()) {
            auto info = tagsModel(entry);
            if (!info) throw ProviderError::malformed("a model entry that could not be read");
            models.push_back(std::move(*info));
        }
        return ProviderStatus::available(*text->string(), std::move(models));
    } catch (const ProviderError& error) {
        return ProviderStatus::unavailable(error.description());
    }
}

ModelCapabilities OllamaProvider::capabilities(const std::string& model, std::stop_token stop) {
    const ModelCapabilities defaults{true, false, false};
    try {
        Http::Request show = request("POST", "api/show", 10, 20);
        show.headers = {"Content-Type: application/json"};
        show.body = JSONValue(JSONValue::Object{{"model", model}}).encode();
        const JSONValue reply = perform(show, stop);
        std::optional<std::vector<std::string>> words;
        if (reply.object() == nullptr || !optionalStrings(reply, "capabilities", words) || !words)
            return defaults;
        const auto has = [&](std::string_view word) {
            return std::find(words->begin(), words->end(), word) != words->end();
        };
        return {has("tools"), has("thinking"), true};
    } catch (const ProviderError&) {
        return defaults;
    }
}

ChatOutcome OllamaProvider::chat(const std::string& model, const std::vector<ChatMessage>& messages,
                                 const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                                 const ChatEventHandler& onEvent, std::stop_token stop) {
    checkChatLimits(limits);
    JSONValue::Object body{
        {"model", model},
        {"messages", ProviderReplies::messageObjects(messages)},
        {"stream", true},
        {"options",
         JSONValue::Object{
             {"temperature", 0}, {"num_predict", limits.maxOutputTokens}, {"num_ctx", limits.contextTokens}}},
    };
    if (limits.think) body.emplace("think", *limits.think);
    if (!tools.empty()) {
        JSONValue::Array offered;
        for (const auto& tool : tools) {
            offered.emplace_back(
                JSONValue::Object{{"type", "function"},
                                  {"function", JSONValue::Object{{"name", tool.name},
                                                                 {"description", tool.description},
                                                                 {"parameters", tool.parameters}}}});
        }
        body.emplace("tools", std::move(offered));
    }
    Http::Request call = request("POST", "api/chat", limits.idleSeconds, ProviderReplies::totalLimit(limits));
    call.headers = {"Content-Type: application/json"};
    call.body = JSONValue(std::move(body)).encode();
    // The document text goes only to a program of this user, root or the system.
    std::string foreign;
    call.admitsPeer = [this, &foreign](const std::string& address, long port) {
        if (LoopbackListener::trusted(listeners_, address, port, ::geteuid())) return true;
        foreign = (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
                  std::to_string(port);
        return false;
    };

    ProviderStream stream;
    std::optional<ChatOutcome> outcome;
    const Http::LineHandler onLine = [&](std::string_view line) {
        if (line.empty()) return false;
        const auto json = ProviderReplies::decoded(line);
        const auto chunk = json ? decodeChunk(*json) : std::nullopt;
        if (!chunk) throw ProviderError::malformed(ProviderReplies::firstCharacters(line, 200));
        if (chunk->error) throw failure(200, *chunk->error, model);
        if (chunk->content && !chunk->content->empty()) {
            stream.appendText(*chunk->content);
            if (onEvent) onEvent(ChatEvent::textPiece(*chunk->content));
        }
        if (chunk->thinking && !chunk->thinking->empty() && onEvent) onEvent(ChatEvent::thinking());
        for (const auto& toolCall : chunk->calls) {
            stream.add(toolCall);
            if (onEvent) onEvent(ChatEvent::call(toolCall));
        }
        if (!chunk->done) return false;
        AnswerUsage usage{chunk->promptEvalCount, chunk->evalCount, std::nullopt};
        if (chunk->totalDuration) usage.seconds = static_cast<double>(*chunk->totalDuration) / 1e9;
        auto [text, calls] = stream.contents();
        outcome = ChatOutcome{std::move(text), std::move(calls), finishOf(chunk->doneReason), usage};
        return true;
    };
    Http::Reply reply;
    try {
        reply = Http::stream(call, onLine, stop);
    } catch (const Http::TransportError& error) {
        if (error.kind() == Http::TransportError::Kind::refused) throw ProviderError::foreignServer(foreign);
        throw map(error, stream.text());
    }
    if (reply.status != 200) throw failureFromBody(reply.status, reply.body, model);
    if (!outcome) throw ProviderError::disconnected(stream.text());
    return std::move(*outcome);
}

ProviderError OllamaProvider::map(const Http::TransportError& error, const std::string& partial) {
    using Kind = Http::TransportError::Kind;
    switch (error.kind()) {
        case Kind::cancelled: return ProviderError::cancelled(partial);
        case Kind::cannotConnect:
            return partial.empty() ? ProviderError::notRunning() : ProviderError::disconnected(partial);
        case Kind::timedOut: return ProviderError::timedOut(partial);
        case Kind::connectionLost: return ProviderError::disconnected(partial);
        case Kind::tooLarge: return ProviderError::malformed("the reply is larger than the editor reads");
        case Kind::refused:
        case Kind::other: break;
    }
    return ProviderError::server(0, error.what());
}

ProviderError OllamaProvider::failure(std::int64_t status, const std::string& message,
                                      const std::optional<std::string>& model) {
    const std::string lower = TextMatch::lowercased(message);
    if (contains(lower, "does not support tools")) return ProviderError::toolsUnsupported();
    if (contains(lower, "does not support thinking") || contains(lower, "think value")) {
        return ProviderError::thinkingUnsupported();
    }
    if (status == 404 || (contains(lower, "model") && contains(lower, "not found"))) {
        return ProviderError::modelMissing(model.value_or(""));
    }
    return ProviderError::server(status, message);
}

ProviderError OllamaProvider::failureFromBody(std::int64_t status, std::string_view body,
                                              const std::optional<std::string>& model) {
    std::string message = ProviderReplies::excerpt(body, 300);
    if (const auto json = ProviderReplies::decoded(body)) {
        const JSONValue* error = (*json)["error"];
        if (json->object() != nullptr && error != nullptr && error->string() != nullptr)
            message = *error->string();
    }
    return failure(status, message, model);
}

}  // namespace kivo
