#include "app/canvas/canvas_accessible_elements.hpp"

#include <QAccessibleActionInterface>

#include <algorithm>

#include "workspace/annotation_description.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/workspace.hpp"

namespace kivo::CanvasAccessibility {
namespace {

// The element's place: at least 1 point each way, from the top left corner of the mapped rectangle.
QRectF over(const Layer& layer, const PDFRect& rect) {
    const QRectF placed = layer.place ? layer.place(rect) : QRectF();
    return {placed.topLeft(), QSizeF(std::max(placed.width(), 1.0), std::max(placed.height(), 1.0))};
}

// Runs `callback` with `argument` when it is set; the elements hold it by value.
template <class Callback, class Argument>
std::function<void()> bound(const Callback& callback, Argument argument) {
    return [callback, argument] {
        if (callback) callback(argument);
    };
}

std::function<void()> bound(const std::function<void()>& callback) {
    return [callback] {
        if (callback) callback();
    };
}

}  // namespace

std::vector<AccessibleElement> headerOnly(const QString& pageLabel, const QRectF& frame) {
    // Without a page there is nothing to head: no empty heading is offered.
    if (pageLabel.isEmpty()) return {};
    AccessibleElement header;
    header.role = QAccessible::Heading;
    header.name = pageLabel;
    header.frame =
        QRectF(frame.topLeft(), QSizeF(std::max(frame.width(), 1.0), std::max(frame.height(), 1.0)));
    return {header};
}

std::vector<AccessibleElement> elements(const Layer& layer) {
    std::vector<AccessibleElement> all = headerOnly(layer.pageLabel, over(layer, layer.pageTop));
    const CanvasActions& actions = layer.actions;
    for (std::size_t i = 0; i < layer.lines.size(); ++i) {
        const auto index = static_cast<std::int64_t>(i);
        AccessibleElement line;
        line.role = QAccessible::StaticText;
        line.name = QString::fromStdString(layer.lines[i].text);
        line.frame = over(layer, layer.lines[i].rect);
        line.actions = {{QStringLiteral("Select line"), bound(actions.selectLine, index)},
                        {QStringLiteral("Highlight line"), bound(actions.highlightLine, index)},
                        {QStringLiteral("Add note to line"), bound(actions.noteLine, index)},
                        {QStringLiteral("Copy line"), bound(actions.copyLine, index)}};
        all.push_back(std::move(line));
    }
    for (const AnnotationInfo& annotation : layer.annotations) {
        AccessibleElement mark;
        mark.role = QAccessible::Button;
        mark.name = QString::fromStdString(describe(annotation));
        mark.frame = over(layer, annotation.rect);
        mark.selectable = true;
        mark.selected = layer.selectedAnnotationId == annotation.id;
        mark.actions = {
            {QAccessibleActionInterface::pressAction(), bound(actions.selectAnnotation, annotation.id)},
            {QStringLiteral("Edit contents"), bound(actions.editAnnotation, annotation.id)},
            {QStringLiteral("Delete"), bound(actions.deleteAnnotation, annotation.id)}};
        all.push_back(std::move(mark));
    }
    if (layer.selection) {
        AccessibleElement selection;
        selection.role = QAccessible::Section;
        selection.name = layer.selectedText.empty()
                             ? QStringLiteral("Selected area")
                             : QStringLiteral("Selection: ") + QString::fromStdString(layer.selectedText);
        selection.frame = over(layer, *layer.selection);
        selection.actions = {{QStringLiteral("Highlight"), bound(actions.highlightSelection)},
                             {QStringLiteral("Add note"), bound(actions.noteSelection)},
                             {QStringLiteral("Copy"), bound(actions.copySelection)}};
        all.push_back(std::move(selection));
    }
    return all;
}

CanvasActions windowActions(Workspace& workspace) {
    // Only a line the shown page has is selected; the others do nothing after a line that is not.
    const auto selectLine = [&workspace](std::int64_t line) {
        if (line < 0 || static_cast<std::size_t>(line) >= workspace.shownPage().pageLines().size())
            return false;
        workspace.selectLines(LineSelection{line, line});
        return true;
    };
    CanvasActions actions;
    actions.selectLine = [selectLine](std::int64_t line) { selectLine(line); };
    actions.highlightLine = [&workspace, selectLine](std::int64_t line) {
        if (selectLine(line)) workspace.highlightSelection();
    };
    actions.noteLine = [&workspace, selectLine](std::int64_t line) {
        if (selectLine(line)) workspace.addNoteAtSelection();
    };
    actions.copyLine = [&workspace, selectLine](std::int64_t line) {
        if (selectLine(line)) workspace.copySelection();
    };
    actions.selectAnnotation = [&workspace](const std::string& id) { workspace.selectAnnotation(id); };
    actions.editAnnotation = [&workspace](const std::string& id) {
        workspace.selectAnnotation(id);
        workspace.promptSelectedContents();
    };
    actions.deleteAnnotation = [&workspace](const std::string& id) { workspace.deleteAnnotation(id); };
    actions.highlightSelection = [&workspace] { workspace.highlightSelection(); };
    actions.noteSelection = [&workspace] { workspace.addNoteAtSelection(); };
    actions.copySelection = [&workspace] { workspace.copySelection(); };
    return actions;
}

}  // namespace kivo::CanvasAccessibility
