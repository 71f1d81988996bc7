#pragma once

// SIGINT and SIGTERM quit the editor the way closing its window does: the signal handler only writes a
// byte to a pipe, and the GUI thread, woken by it, asks the application to quit, so aboutToQuit runs and
// the worker is stopped before the process ends. A signal that arrives while the application is already
// quitting changes nothing.

namespace kivo::QuitSignals {

// Installs the handlers; call once, after the QApplication exists. Throws std::system_error when the
// pipe cannot be made; the handlers are then left as they were.
void install();

}  // namespace kivo::QuitSignals
