#pragma once

// What a model is sent for one question: the fixed system prompt, the user message that lays
// out the question, the page excerpts and the form fields, and the three edit tools. Page text
// is data, never instructions: it stands inside tags whose angle brackets it cannot hold.
//
// Every function here is pure and never fails.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "assistant/model_provider.hpp"
#include "core/assistant_records.hpp"

namespace kivo::AssistantPrompt {

// Eight lines joined by line feeds, plain ASCII; its citation form is the one grounding reads.
extern const std::string_view system;

// fill_form, add_highlight and add_note, in that order.
const std::vector<ToolDefinition>& tools();

// The system message, then the user message.
std::vector<ChatMessage> messages(std::string_view question, const AssistantContext& context);

std::string userMessage(std::string_view question, const AssistantContext& context);

// The context window to ask for: the smallest power of two from 4096 to 131072 that holds the
// messages (three characters a token) plus the output and 512 tokens; 131072 when none does.
std::int64_t contextTokens(const std::vector<ChatMessage>& messages, std::int64_t maxOutputTokens);

// "page 4", "pages 1–3, 5", "no pages": runs of consecutive numbers in the given order.
std::string describe(const std::vector<std::int64_t>& pages);

// Document text as it may stand in a prompt: CR LF and lone CR become LF, "<" and ">" become
// U+2039 and U+203A.
std::string escaped(std::string_view documentText);

}  // namespace kivo::AssistantPrompt
