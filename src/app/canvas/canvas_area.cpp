#include "app/canvas/canvas_area.hpp"

#include <cmath>
#include <utility>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/canvas/activity_card.hpp"
#include "app/canvas/canvas_accessible_elements.hpp"
#include "app/canvas/page_canvas.hpp"
#include "design/appearance.hpp"
#include "design/empty_state_view.hpp"
#include "design/hero_button.hpp"
#include "design/spinner.hpp"
#include "design/themed_label.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int renderingSpacing = 10;
constexpr int renderingMargin = 48;

QWidget* makeRenderingState(QWidget* parent) {
    auto* state = new QWidget(parent);
    state->setObjectName(QStringLiteral("renderingState"));
    auto* spinner = new Spinner(state);
    spinner->setObjectName(QStringLiteral("renderingSpinner"));
    auto* text = new ThemedLabel(QStringLiteral("Rendering page…"), ScaledTextStyle::callout, QFont::Normal,
                                 Theme::Token::muted, state);
    text->setObjectName(QStringLiteral("renderingText"));
    // A page that could not be drawn says why here, in a sentence that may not fit one line.
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignCenter);
    auto* stack = new QVBoxLayout(state);
    stack->setSpacing(renderingSpacing);
    stack->setContentsMargins(renderingMargin, 0, renderingMargin, 0);
    stack->addStretch(1);
    stack->addWidget(spinner, 0, Qt::AlignHCenter);
    // Across the canvas's width, so that a wrapped sentence is laid out at the height it needs.
    stack->addWidget(text);
    stack->addStretch(1);
    return state;
}

}  // namespace

QString CanvasArea::pageLabel(const PageInfo& page, const OpenDocument& document) {
    // The page labelled is one of the document's, so it counts at least itself.
    const std::size_t count = std::max<std::size_t>(document.pageCount(), 1);
    return QStringLiteral("Page %1 of %2").arg(QString::number(page.index + 1), QString::number(count));
}

