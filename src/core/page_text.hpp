#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/document_records.hpp"

namespace kivo {

// One visual line of a page's text.
struct TextLine {
    std::string text{};  // trimmed of white space and line breaks
    PDFRect rect{};      // union of its characters' boxes

    bool operator==(const TextLine&) const = default;
};

// A closed range of line indexes.
struct LineRange {
    std::int64_t lowerBound = 0;
    std::int64_t upperBound = 0;

    bool operator==(const LineRange&) const = default;
};

namespace PageText {

// Groups a page's characters into visual lines, in the order of the runs. A character whose box has any
// height in common with the line so far joins it; the line's band grows to hold it. On a page whose
// content draws its lines up or down the page, "height" is the extent across the line.
std::vector<TextLine> lines(const std::vector<TextRun>& runs);

// The text under `rect` (page points), as a person would paste it: the characters whose box overlaps
// it with positive area and whose line it takes (it holds the middle of the line's band or a third of
// its height, or lies within it, so that the edges of neighbouring lines' glyphs stay out), with the
// page's spaces between them, and one line feed between lines, in the runs' order.
std::string textUnder(const std::vector<TextRun>& runs, const PDFRect& rect);

// The lines of `range` (clamped to the list) joined by line feeds, with the
// union of their rectangles; absent when there are no lines.
std::optional<TextLine> selection(const std::vector<TextLine>& lines, LineRange range);

}  // namespace PageText

// A selection of whole lines: `anchor` where it started, `focus` the end that moves.
struct LineSelection {
    std::int64_t anchor = 0;
    std::int64_t focus = 0;

    LineRange range() const noexcept;

    // The selection after a keyboard step of `delta` lines on a page of `count`
    // lines; a missing selection, or one that no longer fits, starts afresh.
    static std::optional<LineSelection> moved(std::optional<LineSelection> current, std::int64_t delta,
                                              bool extend, std::int64_t count) noexcept;

    bool operator==(const LineSelection&) const = default;
};

}  // namespace kivo
