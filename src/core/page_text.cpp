#include "core/page_text.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/text.hpp"

namespace kivo {
namespace {

bool hasRealBox(const TextRun& run) noexcept { return run.left < run.right && run.bottom < run.top; }

bool isLineFeed(const TextRun& run) noexcept { return run.unicode == "\r" || run.unicode == "\n"; }

PDFRect unite(const PDFRect& a, const PDFRect& b) noexcept {
    return PDFRect{std::min(a.left, b.left), std::min(a.bottom, b.bottom), std::max(a.right, b.right),
                   std::max(a.top, b.top)};
}

// Across and along swapped: its own inverse.
PDFRect transposed(const PDFRect& r) noexcept { return PDFRect{r.bottom, r.left, r.top, r.right}; }

// One code point, as PDFium hands out a page's characters (UTF-8 continuation bytes aside).
bool singleCharacter(const std::string& text) noexcept {
    return std::count_if(text.begin(), text.end(),
                         [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }) == 1;
}

// A page turned by its content rather than by its /Rotate entry draws its lines up or down the page: most
// neighbouring characters of a line then sit above one another, not side by side. Only single characters
// tell: a run holding a whole word or line may well sit above the next one.
bool linesRunUpOrDown(const std::vector<TextRun>& runs) noexcept {
    std::int64_t across = 0;
    std::int64_t upOrDown = 0;
    const TextRun* previous = nullptr;
    for (const TextRun& run : runs) {
        if (isLineFeed(run)) previous = nullptr;
        if (!hasRealBox(run)) continue;
        const bool single = singleCharacter(run.unicode);
        if (previous && single) {
            const double dx = (run.left + run.right - previous->left - previous->right) / 2;
            const double dy = (run.bottom + run.top - previous->bottom - previous->top) / 2;
            // A superscript steps up as far as it steps on: only a clear step counts.
            if (std::abs(dy) > 1.5 * std::abs(dx)) ++upOrDown;
            if (std::abs(dx) > 1.5 * std::abs(dy)) ++across;
        }
        previous = single ? &run : nullptr;
    }
    return upOrDown > across;
}

// The page's lines, and for each run the line it is on (also for runs without a box) and for each run
// with a box the band of that line. Boxes are taken as they are, or transposed when the lines run up or
// down the page, so that a band is always the line's extent across its direction.
struct Grouping {
    std::vector<TextLine> lines;
    std::vector<std::size_t> lineOf;
    std::vector<std::optional<PDFRect>> bands;
    bool turned = false;

    PDFRect oriented(const PDFRect& rect) const noexcept { return turned ? transposed(rect) : rect; }
};

struct LineBuilder {
    std::string text;
    std::optional<PDFRect> rect;
    // The runs with a box on the line, by index.
    std::vector<std::size_t> members;
    std::size_t number = 0;

    void emit(Grouping& out) {
        const auto trimmed = trimWhitespaceAndNewlines(text);
        if (rect && !trimmed.empty())
            out.lines.push_back(TextLine{std::string(trimmed), out.oriented(*rect)});
        for (const std::size_t member : members) out.bands[member] = rect;
        text.clear();
        rect.reset();
        members.clear();
        ++number;
    }
};

Grouping group(const std::vector<TextRun>& runs) {
    Grouping out;
    out.turned = linesRunUpOrDown(runs);
    out.bands.assign(runs.size(), std::nullopt);
    out.lineOf.assign(runs.size(), 0);
    LineBuilder line;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const TextRun& run = runs[i];
        if (isLineFeed(run)) {
            line.emit(out);
            out.lineOf[i] = line.number;
            continue;
        }
        // Generated characters such as spaces have no box: they join the
        // current line's text and never decide where a line ends.
        if (!hasRealBox(run)) {
            line.text += run.unicode;
            out.lineOf[i] = line.number;
            continue;
        }
        const PDFRect box = out.oriented(PDFRect{run.left, run.bottom, run.right, run.top});
        // Glyph boxes are tight: a comma hangs below the foot of "Hello" and a quote mark rises above
        // it. Any height in common with the line's band keeps a character on the line.
        if (line.rect && (box.top <= line.rect->bottom || box.bottom >= line.rect->top)) line.emit(out);
        line.text += run.unicode;
        line.rect = line.rect ? unite(*line.rect, box) : box;
        line.members.push_back(i);
        out.lineOf[i] = line.number;
    }
    line.emit(out);
    return out;
}

// Whether a drag over `rect` takes the character of `box` on the line of `band`, all in the grouping's
// orientation. The glyph's line must be taken, not just grazed by a drag over the next one: the
// rectangle holds the middle of the line's band or a third of its height, or lies within it.
bool takes(const PDFRect& rect, const PDFRect& box, const PDFRect& band) noexcept {
    const bool overlaps =
        box.left < rect.right && rect.left < box.right && box.bottom < rect.top && rect.bottom < box.top;
    const double middle = (band.bottom + band.top) / 2;
    const double shared = std::min(rect.top, band.top) - std::max(rect.bottom, band.bottom);
    const bool onLine = (rect.bottom <= middle && middle <= rect.top) ||
                        shared * 3 >= band.top - band.bottom ||
                        (band.bottom <= rect.bottom && rect.top <= band.top);
    return overlaps && onLine;
}

}  // namespace

