#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "core/text.hpp"
#include "core/text_match.hpp"
#include "engine/assistant.hpp"

namespace kivo {

std::optional<std::string> firstCapture(std::string_view pattern, std::string_view text) {
    const auto groups = TextMatch::firstMatchGroups(pattern, text);
    if (!groups || groups->empty() || !groups->front()) return std::nullopt;
    return TextMatch::trimmedOfQuotes(*groups->front());
}

namespace AssistantContextBudget {

std::int64_t resolve(std::optional<std::int64_t> limit) noexcept {
    if (!limit) return AssistantContextLimits::defaultCharacters;
    if (*limit <= AssistantContextLimits::minimumCharacters) return AssistantContextLimits::minimumCharacters;
    if (*limit >= AssistantContextLimits::maximumCharacters) return AssistantContextLimits::maximumCharacters;
    return *limit;
}

Cut cut(std::string_view text, std::int64_t characters) {
    if (text.empty()) return {};
    if (characters <= 0) return {text.substr(0, 0), 0, true};
    if (text.size() > static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("The text is too long to read.");
    const GraphemePrefix prefix = graphemePrefix(text, characters);
    return {text.substr(0, prefix.bytes), prefix.characters, prefix.bytes < text.size()};
}

}  // namespace AssistantContextBudget

namespace AssistantPlanner {

std::string clip(std::string_view text, std::int64_t limit) { return TextMatch::clipped(text, limit); }

std::int64_t letterCount(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::int64_t count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (bytes[i] < 0x80) {
            if ((bytes[i] | 0x20) >= 'a' && (bytes[i] | 0x20) <= 'z') ++count;
            ++i;
            continue;
        }
        const std::size_t window = std::min<std::size_t>(text.size() - i, INT32_MAX);
        std::int32_t offset = 0;
        UChar32 c = 0;
        U8_NEXT(bytes + i, offset, static_cast<std::int32_t>(window), c);
        if (TextMatch::isLetter(c)) ++count;
        i += static_cast<std::size_t>(offset);
    }
    return count;
}

std::optional<std::pair<std::string, std::string>> firstMatch(std::string_view pattern,
                                                              std::string_view text) {
    const auto groups = TextMatch::firstMatchGroups(pattern, text);
    if (!groups || groups->empty()) return std::nullopt;
    if (groups->size() >= 2 && (*groups)[0] && (*groups)[1]) return std::pair{*(*groups)[0], *(*groups)[1]};
    if ((*groups)[0]) return std::pair{*(*groups)[0], std::string()};
    return std::nullopt;
}

}  // namespace AssistantPlanner

}  // namespace kivo
