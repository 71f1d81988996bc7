#pragma once

// StatusBar: the strip under the canvas. On the left the workspace's status line (caption, muted, one
// line cut short with an ellipsis, selectable); on the right chips for the page shown ("Page 3 of 12",
// numbers in the user's locale), the revision ("Rev 7", read as "Revision 7"), MCP sharing ("MCP on")
// and the save state. Items 8 apart, inset 12 left and right and 6 top and bottom, times the text scale;
// `background` with a separator line along the top. It only reads the workspace: no signals, no commands.

#include <optional>

#include <QLocale>
#include <QString>

#include "core/commands.hpp"
#include "design/filled_panel.hpp"
#include "workspace/workspace.hpp"

class QHBoxLayout;

namespace kivo {

class Chip;
class ElidingLabel;
class SaveChip;

class StatusBar : public FilledPanel {
    Q_OBJECT

public:
    StatusBar(Workspace& workspace, QWidget* parent = nullptr);

    // "Page " + position + " of " + count in `locale`'s digits, or nothing when the page shown is not
    // in the adopted page list.
    static std::optional<QString> pageChipText(const std::optional<PageInfo>& current,
                                               const OpenDocument& document, const QLocale& locale);

protected:
    bool event(QEvent* event) override;

private:
    void refresh();
    void applyMetrics();

    Workspace& workspace_;
    QHBoxLayout* row_;
    ElidingLabel* status_;
    Chip* page_;
    Chip* revision_;
    Chip* mcp_;
    SaveChip* save_;
};

}  // namespace kivo
