#pragma once

// PageListView: the list of the document's pages in the sidebar, one row per page (PageRowDelegate draws
// them). Its single selection is the page shown: choosing a row shows that page, and the row of the page
// the workspace shows is selected; clearing the selection changes nothing.
//
// Rows on screen ask the workspace for their thumbnails and rows that leave it give them up, so only what
// is seen is rendered. Rows can be dragged to another place: the drop asks the workspace to reorder the
// pages, and the rows move when the worker's answer arrives, never before. The context menu ("Rotate
// Right", "Rotate Left", "Delete Page", "Extract Page…", "Merge PDF…") acts on the row it was opened on,
// which it shows first; opened below the rows it acts on the page shown.
//
// Assistive technologies see a list of rows named "Page n", valued "612 by 792 points, 1 annotations",
// with the actions "Move page up" and "Move page down".

#include <QListView>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/desktop/accessible_elements.hpp"

class QMenu;

namespace kivo {

class PageListModel;
class Workspace;

class PageListView : public QListView, public AccessibleElementSource {
    Q_OBJECT

public:
    PageListView(Workspace& workspace, QWidget* parent = nullptr);

    // What a dragged row carries: the ids of its pages, one a line.
    static constexpr const char* mimeType = "application/x-kivo-pdf-page-ids";

    PageListModel* pageModel() const { return model_; }
    // The ids of the rows on screen now, as last told to the workspace.
    const std::set<std::string>& rowsOnScreen() const { return onScreen_; }

    const std::vector<AccessibleElement>& accessibleElements() const override { return elements_; }
    std::uint64_t accessibleGeneration() const override { return generation_; }
    QAccessible::Role containerRole() const override { return QAccessible::List; }
    QRectF accessibleFrame(std::size_t index) const override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

private:
    void createMenu();
    // Runs `act` on the page the menu was opened on, shown first.
    void actOnMenuPage(void (Workspace::*act)());
    void showWorkspacePage();
    void updateRowsOnScreenSoon();
    void updateRowsOnScreen();
    void rebuildElements();
    // Marks the selected page's element: a thousand rows are rebuilt in milliseconds, and a page turn
    // waits for it.
    void markSelectedElement();
    // Where a drop at `point` (in the viewport) inserts: before this row; the row count for the end.
    int dropRow(const QPoint& point) const;

    Workspace& workspace_;
    PageListModel* model_;
    QMenu* menu_ = nullptr;
    std::optional<std::string> menuPage_;
    std::set<std::string> onScreen_;
    bool screenCheckQueued_ = false;
    bool showingWorkspacePage_ = false;
    int dropRow_ = -1;
    std::vector<AccessibleElement> elements_;
    std::uint64_t generation_ = 0;
};

}  // namespace kivo
