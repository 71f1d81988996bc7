#pragma once

// What the page canvas offers assistive technologies in place of its drawing: an element for the page's
// header strip, one per text line, one per annotation of the page and one for the selection, each over
// its part of the page and each with the editing actions of CanvasActions. The window fills the actions
// with workspace operations; the canvas only carries them. Pure: it builds descriptions, shows nothing.

#include <QRectF>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/desktop/accessible_elements.hpp"
#include "core/document_records.hpp"
#include "core/page_text.hpp"

namespace kivo {

class Workspace;

// The ten things a person can do to the page through its elements. Empty callbacks do nothing.
struct CanvasActions {
    std::function<void(std::int64_t line)> selectLine;
    std::function<void(std::int64_t line)> highlightLine;
    std::function<void(std::int64_t line)> noteLine;
    std::function<void(std::int64_t line)> copyLine;
    std::function<void(const std::string& id)> selectAnnotation;
    std::function<void(const std::string& id)> editAnnotation;
    std::function<void(const std::string& id)> deleteAnnotation;
    std::function<void()> highlightSelection;
    std::function<void()> noteSelection;
    std::function<void()> copySelection;
};

namespace CanvasAccessibility {

// What the layer is made from; `annotations` are this page's only.
struct Layer {
    QString pageLabel;
    PDFRect pageTop;
    std::vector<TextLine> lines;
    std::vector<AnnotationInfo> annotations;
    std::optional<PDFRect> selection;
    std::string selectedText;
    std::optional<std::string> selectedAnnotationId;
    // The canvas's mapping from user space to its own points.
    std::function<QRectF(const PDFRect&)> place;
    CanvasActions actions;
};

// The elements in order: header, lines, annotations, selection. Each frame is place()'s rectangle made
// at least 1 point wide and high, from its top left corner.
std::vector<AccessibleElement> elements(const Layer& layer);

// Only the header, for a page that has nothing else to offer.
std::vector<AccessibleElement> headerOnly(const QString& pageLabel, const QRectF& frame);

// The window's actions: each calls the workspace as the window's keys and menus would.
CanvasActions windowActions(Workspace& workspace);

}  // namespace CanvasAccessibility
}  // namespace kivo
