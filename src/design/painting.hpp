#pragma once

// Drawing steps shared by the painted controls: rounded shapes, strokes kept inside a shape's edge, the
// keyboard focus ring, the dimming of disabled controls and stretched images.

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QString>

class QImage;
class QPainter;
class QWidget;

namespace kivo::Painting {

// Fills a rounded rectangle (a capsule when `radius` is half the height or more).
void fillRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& color);

// Strokes the rounded rectangle's outline `width` wide entirely inside `rect`, so the border never grows the
// shape; a width of 0 or a transparent colour draws nothing.
void strokeRoundedInside(QPainter& painter, const QRectF& rect, double radius, double width,
                         const QColor& color);

// The ring of a control focused from the keyboard: 2 wide in the focus colour, just inside `rect`.
void focusRing(QPainter& painter, const QRectF& rect, double radius);

// Whether `widget` has focus that came from the keyboard, which is when the ring shows.
bool showsFocusRing(const QWidget& widget);

// A symbol and a text side by side, as buttons, chips and segments show them; either may be empty.
struct Label {
    QString symbol;
    QString text;
    double symbolSide = 0;
    double spacing = 0;  // between symbol and text, only when both are there
};

QSizeF labelSize(const QFont& font, const Label& label);

// Draws `label` centred in `area`. Text too wide first shrinks, down to `minimumFontScale` of its size, then
// is elided at the end; it is drawn as plain text, never as markup.
void paintLabel(QPainter& painter, const QRectF& area, const QFont& font, const Label& label,
                const QColor& color, double minimumFontScale = 1.0);

// Draws `image` stretched into `target`, as QPainter::drawImage does, in bands of at most 64 device rows.
// Qt's raster engine splits an image it scales over more rows among its thread pool and waits for every
// part; on a busy machine each part waits for a core of its own, and the GUI thread waits with it. In
// bands the thread that paints draws it alone. An image drawn at its own size goes in one piece, a copy
// no thread pool takes part in.
void drawStretched(QPainter& painter, const QRectF& target, const QImage& image);

// Disabled controls draw at half opacity.
inline constexpr double disabledOpacity = 0.5;

}  // namespace kivo::Painting
