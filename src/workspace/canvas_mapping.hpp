#pragma once

// Where a page's PDF user space lands on the canvas, and back. The canvas shows the page's crop box
// turned clockwise by its quarter turns and stretched over `fitted` (origin at the top left, y growing
// down); the worker speaks of rectangles and points in user space (origin at the bottom left of the
// page's user space, y growing up), so every mark, selection, accessibility frame and new annotation
// goes through these two directions, which undo each other. Pure functions of numbers; nothing fails.
//
// A page whose crop box has no area (or whose record says so) has no mapping worth drawing: the canvas
// asks `hasArea` first and then draws its image only. The functions still answer finite numbers for it.

#include <QPointF>
#include <QRectF>

#include "core/document_records.hpp"

namespace kivo::CanvasMapping {

// Whether the page's crop box and its shown size both have an area.
bool hasArea(const PageInfo& page) noexcept;

// The point of the canvas showing user-space point `point`.
QPointF pdfToView(const PDFPoint& point, const PageInfo& page, const QRectF& fitted) noexcept;

// The canvas rectangle of a user-space rectangle: its corners are the images of the corners that land
// top left and bottom right for an ordered rectangle, so a reversed rectangle keeps a negative size.
QRectF pdfToView(const PDFRect& rect, const PageInfo& page, const QRectF& fitted) noexcept;

// The user-space point under canvas point `point`; nothing is clamped to the page. A fitted side of
// 1 point or less counts as 1.
PDFPoint viewToPdf(const QPointF& point, const PageInfo& page, const QRectF& fitted) noexcept;

// The smallest rectangle with both points as corners.
PDFRect normalized(const PDFPoint& a, const PDFPoint& b) noexcept;

// `rect` moved (or, with `resize`, its right and top edges moved) by (dx, dy) as the page is shown:
// dx to the right, dy up the screen, in points. On an unturned page that is dx and dy in user space.
PDFRect nudged(const PDFRect& rect, const PageInfo& page, double dx, double dy, bool resize) noexcept;

}  // namespace kivo::CanvasMapping
