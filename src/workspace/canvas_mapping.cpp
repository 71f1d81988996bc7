#include "workspace/canvas_mapping.hpp"

#include <algorithm>

namespace kivo::CanvasMapping {
namespace {

// Quarter turns clockwise, 0 to 3, whatever the record holds.
int turns(const PageInfo& page) noexcept { return static_cast<int>(((page.rotation % 4) + 4) % 4); }

double positive(double side) noexcept { return side > 0 ? side : 1; }

// A point of the crop box as fractions of its sides, from its top left corner before the turn.
struct Unit {
    double across = 0;
    double down = 0;
};

// The same fractions once the box is turned `quarterTurns` clockwise.
Unit turned(Unit unit, int quarterTurns) noexcept {
    switch (quarterTurns) {
        case 1: return {1 - unit.down, unit.across};
        case 2: return {1 - unit.across, 1 - unit.down};
        case 3: return {unit.down, 1 - unit.across};
        default: return unit;
    }
}

Unit unturned(Unit unit, int quarterTurns) noexcept {
    switch (quarterTurns) {
        case 1: return {unit.down, 1 - unit.across};
        case 2: return {1 - unit.across, 1 - unit.down};
        case 3: return {1 - unit.down, unit.across};
        default: return unit;
    }
}

}  // namespace

bool hasArea(const PageInfo& page) noexcept {
    const PDFRect box = page.cropBox();
    return page.width > 0 && page.height > 0 && box.width() > 0 && box.height() > 0;
}

QPointF pdfToView(const PDFPoint& point, const PageInfo& page, const QRectF& fitted) noexcept {
    const PDFRect box = page.cropBox();
    const Unit unit{(point.x - box.left) / positive(box.width()),
                    (box.top - point.y) / positive(box.height())};
    const Unit shown = turned(unit, turns(page));
    return {fitted.left() + shown.across * fitted.width(), fitted.top() + shown.down * fitted.height()};
}

QRectF pdfToView(const PDFRect& rect, const PageInfo& page, const QRectF& fitted) noexcept {
    // The corners that are top left and bottom right on screen, for each turn.
    PDFPoint first{rect.left, rect.top};
    PDFPoint second{rect.right, rect.bottom};
    switch (turns(page)) {
        case 1:
            first = {rect.left, rect.bottom};
            second = {rect.right, rect.top};
            break;
        case 2:
            first = {rect.right, rect.bottom};
            second = {rect.left, rect.top};
            break;
        case 3:
            first = {rect.right, rect.top};
            second = {rect.left, rect.bottom};
            break;
        default: break;
    }
    const QPointF topLeft = pdfToView(first, page, fitted);
    const QPointF bottomRight = pdfToView(second, page, fitted);
    return {topLeft, QSizeF(bottomRight.x() - topLeft.x(), bottomRight.y() - topLeft.y())};
}

PDFPoint viewToPdf(const QPointF& point, const PageInfo& page, const QRectF& fitted) noexcept {
    const PDFRect box = page.cropBox();
    const Unit shown{(point.x() - fitted.left()) / std::max(fitted.width(), 1.0),
                     (point.y() - fitted.top()) / std::max(fitted.height(), 1.0)};
    const Unit unit = unturned(shown, turns(page));
    return {box.left + unit.across * box.width(), box.top - unit.down * box.height()};
}

PDFRect normalized(const PDFPoint& a, const PDFPoint& b) noexcept {
    return {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
}

PDFRect nudged(const PDFRect& rect, const PageInfo& page, double dx, double dy, bool resize) noexcept {
    // Which user-space direction is right and which is up on screen, for each turn.
    double alongX = dx;
    double alongY = dy;
    switch (turns(page)) {
        case 1: alongX = -dy, alongY = dx; break;
        case 2: alongX = -dx, alongY = -dy; break;
        case 3: alongX = dy, alongY = -dx; break;
        default: break;
    }
    if (!resize) return {rect.left + alongX, rect.bottom + alongY, rect.right + alongX, rect.top + alongY};
    // The edges shown on the right and at the top move; the corner shown bottom left stays.
    PDFRect to = rect;
    switch (turns(page)) {
        case 1: to.top += alongY, to.left += alongX; break;
        case 2: to.left += alongX, to.bottom += alongY; break;
        case 3: to.bottom += alongY, to.right += alongX; break;
        default: to.right += alongX, to.top += alongY; break;
    }
    return to;
}

}  // namespace kivo::CanvasMapping
