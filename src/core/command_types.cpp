#include "core/command_types.hpp"

namespace kivo {
namespace {

template <class Enumeration, std::size_t N>
std::optional<Enumeration> lookUp(const std::array<std::string_view, N>& names,
                                  std::string_view wireName) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i] == wireName) return static_cast<Enumeration>(i);
    }
    return std::nullopt;
}

}  // namespace

template <>
std::optional<CommandMethod> fromRawValue<CommandMethod>(std::string_view wireName) noexcept {
    return lookUp<CommandMethod>(commandMethodWireNames, wireName);
}

template <>
std::optional<CommandChannel> fromRawValue<CommandChannel>(std::string_view wireName) noexcept {
    return lookUp<CommandChannel>(commandChannelWireNames, wireName);
}

template <>
std::optional<CommandPhase> fromRawValue<CommandPhase>(std::string_view wireName) noexcept {
    return lookUp<CommandPhase>(commandPhaseWireNames, wireName);
}

template <>
std::optional<FailureCode> fromRawValue<FailureCode>(std::string_view wireName) noexcept {
    return lookUp<FailureCode>(failureCodeWireNames, wireName);
}

template <>
std::optional<SaveMode> fromRawValue<SaveMode>(std::string_view wireName) noexcept {
    return lookUp<SaveMode>(saveModeWireNames, wireName);
}

template <>
std::optional<AnswerEnd> fromRawValue<AnswerEnd>(std::string_view wireName) noexcept {
    return lookUp<AnswerEnd>(answerEndWireNames, wireName);
}

}  // namespace kivo
