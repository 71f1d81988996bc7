#pragma once

// What the user chooses for the assistant: the provider the questions go to and the scope a question
// asks about, each with the raw value the settings and the wire carry and the title its pill shows.
// Plain values; nothing fails.

#include <array>
#include <optional>
#include <string_view>

namespace kivo {

// The worker's planner without a model, a model in Ollama on this computer, or one at Anthropic.
enum class AssistantProvider { local, ollama, anthropic };

struct AssistantProviderInfo {
    AssistantProvider provider;
    std::string_view rawValue;
    const char* title;
};

inline constexpr std::array<AssistantProviderInfo, 3> assistantProviders = {{
    {AssistantProvider::local, "local", "Built-in"},
    {AssistantProvider::ollama, "ollama", "Ollama"},
    {AssistantProvider::anthropic, "anthropic", "Anthropic"},
}};

std::string_view rawValue(AssistantProvider provider) noexcept;
// The provider of exactly one of the raw values (letter case counts); nothing for any other text.
std::optional<AssistantProvider> assistantProviderFromRaw(std::string_view raw) noexcept;
// The provider a stored value chooses: its own, or the built-in one for a value that names none.
AssistantProvider storedAssistantProvider(std::string_view stored) noexcept;

// The selected text, the shown page, or the whole document.
enum class AssistantScope { selection, page, document };

struct AssistantScopeInfo {
    AssistantScope scope;
    std::string_view rawValue;
    const char* title;
};

inline constexpr std::array<AssistantScopeInfo, 3> assistantScopes = {{
    {AssistantScope::selection, "selection", "Selection"},
    {AssistantScope::page, "page", "Page"},
    {AssistantScope::document, "document", "Document"},
}};

std::string_view rawValue(AssistantScope scope) noexcept;
// The scope of exactly one of the raw values (letter case counts); nothing for any other text.
std::optional<AssistantScope> assistantScopeFromRaw(std::string_view raw) noexcept;

}  // namespace kivo
