#pragma once

// RecoverySheet: the window-modal sheet that offers the worker's recovery checkpoints of unsaved work while
// no document is open. "Recover unsaved work", a line on where checkpoints live, one row per checkpoint (the
// file name or "Untitled"; "Revision N · P pages · <time>"; "Restore" and "Discard") and "Later". 580 x 380,
// inset 20; texts follow the window's text scale; file names and times are shown as plain text.
//
// It is shown while the workspace's showRecovery holds (the window opens and closes it) and lists its
// recoveries as they change. Restore and Discard call the workspace; Discard asks first ("Discard unsaved
// work?", Cancel the default) because the checkpoint may be the only copy of that work. Later, Escape and
// closing the sheet set showRecovery to false; the checkpoints stay.

#include <QDialog>

#include "core/document_records.hpp"

class QVBoxLayout;

namespace kivo {

class Workspace;

class RecoverySheet : public QDialog {
    Q_OBJECT

public:
    RecoverySheet(Workspace& workspace, QWidget* parent);

    // The row's texts: its file name, and "Revision N · P page(s) · <updatedAt>".
    static QString rowTitle(const RecoveryInfo& recovery);
    static QString rowDetail(const RecoveryInfo& recovery);
    // The explanation of the question asked before a checkpoint is discarded.
    static QString discardExplanation(const RecoveryInfo& recovery);

    static constexpr int sheetWidth = 580;
    static constexpr int sheetHeight = 380;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuildRows();
    void confirmDiscard(const RecoveryInfo& recovery);

    Workspace& workspace_;
    QWidget* rowsBox_;
    QVBoxLayout* rows_;
};

}  // namespace kivo