CanvasArea::CanvasArea(Workspace& workspace, QWidget* parent)
    : FilledPanel(Theme::Token::canvas, parent),
      workspace_(workspace),
      states_(new QStackedWidget(this)),
      empty_(new EmptyStateView(
          QStringLiteral("doc.richtext"), QStringLiteral("Drop a PDF here"),
          QStringLiteral("Local files only. The same commands drive the canvas, the CLI, and MCP."),
          new HeroButton(QStringLiteral("Open a PDF…"), HeroButtonVariant::primary, HeroButtonSize::md),
          this)),
      rendering_(makeRenderingState(this)),
      scroll_(new QScrollArea(this)),
      page_(new PageCanvas()),
      card_(new ActivityCard(workspace, this)) {
    setObjectName(QStringLiteral("canvasArea"));
    // A click on the canvas takes the keyboard from the fields, so the window's keys act on the page; Tab
    // reaches it too, between the canvas bar and the inspector, for a person without a pointer.
    setFocusPolicy(Qt::StrongFocus);
    empty_->setObjectName(QStringLiteral("emptyState"));
    scroll_->setObjectName(QStringLiteral("pageScroll"));
    // A click on the page focuses this area, not the scroll area, which would take the arrow keys for
    // scrolling: the arrows nudge the selected annotation.
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setAlignment(Qt::AlignCenter);
    scroll_->setWidget(page_);
    // The scroll area fills its widget with the window colour; the canvas shows through, one colour
    // around the page however narrow it is.
    page_->setAutoFillBackground(false);
    scroll_->viewport()->setAutoFillBackground(false);
    // The empty state sits centred at its natural height.
    auto* emptyBox = new QWidget(this);
    auto* centred = new QVBoxLayout(emptyBox);
    centred->addStretch(1);
    centred->addWidget(empty_);
    centred->addStretch(1);
    states_->addWidget(emptyBox);
    states_->addWidget(rendering_);
    states_->addWidget(scroll_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(states_);
    card_->raise();

    connect(static_cast<HeroButton*>(empty_->action()), &HeroButton::clicked, &workspace_,
            &Workspace::openPanel);
    page_->setActions(CanvasAccessibility::windowActions(workspace_));
    connect(page_, &PageCanvas::selectionDragged, &workspace_,
            [this](const PDFRect& rect) { workspace_.selectArea(rect); });
    connect(page_, &PageCanvas::inkDrawn, &workspace_,
            [this](const std::vector<PDFPoint>& points) { workspace_.drawInk(points); });
    connect(page_, &PageCanvas::committed, &workspace_,
            [this](const PDFRect& rect, const std::vector<PDFPoint>& points) {
                workspace_.applyTool(rect, points);
            });
    // Before the refresh below, which scrolls once the page is up.
    connect(&workspace_, &WorkspaceState::selectedPageIdChanged, this, [this] { topPending_ = true; });
    for (const auto changed :
         {&WorkspaceState::inspectChanged, &WorkspaceState::selectedPageIdChanged,
          &WorkspaceState::toolChanged, &WorkspaceState::selectionChanged, &WorkspaceState::searchHitsChanged,
          &WorkspaceState::selectedAnnotationIdChanged, &WorkspaceState::selectedTextChanged})
        connect(&workspace_, changed, this, &CanvasArea::refresh);
    for (const auto changed :
         {&ShownPage::pageImageChanged, &ShownPage::pageTilesChanged, &ShownPage::pageLinesChanged})
        connect(&workspace_.shownPage(), changed, this, &CanvasArea::refresh);
    // Each pointer move of an ink stroke changes these; rebuilding the page's marks and elements for it
    // would cost a copy of every annotation per move.
    connect(&workspace_, &WorkspaceState::inkPointsChanged, this,
            [this] { page_->setInkPoints(workspace_.inkPoints()); });
    connect(&workspace_, &Workspace::revealRequested, this, [this] {
        revealPending_ = true;
        revealSelection();
    });
    for (QScrollBar* bar : {scroll_->horizontalScrollBar(), scroll_->verticalScrollBar()}) {
        connect(bar, &QScrollBar::valueChanged, this, &CanvasArea::reportVisiblePart);
        connect(bar, &QScrollBar::rangeChanged, this, &CanvasArea::reportVisiblePart);
    }
    refresh();
}

void CanvasArea::refresh() {
    const QImage& image = workspace_.shownPage().pageImage();
    const OpenDocument document = workspace_.document();
    const std::optional<PageInfo> page = workspace_.currentPage();
    const Shown before = shown_;
    PageCanvas::Inputs inputs;
    bool turned = false;
    // A page whose read was cancelled or stopped says so, rather than showing the page before it.
    const std::optional<std::string> notDrawn = workspace_.shownPage().notDrawnReason();
    if (!notDrawn && !image.isNull() && page && image.deviceIndependentSize().width() > 1.0) {
        shown_ = Shown::page;
        inputs.image = image;
        inputs.imageSize = workspace_.shownPage().pageSize();
        inputs.tiles = workspace_.shownPage().pageTiles();
        inputs.page = *page;
        inputs.tool = workspace_.tool();
        // Another page's image stays up until something of this one is at hand; this page's marks,
        // hits and selection drawn over it would point at words that are not there.
        ownImage_ = workspace_.shownPage().imagePageId() == page->id;
        turned = ownImage_ && std::exchange(paintedPageId_, page->id) != page->id;
        if (ownImage_) {
            inputs.selection = workspace_.selection();
            inputs.inkPoints = workspace_.inkPoints();
            inputs.annotations.assign(document.annotations().begin(), document.annotations().end());
            for (const SearchHit& hit : workspace_.searchHits()) {
                if (hit.pageId == page->id)
                    inputs.searchRects.insert(inputs.searchRects.end(), hit.rects.begin(), hit.rects.end());
            }
            inputs.selectedAnnotationId = workspace_.selectedAnnotationId();
            inputs.lines = workspace_.shownPage().pageLines();
            inputs.selectedText = workspace_.selectedText();
        }
        inputs.pageLabel = pageLabel(*page, document);
        setAccessibleName(inputs.pageLabel);
    } else if (document.pageCount() > 0) {
        shown_ = Shown::rendering;
        rendering_->findChild<QWidget*>(QStringLiteral("renderingSpinner"))->setVisible(!notDrawn);
        rendering_->findChild<QLabel*>(QStringLiteral("renderingText"))
            ->setText(notDrawn ? QString::fromStdString(*notDrawn) : QStringLiteral("Rendering page…"));
        // Once the render on its way has been asked for: the worker renders while this thread blurs.
        QTimer::singleShot(0, page_, [canvas = page_] { canvas->prepareShadow(); });
    } else {
        shown_ = Shown::empty;
    }
    if (shown_ != Shown::page) setAccessibleName(QStringLiteral("Page"));
    page_->setInputs(std::move(inputs));
    states_->setCurrentIndex(static_cast<int>(shown_));
    if (topPending_ && shown_ == Shown::page) {
        topPending_ = false;
        QScrollBar* bar = scroll_->verticalScrollBar();
        if (!revealPending_) bar->setValue(bar->minimum());
    }
    reportVisiblePart();
    if (revealPending_) revealSelection();
    // The first page image goes on screen now: an update would wait behind every reply already queued
    // (the page's text, the thumbnails), as the window's repaint comes last among posted events.
    if (before != Shown::page && shown_ == Shown::page && isVisible()) {
        // The scroll area shows or hides its bars in a queued call: made first, so that this frame has
        // them and the page is not drawn over where a bar is about to appear.
        QCoreApplication::sendPostedEvents(scroll_, QEvent::MetaCall);
        repaint();
    } else if (turned && isVisible() &&
               std::abs(image.devicePixelRatio() - page_->devicePixelRatioF()) < 0.01) {
        // Another page's own image, at its own size: on screen now, not after the rest of the turn and the
        // events queued behind it (a few milliseconds a page). A reduced image waits for the tiles that
        // sharpen it, so that it does not show blurred for a frame; the layouts go first, so that the
        // status bar is not drawn where its chips are about to move.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::sendPostedEvents(scroll_, QEvent::MetaCall);
        page_->repaint();
    }
}

void CanvasArea::revealSelection() {
    const auto& selection = workspace_.selection();
    if (!selection) {
        revealPending_ = false;
        return;
    }
    if (shown_ != Shown::page || !ownImage_) return;
    revealPending_ = false;
    // Half the view as the margin on each side puts the selection's centre in the middle.
    const QPointF centre = page_->frameOf(*selection).normalized().center();
    const QSize view = scroll_->viewport()->size();
    scroll_->ensureVisible(static_cast<int>(std::lround(centre.x())),
                           static_cast<int>(std::lround(centre.y())), view.width() / 2, view.height() / 2);
}

void CanvasArea::reportVisiblePart() {
    if (shown_ != Shown::page) return;
    // The scroll area's viewport in the page's own points, origin at the page's top-left corner.
    const QRectF page = page_->pageRect();
    const QRectF viewport(QPointF(-page_->pos()) - page.topLeft(), QSizeF(scroll_->viewport()->size()));
    QRectF visible = viewport.intersected(QRectF(QPointF(), page.size()));
    if (visible.isEmpty()) visible = QRectF();
    if (visible == workspace_.shownPage().visibleCanvasRect()) return;
    workspace_.shownPage().setVisibleCanvasRect(visible);
    workspace_.shownPage().updateTiles();
}

// The area keeps the keyboard so that the arrows nudge; Page Down and Page Up still page through the
// page, as they would in the scroll area.
void CanvasArea::keyPressEvent(QKeyEvent* event) {
    const bool paging = event->key() == Qt::Key_PageDown || event->key() == Qt::Key_PageUp;
    if (shown_ != Shown::page || !paging || event->modifiers() != Qt::NoModifier) {
        FilledPanel::keyPressEvent(event);
        return;
    }
    scroll_->verticalScrollBar()->triggerAction(event->key() == Qt::Key_PageDown
                                                    ? QAbstractSlider::SliderPageStepAdd
                                                    : QAbstractSlider::SliderPageStepSub);
}

void CanvasArea::resizeEvent(QResizeEvent* event) {
    FilledPanel::resizeEvent(event);
    card_->placeIn(rect());
    workspace_.shownPage().setScrollBarWidth(scroll_->verticalScrollBar()->sizeHint().width());
    workspace_.shownPage().setViewport(QSizeF(event->size()));
    reportVisiblePart();
}

}  // namespace kivo