namespace PageText {

std::vector<TextLine> lines(const std::vector<TextRun>& runs) { return group(runs).lines; }

std::string textUnder(const std::vector<TextRun>& runs, const PDFRect& rect) {
    const Grouping grouping = group(runs);
    const PDFRect area = grouping.oriented(rect);
    // Per line, the first and the last character the drag takes.
    std::vector<std::pair<std::size_t, std::size_t>> span;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const TextRun& run = runs[i];
        if (!grouping.bands[i]) continue;
        const PDFRect box = grouping.oriented(PDFRect{run.left, run.bottom, run.right, run.top});
        if (!takes(area, box, *grouping.bands[i])) continue;
        const std::size_t line = grouping.lineOf[i];
        if (span.size() <= line) span.resize(line + 1, {runs.size(), 0});
        span[line].first = std::min(span[line].first, i);
        span[line].second = i;
    }
    // A line reads from the first to the last character taken on it, with the spaces the page puts
    // between, drawn or generated, and the comma that hangs below a drag over the top of the line; the
    // lines are joined by line feeds, as the page reads.
    std::string covered;
    for (const auto& [first, last] : span) {
        if (first > last) continue;
        std::string line;
        for (std::size_t i = first; i <= last; ++i) {
            if (!isLineFeed(runs[i]) && runs[i].unicode != std::string(1, '\0')) line += runs[i].unicode;
        }
        const auto trimmed = trimWhitespaceAndNewlines(line);
        if (trimmed.empty()) continue;
        if (!covered.empty()) covered += '\n';
        covered += trimmed;
    }
    return covered;
}

std::optional<TextLine> selection(const std::vector<TextLine>& lines, LineRange range) {
    if (lines.empty()) return std::nullopt;
    const auto last = static_cast<std::int64_t>(lines.size()) - 1;
    const auto lower = std::clamp(std::min(range.lowerBound, range.upperBound), std::int64_t{0}, last);
    const auto upper = std::clamp(std::max(range.lowerBound, range.upperBound), std::int64_t{0}, last);
    TextLine out{lines[static_cast<std::size_t>(lower)].text, lines[static_cast<std::size_t>(lower)].rect};
    for (auto i = lower + 1; i <= upper; ++i) {
        const auto& line = lines[static_cast<std::size_t>(i)];
        out.text += '\n';
        out.text += line.text;
        out.rect = unite(out.rect, line.rect);
    }
    return out;
}

}  // namespace PageText

LineRange LineSelection::range() const noexcept { return {std::min(anchor, focus), std::max(anchor, focus)}; }

std::optional<LineSelection> LineSelection::moved(std::optional<LineSelection> current, std::int64_t delta,
                                                  bool extend, std::int64_t count) noexcept {
    if (count < 1) return std::nullopt;
    if (current && current->focus < count && current->anchor < count) {
        std::int64_t target = 0;
        if (__builtin_add_overflow(current->focus, delta, &target)) {
            target = delta < 0 ? std::numeric_limits<std::int64_t>::min()
                               : std::numeric_limits<std::int64_t>::max();
        }
        target = std::clamp(target, std::int64_t{0}, count - 1);
        return extend ? LineSelection{current->anchor, target} : LineSelection{target, target};
    }
    const auto line = delta < 0 ? count - 1 : 0;
    return LineSelection{line, line};
}

}  // namespace kivo
