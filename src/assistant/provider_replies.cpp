#include "assistant/provider_replies.hpp"

#include <algorithm>

#include "assistant/provider_error.hpp"
#include "core/text.hpp"

namespace kivo::ProviderReplies {

std::string excerpt(std::string_view body, std::size_t bytes) {
    std::string out;
    appendRepairedUTF8(out, body.substr(0, std::min(bytes, body.size())));
    return out;
}

std::string firstCharacters(std::string_view text, std::int64_t characters) {
    std::string repaired;
    appendRepairedUTF8(repaired, text);
    repaired.resize(graphemePrefix(repaired, characters).bytes);
    return repaired;
}

std::optional<JSONValue> decoded(std::string_view json) {
    try {
        return JSONValue::decode(json);
    } catch (const JSONValue::DecodingError&) {
        return std::nullopt;
    }
}

JSONValue::Array messageObjects(const std::vector<ChatMessage>& messages) {
    JSONValue::Array out;
    for (const auto& message : messages) {
        out.emplace_back(
            JSONValue::Object{{"role", std::string(roleName(message.role))}, {"content", message.content}});
    }
    return out;
}

Http::Address baseAddress(const Environment& environment, const std::string& variable,
                          std::string_view fallback) {
    const auto configured = environment.find(variable);
    const std::string text = configured != environment.end() && !configured->second.empty()
                                 ? configured->second
                                 : std::string(fallback);
    auto address = Http::Address::parse(text);
    if (!address) throw ProviderError::notLocal(text);
    return std::move(*address);
}

double totalLimit(const ChatLimits& limits) { return std::max(limits.totalSeconds, 0.01); }

}  // namespace kivo::ProviderReplies
