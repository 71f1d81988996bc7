#include "core/text_match.hpp"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <climits>
#include <memory>
#include <stdexcept>

#include "core/text.hpp"

namespace kivo {
namespace TextMatch {

icu::UnicodeString utf16(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

bool isLetter(UChar32 c) noexcept {
    if (c < 0) return false;
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
}

std::string trimmed(std::string_view text) { return std::string(trimWhitespaceAndNewlines(text)); }

std::string lowercased(std::string_view text) {
    auto unicode = utf16(text);
    unicode.toLower(icu::Locale::getRoot());
    return utf8(unicode);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return utf16(a).caseCompare(utf16(b), U_FOLD_CASE_DEFAULT) == 0;
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
        icu::RegexPattern::compile(utf16(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status) || !compiled) return std::nullopt;
    // The matcher refers to its input; keep it alive beside the matcher.
    const icu::UnicodeString input = utf16(text);
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
        groups.emplace_back(utf8(captured));
    }
    return groups;
}

}  // namespace TextMatch
}  // namespace kivo
