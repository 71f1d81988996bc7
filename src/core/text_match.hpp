#pragma once

// Case-insensitive text helpers shared by the worker's question planner and the model assistant.
// ICU works in UTF-16; these helpers take and give UTF-8 and keep every offset on one side of
// that line.

#include <unicode/umachine.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::TextMatch {

// The UTF-16 form of UTF-8 text (ill-formed bytes become U+FFFD), and back.
icu::UnicodeString utf16(std::string_view utf8);
std::string utf8(const icu::UnicodeString& text);

// General categories L and M.
bool isLetter(UChar32 c) noexcept;

// Trimmed of white space and newlines at both ends.
std::string trimmed(std::string_view text);

// Lower-cased by the root locale's rules (full case mapping).
std::string lowercased(std::string_view text);

// Equal under Unicode default case folding.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// Double quotes, apostrophes and spaces removed from both ends.
std::string trimmedOfQuotes(std::string_view text);

// Runs of white space and newlines become one space; the ends are trimmed.
std::string collapsedWhitespace(std::string_view text);

// `collapsedWhitespace(text)`, and when that holds more than `limit` user-perceived
// characters, its first `limit` characters followed by "…".
std::string clipped(std::string_view text, std::int64_t limit);

// Canonical composition (NFC), so canonically equivalent texts compare equal byte for byte.
std::string composed(std::string_view text);

// The capture groups 1..n of the first case-insensitive match of an ICU pattern, each absent
// when the group took no part. No value when the pattern does not compile or nothing matches.
// The list is as long as the pattern has groups.
std::optional<std::vector<std::optional<std::string>>> firstMatchGroups(std::string_view pattern,
                                                                        std::string_view text);

// A text cut at every non-overlapping case-insensitive match of an ICU pattern: each match
// with the text before it (since the previous match) and its capture groups, then the rest
// after the last match. Joining before + matched + ... + rest gives the text back.
struct PatternMatch {
    std::string before;
    std::string matched;
    std::vector<std::optional<std::string>> groups;
};
struct PatternSplit {
    std::vector<PatternMatch> matches;
    std::string rest;
};
// No value when the pattern does not compile or the search fails.
std::optional<PatternSplit> splitAtMatches(std::string_view pattern, std::string_view text);

}  // namespace kivo::TextMatch
