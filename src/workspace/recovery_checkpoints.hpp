#pragma once

// The recovery checkpoints the worker keeps of unsaved work, as the window lists them: listing them
// into `recoveries` (offered by `showRecovery` while no document is open), discarding one, and the
// name a checkpoint is shown by. Restoring one opens it as the document, which the workspace does.
// GUI thread only; every request goes through the CommandSender. Nothing here throws: a failure ends
// in the state's `errorMessage`. Each property changes with one signal, emitted only on a real change.

#include <QObject>

#include <string>
#include <vector>

#include "core/document_records.hpp"

namespace kivo {

class CommandSender;
class WorkspaceState;

class RecoveryCheckpoints : public QObject {
    Q_OBJECT
    Q_PROPERTY(
        std::vector<RecoveryInfo> recoveries READ recoveries WRITE setRecoveries NOTIFY recoveriesChanged)
    Q_PROPERTY(bool showRecovery READ showRecovery WRITE setShowRecovery NOTIFY showRecoveryChanged)

public:
    // `state` and `link` must outlive the checkpoints.
    RecoveryCheckpoints(WorkspaceState& state, CommandSender& link, QObject* parent = nullptr);

    const std::vector<RecoveryInfo>& recoveries() const { return recoveries_; }
    bool showRecovery() const { return showRecovery_; }

    // Lists the checkpoints into `recoveries`, offering them while no document is open.
    void refresh();
    // The offer is put aside (answered, or one of them restored) until the next listing.
    void dismiss();
    // Deletes a checkpoint, then lists them again.
    void discard(const std::string& recoveryId);
    // The file name of the listed checkpoint's document, else "this PDF".
    std::string name(const std::string& recoveryId) const;

signals:
    void recoveriesChanged();
    void showRecoveryChanged();

private:
    void setRecoveries(std::vector<RecoveryInfo> value);
    void setShowRecovery(bool value);

    WorkspaceState& state_;
    CommandSender& link_;
    std::vector<RecoveryInfo> recoveries_;
    bool showRecovery_ = false;
};

}  // namespace kivo
