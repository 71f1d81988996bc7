#pragma once

// What the user chooses for the assistant: the provider the questions go to and the scope a question
// asks about, each in one table with the raw value the settings and the wire carry and the title its
// pill shows. Plain values; nothing fails.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kivo {

// One row of a choice's table.
template <class Choice>
struct ChoiceInfo {
    Choice value;
    std::string_view rawValue;
    const char* title;
};

// The choice of exactly one of the table's raw values (letter case counts); nothing for any other text.
template <class Choice, std::size_t count>
constexpr std::optional<Choice> choiceFromRaw(const std::array<ChoiceInfo<Choice>, count>& table,
                                              std::string_view raw) noexcept {
    for (const ChoiceInfo<Choice>& entry : table) {
        if (entry.rawValue == raw) return entry.value;
    }
    return std::nullopt;
}

// The worker's planner without a model, a model in Ollama on this computer, or one at Anthropic.
enum class AssistantProvider { local, ollama, anthropic };

inline constexpr std::array<ChoiceInfo<AssistantProvider>, 3> assistantProviders = {{
    {AssistantProvider::local, "local", "Built-in"},
    {AssistantProvider::ollama, "ollama", "Ollama"},
    {AssistantProvider::anthropic, "anthropic", "Anthropic"},
}};

constexpr std::string_view rawValue(AssistantProvider provider) noexcept {
    return assistantProviders[static_cast<std::size_t>(provider)].rawValue;
}

constexpr std::optional<AssistantProvider> assistantProviderFromRaw(std::string_view raw) noexcept {
    return choiceFromRaw(assistantProviders, raw);
}

// The provider a stored value chooses: its own, or the built-in one for a value that names none.
constexpr AssistantProvider storedAssistantProvider(std::string_view stored) noexcept {
    return assistantProviderFromRaw(stored).value_or(AssistantProvider::local);
}

// The selected text, the shown page, or the whole document.
enum class AssistantScope { selection, page, document };

inline constexpr std::array<ChoiceInfo<AssistantScope>, 3> assistantScopes = {{
    {AssistantScope::selection, "selection", "Selection"},
    {AssistantScope::page, "page", "Page"},
    {AssistantScope::document, "document", "Document"},
}};

constexpr std::string_view rawValue(AssistantScope scope) noexcept {
    return assistantScopes[static_cast<std::size_t>(scope)].rawValue;
}

constexpr std::optional<AssistantScope> assistantScopeFromRaw(std::string_view raw) noexcept {
    return choiceFromRaw(assistantScopes, raw);
}

}  // namespace kivo
