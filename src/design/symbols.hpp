#pragma once

// The editor's symbol images: our own SVGs bundled as Qt resources under ":/kivo/symbols/<name>.svg",
// named as the design names them ("checkmark", "doc.richtext", "arrow.uturn.backward", ...). Each is drawn
// as an alpha shape tinted with one colour, so any token can colour it. GUI thread only.

#include <QColor>
#include <QRectF>
#include <QString>
#include <QStringList>

class QPainter;

namespace kivo::Symbols {

// Every bundled name, sorted.
QStringList names();

bool exists(const QString& name);

// Draws symbol `name` fitted into `box` (keeping its square shape, centred), in `color`. An unknown or empty
// name draws nothing.
void paint(QPainter& painter, const QRectF& box, const QString& name, const QColor& color);

// The side of a symbol set beside text of `fontPixels` logical pixels.
double sideForFont(double fontPixels) noexcept;

}  // namespace kivo::Symbols
