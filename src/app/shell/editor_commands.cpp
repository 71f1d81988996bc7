#include "app/shell/editor_commands.hpp"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QUrl>

#include "app/desktop/focused_text.hpp"
#include "app/inspector/inspector_tab.hpp"
#include "app/shell/editor_tools.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/text_size_steps.hpp"
#include "app/shell/updates.hpp"
#include "design/literal_text.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr auto ctrl = Qt::CTRL;
constexpr auto shift = Qt::SHIFT;
constexpr auto alt = Qt::ALT;
constexpr int updateReportTextWidth = 380;

// Alt and a letter reach each of `actions`: the first letter of a word not yet taken among them, else any
// letter not yet taken, else (a long menu runs out of letters) its first letter, which the menu then
// steps through. The visible words stay as they are.
void giveAccessKeys(const QList<QAction*>& actions) {
    QSet<QChar> taken;
    for (QAction* action : actions) {
        const QString text = action->text();
        if (action->isSeparator() || text.contains(QLatin1Char('&'))) continue;
        qsizetype chosen = -1;
        for (const bool wordStartsOnly : {true, false}) {
            for (qsizetype i = 0; chosen < 0 && i < text.size(); ++i) {
                const bool wordStart = i == 0 || !text[i - 1].isLetterOrNumber();
                if (text[i].isLetterOrNumber() && (wordStart || !wordStartsOnly) &&
                    !taken.contains(text[i].toLower()))
                    chosen = i;
            }
        }
        for (qsizetype i = 0; chosen < 0 && i < text.size(); ++i) {
            if (text[i].isLetterOrNumber()) chosen = i;
        }
        if (chosen < 0) continue;
        taken.insert(text[chosen].toLower());
        action->setText(text.left(chosen) + QLatin1Char('&') + text.mid(chosen));
    }
}

}  // namespace

QString EditorCommands::visibleText(const QString& text) {
    QString shown;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        shown += text[i];
    }
    return shown;
}

EditorCommands::EditorCommands(MainWindow& window, Workspace& workspace, EditorSettings& settings,
                               Updates& updates)
    : QObject(&window), window_(window), workspace_(workspace), settings_(settings), updates_(updates) {
    setObjectName(QStringLiteral("editorCommands"));
    createFileMenu();
    createEditMenu();
    createViewMenu();
    createPageMenu();
    createFindMenu();
    createToolsMenu();
    createAnnotateMenu();
    createHelpMenu();
    createWindowActions();
    giveAccessKeys(window_.menuBar()->actions());
    for (QAction* title : window_.menuBar()->actions()) giveAccessKeys(title->menu()->actions());
    updateActions();
    for (auto changed : {&WorkspaceState::sessionIdChanged, &WorkspaceState::selectionChanged,
                         &WorkspaceState::selectedAnnotationIdChanged, &WorkspaceState::inspectChanged})
        connect(&workspace_, changed, this, &EditorCommands::updateActions);
    if (UpdateController* controller = updates_.controller())
        connect(controller, &UpdateController::checked, this, &EditorCommands::reportUpdate);
    qApp->installEventFilter(this);
}

QAction* EditorCommands::make(EditorAction id, const QKeySequence& shortcut, Rule rule,
                              std::function<void()> run) {
    const EditorActionInfo& about = info(id);
    auto* action = new QAction(QString::fromUtf8(about.title), &window_);
    action->setObjectName(QString::fromUtf8(about.rawValue.data(), about.rawValue.size()) +
                          QStringLiteral("Action"));
    action->setStatusTip(QString::fromUtf8(about.statusTip));
    action->setShortcut(shortcut);
    connect(action, &QAction::triggered, this, std::move(run));
    actions_[static_cast<std::size_t>(id)] = action;
    rules_.emplace_back(action, rule);
    return action;
}

QAction* EditorCommands::add(QMenu* menu, EditorAction id, const QKeySequence& shortcut, Rule rule,
                             std::function<void()> run) {
    QAction* action = make(id, shortcut, rule, std::move(run));
    menu->addAction(action);
    return action;
}

