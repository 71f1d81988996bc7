#include "core/page_text.hpp"

#include <algorithm>
#include <limits>

#include "core/text.hpp"

namespace kivo {
namespace {

bool hasRealBox(const TextRun& run) noexcept { return run.left < run.right && run.bottom < run.top; }

PDFRect unite(const PDFRect& a, const PDFRect& b) noexcept {
    return PDFRect{std::min(a.left, b.left), std::min(a.bottom, b.bottom), std::max(a.right, b.right),
                   std::max(a.top, b.top)};
}

struct LineBuilder {
    std::string text;
    std::optional<PDFRect> rect;
    // The runs with a box on the line, by index.
    std::vector<std::size_t> members;

    void emit(std::vector<TextLine>& out, std::vector<std::optional<PDFRect>>& bands) {
        const auto trimmed = trimWhitespaceAndNewlines(text);
        if (rect && !trimmed.empty()) out.push_back(TextLine{std::string(trimmed), *rect});
        for (const std::size_t member : members) bands[member] = rect;
        text.clear();
        rect.reset();
        members.clear();
    }
};

// The lines of the runs, and for each run with a box the rectangle of the line it is on.
std::vector<TextLine> group(const std::vector<TextRun>& runs, std::vector<std::optional<PDFRect>>& bands) {
    bands.assign(runs.size(), std::nullopt);
    std::vector<TextLine> out;
    LineBuilder line;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const TextRun& run = runs[i];
        if (run.unicode == "\r" || run.unicode == "\n") {
            line.emit(out, bands);
            continue;
        }
        // Generated characters such as spaces have no box: they join the
        // current line's text and never decide where a line ends.
        if (!hasRealBox(run)) {
            line.text += run.unicode;
            continue;
        }
        const PDFRect box{run.left, run.bottom, run.right, run.top};
        // Glyph boxes are tight: a comma hangs below the foot of "Hello" and a quote mark rises above
        // it. Any height in common with the line's band keeps a character on the line.
        if (line.rect && (run.top <= line.rect->bottom || run.bottom >= line.rect->top)) line.emit(out, bands);
        line.text += run.unicode;
        line.rect = line.rect ? unite(*line.rect, box) : box;
        line.members.push_back(i);
    }
    line.emit(out, bands);
    return out;
}

}  // namespace

namespace PageText {

std::vector<TextLine> lines(const std::vector<TextRun>& runs) {
    std::vector<std::optional<PDFRect>> bands;
    return group(runs, bands);
}

std::string textUnder(const std::vector<TextRun>& runs, const PDFRect& rect) {
    std::vector<std::optional<PDFRect>> bands;
    group(runs, bands);
    std::string covered;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const TextRun& run = runs[i];
        if (!bands[i]) continue;
        const bool overlaps =
            run.left < rect.right && rect.left < run.right && run.bottom < rect.top && rect.bottom < run.top;
        // The glyph's line must be taken, not just grazed by a drag over the next one: the rectangle
        // holds the middle of the line's band or a third of its height, or lies within it.
        const PDFRect& band = *bands[i];
        const double middle = (band.bottom + band.top) / 2;
        const double shared = std::min(rect.top, band.top) - std::max(rect.bottom, band.bottom);
        const bool onLine = (rect.bottom <= middle && middle <= rect.top) || shared * 3 >= band.top - band.bottom ||
                            (band.bottom <= rect.bottom && rect.top <= band.top);
        if (overlaps && onLine) covered += run.unicode;
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

std::optional<LineSelection> LineSelection::moved(std::optional<LineSelection> current, std::int64_t delta, bool extend,
                                                  std::int64_t count) noexcept {
    if (count < 1) return std::nullopt;
    if (current && current->focus < count && current->anchor < count) {
        std::int64_t target = 0;
        if (__builtin_add_overflow(current->focus, delta, &target)) {
            target = delta < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
        }
        target = std::clamp(target, std::int64_t{0}, count - 1);
        return extend ? LineSelection{current->anchor, target} : LineSelection{target, target};
    }
    const auto line = delta < 0 ? count - 1 : 0;
    return LineSelection{line, line};
}

}  // namespace kivo
