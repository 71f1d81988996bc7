// What the pointer and the line commands select on the shown page: the tools' gestures, the
// annotation under a click, the text under a rectangle, whole lines, and the annotations in
// reading order. Selecting changes nothing in the document.

#include <algorithm>
#include <cmath>

#include "core/text.hpp"
#include "workspace/annotation_description.hpp"
#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {
namespace {

// A gesture smaller than this both ways is a click.
constexpr double clickThreshold = 6;
constexpr double clickNoteHalfSide = 12;
constexpr std::int64_t longestQuotedSelection = 200;

std::string quotedSelection(const std::string& text) {
    const GraphemePrefix prefix = graphemePrefix(text, longestQuotedSelection);
    if (prefix.bytes == text.size()) return text;
    return text.substr(0, prefix.bytes) + "…";
}

std::string lineStatus(std::int64_t low, std::int64_t high, std::size_t count, const std::string& text) {
    std::string status = low == high ? "Line " + std::to_string(low + 1)
                                     : "Lines " + std::to_string(low + 1) + "–" + std::to_string(high + 1);
    return status + " of " + std::to_string(count) + ": " + quotedSelection(text);
}

bool contains(const PDFRect& rect, const PDFPoint& point) {
    return rect.left <= point.x && point.x <= rect.right && rect.bottom <= point.y && point.y <= rect.top;
}

}  // namespace

void Workspace::chooseTool(EditorTool tool) { setTool(tool); }

void Workspace::selectArea(const std::optional<PDFRect>& rect) { setSelection(rect); }

void Workspace::drawInk(std::vector<PDFPoint> points) { setInkPoints(std::move(points)); }

const std::vector<AnnotationInfo>& Workspace::annotations() const {
    static const std::vector<AnnotationInfo> none;
    return inspect() && inspect()->annotations ? *inspect()->annotations : none;
}

const AnnotationInfo* Workspace::annotation(const std::string& annotationId) const {
    const auto& all = annotations();
    const auto found = std::find_if(all.begin(), all.end(), [&](const AnnotationInfo& candidate) {
        return candidate.id == annotationId;
    });
    return found != all.end() ? &*found : nullptr;
}

void Workspace::applyTool(const PDFRect& end, const std::vector<PDFPoint>& points) {
    const bool click =
        std::abs(end.right - end.left) < clickThreshold && std::abs(end.top - end.bottom) < clickThreshold;
    const PDFPoint centre{(end.left + end.right) * 0.5, (end.bottom + end.top) * 0.5};
    switch (tool()) {
        case EditorTool::select:
            if (click) {
                hitTestAnnotation(centre);
                return;
            }
            setSelectedAnnotationId(std::nullopt);
            setSelection(end);
            setSelectedText(text(end));
            d_->lineSelection_.reset();
            return;
        case EditorTool::highlight:
            if (click) return;
            setSelection(end);
            // The highlight carries the text it covers, not whatever was selected before.
            setSelectedText(text(end));
            highlightSelection();
            return;
        case EditorTool::note:
            addNote(click ? PDFRect{centre.x - clickNoteHalfSide, centre.y - clickNoteHalfSide,
                                    centre.x + clickNoteHalfSide, centre.y + clickNoteHalfSide}
                          : end);
            return;
        case EditorTool::text:
            if (!click) promptText(end);
            return;
        case EditorTool::ink: addInk(points); return;
        case EditorTool::image:
            if (!click) addImage(OverlayKind::image, end);
            return;
        case EditorTool::signature:
            if (!click) addImage(OverlayKind::signature, end);
            return;
    }
}

void Workspace::hitTestAnnotation(const PDFPoint& point) {
    const auto& all = annotations();
    for (auto candidate = all.rbegin(); candidate != all.rend() && selectedPageId(); ++candidate) {
        if (candidate->pageId == *selectedPageId() && contains(candidate->rect, point)) {
            selectAnnotation(candidate->id);
            return;
        }
    }
    setSelectedAnnotationId(std::nullopt);
    setSelection(std::nullopt);
    setSelectedText("");
}

std::string Workspace::text(const PDFRect& rect) const {
    return PageText::textUnder(d_->shownPage_->pageChars(), rect);
}

void Workspace::selectLines(const LineSelection& lines) {
    const LineRange range = lines.range();
    const auto selected = PageText::selection(d_->shownPage_->pageLines(), range);
    if (!selected) return;
    d_->lineSelection_ = lines;
    setSelectedAnnotationId(std::nullopt);
    setSelection(selected->rect);
    setSelectedText(selected->text);
    emit revealRequested();
    setStatus(
        lineStatus(range.lowerBound, range.upperBound, d_->shownPage_->pageLines().size(), selected->text));
}

void Workspace::selectAdjacentLine(std::int64_t delta, bool extend) {
    const auto moved = LineSelection::moved(d_->lineSelection_, delta, extend,
                                            static_cast<std::int64_t>(d_->shownPage_->pageLines().size()));
    if (!moved) {
        setStatus("This page has no text to select.");
        return;
    }
    selectLines(*moved);
}

void Workspace::copySelection() {
    if (selectedText().empty()) return;
    d_->services_.clipboard->setText(selectedText());
    setStatus("Copied text");
}

void Workspace::selectAnnotation(const std::string& annotationId) {
    setSelectedAnnotationId(annotationId);
    const AnnotationInfo* found = annotation(annotationId);
    if (!found) return;
    // Showing the page clears the selection; the annotation's rectangle becomes the new one.
    const AnnotationInfo chosen = *found;
    select(chosen.pageId);
    setSelection(chosen.rect);
}

void Workspace::selectAdjacentAnnotation(std::int64_t step) {
    std::vector<AnnotationInfo> onPage;
    for (const AnnotationInfo& candidate : annotations()) {
        if (selectedPageId() && candidate.pageId == *selectedPageId()) onPage.push_back(candidate);
    }
    if (onPage.empty()) {
        setStatus("This page has no annotations.");
        return;
    }
    // Reading order: top to bottom, then left to right; ties keep the worker's order.
    std::stable_sort(onPage.begin(), onPage.end(), [](const AnnotationInfo& a, const AnnotationInfo& b) {
        return a.rect.top > b.rect.top || (a.rect.top == b.rect.top && a.rect.left < b.rect.left);
    });
    const auto n = static_cast<std::int64_t>(onPage.size());
    const auto current = std::find_if(onPage.begin(), onPage.end(), [&](const AnnotationInfo& candidate) {
        return candidate.id == selectedAnnotationId();
    });
    std::int64_t position = step < 0 ? n - 1 : 0;
    if (current != onPage.end()) position = ((current - onPage.begin()) + step % n + n) % n;
    const AnnotationInfo chosen = onPage[static_cast<std::size_t>(position)];
    selectAnnotation(chosen.id);
    setStatus(CanvasAccessibility::describe(chosen) + " selected, " + std::to_string(position + 1) + " of " +
              std::to_string(n));
}

PDFRect Workspace::overlayRect(double width, double height) const {
    if (selection()) return *selection();
    const auto page = currentPage();
    const double top = page ? page->height - 72 : 720;
    return PDFRect{72, top - height, 72 + width, top};
}

}  // namespace kivo
