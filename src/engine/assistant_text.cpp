#include "engine/assistant_text.hpp"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <climits>
#include <memory>
#include <stdexcept>

#include "core/text.hpp"
#include "engine/assistant.hpp"

namespace kivo {
namespace assistant_text {
namespace {

icu::UnicodeString toUnicode(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace

bool isLetter(UChar32 c) noexcept {
    if (c < 0) return false;
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
}

std::string trimmed(std::string_view text) { return std::string(trimWhitespaceAndNewlines(text)); }

std::string lowercased(std::string_view text) {
    auto unicode = toUnicode(text);
    unicode.toLower(icu::Locale::getRoot());
    return toUTF8(unicode);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return toUnicode(a).caseCompare(toUnicode(b), U_FOLD_CASE_DEFAULT) == 0;
}

std::string trimmedOfQuotes(std::string_view text) {
    const auto isQuote = [](char c) { return c == '"' || c == '\'' || c == ' '; };
    std::size_t start = 0;
    std::size_t end = text.size();
    while (start < end && isQuote(text[start])) ++start;
    while (end > start && isQuote(text[end - 1])) --end;
    return std::string(text.substr(start, end - start));
}

std::optional<std::vector<std::optional<std::string>>> firstMatchGroups(std::string_view pattern,
                                                                        std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(toUnicode(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status) || !compiled) return std::nullopt;
    // The matcher refers to its input; keep it alive beside the matcher.
    const icu::UnicodeString input = toUnicode(text);
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return std::nullopt;
    if (!matcher->find(status) || U_FAILURE(status)) return std::nullopt;
    std::vector<std::optional<std::string>> groups;
    const std::int32_t count = matcher->groupCount();
    groups.reserve(static_cast<std::size_t>(count));
    for (std::int32_t group = 1; group <= count; ++group) {
        if (matcher->start(group, status) < 0 || U_FAILURE(status)) {
            groups.emplace_back();
            status = U_ZERO_ERROR;
            continue;
        }
        const icu::UnicodeString captured = matcher->group(group, status);
        if (U_FAILURE(status)) return std::nullopt;
        groups.emplace_back(toUTF8(captured));
    }
    return groups;
}

}  // namespace assistant_text

std::optional<std::string> firstCapture(std::string_view pattern, std::string_view text) {
    const auto groups = assistant_text::firstMatchGroups(pattern, text);
    if (!groups || groups->empty() || !groups->front()) return std::nullopt;
    return assistant_text::trimmedOfQuotes(*groups->front());
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
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) throw std::length_error("The text is too long to read.");
    const GraphemePrefix prefix = graphemePrefix(text, characters);
    return {text.substr(0, prefix.bytes), prefix.characters, prefix.bytes < text.size()};
}

}  // namespace AssistantContextBudget

namespace AssistantPlanner {

std::string clip(std::string_view text, std::int64_t limit) {
    const auto unicode = assistant_text::toUnicode(text);
    icu::UnicodeString collapsed;
    bool inWhitespace = false;
    for (std::int32_t i = 0; i < unicode.length(); i = unicode.moveIndex32(i, 1)) {
        const UChar32 c = unicode.char32At(i);
        if (isWhitespaceOrNewline(c)) {
            if (!inWhitespace) collapsed.append(static_cast<UChar>(u' '));
            inWhitespace = true;
        } else {
            collapsed.append(c);
            inWhitespace = false;
        }
    }
    const std::string whole = assistant_text::trimmed(assistant_text::toUTF8(collapsed));
    const auto kept = AssistantContextBudget::cut(whole, limit);
    if (!kept.truncated) return whole;
    return std::string(kept.text) + "\xE2\x80\xA6";
}

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
        if (assistant_text::isLetter(c)) ++count;
        i += static_cast<std::size_t>(offset);
    }
    return count;
}

std::optional<std::pair<std::string, std::string>> firstMatch(std::string_view pattern, std::string_view text) {
    const auto groups = assistant_text::firstMatchGroups(pattern, text);
    if (!groups || groups->empty()) return std::nullopt;
    if (groups->size() >= 2 && (*groups)[0] && (*groups)[1]) return std::pair{*(*groups)[0], *(*groups)[1]};
    if ((*groups)[0]) return std::pair{*(*groups)[0], std::string()};
    return std::nullopt;
}

}  // namespace AssistantPlanner

}  // namespace kivo
