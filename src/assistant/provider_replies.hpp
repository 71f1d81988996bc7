#pragma once

// Small pieces both model providers use to read replies and build requests.

#include <optional>
#include <string>
#include <string_view>

#include "http/http_transport.hpp"
#include "assistant/json_value.hpp"
#include "assistant/model_provider.hpp"

namespace kivo::ProviderReplies {

// The first `bytes` bytes as UTF-8, each ill-formed sequence (a cut character included)
// replaced by U+FFFD.
std::string excerpt(std::string_view body, std::size_t bytes);

// The first `characters` user-perceived characters of a text, for a malformed-reply note.
std::string firstCharacters(std::string_view text, std::int64_t characters);

// The decoded value, or none when the text is not JSON.
std::optional<JSONValue> decoded(std::string_view json);

// The messages as {role, content} objects, in order.
JSONValue::Array messageObjects(const std::vector<ChatMessage>& messages);

// The base address from an environment variable, or `fallback` when it is unset or empty;
// notLocal with the variable's text when it does not parse.
Http::Address baseAddress(const Environment& environment, const std::string& variable,
                          std::string_view fallback);

// A chat's total limit as the transport keeps it: never below 0.01 s.
double totalLimit(const ChatLimits& limits);

}  // namespace kivo::ProviderReplies
