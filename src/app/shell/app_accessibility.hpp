#pragma once

// What assistive technologies learn about the window's own widgets, where Qt's defaults would be wrong:
// the Announcer is a status bar named by the last text it announced, with nothing inside it; the zoom
// menu's button is "Zoom" valued and described "120 percent"; the model picker is "Model", valued and
// described by the model; a widget made of accessible elements is a container of them.

namespace kivo {

// Registers the factory with Qt; the program (and each test program) calls it once at start-up, before
// any window is shown. A second call changes nothing.
void installAppAccessibility();

}  // namespace kivo
