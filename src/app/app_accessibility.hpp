#pragma once

// What assistive technologies learn about the window's own widgets, where Qt's defaults would be wrong:
// a StatusMessage is one static-text element ("Warning: " or "Error: " and its message) with nothing
// inside it; the Announcer is a status bar named by the last text it announced; a RowButton is one button
// named by its accessible name, selected while it says so; the zoom menu's button is "Zoom" valued and
// described "120 percent"; the model picker is "Model", valued and described by the model; a widget made
// of accessible elements is a container of them.

namespace kivo {

// Registers the factory with Qt; every such widget calls it, only the first call counts.
void installAppAccessibility();

}  // namespace kivo
