#include "app/canvas/page_canvas.hpp"

#include <QMouseEvent>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>

#include "design/appearance.hpp"
#include "design/painting.hpp"
#include "design/shadow.hpp"
#include "workspace/canvas_mapping.hpp"

namespace kivo {
namespace CanvasMarks {

QColor annotation() {
    static const QColor brown(162, 132, 94);
    return brown;
}

QColor searchOutline() {
    static const QColor purple(175, 82, 222);
    return purple;
}

QColor searchFill() {
    static const QColor yellow = Theme::withOpacity(QColor(255, 255, 0), 0.28);
    return yellow;
}

}  // namespace CanvasMarks

namespace {

constexpr double smallestMark = 8;
constexpr double headerStrip = 12;

QPen markPen(const QColor& color, double width) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    pen.setMiterLimit(10);
    return pen;
}

// `rect` grown evenly about its centre to at least `side` each way.
QRectF atLeast(const QRectF& rect, double side) {
    const QRectF upright = rect.normalized();
    const QSizeF size(std::max(upright.width(), side), std::max(upright.height(), side));
    return {upright.center() - QPointF(size.width() / 2, size.height() / 2), size};
}

// The same pixel buffer at the same ratio: QImage's == would compare every pixel of two different ones.
bool samePixels(const QImage& a, const QImage& b) {
    return a.cacheKey() == b.cacheKey() && a.devicePixelRatio() == b.devicePixelRatio();
}

bool sameTiles(const std::vector<PageTile>& a, const std::vector<PageTile>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const PageTile& x, const PageTile& y) {
        return x.id == y.id && x.frame == y.frame && samePixels(x.image, y.image);
    });
}

}  // namespace

PageCanvas::PageCanvas(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("pageCanvas"));
    connect(&Appearance::instance(), &Appearance::schemeChanged, this, qOverload<>(&QWidget::update));
}

void PageCanvas::setInputs(Inputs inputs) {
    const QSize before = sizeHint();
    // A turn sets the inputs several times over (the page, its image, its text): a repaint for each that
    // draws the same picture again costs the page's whole area.
    const bool samePicture =
        samePixels(inputs.image, inputs_.image) && inputs.imageSize == inputs_.imageSize &&
        sameTiles(inputs.tiles, inputs_.tiles) && inputs.page == inputs_.page &&
        inputs.selection == inputs_.selection && inputs.searchRects == inputs_.searchRects &&
        inputs.selectedAnnotationId == inputs_.selectedAnnotationId;
    std::vector<AnnotationInfo> onPage;
    for (const AnnotationInfo& annotation : inputs.annotations) {
        if (annotation.pageId == inputs.page.id) onPage.push_back(annotation);
    }
    const bool sameMarks = onPage == onPage_;
    inputs_ = std::move(inputs);
    onPage_ = std::move(onPage);
    if (sizeHint() != before || size() != sizeHint()) resize(sizeHint());
    rebuildElements();
    if (!samePicture || !sameMarks) update();
}

void PageCanvas::setActions(CanvasActions actions) {
    actions_ = std::move(actions);
    rebuildElements();
}

QRectF PageCanvas::fitted() const {
    if (inputs_.image.isNull()) return {};
    return {QPointF(),
            inputs_.imageSize.isEmpty() ? inputs_.image.deviceIndependentSize() : inputs_.imageSize};
}

QRectF PageCanvas::pageRect() const { return fitted().translated(padding, padding); }

QRectF PageCanvas::frameOf(const PDFRect& rect) const {
    return CanvasMapping::pdfToView(rect, inputs_.page, fitted()).translated(padding, padding);
}

PDFPoint PageCanvas::pdfPoint(const QPointF& point) const {
    return CanvasMapping::viewToPdf(point - QPointF(padding, padding), inputs_.page, fitted());
}

QSize PageCanvas::sizeHint() const {
    const QSizeF page = fitted().size();
    return {static_cast<int>(std::ceil(page.width())) + 2 * padding,
            static_cast<int>(std::ceil(page.height())) + 2 * padding};
}

bool PageCanvas::takesPointer() const {
    return !inputs_.image.isNull() && CanvasMapping::hasArea(inputs_.page);
}

