#pragma once

// The workspace asks its questions synchronously (a password, a text, a file), while the window must keep
// taking worker results. waitForDialog() shows a dialog window-modal with open() and runs a local event
// loop until it finishes, so results, repaints and timers go on meanwhile; the workspace's handlers are
// written for that. A dialog destroyed while it waits (its window closed, the editor quitting) counts as
// cancelled.

class QDialog;

namespace kivo {

// The dialog's result code: QDialog::Accepted, or QDialog::Rejected when it was cancelled or destroyed.
int waitForDialog(QDialog& dialog);

}  // namespace kivo