// Shortcuts: the desktop's standard key where its first binding is the key pressed today (QKeySequence of
// a standard key takes that first binding alone). The others keep their own keys: Save As and, under the
// offscreen and other non-X11 schemes, Quit have no standard key; Redo's first standard key is Ctrl+Y
// outside X11; Find Next and Previous would become F3 and Shift+F3, Zoom In Ctrl++ instead of Ctrl+=.
void EditorCommands::createFileMenu() {
    QMenu* file = window_.menuBar()->addMenu(QStringLiteral("File"));
    Workspace* w = &workspace_;
    add(file, EditorAction::open, QKeySequence::Open, Rule::always, [w] { w->openPanel(); });
    MainWindow* window = &window_;
    add(file, EditorAction::save, QKeySequence::Save, Rule::document,
        [window] { window->saveWithTypedValues(&Workspace::save); });
    add(file, EditorAction::saveAs, ctrl | shift | Qt::Key_S, Rule::document,
        [window] { window->saveWithTypedValues(&Workspace::saveAs); });
    add(file, EditorAction::saveCopy, {}, Rule::document,
        [window] { window->saveWithTypedValues(&Workspace::saveCopy); });
    file->addSeparator();
    add(file, EditorAction::print, QKeySequence::Print, Rule::document, [w] { w->printDocument(); });
    file->addSeparator();
    // Closing the last window quits, and the application stops the worker on its way out.
    add(file, EditorAction::quit, ctrl | Qt::Key_Q, Rule::always, [] { QApplication::closeAllWindows(); });
}

void EditorCommands::createEditMenu() {
    QMenu* edit = window_.menuBar()->addMenu(QStringLiteral("Edit"));
    routed_.push_back(add(edit, EditorAction::undo, QKeySequence::Undo, Rule::always, [this] { undo(); }));
    routed_.push_back(
        add(edit, EditorAction::redo, ctrl | shift | Qt::Key_Z, Rule::always, [this] { redo(); }));
    edit->addSeparator();
    add(edit, EditorAction::cut, QKeySequence::Cut, Rule::always, [] { FocusedText::current().cut(); });
    add(edit, EditorAction::copy, QKeySequence::Copy, Rule::always, [this] { copy(); });
    add(edit, EditorAction::paste, QKeySequence::Paste, Rule::always, [] { FocusedText::current().paste(); });
    edit->addSeparator();
    add(edit, EditorAction::selectAll, QKeySequence::SelectAll, Rule::always,
        [] { FocusedText::current().selectAll(); });
}

void EditorCommands::createViewMenu() {
    QMenu* view = window_.menuBar()->addMenu(QStringLiteral("View"));
    const auto panel = [this](InspectorTab tab) {
        return [this, tab] { showInspectorTab(info(tab).rawValue); };
    };
    add(view, EditorAction::showAssistant, ctrl | Qt::Key_1, Rule::always, panel(InspectorTab::assistant));
    add(view, EditorAction::showPagePanel, ctrl | Qt::Key_2, Rule::always, panel(InspectorTab::page));
    add(view, EditorAction::showFormPanel, ctrl | Qt::Key_3, Rule::always, panel(InspectorTab::form));
    add(view, EditorAction::showDocumentPanel, ctrl | Qt::Key_4, Rule::always, panel(InspectorTab::document));
    view->addSeparator();
    EditorSettings* s = &settings_;
    add(view, EditorAction::largerText, ctrl | alt | Qt::Key_Equal, Rule::always,
        [this, s] { setTextScale(TextSizeSteps::larger(s->interfaceTextScale())); });
    add(view, EditorAction::smallerText, ctrl | alt | Qt::Key_Minus, Rule::always,
        [this, s] { setTextScale(TextSizeSteps::smaller(s->interfaceTextScale())); });
    add(view, EditorAction::actualTextSize, ctrl | alt | Qt::Key_0, Rule::always,
        [this] { setTextScale(TextSizeSteps::actual); });
}

