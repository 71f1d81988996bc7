#pragma once

// PageCanvas: the one page the window shows, 24 points in from its own edges under the overlay shadow.
// It draws, back to front, the rendered page image stretched to its display size, the sharper tiles at
// their frames, the search hits (yellow at 0.28 in a purple line), a mark for every annotation of the page
// (brown line 1.5, or the accent 2.5 when selected, over a brown tint: 0.12 for highlights, 0.04 for the
// rest, never smaller than 8 × 8 around its centre) and the selection (the accent at 0.16 in a dashed
// accent line). Every rectangle comes from user space through CanvasMapping, so the marks sit on what the
// worker drew on turned and cropped pages alike.
//
// The pointer: a press on the page and a move of 1 point or more start a drag. With the ink tool each move
// adds a point to a stroke that starts empty (inkDrawn); with any other tool the drag's rectangle becomes
// the selection (selectionDragged). The release reports the rectangle from press to release and the
// points (committed); a release without a drag reports a zero-size rectangle at the press point. A page
// without area draws its image only, ignores the pointer and offers only its header.
//
// The canvas keeps no document state: the column gives it everything as Inputs and carries its signals to
// the workspace. Assistive technologies see a container of the elements CanvasAccessibility describes.

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

#include "app/canvas/canvas_accessible_elements.hpp"
#include "app/desktop/accessible_elements.hpp"
#include "workspace/workspace_types.hpp"

namespace kivo {

// The fixed colours of the canvas's marks.
namespace CanvasMarks {
QColor annotation();
QColor searchOutline();
QColor searchFill();
}  // namespace CanvasMarks

class PageCanvas : public QWidget, public AccessibleElementSource {
    Q_OBJECT

public:
    struct Inputs {
        QImage image;
        // What the image is drawn at, in points; its own display size when empty.
        QSizeF imageSize;
        std::vector<PageTile> tiles;
        PageInfo page;
        EditorTool tool = EditorTool::select;
        std::optional<PDFRect> selection;
        std::vector<PDFPoint> inkPoints;
        // The document's; only those of `page` are drawn.
        std::vector<AnnotationInfo> annotations;
        std::vector<PDFRect> searchRects;
        std::optional<std::string> selectedAnnotationId;
        std::vector<TextLine> lines;
        std::string selectedText;
        QString pageLabel;
    };

    explicit PageCanvas(QWidget* parent = nullptr);

    void setInputs(Inputs inputs);
    // The workspace's ink points alone: nothing shows them, so the rest need not be rebuilt with them.
    void setInkPoints(std::vector<PDFPoint> points) { inputs_.inkPoints = std::move(points); }
    const Inputs& inputs() const { return inputs_; }
    void setActions(CanvasActions actions);
    // Blurs the page's shadow ahead of the first page image, which then paints without waiting for it.
    void prepareShadow() const;

    const QImage& image() const { return inputs_.image; }
    // The annotations of the page shown, in the document's order.
    const std::vector<AnnotationInfo>& pageAnnotations() const { return onPage_; }
    // Where the page lies in this widget; empty without an image.
    QRectF pageRect() const;
    // A user-space rectangle in this widget's coordinates.
    QRectF frameOf(const PDFRect& rect) const;
    // The user-space point under a point of this widget.
    PDFPoint pdfPoint(const QPointF& point) const;

    static constexpr int padding = 24;

    QSize sizeHint() const override;

    const std::vector<AccessibleElement>& accessibleElements() const override { return elements_; }
    std::uint64_t accessibleGeneration() const override { return generation_; }
    QAccessible::Role containerRole() const override { return QAccessible::Graphic; }

signals:
    void selectionDragged(kivo::PDFRect rect);
    void inkDrawn(std::vector<kivo::PDFPoint> points);
    void committed(kivo::PDFRect rect, std::vector<kivo::PDFPoint> points);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void paintMarks(QPainter& painter) const;
    void rebuildElements();
    // The page at its display size, from the canvas's own top left corner.
    QRectF fitted() const;
    bool takesPointer() const;

    Inputs inputs_;
    CanvasActions actions_;
    std::vector<AnnotationInfo> onPage_;
    std::optional<QPointF> press_;
    bool dragging_ = false;
    std::vector<PDFPoint> stroke_;
    std::vector<AccessibleElement> elements_;
    std::uint64_t generation_ = 0;
};

}  // namespace kivo
