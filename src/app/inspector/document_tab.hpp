#pragma once

// DocumentTab: what the Document tab scrolls, two cards 12 apart, inset 10 (× the text scale). "Document":
// the revision, pages, form type, read-only state, save state and MCP state of the open document as the
// worker last reported them ("0", "0", "—", "No", the save chip and "Off" with none open), then the
// changed-file warning and the worker's warnings. "MCP": the switch "Allow MCP on this document"
// (disabled while no document is open), what sharing means, "Approve path…" (files or folders; disabled
// while the worker cannot take MCP clients) and "Copy MCP config", and the worker's state.
//
// Flipping the switch sets the workspace's grant, sends the grants and says so in the status line, in
// that order; a refused grant is reported by the workspace, which turns the switch back off. The tab
// keeps no state. No signals.

#include <QWidget>

class QMenu;

namespace kivo {

class CardRow;
class Chip;
class HeroButton;
class HeroSwitch;
class InlineCodeLabel;
class SaveChip;
class ScaledStack;
class StatusMessage;
class ThemedLabel;
class Workspace;

class DocumentTab : public QWidget {
    Q_OBJECT

public:
    explicit DocumentTab(Workspace& workspace, QWidget* parent = nullptr);

    static const QString workerRunningText;
    static const QString workerStoppedText;

private:
    QWidget* buildFacts(QWidget* parent);
    QWidget* buildSharing(QWidget* parent);
    void refresh();
    void refreshWarnings();

    Workspace& workspace_;
    Chip* revision_;
    ThemedLabel* pages_;
    ThemedLabel* form_;
    Chip* readOnly_;
    SaveChip* save_;
    Chip* mcp_;
    ScaledStack* warnings_;
    HeroSwitch* switch_;
    HeroButton* approve_;
    QMenu* approveMenu_;
    HeroButton* copy_;
    InlineCodeLabel* workerState_;
};

}  // namespace kivo
