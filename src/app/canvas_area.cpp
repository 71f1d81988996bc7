#include "app/canvas_area.hpp"

#include <cmath>

#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/activity_card.hpp"
#include "app/spinner.hpp"
#include "design/appearance.hpp"
#include "design/empty_state_view.hpp"
#include "design/hero_button.hpp"
#include "design/shadow.hpp"
#include "design/themed_label.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int renderingSpacing = 10;

QWidget* makeRenderingState(QWidget* parent) {
    auto* state = new QWidget(parent);
    state->setObjectName(QStringLiteral("renderingState"));
    auto* spinner = new Spinner(state);
    auto* text = new ThemedLabel(QStringLiteral("Rendering page…"), ScaledTextStyle::callout, QFont::Normal,
                                 Theme::Token::muted, state);
    auto* stack = new QVBoxLayout(state);
    stack->setSpacing(renderingSpacing);
    stack->addStretch(1);
    stack->addWidget(spinner, 0, Qt::AlignHCenter);
    stack->addWidget(text, 0, Qt::AlignHCenter);
    stack->addStretch(1);
    return state;
}

}  // namespace

CanvasArea::CanvasArea(Workspace& workspace, QWidget* parent)
    : FilledPanel(Theme::Token::canvas, parent),
      workspace_(workspace),
      states_(new QStackedWidget(this)),
      empty_(new EmptyStateView(
          QStringLiteral("doc.richtext"), QStringLiteral("Drop a PDF here"),
          QStringLiteral("Local files only. The same commands drive the canvas, the CLI, and MCP."),
          new HeroButton(QStringLiteral("Open a PDF…"), HeroButtonVariant::primary, HeroButtonSize::md), this)),
      rendering_(makeRenderingState(this)),
      scroll_(new QScrollArea(this)),
      page_(new PageImageView()),
      card_(new ActivityCard(workspace, this)) {
    setObjectName(QStringLiteral("canvasArea"));
    // A click on the canvas takes the keyboard from the fields, so the window's keys act on the page.
    setFocusPolicy(Qt::ClickFocus);
    empty_->setObjectName(QStringLiteral("emptyState"));
    scroll_->setObjectName(QStringLiteral("pageScroll"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setAlignment(Qt::AlignCenter);
    scroll_->setWidget(page_);
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

    connect(static_cast<HeroButton*>(empty_->action()), &HeroButton::clicked, &workspace_, &Workspace::openPanel);
    for (const auto changed : {&WorkspaceState::pageImageChanged, &WorkspaceState::pageTilesChanged,
                               &WorkspaceState::inspectChanged, &WorkspaceState::selectedPageIdChanged})
        connect(&workspace_, changed, this, &CanvasArea::refresh);
    for (QScrollBar* bar : {scroll_->horizontalScrollBar(), scroll_->verticalScrollBar()}) {
        connect(bar, &QScrollBar::valueChanged, this, &CanvasArea::reportVisiblePart);
        connect(bar, &QScrollBar::rangeChanged, this, &CanvasArea::reportVisiblePart);
    }
    refresh();
}

void CanvasArea::refresh() {
    const QImage& image = workspace_.pageImage();
    const auto& inspect = workspace_.inspect();
    if (!image.isNull() && workspace_.currentPage() && image.deviceIndependentSize().width() > 1.0) {
        shown_ = Shown::page;
        page_->setImage(image, workspace_.pageTiles());
    } else if (inspect && inspect->pages && !inspect->pages->empty()) {
        shown_ = Shown::rendering;
    } else {
        shown_ = Shown::empty;
    }
    if (shown_ != Shown::page) page_->setImage(QImage(), {});
    states_->setCurrentIndex(static_cast<int>(shown_));
    reportVisiblePart();
}

void CanvasArea::reportVisiblePart() {
    if (shown_ != Shown::page) return;
    // The scroll area's viewport in the page's own points, origin at the page's top-left corner.
    const QRectF page = page_->pageRect();
    const QRectF viewport(QPointF(-page_->pos()) - page.topLeft(), QSizeF(scroll_->viewport()->size()));
    QRectF visible = viewport.intersected(QRectF(QPointF(), page.size()));
    if (visible.isEmpty()) visible = QRectF();
    if (visible == workspace_.visibleCanvasRect()) return;
    workspace_.setVisibleCanvasRect(visible);
    workspace_.updateTiles();
}

void CanvasArea::resizeEvent(QResizeEvent* event) {
    FilledPanel::resizeEvent(event);
    card_->placeIn(rect());
    workspace_.setViewport(QSizeF(event->size()));
    reportVisiblePart();
}

PageImageView::PageImageView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("pageImage"));
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, qOverload<>(&QWidget::update));
}

void PageImageView::setImage(const QImage& image, std::vector<PageTile> tiles) {
    image_ = image;
    tiles_ = std::move(tiles);
    resize(sizeHint());
    update();
}

QRectF PageImageView::pageRect() const {
    if (image_.isNull()) return {};
    return {QPointF(padding, padding), image_.deviceIndependentSize()};
}

QSize PageImageView::sizeHint() const {
    const QSizeF page = image_.isNull() ? QSizeF() : image_.deviceIndependentSize();
    return {static_cast<int>(std::ceil(page.width())) + 2 * padding,
            static_cast<int>(std::ceil(page.height())) + 2 * padding};
}

void PageImageView::paintEvent(QPaintEvent*) {
    if (image_.isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF page = pageRect();
    Shadows::paint(painter, page, 0, Shadows::overlay(Appearance::currentScheme()));
    painter.drawImage(page, image_);
    for (const PageTile& tile : tiles_) painter.drawImage(tile.frame.translated(page.topLeft()), tile.image);
}

}  // namespace kivo
