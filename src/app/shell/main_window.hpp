#pragma once

// MainWindow: the editor's one document window, "Kivo PDF". It lays out the page list, the canvas column
// (canvas area over the status bar) and the inspector side by side in a splitter (the list 180 to 280
// wide, 210 at first; the inspector 300 to 460, 340 at first), puts Open, Save, Save As, the find field
// and Search in its tool bar, opens a PDF dropped on it, presents the recovery sheet while the workspace
// asks for it, speaks the status, errors and worker notices through its announcer, and carries the two
// settings it owns (the interface text scale and the inspector tab) to the widgets below it.
//
// The window holds no document state: every control reads the workspace and calls it. createActions()
// makes the window's commands (EditorCommands) before any widget: every action once, with its menu bar;
// the tool bar and the canvas bar show the same actions, whose enabled state the commands keep. Copy,
// Delete and the arrow keys act on the document only when no text field takes them: a focused field
// copies its own text and moves its own caret.

#include <QMainWindow>
#include <QPointer>

#include "app/shell/recovery_sheet.hpp"
#include "core/commands.hpp"
#include "workspace/open_document.hpp"

class QAction;
class QSplitter;
class QToolBar;

namespace kivo {

class Announcer;
class CanvasArea;
class CanvasBar;
class EditorCommands;
class EditorDrafts;
class PageList;
class PageListFocusStart;
class PageListView;
class EditorSettings;
class FindField;
class InspectorPanel;
class StatusBar;
class Updates;
class Workspace;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // `updates` must outlive the window.
    MainWindow(Workspace& workspace, EditorSettings& settings, Updates& updates, QWidget* parent = nullptr);

    static constexpr int minimumWidth = 1100;
    static constexpr int minimumHeight = 700;
    static constexpr int initialWidth = 1280;
    static constexpr int initialHeight = 820;

    double textScale() const noexcept { return textScale_; }

    // What the page canvas calls a page: "Page " + its index + 1 + " of " + the number of adopted
    // pages (1 without a page list), in plain digits.
    static QString pageLabel(const PageInfo& page, const OpenDocument& document);

    CanvasBar* canvasBar() const { return canvasBar_; }
    CanvasArea* canvasArea() const { return canvasArea_; }
    InspectorPanel* inspector() const { return inspector_; }

    // Every command of the window, each one action found by its id.
    EditorCommands* commands() const { return commands_; }

    // Runs a save of the workspace (save, saveAs or saveCopy) once the form values typed or chosen
    // in the inspector but not applied are in the document: nothing typed is left out of a file.
    void saveWithTypedValues(void (Workspace::*save)());

    // The find field's text, which Find Next and Find Previous search for while there are no hits.
    std::string findQuery() const;

public slots:
    // Searches for the find field's text and shows the Page tab, where the results are.
    void runSearch();

protected:
    // Arrow keys no control used move the selected annotation by 4 points.
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // A close while the key store saves or removes the key waits for it, says so, and closes once it answers.
    void closeEvent(QCloseEvent* event) override;

private:
    void createActions(Updates& updates);
    void createToolBar();
    void createColumns();
    void connectWorkspace();
    void readSettings();
    void showRecovery();

    Workspace& workspace_;
    EditorSettings& settings_;
    double textScale_ = 0;

    EditorCommands* commands_ = nullptr;

    QToolBar* toolBar_ = nullptr;
    FindField* findField_ = nullptr;
    QSplitter* columns_ = nullptr;
    PageList* pageListPanel_ = nullptr;
    PageListView* pageList_ = nullptr;
    QPointer<PageListFocusStart> listFocusStart_;
    CanvasBar* canvasBar_ = nullptr;
    CanvasArea* canvasArea_ = nullptr;
    StatusBar* statusBar_ = nullptr;
    InspectorPanel* inspector_ = nullptr;
    EditorDrafts* drafts_ = nullptr;
    Announcer* announcer_ = nullptr;
    QPointer<RecoverySheet> recoverySheet_;
    bool closeWhenKeyStored_ = false;
};

}  // namespace kivo
