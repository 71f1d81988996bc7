// The changes to the shown page's annotations: highlights, notes, text, ink, image and signature
// overlays, and moving, editing and removing the selected annotation. Each is one edit through
// mutate(), which stamps it with the revision and an operation id and adopts the answer.

#include "workspace/canvas_mapping.hpp"
#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {
namespace {

constexpr double noteSide = 24;
constexpr double overlayFontSize = 14;
// The underline runs this far below the selection.
constexpr double underlineGap = 1;

const char* const selectTextFirst = "Select text first, for example with Select Next Line.";

}  // namespace

void Workspace::highlightSelection() {
    if (!sessionId() || !selectedPageId()) return;
    if (!selection()) {
        setStatus(selectTextFirst);
        return;
    }
    CommandParams params;
    params.sessionId = sessionId();
    params.pageId = selectedPageId();
    params.rect = selection();
    params.contents = selectedText().empty() ? "Highlight" : selectedText();
    mutate(CommandMethod::addHighlight, std::move(params), "Highlight added");
}

void Workspace::addNoteAtSelection() {
    // A note sits at the selection's top-left corner; without one, where an overlay would go.
    const auto& rect = selection();
    addNote(rect ? PDFRect{rect->left, rect->top - noteSide, rect->left + noteSide, rect->top}
                 : overlayRect(noteSide, noteSide));
}

void Workspace::addNote(const PDFRect& rect) {
    if (!sessionId() || !selectedPageId()) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.pageId = selectedPageId();
    params.rect = rect;
    params.contents = "Note";
    mutate(CommandMethod::addNote, std::move(params), "Note added");
}

void Workspace::promptText(const PDFRect& rect) {
    const auto typed = d_->services_.prompts->askText(
        "Text overlay", "This draws on top of the page. It is not redaction or text replacement.", "", "Add");
    if (typed) addText(rect, *typed);
}

void Workspace::addText(const PDFRect& rect, const std::string& contents) {
    if (!sessionId() || !selectedPageId() || contents.empty()) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.pageId = selectedPageId();
    params.rect = rect;
    params.contents = contents;
    params.kind = std::string(rawValue(OverlayKind::text));
    params.fontSize = overlayFontSize;
    mutate(CommandMethod::addContent, std::move(params), "Text overlay added");
}

void Workspace::addInk(const std::vector<PDFPoint>& points) {
    if (!sessionId() || !selectedPageId() || points.size() < 2) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.pageId = selectedPageId();
    params.contents = "Ink";
    params.points = points;
    mutate(CommandMethod::addInk, std::move(params), "Ink added");
    setInkPoints({});
}

void Workspace::addImage(OverlayKind kind, const PDFRect& rect) {
    const auto image = d_->services_.fileDialogs->chooseImage(documentFolder());
    if (!image || !sessionId() || !selectedPageId()) return;
    const bool signature = kind == OverlayKind::signature;
    CommandParams params;
    params.sessionId = sessionId();
    params.pageId = selectedPageId();
    params.rect = rect;
    params.contents = signature ? "Visual signature" : "Image";
    params.kind = std::string(rawValue(kind));
    params.imagePath = image->string();
    mutate(CommandMethod::addContent, std::move(params),
           signature ? "Visual signature added" : "Image overlay added");
}

void Workspace::underlineSelectionWithInk() {
    const auto& rect = selection();
    if (!rect) {
        setStatus(selectTextFirst);
        return;
    }
    addInk({PDFPoint{rect->left, rect->bottom - underlineGap},
            PDFPoint{rect->right, rect->bottom - underlineGap}});
}

// An annotation stays selected when another page is shown; the keys and commands then act on
// nothing rather than on a mark the user cannot see.
const AnnotationInfo* Workspace::selectedOnShownPage() const {
    if (!selectedAnnotationId() || !selectedPageId()) return nullptr;
    const AnnotationInfo* selected = annotation(*selectedAnnotationId());
    return selected && selected->pageId == *selectedPageId() ? selected : nullptr;
}

void Workspace::deleteAnnotation(const std::string& annotationId) {
    setSelectedAnnotationId(annotationId);
    deleteSelectedAnnotation();
}

void Workspace::deleteSelectedAnnotation() {
    const AnnotationInfo* selected = selectedOnShownPage();
    if (!selected) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.annotationId = selected->id;
    setSelectedAnnotationId(std::nullopt);
    mutate(CommandMethod::removeAnnotation, std::move(params), "Annotation removed");
}

void Workspace::nudgeSelection(double dx, double dy, bool resize) {
    const AnnotationInfo* selected = selectedOnShownPage();
    const std::optional<PageInfo> page = currentPage();
    if (!selected || !page) {
        setStatus("Select an annotation first, for example with Select Next Annotation.");
        return;
    }
    // While earlier nudges are on their way, the next one starts where the last one sent left it.
    const bool follows =
        d_->link_->ownChangesInFlight() > 0 && d_->nudgeBase_ && d_->nudgeBase_->annotationId == selected->id;
    const PDFRect from = follows ? d_->nudgeBase_->rect : selected->rect;
    // Up is up on screen, whichever way the page is turned; resizing keeps the corner shown bottom left.
    const PDFRect to = CanvasMapping::nudged(from, *page, dx, dy, resize);
    const std::string id = selected->id;
    CommandParams params;
    params.sessionId = sessionId();
    params.annotationId = id;
    params.rect = to;
    mutate(CommandMethod::updateAnnotation, std::move(params), "Annotation updated");
    d_->nudgeBase_ = Private::NudgeBase{id, to};
}

void Workspace::promptSelectedContents() {
    const AnnotationInfo* selected = selectedOnShownPage();
    if (!selected) return;
    const AnnotationInfo shown = *selected;
    const auto typed = d_->services_.prompts->askText(
        "Edit " + shown.kind, "This changes the PDF annotation contents. Overlays are not redaction.",
        shown.contents, "Save");
    if (typed) updateSelectedContents(*typed);
}

void Workspace::updateSelectedContents(const std::string& contents) {
    const AnnotationInfo* selected = selectedOnShownPage();
    if (!selected) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.annotationId = selected->id;
    params.contents = contents;
    mutate(CommandMethod::updateAnnotation, std::move(params), "Annotation updated");
}

}  // namespace kivo