void PageCanvas::rebuildElements() {
    const QPointF offset(padding, padding);
    if (!takesPointer()) {
        const QRectF strip(pageRect().topLeft(), QSizeF(pageRect().width(), headerStrip));
        elements_ = CanvasAccessibility::headerOnly(inputs_.pageLabel, strip);
    } else {
        CanvasAccessibility::Layer layer;
        layer.pageLabel = inputs_.pageLabel;
        // A strip across the top of the page as it is shown, whichever way it is turned.
        const PDFPoint topLeft = pdfPoint(offset);
        const PDFPoint stripEnd =
            pdfPoint(offset + QPointF(fitted().width(),
                                      headerStrip * fitted().height() / std::max(inputs_.page.height, 1.0)));
        layer.pageTop = CanvasMapping::normalized(topLeft, stripEnd);
        layer.lines = inputs_.lines;
        layer.annotations = onPage_;
        layer.selection = inputs_.selection;
        layer.selectedText = inputs_.selectedText;
        layer.selectedAnnotationId = inputs_.selectedAnnotationId;
        layer.place = [this](const PDFRect& rect) { return frameOf(rect); };
        layer.actions = actions_;
        elements_ = CanvasAccessibility::elements(layer);
    }
    ++generation_;
    announceElementsChanged(this);
}

void PageCanvas::prepareShadow() const {
    Shadows::prepare(*this, 0, Shadows::overlay(Appearance::currentScheme()));
}

void PageCanvas::paintEvent(QPaintEvent*) {
    if (inputs_.image.isNull()) return;
    QPainter painter(this);
    const QRectF page = pageRect();
    Shadows::paint(painter, page, 0, Shadows::overlay(Appearance::currentScheme()));
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Stretched while its render is on the way (a stand-in, a zoom's preview), else at its own size.
    Painting::drawStretched(painter, page, inputs_.image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    for (const PageTile& tile : inputs_.tiles)
        painter.drawImage(tile.frame.translated(page.topLeft()), tile.image);
    if (!CanvasMapping::hasArea(inputs_.page)) return;
    painter.setRenderHint(QPainter::Antialiasing);
    paintMarks(painter);
}

void PageCanvas::paintMarks(QPainter& painter) const {
    for (const PDFRect& hit : inputs_.searchRects) {
        painter.setPen(markPen(CanvasMarks::searchOutline(), 1.0));
        painter.setBrush(CanvasMarks::searchFill());
        painter.drawRect(frameOf(hit).normalized());
    }
    const QColor accent = Theme::color(Theme::Token::accent);
    for (const AnnotationInfo& annotation : onPage_) {
        const bool selected = inputs_.selectedAnnotationId == annotation.id;
        painter.setPen(markPen(selected ? accent : CanvasMarks::annotation(), selected ? 2.5 : 1.5));
        painter.setBrush(
            Theme::withOpacity(CanvasMarks::annotation(), annotation.kind == "highlight" ? 0.12 : 0.04));
        painter.drawRect(atLeast(frameOf(annotation.rect), smallestMark));
    }
    if (inputs_.selection) {
        QPen dashed = markPen(accent, 1.5);
        // Qt counts dashes in pen widths: 5 points on, 3 off.
        dashed.setDashPattern({5 / 1.5, 3 / 1.5});
        painter.setPen(dashed);
        painter.setBrush(Theme::withOpacity(accent, 0.16));
        painter.drawRect(frameOf(*inputs_.selection).normalized());
    }
}

void PageCanvas::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !takesPointer() || !pageRect().contains(event->position())) {
        QWidget::mousePressEvent(event);
        return;
    }
    press_ = event->position();
    dragging_ = false;
    event->accept();
}

void PageCanvas::mouseMoveEvent(QMouseEvent* event) {
    if (!press_) return QWidget::mouseMoveEvent(event);
    const QPointF at = event->position();
    if (!dragging_) {
        if (std::hypot(at.x() - press_->x(), at.y() - press_->y()) < 1) return;
        dragging_ = true;
        // Whatever an earlier stroke left behind is not part of this one.
        stroke_.clear();
    }
    if (inputs_.tool == EditorTool::ink) {
        stroke_.push_back(pdfPoint(at));
        emit inkDrawn(stroke_);
    } else {
        emit selectionDragged(CanvasMapping::normalized(pdfPoint(*press_), pdfPoint(at)));
    }
}

void PageCanvas::mouseReleaseEvent(QMouseEvent* event) {
    if (!press_ || event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
    const PDFPoint start = pdfPoint(*press_);
    // A click is the point it was made at, so a note lands there and an annotation there is chosen.
    const PDFRect rect = CanvasMapping::normalized(start, dragging_ ? pdfPoint(event->position()) : start);
    const std::vector<PDFPoint> points =
        dragging_ && inputs_.tool == EditorTool::ink ? stroke_ : inputs_.inkPoints;
    press_.reset();
    dragging_ = false;
    emit committed(rect, points);
}

}  // namespace kivo