void EditorCommands::createPageMenu() {
    QMenu* page = window_.menuBar()->addMenu(QStringLiteral("Page"));
    Workspace* w = &workspace_;
    add(page, EditorAction::fitPage, ctrl | Qt::Key_0, Rule::always, [this] { fit(FitMode::page); });
    add(page, EditorAction::fitWidth, {}, Rule::always, [this] { fit(FitMode::width); });
    add(page, EditorAction::zoomIn, ctrl | Qt::Key_Equal, Rule::always,
        [w] { w->shownPage().stepZoom(w->shownPage().zoom() + zoomStep); });
    add(page, EditorAction::zoomOut, QKeySequence::ZoomOut, Rule::always,
        [w] { w->shownPage().stepZoom(w->shownPage().zoom() - zoomStep); });
    routed_.push_back(
        add(page, EditorAction::previousPage, ctrl | Qt::Key_Up, Rule::document, [this] { previousPage(); }));
    routed_.push_back(
        add(page, EditorAction::nextPage, ctrl | Qt::Key_Down, Rule::document, [this] { nextPage(); }));
    add(page, EditorAction::rotateRight, ctrl | Qt::Key_R, Rule::document, [w] { w->rotateSelected(90); });
    add(page, EditorAction::rotateLeft, {}, Rule::document, [w] { w->rotateSelected(-90); });
    add(page, EditorAction::deletePage, {}, Rule::document, [w] { w->deleteSelectedPage(); });
    add(page, EditorAction::extractPage, {}, Rule::document, [w] { w->extractPanel(); });
    add(page, EditorAction::mergePdf, {}, Rule::document, [w] { w->mergePanel(); });
    page->addSeparator();
    add(page, EditorAction::movePageUp, ctrl | alt | Qt::Key_BracketLeft, Rule::document,
        [w] { w->moveSelectedPage(-1); });
    add(page, EditorAction::movePageDown, ctrl | alt | Qt::Key_BracketRight, Rule::document,
        [w] { w->moveSelectedPage(1); });
}

void EditorCommands::createFindMenu() {
    QMenu* find = window_.menuBar()->addMenu(QStringLiteral("Find"));
    Workspace* w = &workspace_;
    add(find, EditorAction::find, QKeySequence::Find, Rule::always, [w] { w->requestFind(); });
    add(find, EditorAction::findNext, ctrl | Qt::Key_G, Rule::always,
        [this] { workspace_.findNext(window_.findQuery()); });
    add(find, EditorAction::findPrevious, ctrl | shift | Qt::Key_G, Rule::always,
        [this] { workspace_.findPrevious(window_.findQuery()); });
}

void EditorCommands::createToolsMenu() {
    QMenu* tools = window_.menuBar()->addMenu(QStringLiteral("Tools"));
    int digit = Qt::Key_1;
    for (const EditorToolItem& item : editorTools) {
        add(tools, toolAction(item.tool), QKeySequence(alt | Qt::Key(digit++)), Rule::always,
            [w = &workspace_, tool = item.tool] { w->chooseTool(tool); });
    }
}

