#include "workspace/assistant_choices.hpp"

namespace kivo {

std::string_view rawValue(AssistantProvider provider) noexcept {
    return assistantProviders[static_cast<std::size_t>(provider)].rawValue;
}

std::optional<AssistantProvider> assistantProviderFromRaw(std::string_view raw) noexcept {
    for (const AssistantProviderInfo& entry : assistantProviders) {
        if (entry.rawValue == raw) return entry.provider;
    }
    return std::nullopt;
}

AssistantProvider storedAssistantProvider(std::string_view stored) noexcept {
    return assistantProviderFromRaw(stored).value_or(AssistantProvider::local);
}

std::string_view rawValue(AssistantScope scope) noexcept {
    return assistantScopes[static_cast<std::size_t>(scope)].rawValue;
}

std::optional<AssistantScope> assistantScopeFromRaw(std::string_view raw) noexcept {
    for (const AssistantScopeInfo& entry : assistantScopes) {
        if (entry.rawValue == raw) return entry.scope;
    }
    return std::nullopt;
}

}  // namespace kivo
