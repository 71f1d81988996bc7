#include "assistant/anthropic_provider.hpp"

#include <charconv>

#include "assistant/provider_replies.hpp"
#include "core/text.hpp"
#include "core/text_match.hpp"

namespace kivo {
namespace {

constexpr const char* kName = "Anthropic";

std::optional<std::int64_t> integerAt(const JSONValue& value, std::string_view key) {
    const JSONValue* member = value[key];
    return member ? member->intValue() : std::nullopt;
}

std::optional<std::string> stringAt(const JSONValue& value, std::string_view key) {
    const JSONValue* member = value[key];
    return member ? member->stringValue() : std::nullopt;
}

// A Retry-After value that is one number and nothing else; an HTTP date is no wait.
std::optional<double> retryAfter(const Http::Reply* reply) {
    if (reply == nullptr) return std::nullopt;
    const auto field = reply->header("retry-after");
    if (!field || field->empty()) return std::nullopt;
    double seconds = 0;
    const auto result = std::from_chars(field->data(), field->data() + field->size(), seconds);
    if (result.ec != std::errc() || result.ptr != field->data() + field->size()) return std::nullopt;
    return seconds;
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

}  // namespace

// ---- The event stream.

AnthropicEventReader::AnthropicEventReader(ProviderStream& stream, const ChatEventHandler& onEvent)
    : stream_(stream), onEvent_(onEvent), started_(std::chrono::steady_clock::now()) {}

std::optional<ChatOutcome> AnthropicEventReader::receive(const JSONValue& event, const std::string& model) {
    const auto type = stringAt(event, "type");
    if (!type) return std::nullopt;
    if (*type == "message_start") {
        const JSONValue* message = event["message"];
        const JSONValue* usage = message ? (*message)["usage"] : nullptr;
        promptTokens_ = usage ? integerAt(*usage, "input_tokens") : std::nullopt;
    } else if (*type == "content_block_start") {
        const auto index = integerAt(event, "index");
        const JSONValue* block = event["content_block"];
        if (!index || block == nullptr || block->object() == nullptr) return std::nullopt;
        const auto blockType = stringAt(*block, "type");
        const auto name = stringAt(*block, "name");
        if (blockType == "tool_use" && name) {
            const JSONValue* input = (*block)["input"];
            blocks_.insert_or_assign(*index,
                                     PendingTool{*name, {}, input ? std::optional(*input) : std::nullopt});
        }
    } else if (*type == "content_block_delta") {
        const auto index = integerAt(event, "index");
        const JSONValue* delta = event["delta"];
        const auto deltaType = delta && delta->object() ? stringAt(*delta, "type") : std::nullopt;
        if (!index || !deltaType) return std::nullopt;
        if (*deltaType == "text_delta") {
            const auto text = stringAt(*delta, "text");
            if (!text || text->empty()) return std::nullopt;
            stream_.appendText(*text);
            if (onEvent_) onEvent_(ChatEvent::textPiece(*text));
        } else if (*deltaType == "input_json_delta") {
            const auto fragment = stringAt(*delta, "partial_json");
            const auto pending = blocks_.find(*index);
            if (fragment && pending != blocks_.end()) pending->second.json += *fragment;
        } else if (*deltaType == "thinking_delta" || *deltaType == "signature_delta") {
            if (onEvent_) onEvent_(ChatEvent::thinking());
        }
    } else if (*type == "content_block_stop") {
        const auto index = integerAt(event, "index");
        if (!index) return std::nullopt;
        const auto pending = blocks_.find(*index);
        if (pending == blocks_.end()) return std::nullopt;
        PendingTool tool = std::move(pending->second);
        blocks_.erase(pending);
        std::optional<JSONValue> arguments;
        if (!tool.json.empty()) arguments = ProviderReplies::decoded(tool.json);
        if (!arguments) arguments = tool.input ? *tool.input : JSONValue(JSONValue::Object{});
        ToolCall call{tool.name, std::move(*arguments)};
        stream_.add(call);
        if (onEvent_) onEvent_(ChatEvent::call(std::move(call)));
    } else if (*type == "message_delta") {
        const JSONValue* delta = event["delta"];
        if (delta != nullptr && delta->object() != nullptr) {
            if (auto reason = stringAt(*delta, "stop_reason")) stopReason_ = std::move(reason);
        }
        const JSONValue* usage = event["usage"];
        if (usage != nullptr) {
            if (const auto output = integerAt(*usage, "output_tokens")) outputTokens_ = output;
        }
    } else if (*type == "message_stop") {
        return outcome();
    } else if (*type == "error") {
        const JSONValue* error = event["error"];
        const auto message = error && error->object() ? stringAt(*error, "message") : std::nullopt;
        const auto errorType = error && error->object() ? stringAt(*error, "type") : std::nullopt;
        const std::int64_t status = AnthropicProvider::statusFor(errorType.value_or(""));
        if (status == 401 || status == 403) throw ProviderError::invalidKey(kName);
        if (status == 402 || status == 429) throw ProviderError::rateLimited(kName, std::nullopt);
        if (status == 404) throw ProviderError::modelMissing(model);
        throw ProviderError::server(status, message.value_or("the provider reported an error"));
    }
    return std::nullopt;
}

ChatOutcome AnthropicEventReader::outcome() const {
    auto [text, calls] = stream_.contents();
    if (stopReason_ == "refusal" && text.empty() && calls.empty()) {
        throw ProviderError::server(200, "Anthropic declined to answer this request.");
    }
    FinishReason finish = FinishReason::stop();
    if (stopReason_ == "max_tokens") {
        finish = FinishReason::length();
    } else if (stopReason_ && *stopReason_ != "end_turn" && *stopReason_ != "tool_use" &&
               *stopReason_ != "stop_sequence") {
        finish = FinishReason::other(*stopReason_);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
    return {std::move(text), std::move(calls), finish,
            AnswerUsage{promptTokens_, outputTokens_, elapsed.count()}};
}

// ---- The provider.

const std::vector<ModelInfo>& AnthropicProvider::knownModels() {
    static const std::vector<ModelInfo> models{
        {"claude-opus-5", "Opus 5", std::nullopt, std::vector<std::string>{"tools"}},
        {"claude-sonnet-5", "Sonnet 5", std::nullopt, std::vector<std::string>{"tools"}},
        {"claude-haiku-4-5", "Haiku 4.5", std::nullopt, std::vector<std::string>{"tools"}},
    };
    return models;
}

std::unique_ptr<AnthropicProvider> AnthropicProvider::fromEnvironment(std::string_view key,
                                                                      const Environment& environment) {
    const auto base = ProviderReplies::baseAddress(environment, "KIVO_PDF_ANTHROPIC_URL", defaultURL);
    return std::make_unique<AnthropicProvider>(key, base);
}

AnthropicProvider::AnthropicProvider(std::string_view key, const Http::Address& baseURL)
    : baseURL_(baseURL), key_(trimWhitespaceAndNewlines(key)) {
    if (key_.empty()) throw ProviderError::missingKey(kName);
    if (hasControlCharacter(key_)) throw ProviderError::invalidKey(kName);
    if (!isAllowed(baseURL_)) throw ProviderError::notLocal(baseURL_.text());
}

bool AnthropicProvider::isAllowed(const Http::Address& url) {
    const std::string scheme = url.scheme();
    const std::string host = url.host();
    if (scheme.empty() || host.empty()) return false;
    if (scheme == "https" && host == apiHost) return true;
    return scheme == "http" && Http::isLoopbackHost(host);
}

Http::Request AnthropicProvider::request(std::string method, std::string_view path, double idleSeconds,
                                         double totalSeconds) const {
    Http::Request request(std::move(method), baseURL_.appendingPath(path));
    request.headers = {"Content-Type: application/json", std::string("anthropic-version: ") + apiVersion,
                       "x-api-key: " + key_};
    request.idleSeconds = idleSeconds;
    request.totalSeconds = totalSeconds;
    request.allows = isAllowed;
    return request;
}

ProviderStatus AnthropicProvider::status(std::stop_token stop) {
    try {
        const Http::Reply reply = Http::fetch(request("GET", "v1/models", 10, 30), stop);
        if (reply.status != 200) throw failure(reply.status, reply.body, &reply, std::nullopt);
        const auto list = ProviderReplies::decoded(reply.body);
        if (!list) throw ProviderError::server(0, "The model list is not valid JSON.");
        const JSONValue* data = (*list)["data"];
        if (list->object() == nullptr || list->object()->empty() || data == nullptr ||
            data->array() == nullptr) {
            throw ProviderError::malformed("no model list");
        }
        std::vector<ModelInfo> models;
        for (const auto& entry : *data->array()) {
            const auto modelId = entry.object() ? stringAt(entry, "id") : std::nullopt;
            if (!modelId) continue;
            ModelInfo info{*modelId, stringAt(entry, "display_name"), std::nullopt,
                           std::vector<std::string>{"tools"}};
            const JSONValue* capabilities = entry["capabilities"];
            const JSONValue* effortEntry = capabilities ? (*capabilities)["effort"] : nullptr;
            const JSONValue* supported =
                effortEntry && effortEntry->object() ? (*effortEntry)["supported"] : nullptr;
            if (capabilities && capabilities->object() && supported) {
                const bool takesEffort = supported->boolean() != nullptr && *supported->boolean();
                {
                    std::lock_guard guard(effortLock_);
                    effortKnown_[*modelId] = takesEffort;
                }
                if (takesEffort) info.capabilities->push_back("effort");
            }
            models.push_back(std::move(info));
        }
        if (models.empty()) models = knownModels();
        return ProviderStatus::available(apiVersion, std::move(models));
    } catch (const ProviderError& error) {
        return ProviderStatus::unavailable(error.description());
    } catch (const Http::TransportError& error) {
        return ProviderStatus::unavailable(map(error, {}).description());
    }
}

ModelCapabilities AnthropicProvider::capabilities(const std::string&, std::stop_token) {
    return {true, false, true};
}

ChatOutcome AnthropicProvider::chat(const std::string& model, const std::vector<ChatMessage>& messages,
                                    const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                                    const ChatEventHandler& onEvent, std::stop_token stop) {
    checkChatLimits(limits);
    bool withEffort = false;
    {
        std::lock_guard guard(effortLock_);
        const auto known = effortKnown_.find(model);
        withEffort = known != effortKnown_.end() ? known->second : !model.starts_with("claude-haiku");
    }
    try {
        return send(model, messages, tools, limits, withEffort, onEvent, stop);
    } catch (const ProviderError& error) {
        const bool rejectsEffort = error.kind() == ProviderError::Kind::server && error.status() == 400 &&
                                   TextMatch::lowercased(error.payload()).find("effort") != std::string::npos;
        if (!rejectsEffort) throw;
        {
            std::lock_guard guard(effortLock_);
            effortKnown_[model] = false;
        }
        // A stop before the second attempt ends the chat like a stop during one.
        if (stop.stop_requested()) throw ProviderError::cancelled({});
        return send(model, messages, tools, limits, false, onEvent, stop);
    }
}

ChatOutcome AnthropicProvider::send(const std::string& model, const std::vector<ChatMessage>& messages,
                                    const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                                    bool withEffort, const ChatEventHandler& onEvent, std::stop_token stop) {
    std::string system;
    std::vector<ChatMessage> conversation;
    for (const auto& message : messages) {
        if (message.role == ChatMessage::Role::system) {
            system += (system.empty() ? "" : "\n\n") + message.content;
        } else {
            conversation.push_back(message);
        }
    }
    JSONValue::Object body{{"model", model},
                           {"max_tokens", limits.maxOutputTokens},
                           {"stream", true},
                           {"messages", ProviderReplies::messageObjects(conversation)}};
    if (!system.empty()) body.emplace("system", system);
    if (!tools.empty()) {
        JSONValue::Array offered;
        for (const auto& tool : tools) {
            offered.emplace_back(JSONValue::Object{
                {"name", tool.name}, {"description", tool.description}, {"input_schema", tool.parameters}});
        }
        body.emplace("tools", std::move(offered));
    }
    if (withEffort) body.emplace("output_config", JSONValue::Object{{"effort", effort}});

    Http::Request call =
        request("POST", "v1/messages", limits.idleSeconds, ProviderReplies::totalLimit(limits));
    call.headers.emplace_back("Accept: text/event-stream");
    call.body = JSONValue(std::move(body)).encode();

    ProviderStream stream;
    AnthropicEventReader reader(stream, onEvent);
    std::optional<ChatOutcome> outcome;
    const Http::LineHandler onLine = [&](std::string_view line) {
        if (!line.starts_with("data:")) return false;
        const std::string_view payload = trimBlanks(line.substr(5));
        if (payload.empty() || payload == "[DONE]") return false;
        const auto event = ProviderReplies::decoded(payload);
        if (!event) throw ProviderError::malformed(ProviderReplies::firstCharacters(payload, 200));
        outcome = reader.receive(*event, model);
        return outcome.has_value();
    };
    Http::Reply reply;
    try {
        reply = Http::stream(call, onLine, stop);
    } catch (const Http::TransportError& error) {
        throw map(error, stream.text());
    }
    if (reply.status != 200) throw failure(reply.status, reply.body, &reply, model);
    if (!outcome) throw ProviderError::disconnected(stream.text());
    return std::move(*outcome);
}

std::int64_t AnthropicProvider::statusFor(std::string_view errorType) {
    if (errorType == "invalid_request_error") return 400;
    if (errorType == "authentication_error" || errorType == "permission_error") return 401;
    if (errorType == "rate_limit_error" || errorType == "billing_error") return 429;
    if (errorType == "not_found_error") return 404;
    if (errorType == "overloaded_error") return 529;
    return 500;
}

ProviderError AnthropicProvider::failure(std::int64_t status, std::string_view body, const Http::Reply* reply,
                                         const std::optional<std::string>& model) {
    std::optional<std::string> message;
    if (const auto json = ProviderReplies::decoded(body)) {
        const JSONValue* error = (*json)["error"];
        if (error && error->object()) message = stringAt(*error, "message");
    }
    if (!message) message = ProviderReplies::excerpt(body, 300);
    if (status == 401 || status == 403) return ProviderError::invalidKey(kName);
    if (status == 402 || status == 429) return ProviderError::rateLimited(kName, retryAfter(reply));
    if (status == 404) return ProviderError::modelMissing(model.value_or(""));
    return ProviderError::server(status, *message);
}

ProviderError AnthropicProvider::map(const Http::TransportError& error, const std::string& partial) {
    using Kind = Http::TransportError::Kind;
    switch (error.kind()) {
        case Kind::cancelled: return ProviderError::cancelled(partial);
        case Kind::cannotConnect:
            return partial.empty() ? ProviderError::server(0, error.what())
                                   : ProviderError::disconnected(partial);
        case Kind::timedOut: return ProviderError::timedOut(partial);
        case Kind::connectionLost: return ProviderError::disconnected(partial);
        case Kind::tooLarge: return ProviderError::malformed("the reply is larger than the editor reads");
        case Kind::refused:
        case Kind::other: break;
    }
    return ProviderError::server(0, error.what());
}

}  // namespace kivo
