#pragma once

// The captions push buttons show (/MK /CA of the widget), which PDFium hands out through no call of
// its own. They are read from a plain whole save of the document, where each widget keeps the object
// number PDFium reports for it (see pdf_objects.hpp). A caption is file text, so it reaches a person
// only as plain text of a bounded length.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace kivo::ButtonCaptions {

// In user-perceived characters; a longer caption is cut and ends in an ellipsis. One character may
// carry any number of combining marks, so the bytes of a caption are bounded as well.
inline constexpr std::int64_t longestCaption = 200;
inline constexpr std::size_t mostCaptionBytes = 1024;
// The captions of one document together; past it, further widgets show none.
inline constexpr std::size_t mostKeptBytes = std::size_t{4} << 20;
// What one read looks at: the bytes of widgets and caption strings parsed (each string object once,
// however many widgets share it) and the widgets themselves. Past either, further widgets show none.
inline constexpr std::size_t mostLookedAtBytes = std::size_t{32} << 20;
inline constexpr std::size_t mostLookedAtWidgets = 20'000;

// The non-empty captions of the widgets of a file PDFium wrote whole and unencrypted, by the object
// number of each widget's dictionary; none when the bytes are not such a file. Steps the running
// command now and then, so a cancel ends it.
std::map<int, std::string> read(std::span<const uint8_t> plainFile);

// `text` as one line of plain text: every control, line break and run of white space one space,
// direction marks and overrides dropped, trimmed, and cut to `longestCaption`.
std::string plainLine(std::string_view text);

}  // namespace kivo::ButtonCaptions
