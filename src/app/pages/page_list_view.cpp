#include "app/pages/page_list_view.hpp"

#include <QAccessibleActionInterface>
#include <QContextMenuEvent>
#include <QDrag>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QTimer>

#include "app/pages/page_list_model.hpp"
#include "app/pages/page_row_delegate.hpp"
#include "design/theme.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/workspace.hpp"

namespace kivo {

PageListView::PageListView(Workspace& workspace, QWidget* parent)
    : QListView(parent), workspace_(workspace), model_(new PageListModel(workspace, this)) {
    setObjectName(QStringLiteral("pageList"));
    setAccessibleName(QStringLiteral("Pages"));
    setModel(model_);
    setItemDelegate(new PageRowDelegate(workspace, this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Rows are as wide as the list and elide their text; nothing is ever wider than it.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setResizeMode(QListView::Adjust);
    setFrameShape(QFrame::NoFrame);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    viewport()->setAutoFillBackground(false);
    createMenu();

    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        showWorkspacePage();
        rebuildElements();
        updateRowsOnScreenSoon();
    });
    connect(model_, &QAbstractItemModel::dataChanged, this, &PageListView::rebuildElements);
    connect(&workspace_, &WorkspaceState::selectedPageIdChanged, this, [this] {
        showWorkspacePage();
        markSelectedElement();
    });
    // A thumbnail that arrives repaints its own row only: a jump's rows come one by one, and drawing every
    // row again for each kept the GUI thread from asking for the next.
    connect(&workspace_.thumbnails(), &ThumbnailQueue::thumbnailGenerationChanged, this, [this] {
        const std::optional<std::string>& page = workspace_.thumbnails().arrivedPage();
        if (!page) return viewport()->update();
        if (const int row = model_->rowOf(*page); row >= 0)
            viewport()->update(visualRect(model_->index(row)));
    });
    showWorkspacePage();
    rebuildElements();
}

void PageListView::createMenu() {
    menu_ = new QMenu(this);
    menu_->setObjectName(QStringLiteral("pageMenu"));
    // Each item acts on the row the menu was opened on, whatever was selected before.
    const auto onMenuPage = [this](std::function<void()> act) {
        return [this, act] {
            if (menuPage_ && model_->rowOf(*menuPage_) >= 0 && workspace_.selectedPageId() != menuPage_)
                workspace_.select(*menuPage_);
            act();
        };
    };
    connect(menu_->addAction(QStringLiteral("Rotate Right")), &QAction::triggered, this,
            onMenuPage([this] { workspace_.rotateSelected(90); }));
    connect(menu_->addAction(QStringLiteral("Rotate Left")), &QAction::triggered, this,
            onMenuPage([this] { workspace_.rotateSelected(-90); }));
    connect(menu_->addAction(QStringLiteral("Delete Page")), &QAction::triggered, this,
            onMenuPage([this] { workspace_.deleteSelectedPage(); }));
    connect(menu_->addAction(QStringLiteral("Extract Page…")), &QAction::triggered, this,
            onMenuPage([this] { workspace_.extractPanel(); }));
    connect(menu_->addAction(QStringLiteral("Merge PDF…")), &QAction::triggered, this,
            onMenuPage([this] { workspace_.mergePanel(); }));
}

void PageListView::contextMenuEvent(QContextMenuEvent* event) {
    const QModelIndex row = indexAt(event->pos());
    menuPage_.reset();
    if (row.isValid()) {
        menuPage_ = row.data(PageListModel::PageIdRole).toString().toStdString();
        workspace_.select(*menuPage_);
    }
    menu_->popup(event->globalPos());
    event->accept();
}

void PageListView::showWorkspacePage() {
    const auto& shown = workspace_.selectedPageId();
    const int row = shown ? model_->rowOf(*shown) : -1;
    showingWorkspacePage_ = true;
    if (row >= 0) {
        const QModelIndex index = model_->index(row);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
        scrollTo(index);
    } else {
        selectionModel()->clear();
    }
    showingWorkspacePage_ = false;
}

void PageListView::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QListView::selectionChanged(selected, deselected);
    if (showingWorkspacePage_) return;
    const QModelIndexList rows = selected.indexes();
    if (!rows.isEmpty()) {
        workspace_.select(rows.first().data(PageListModel::PageIdRole).toString().toStdString());
    } else if (selectionModel()->selectedIndexes().isEmpty()) {
        // An emptied selection changes nothing: the shown page's row is selected again.
        QMetaObject::invokeMethod(this, &PageListView::showWorkspacePage, Qt::QueuedConnection);
    }
}

// ---- Rows on screen and their thumbnails

void PageListView::updateRowsOnScreenSoon() {
    if (screenCheckQueued_) return;
    screenCheckQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        screenCheckQueued_ = false;
        updateRowsOnScreen();
    });
}

void PageListView::updateRowsOnScreen() {
    executeDelayedItemsLayout();
    // Top to bottom, the order the thumbnails are asked for in.
    std::vector<std::string> shown;
    if (isVisible()) {
        const QRect view = viewport()->rect();
        const QModelIndex first = indexAt(QPoint(view.left() + 1, view.top()));
        for (int row = first.isValid() ? first.row() : 0; row < model_->rowCount(); ++row) {
            const QRect rect = visualRect(model_->index(row));
            if (rect.top() > view.bottom()) break;
            if (rect.intersects(view)) shown.push_back(model_->rows()[static_cast<std::size_t>(row)].id);
        }
    }
    std::set<std::string> now(shown.begin(), shown.end());
    for (const std::string& id : onScreen_) {
        if (!now.contains(id)) workspace_.thumbnails().hideThumbnail(id);
    }
    for (const std::string& id : shown) {
        if (!onScreen_.contains(id)) workspace_.thumbnails().showThumbnail(id);
    }
    onScreen_ = std::move(now);
}

