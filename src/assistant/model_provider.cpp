#include "assistant/model_provider.hpp"

#include <cmath>
#include <stdexcept>

extern char** environ;

namespace kivo {

std::string_view roleName(ChatMessage::Role role) noexcept {
    switch (role) {
        case ChatMessage::Role::system: return "system";
        case ChatMessage::Role::assistant: return "assistant";
        case ChatMessage::Role::user: break;
    }
    return "user";
}

std::optional<ChatMessage::Role> roleNamed(std::string_view name) noexcept {
    for (const auto role : {ChatMessage::Role::system, ChatMessage::Role::user, ChatMessage::Role::assistant}) {
        if (roleName(role) == name) return role;
    }
    return std::nullopt;
}

Environment processEnvironment() {
    Environment environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string_view::npos) {
            environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
        }
    }
    return environment;
}

void checkChatLimits(const ChatLimits& limits) {
    const auto sensible = [](double seconds) {
        return std::isfinite(seconds) && seconds >= 0 && seconds <= maximumChatSeconds;
    };
    if (!sensible(limits.idleSeconds)) throw std::invalid_argument("The idle time limit of a chat is out of range.");
    if (!sensible(limits.totalSeconds)) throw std::invalid_argument("The total time limit of a chat is out of range.");
}

}  // namespace kivo
