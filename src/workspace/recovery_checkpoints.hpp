#pragma once

// The recovery checkpoints the worker keeps of unsaved work, as the window lists them: listing them
// into `recoveries` (offered by `showRecovery` while no document is open), discarding one, and the
// name a checkpoint is shown by. Restoring one opens it as the document, which the workspace does.
// GUI thread only; every request goes through the WorkerLink. Nothing here throws: a failure ends
// in `errorMessage`.

#include <QObject>

#include <string>

namespace kivo {

class WorkerLink;
class WorkspaceState;

class RecoveryCheckpoints : public QObject {
    Q_OBJECT

public:
    // `state` and `link` must outlive the checkpoints.
    RecoveryCheckpoints(WorkspaceState& state, WorkerLink& link, QObject* parent = nullptr);

    // Lists the checkpoints into `recoveries`.
    void refresh();
    // Deletes a checkpoint, then lists them again.
    void discard(const std::string& recoveryId);
    // The file name of the listed checkpoint's document, else "this PDF".
    std::string name(const std::string& recoveryId) const;

private:
    WorkspaceState& state_;
    WorkerLink& link_;
};

}  // namespace kivo
