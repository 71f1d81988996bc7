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

    void emit(std::vector<TextLine>& out) {
        const auto trimmed = trimWhitespaceAndNewlines(text);
        if (rect && !trimmed.empty()) out.push_back(TextLine{std::string(trimmed), *rect});
        text.clear();
        rect.reset();
    }
};

}  // namespace

namespace PageText {

std::vector<TextLine> lines(const std::vector<TextRun>& runs) {
    std::vector<TextLine> out;
    LineBuilder line;
    for (const auto& run : runs) {
        if (run.unicode == "\r" || run.unicode == "\n") {
            line.emit(out);
            continue;
        }
        // Generated characters such as spaces have no box: they join the
        // current line's text and never decide where a line ends.
        if (!hasRealBox(run)) {
            line.text += run.unicode;
            continue;
        }
        const PDFRect box{run.left, run.bottom, run.right, run.top};
        if (!line.rect) {
            line.text += run.unicode;
            line.rect = box;
            continue;
        }
        const double middle = (run.bottom + run.top) / 2;
        if (middle < line.rect->bottom || middle > line.rect->top) {
            line.emit(out);
            line.text = run.unicode;
            line.rect = box;
        } else {
            line.text += run.unicode;
            line.rect = unite(*line.rect, box);
        }
    }
    line.emit(out);
    return out;
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
