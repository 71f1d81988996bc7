#pragma once

// EditorCommands: every command of the editor's window as one QAction, found by its id (EditorAction),
// and the menu bar, File, Edit, View, Page, Find, Tools, Annotate and Help, that offers them. Each action
// has its title, status tip, shortcut (the desktop's standard keys where they are the ones pressed today)
// and enable rule, and calls one Workspace operation, writes one published property, writes one of the
// two stored interface settings, or (Undo, Redo, Previous Page, Next Page, Copy, Cut, Paste, Select All)
// first offers its keystroke to the text widget that holds the keyboard. The window's tool bar, the
// canvas bar, the zoom menu and the key hints show the same actions, so no command is wired twice.
//
// Actions hold no state: updateActions() sets every enabled state from a rule over the workspace's
// session, selection, selected annotation and undo history, whenever one of them changes, and over
// whether the installation names an update feed. The window makes the commands before its widgets, and
// they live as its child. GUI thread only; nothing throws: failures of the operations show in the
// workspace's status and error.

#include <QObject>
#include <QPointer>

#include <array>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "app/shell/editor_actions.hpp"
#include "workspace/workspace_types.hpp"

class QAction;
class QKeySequence;
class QMenu;

namespace kivo {

class EditorSettings;
class MainWindow;
class Updates;
class Workspace;
namespace UpdateFeed {
struct Outcome;
}

class EditorCommands : public QObject {
    Q_OBJECT

public:
    // Makes every action and fills `window`'s menu bar. `updates` must outlive the commands.
    EditorCommands(MainWindow& window, Workspace& workspace, EditorSettings& settings, Updates& updates);

    // The one action of command `id`.
    QAction* action(EditorAction id) const { return actions_[static_cast<std::size_t>(id)]; }
    // A menu title or item as it reads: its access key's marker "&" left out ("&&" reads "&").
    static QString visibleText(const QString& text);

    // The box that reported the last update check, while it is open.
    QWidget* updateReport() const { return updateReport_; }

    // The new box every overlay command proposes without a selection: 72 points in from the shown page's
    // left edge and below its top (a top of 720 without a page), 200 × 40 for a text, 160 × 80 for an
    // image or a signature.
    static constexpr double textBoxWidth = 200;
    static constexpr double textBoxHeight = 40;
    static constexpr double imageBoxWidth = 160;
    static constexpr double imageBoxHeight = 80;

public slots:
    // The focused text widget's undo when it has one to do, else the document's when the worker says it
    // has one, else a beep.
    void undo();
    void redo();
    // A multi-line editor's caret to the start or the end of its text; otherwise the page before or after.
    void previousPage();
    void nextPage();

signals:
    // Undo or Redo found nothing to do anywhere; the desktop's beep sounded. For the tests.
    void beeped();

protected:
    // Keeps a focused text widget from claiming the routed keys, so their commands decide.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Rule { always, document, documentAndSelection, annotation, updater, undoable, redoable };

    QAction* make(EditorAction id, const QKeySequence& shortcut, Rule rule, std::function<void()> run);
    QAction* add(QMenu* menu, EditorAction id, const QKeySequence& shortcut, Rule rule,
                 std::function<void()> run);
    void createWindowActions();
    void createFileMenu();
    void createEditMenu();
    void createViewMenu();
    void createPageMenu();
    void createFindMenu();
    void createToolsMenu();
    void createAnnotateMenu();
    void createHelpMenu();
    void updateActions();
    void copy();

    void setTextScale(double scale);
    void showInspectorTab(std::string_view rawValue);
    void fit(FitMode mode);
    void reportUpdate(const UpdateFeed::Outcome& outcome);
    void beep();

    MainWindow& window_;
    Workspace& workspace_;
    EditorSettings& settings_;
    Updates& updates_;
    std::array<QAction*, editorActions.size()> actions_{};
    std::vector<std::pair<QAction*, Rule>> rules_;
    // The actions whose keystroke a focused text widget must not keep for itself.
    std::vector<QAction*> routed_;
    QPointer<QWidget> updateReport_;
};

}  // namespace kivo
