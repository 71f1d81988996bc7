#include "assistant/model_provider.hpp"

#include <cmath>
#include <stdexcept>

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
    for (const auto role :
         {ChatMessage::Role::system, ChatMessage::Role::user, ChatMessage::Role::assistant}) {
        if (roleName(role) == name) return role;
    }
    return std::nullopt;
}

void checkChatLimits(const ChatLimits& limits) {
    const auto sensible = [](double seconds) {
        return std::isfinite(seconds) && seconds >= 0 && seconds <= maximumChatSeconds;
    };
    if (!sensible(limits.idleSeconds))
        throw std::invalid_argument("The idle time limit of a chat is out of range.");
    if (!sensible(limits.totalSeconds))
        throw std::invalid_argument("The total time limit of a chat is out of range.");
}

}  // namespace kivo
