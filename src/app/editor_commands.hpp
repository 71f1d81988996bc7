#pragma once

// EditorCommands: the editor's menu bar, File, Edit, View, Page, Find, Tools, Annotate and Help, with
// every command's title, shortcut and enable rule. Each item calls one Workspace operation, writes one
// published property, writes one of the two stored interface settings, or (Undo, Redo, Previous Page,
// Next Page, Cut, Paste, Select All) first offers its keystroke to the text widget that holds the
// keyboard. Edit > Copy is the window's own Copy action, so the two cannot disagree.
//
// Items hold no state: their enabled state is a rule over the workspace's session, selection and
// selected annotation, re-applied whenever one of them changes, and over whether the installation
// names an update feed. The commands are made once, after the window, and live as its child.
// GUI thread only; nothing throws: failures of the operations show in the workspace's status and error.

#include <QObject>
#include <QPointer>

#include <functional>
#include <string_view>
#include <utility>
#include <vector>

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
    // Fills `window`'s menu bar. `updates` must outlive the commands.
    EditorCommands(MainWindow& window, Workspace& workspace, EditorSettings& settings, Updates& updates);

    // The item of menu `menu` titled `title` (the visible words, without access keys); none when there is no such item.
    QAction* action(const QString& menu, const QString& title) const;
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
    enum class Rule { always, document, documentAndSelection, annotation, updater };

    QAction* add(QMenu* menu, const QString& title, const QKeySequence& shortcut, Rule rule, std::function<void()> run);
    void createFileMenu();
    void createEditMenu();
    void createViewMenu();
    void createPageMenu();
    void createFindMenu();
    void createToolsMenu();
    void createAnnotateMenu();
    void createHelpMenu();
    void updateActions();

    void setTextScale(double scale);
    void showInspectorTab(std::string_view rawValue);
    void fit(FitMode mode);
    void reportUpdate(const UpdateFeed::Outcome& outcome);
    void beep();

    MainWindow& window_;
    Workspace& workspace_;
    EditorSettings& settings_;
    Updates& updates_;
    std::vector<std::pair<QAction*, Rule>> rules_;
    // The actions whose keystroke a focused text widget must not keep for itself.
    std::vector<QAction*> routed_;
    QPointer<QWidget> updateReport_;
};

}  // namespace kivo
