#pragma once

// The interface text scale at the root of a window's widgets: the one stored number that enlarges every
// text of the editor. apply() gives it to the design's controls and labels below the root (which read it
// through TextScale), makes the root's default font 13 points times the scale, and answers the control
// size that the window's own standard controls (tool bar icons) take from it. The default push button
// and the accent tint need nothing here: the design's proxy style and palette give them to every widget.

class QWidget;

namespace kivo {

enum class ControlSize { regular, large, extraLarge };

namespace InterfaceTextScale {

// regular below 1.3, large from 1.3 and below 1.75, extraLarge from 1.75.
ControlSize controlSize(double scale) noexcept;

// The side of a tool bar icon of `size`, in logical pixels: 16, 20 or 24.
int iconSide(ControlSize size) noexcept;

// The size of the root's default font at `scale`, in points (logical pixels).
double defaultFontPoints(double scale) noexcept;

// Sets `scale` on `root` and everything below it (values at or below 0 count as 1.0). Never fails.
void apply(QWidget* root, double scale);

}  // namespace InterfaceTextScale
}  // namespace kivo
