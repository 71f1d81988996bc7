#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivo {

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUTF8(std::string_view bytes) noexcept;

// Appends the bytes to `out`, replacing each ill-formed sequence with U+FFFD.
void appendRepairedUTF8(std::string& out, std::string_view bytes);

// True for the code points trimming removes: Unicode white space and line
// breaks (space separators, tab, LF to CR, NEL, line and paragraph separators).
bool isWhitespaceOrNewline(std::int32_t codePoint) noexcept;

// Strips Unicode white space and line breaks (space separators, tab, LF to CR,
// NEL, line and paragraph separators) from both ends.
std::string_view trimWhitespaceAndNewlines(std::string_view text) noexcept;

// Strips the tab and the Unicode space separators (category Zs) from both ends; line breaks
// stay.
std::string_view trimBlanks(std::string_view text) noexcept;

// The text with each C0 or C1 control character (tab and line ends included) as a space: a
// document's text shown in a line of the window, where a backspace or an escape would show as junk.
std::string controlsAsSpaces(std::string_view utf8);

// A count as a sentence writes it, its digits in groups of three: "12,000".
std::string groupedDigits(std::int64_t value);

// Number of user-perceived characters (extended grapheme clusters). Ill-formed
// bytes count as one character each.
std::int64_t graphemeCount(std::string_view utf8);

// The longest start of `utf8` holding at most `limit` user-perceived characters:
// its length in bytes (always on a character boundary) and how many it holds.
struct GraphemePrefix {
    std::size_t bytes = 0;
    std::int64_t characters = 0;
};
GraphemePrefix graphemePrefix(std::string_view utf8, std::int64_t limit);

// A fresh random (version 4) UUID in upper-case 8-4-4-4-12 form.
std::string newUUIDString();

}  // namespace kivo