void EditorCommands::createAnnotateMenu() {
    QMenu* annotate = window_.menuBar()->addMenu(QStringLiteral("Annotate"));
    Workspace* w = &workspace_;
    add(annotate, EditorAction::selectNextLine, alt | Qt::Key_Down, Rule::document,
        [w] { w->selectAdjacentLine(1, false); });
    add(annotate, EditorAction::selectPreviousLine, alt | Qt::Key_Up, Rule::document,
        [w] { w->selectAdjacentLine(-1, false); });
    add(annotate, EditorAction::extendSelectionDown, shift | alt | Qt::Key_Down, Rule::document,
        [w] { w->selectAdjacentLine(1, true); });
    add(annotate, EditorAction::extendSelectionUp, shift | alt | Qt::Key_Up, Rule::document,
        [w] { w->selectAdjacentLine(-1, true); });
    annotate->addSeparator();
    add(annotate, EditorAction::highlightSelection, ctrl | shift | Qt::Key_H, Rule::documentAndSelection,
        [w] { w->highlightSelection(); });
    add(annotate, EditorAction::addNote, ctrl | shift | Qt::Key_N, Rule::document,
        [w] { w->addNoteAtSelection(); });
    add(annotate, EditorAction::addText, ctrl | shift | Qt::Key_T, Rule::document,
        [w] { w->promptText(w->overlayRect(textBoxWidth, textBoxHeight)); });
    add(annotate, EditorAction::addImage, {}, Rule::document,
        [w] { w->addImage(OverlayKind::image, w->overlayRect(imageBoxWidth, imageBoxHeight)); });
    add(annotate, EditorAction::addSignature, {}, Rule::document,
        [w] { w->addImage(OverlayKind::signature, w->overlayRect(imageBoxWidth, imageBoxHeight)); });
    add(annotate, EditorAction::underlineWithInk, {}, Rule::documentAndSelection,
        [w] { w->underlineSelectionWithInk(); });
    annotate->addSeparator();
    add(annotate, EditorAction::selectNextAnnotation, alt | Qt::Key_Right, Rule::document,
        [w] { w->selectAdjacentAnnotation(1); });
    add(annotate, EditorAction::selectPreviousAnnotation, alt | Qt::Key_Left, Rule::document,
        [w] { w->selectAdjacentAnnotation(-1); });
    add(annotate, EditorAction::editContents, ctrl | shift | Qt::Key_E, Rule::annotation,
        [w] { w->promptSelectedContents(); });
    // Moving takes Ctrl+Shift+arrows and resizing Shift+arrows: Ctrl+Alt+arrows switch desktops here.
    struct Nudge {
        EditorAction action;
        Qt::Key key;
        double dx, dy;
        bool resize;
    };
    static constexpr Nudge nudges[] = {
        {EditorAction::moveLeft, Qt::Key_Left, -nudgeStep, 0, false},
        {EditorAction::moveRight, Qt::Key_Right, nudgeStep, 0, false},
        {EditorAction::moveUp, Qt::Key_Up, 0, nudgeStep, false},
        {EditorAction::moveDown, Qt::Key_Down, 0, -nudgeStep, false},
        {EditorAction::growRight, Qt::Key_Right, nudgeStep, 0, true},
        {EditorAction::growUp, Qt::Key_Up, 0, nudgeStep, true},
        {EditorAction::shrinkLeft, Qt::Key_Left, -nudgeStep, 0, true},
        {EditorAction::shrinkDown, Qt::Key_Down, 0, -nudgeStep, true},
    };
    for (const Nudge& nudge : nudges) {
        const QKeySequence shortcut =
            nudge.resize ? QKeySequence(shift | nudge.key) : QKeySequence(ctrl | shift | nudge.key);
        add(annotate, nudge.action, shortcut, Rule::annotation,
            [w, nudge] { w->nudgeSelection(nudge.dx, nudge.dy, nudge.resize); });
    }
    add(annotate, EditorAction::deleteAnnotation, {}, Rule::annotation,
        [w] { w->deleteSelectedAnnotation(); });
}

void EditorCommands::createHelpMenu() {
    QMenu* help = window_.menuBar()->addMenu(QStringLiteral("Help"));
    add(help, EditorAction::checkForUpdates, {}, Rule::updater, [this] {
        if (UpdateController* controller = updates_.controller()) controller->checkForUpdates();
    });
}

// The commands no menu offers: the tool bar's Search, the Delete key and the canvas bar's history buttons,
// which act on the document alone and only while it can undo or redo.
void EditorCommands::createWindowActions() {
    // The tool bar's labels drop the menu's "…".
    for (const EditorAction id : {EditorAction::open, EditorAction::save, EditorAction::saveAs}) {
        QAction* shown = action(id);
        shown->setIconText(shown->text().remove(QChar(0x2026)));
        shown->setToolTip(shown->iconText());
    }
    make(EditorAction::search, {}, Rule::document, [this] { window_.runSearch(); });
    // A focused text field claims Delete and Backspace for itself before the window sees them.
    QAction* remove = make(EditorAction::deleteSelection, {}, Rule::always,
                           [w = &workspace_] { w->deleteSelectedAnnotation(); });
    remove->setShortcuts({QKeySequence(QKeySequence::Delete), QKeySequence(Qt::Key_Backspace)});
    window_.addActions({action(EditorAction::copy), remove});
    make(EditorAction::undoDocument, {}, Rule::undoable,
         [w = &workspace_] { w->history(CommandMethod::undo, "Undo"); });
    make(EditorAction::redoDocument, {}, Rule::redoable,
         [w = &workspace_] { w->history(CommandMethod::redo, "Redo"); });
}