void PageListView::scrollContentsBy(int dx, int dy) {
    QListView::scrollContentsBy(dx, dy);
    updateRowsOnScreenSoon();
}

void PageListView::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    updateRowsOnScreenSoon();
}

void PageListView::showEvent(QShowEvent* event) {
    QListView::showEvent(event);
    updateRowsOnScreenSoon();
}

void PageListView::hideEvent(QHideEvent* event) {
    QListView::hideEvent(event);
    updateRowsOnScreenSoon();
}

// ---- Dragging rows

void PageListView::startDrag(Qt::DropActions) {
    const QModelIndexList rows = selectedIndexes();
    if (rows.isEmpty()) return;
    QStringList ids;
    for (const QModelIndex& row : rows) ids.append(row.data(PageListModel::PageIdRole).toString());
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(mimeType), ids.join(QLatin1Char('\n')).toUtf8());
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    const QRect face = visualRect(rows.first());
    drag->setPixmap(viewport()->grab(face));
    drag->setHotSpot(viewport()->mapFromGlobal(QCursor::pos()) - face.topLeft());
    drag->exec(Qt::MoveAction);
}

int PageListView::dropRow(const QPoint& point) const {
    const QModelIndex over = indexAt(point);
    if (!over.isValid()) {
        const QModelIndex first = model_->index(0);
        return first.isValid() && point.y() < visualRect(first).top() ? 0 : model_->rowCount();
    }
    return point.y() > visualRect(over).center().y() ? over.row() + 1 : over.row();
}

void PageListView::dragEnterEvent(QDragEnterEvent* event) {
    if (!event->mimeData()->hasFormat(QString::fromLatin1(mimeType))) return event->ignore();
    event->setDropAction(Qt::MoveAction);
    event->accept();
}

void PageListView::dragMoveEvent(QDragMoveEvent* event) {
    // The base class scrolls near the edges; the drop itself is ours.
    QListView::dragMoveEvent(event);
    if (!event->mimeData()->hasFormat(QString::fromLatin1(mimeType))) return event->ignore();
    dropRow_ = dropRow(event->position().toPoint());
    viewport()->update();
    event->setDropAction(Qt::MoveAction);
    event->accept();
}

void PageListView::dragLeaveEvent(QDragLeaveEvent* event) {
    QListView::dragLeaveEvent(event);
    dropRow_ = -1;
    viewport()->update();
}

void PageListView::dropEvent(QDropEvent* event) {
    dropRow_ = -1;
    viewport()->update();
    const QMimeData* data = event->mimeData();
    if (!data->hasFormat(QString::fromLatin1(mimeType))) return event->ignore();
    std::vector<std::int64_t> from;
    for (const QString& id :
         QString::fromUtf8(data->data(QString::fromLatin1(mimeType))).split(QLatin1Char('\n'))) {
        const int row = model_->rowOf(id.toStdString());
        if (row >= 0) from.push_back(row);
    }
    // The rows stay as they are: the worker's answer brings the new order.
    if (!from.empty()) workspace_.movePage(from, dropRow(event->position().toPoint()));
    event->setDropAction(Qt::MoveAction);
    event->accept();
}

void PageListView::paintEvent(QPaintEvent* event) {
    QListView::paintEvent(event);
    if (dropRow_ < 0) return;
    const int count = model_->rowCount();
    if (count == 0) return;
    const QRect row = visualRect(model_->index(std::min(dropRow_, count - 1)));
    const int y = dropRow_ < count ? row.top() : row.bottom() + 1;
    QPainter painter(viewport());
    painter.fillRect(QRect(row.left() + 4, y - 1, row.width() - 8, 2), Theme::color(Theme::Token::accent));
}

// ---- Accessibility

void PageListView::rebuildElements() {
    elements_.clear();
    for (const PageRow& row : model_->rows()) {
        AccessibleElement element;
        element.role = QAccessible::ListItem;
        element.name = QStringLiteral("Page ") + QString::number(row.number);
        element.value = row.spokenValue();
        element.selectable = true;
        element.selected = workspace_.selectedPageId() == row.id;
        const std::string id = row.id;
        const auto move = [this, id](std::int64_t by) {
            return [this, id, by] {
                workspace_.select(id);
                workspace_.moveSelectedPage(by);
            };
        };
        element.actions = {{QAccessibleActionInterface::pressAction(), [this, id] { workspace_.select(id); }},
                           {QStringLiteral("Move page up"), move(-1)},
                           {QStringLiteral("Move page down"), move(1)}};
        elements_.push_back(std::move(element));
    }
    ++generation_;
    announceElementsChanged(this);
}

void PageListView::markSelectedElement() {
    const std::vector<PageRow>& rows = model_->rows();
    if (rows.size() != elements_.size()) return rebuildElements();
    const std::optional<std::string>& selected = workspace_.selectedPageId();
    for (std::size_t i = 0; i < rows.size(); ++i) elements_[i].selected = selected == rows[i].id;
    ++generation_;
    announceElementsChanged(this);
}

QRectF PageListView::accessibleFrame(std::size_t index) const {
    if (index >= model_->rows().size()) return {};
    return QRectF(visualRect(model_->index(static_cast<int>(index))).translated(viewport()->pos()));
}

}  // namespace kivo
