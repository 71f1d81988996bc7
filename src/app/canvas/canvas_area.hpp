#pragma once

// CanvasArea: the middle of the canvas column, on `canvas`. It shows one of three states, chosen afresh
// whenever the workspace changes: the page canvas (the shown page with its tiles, marks and selection, 24
// from the edges of a scroll area that scrolls both ways) when there is a usable image of the shown page;
// "Rendering page…" while the document has pages but no image yet, or in its place why the shown page was
// not drawn (its read cancelled or stopped for its time); otherwise the empty state ("Drop a PDF
// here", with "Open a PDF…" calling Workspace::openPanel()). The activity card floats over its bottom edge.
// Its size goes to the workspace's viewport, and the part of the page on screen to its visible canvas
// rectangle (asking for tiles), whenever they change. When the workspace moves to a search hit or a line
// (revealRequested), the selection is scrolled to the middle.
//
// It carries the canvas's drags to the workspace: the dragged rectangle becomes the selection, the ink
// stroke the ink points, and the end of each gesture goes to Workspace::applyTool().

#include <QWidget>

#include <optional>
#include <string>

#include "core/commands.hpp"
#include "design/filled_panel.hpp"
#include "workspace/open_document.hpp"
#include "workspace/workspace_types.hpp"

class QScrollArea;
class QStackedWidget;

namespace kivo {

class ActivityCard;
class EmptyStateView;
class PageCanvas;
class Workspace;

class CanvasArea : public FilledPanel {
    Q_OBJECT

public:
    enum class Shown { empty, rendering, page };

    CanvasArea(Workspace& workspace, QWidget* parent = nullptr);

    // What the page canvas calls a page: "Page " + its index + 1 + " of " + the number of adopted
    // pages (1 without a page list), in plain digits.
    static QString pageLabel(const PageInfo& page, const OpenDocument& document);

    Shown shown() const noexcept { return shown_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void refresh();
    void reportVisiblePart();
    void revealSelection();

    Workspace& workspace_;
    QStackedWidget* states_;
    EmptyStateView* empty_;
    QWidget* rendering_;
    QScrollArea* scroll_;
    PageCanvas* page_;
    ActivityCard* card_;
    Shown shown_ = Shown::empty;
    // A reveal asked for while no page, or another page's image, was shown waits for the page.
    bool revealPending_ = false;
    // Whether the image shown is of the current page, not the one before it still standing in.
    bool ownImage_ = false;
    // Another page was selected: it is shown from its top, unless a search hit or citation places it.
    bool topPending_ = false;
    // The page whose own image was shown last: a turn is an image of another page.
    std::string paintedPageId_;
};

}  // namespace kivo
