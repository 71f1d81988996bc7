#include "core/text_match.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
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
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
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

std::string collapsedWhitespace(std::string_view text) {
    const auto unicode = utf16(text);
    icu::UnicodeString collapsed;
    bool pendingSpace = false;
    for (std::int32_t i = 0; i < unicode.length(); i = unicode.moveIndex32(i, 1)) {
        const UChar32 c = unicode.char32At(i);
        if (isWhitespaceOrNewline(c)) {
            pendingSpace = !collapsed.isEmpty();
            continue;
        }
        if (pendingSpace) collapsed.append(static_cast<UChar>(u' '));
        pendingSpace = false;
        collapsed.append(c);
    }
    return utf8(collapsed);
}

std::string clipped(std::string_view text, std::int64_t limit) {
    std::string whole = collapsedWhitespace(text);
    if (whole.size() > static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("The text is too long to read.");
    const GraphemePrefix kept = graphemePrefix(whole, limit < 0 ? 0 : limit);
    if (kept.bytes >= whole.size()) return whole;
    whole.resize(kept.bytes);
    return whole + "\xE2\x80\xA6";
}

std::string composed(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc == nullptr)
        throw std::runtime_error("The text normalisation rules are not available.");
    const icu::UnicodeString result = nfc->normalize(utf16(text), status);
    if (U_FAILURE(status)) throw std::runtime_error("The text could not be normalised.");
    return utf8(result);
}

namespace {

struct CompiledSearch {
    icu::UnicodeString input;
    std::unique_ptr<icu::RegexPattern> pattern;
    std::unique_ptr<icu::RegexMatcher> matcher;
};

// The matcher refers to its input, so both live in one object; null when the pattern does not
// compile.
std::unique_ptr<CompiledSearch> compileSearch(std::string_view pattern, std::string_view text) {
    auto search = std::make_unique<CompiledSearch>();
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    search->pattern.reset(
        icu::RegexPattern::compile(utf16(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status) || !search->pattern) return nullptr;
    search->input = utf16(text);
    search->matcher.reset(search->pattern->matcher(search->input, status));
    if (U_FAILURE(status) || !search->matcher) return nullptr;
    return search;
}

std::optional<std::vector<std::optional<std::string>>> groupsOf(icu::RegexMatcher& matcher) {
    UErrorCode status = U_ZERO_ERROR;
    std::vector<std::optional<std::string>> groups;
    const std::int32_t count = matcher.groupCount();
    groups.reserve(static_cast<std::size_t>(count));
    for (std::int32_t group = 1; group <= count; ++group) {
        if (matcher.start(group, status) < 0 || U_FAILURE(status)) {
            groups.emplace_back();
            status = U_ZERO_ERROR;
            continue;
        }
        const icu::UnicodeString captured = matcher.group(group, status);
        if (U_FAILURE(status)) return std::nullopt;
        groups.emplace_back(utf8(captured));
    }
    return groups;
}

}  // namespace

std::optional<std::vector<std::optional<std::string>>> firstMatchGroups(std::string_view pattern,
                                                                        std::string_view text) {
    const auto search = compileSearch(pattern, text);
    if (!search) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    if (!search->matcher->find(status) || U_FAILURE(status)) return std::nullopt;
    return groupsOf(*search->matcher);
}

std::optional<PatternSplit> splitAtMatches(std::string_view pattern, std::string_view text) {
    const auto search = compileSearch(pattern, text);
    if (!search) return std::nullopt;
    PatternSplit split;
    std::int32_t cursor = 0;
    UErrorCode status = U_ZERO_ERROR;
    while (search->matcher->find(status) && U_SUCCESS(status)) {
        const std::int32_t start = search->matcher->start(status);
        const std::int32_t end = search->matcher->end(status);
        auto groups = groupsOf(*search->matcher);
        if (U_FAILURE(status) || !groups) return std::nullopt;
        PatternMatch match;
        match.before = utf8(icu::UnicodeString(search->input, cursor, start - cursor));
        match.matched = utf8(icu::UnicodeString(search->input, start, end - start));
        match.groups = std::move(*groups);
        split.matches.push_back(std::move(match));
        cursor = end;
    }
    if (U_FAILURE(status)) return std::nullopt;
    split.rest = utf8(icu::UnicodeString(search->input, cursor));
    return split;
}

}  // namespace TextMatch
}  // namespace kivo