void EditorCommands::updateActions() {
    const bool document = workspace_.sessionId().has_value();
    const OpenDocument open = workspace_.document();
    for (const auto& [action, rule] : rules_) {
        switch (rule) {
            case Rule::always: action->setEnabled(true); break;
            case Rule::document: action->setEnabled(document); break;
            case Rule::documentAndSelection:
                action->setEnabled(document && workspace_.selection().has_value());
                break;
            case Rule::annotation: action->setEnabled(workspace_.selectedAnnotationId().has_value()); break;
            case Rule::updater: action->setEnabled(updates_.controller() != nullptr); break;
            case Rule::undoable: action->setEnabled(open.canUndo()); break;
            case Rule::redoable: action->setEnabled(open.canRedo()); break;
        }
    }
}

void EditorCommands::setTextScale(double scale) { settings_.setInterfaceTextScale(scale); }

void EditorCommands::showInspectorTab(std::string_view rawValue) {
    settings_.setInspectorTab(std::string(rawValue));
}

void EditorCommands::fit(FitMode mode) {
    workspace_.shownPage().setFitMode(mode);
    workspace_.shownPage().applyFit();
}

void EditorCommands::undo() {
    if (FocusedText text = FocusedText::current(); text.canUndo()) return text.undo();
    if (workspace_.document().canUndo()) return workspace_.history(CommandMethod::undo, "Undo");
    beep();
}

void EditorCommands::redo() {
    if (FocusedText text = FocusedText::current(); text.canRedo()) return text.redo();
    if (workspace_.document().canRedo()) return workspace_.history(CommandMethod::redo, "Redo");
    beep();
}

void EditorCommands::copy() {
    // From a menu the action also runs while a field has focus: the field's own text is meant then.
    if (FocusedText text = FocusedText::of(window_.focusWidget())) return text.copy();
    workspace_.copySelection();
}

void EditorCommands::previousPage() {
    if (FocusedText text = FocusedText::current(); text.isMultiLine()) return text.moveToStart();
    workspace_.previousPage();
}

void EditorCommands::nextPage() {
    if (FocusedText text = FocusedText::current(); text.isMultiLine()) return text.moveToEnd();
    workspace_.nextPage();
}

void EditorCommands::beep() {
    QApplication::beep();
    emit beeped();
}

bool EditorCommands::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ShortcutOverride || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    if (widget->window() != &window_ || !FocusedText::of(widget)) return false;
    const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
    for (const QAction* action : routed_) {
        // Left unaccepted, the keystroke goes on to the shortcut, whose command asks the widget first.
        if (action->shortcut() == pressed) return true;
    }
    return false;
}

void EditorCommands::reportUpdate(const UpdateFeed::Outcome& outcome) {
    const bool failed = outcome.kind == UpdateFeed::Outcome::Kind::failed;
    auto* box = new QMessageBox(failed ? QMessageBox::Warning : QMessageBox::Information,
                                QStringLiteral("Software Update"), QString::fromStdString(outcome.message),
                                QMessageBox::NoButton, &window_);
    box->setObjectName(QStringLiteral("updateReport"));
    box->setInformativeText(QString::fromStdString(outcome.detail));
    // The feed's texts are the server's: no label may read them as markup.
    LiteralText::keepPlain(*box);
    for (QLabel* label : box->findChildren<QLabel*>()) {
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        // Wide enough that the page's address stays on one line.
        if (label->wordWrap()) label->setMinimumWidth(updateReportTextWidth);
    }
    if (outcome.page) {
        QPushButton* open = box->addButton(QStringLiteral("Open Page"), QMessageBox::AcceptRole);
        connect(open, &QPushButton::clicked, this,
                [page = QString::fromStdString(*outcome.page)] { QDesktopServices::openUrl(QUrl(page)); });
    }
    box->setDefaultButton(box->addButton(QStringLiteral("Close"), QMessageBox::RejectRole));
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (updateReport_) updateReport_->close();
    updateReport_ = box;
    box->open();
}

}  // namespace kivo
