// The menu bar in-process against the real worker: every menu's titles, order, separators and shortcuts,
// the enable rules with and without a document, a selection and a selected annotation, the routing of
// Undo, Redo and the page keys through a focused text widget, the text-size steps, line stepping, nudges,
// the page and overlay commands, and "Check for Updates…" against a fake feed.

#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QToolBar>

#include "app/canvas/canvas_area.hpp"
#include "app/inspector/inspector_panel.hpp"
#include "app/pages/page_list_view.hpp"
#include "app/shell/canvas_bar.hpp"
#include "app/shell/editor_commands.hpp"
#include "app/shell/find_field.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/text_size_steps.hpp"
#include "app_test_support.hpp"
#include "design/prompt_dialog.hpp"
#include "fake_http_server.hpp"
#include "test_pdfs.hpp"
#include "workspace/shown_page.hpp"

using namespace kivo;
using namespace kivo::testing;

namespace {

// A menu as "title|shortcut" rows (shortcut in portable text, empty for none) and "-" for a separator.
using MenuRows = QStringList;

const QList<QPair<QString, MenuRows>> expectedMenus = {
    {"File",
     {"Open…|Ctrl+O", "Save|Ctrl+S", "Save As…|Ctrl+Shift+S", "Save a Copy…|", "-", "Print…|Ctrl+P", "-",
      "Quit|Ctrl+Q"}},
    {"Edit",
     {"Undo|Ctrl+Z", "Redo|Ctrl+Shift+Z", "-", "Cut|Ctrl+X", "Copy|Ctrl+C", "Paste|Ctrl+V", "-",
      "Select All|Ctrl+A"}},
    {"View",
     {"Show Assistant|Ctrl+1", "Show Page Panel|Ctrl+2", "Show Form Panel|Ctrl+3",
      "Show Document Panel|Ctrl+4", "-", "Larger Text|Ctrl+Alt+=", "Smaller Text|Ctrl+Alt+-",
      "Actual Text Size|Ctrl+Alt+0"}},
    {"Page",
     {"Fit Page|Ctrl+0", "Fit Width|", "Zoom In|Ctrl+=", "Zoom Out|Ctrl+-", "Previous Page|Ctrl+Up",
      "Next Page|Ctrl+Down", "Rotate Right|Ctrl+R", "Rotate Left|", "Delete Page|", "Extract Page…|",
      "Merge PDF…|", "-", "Move Page Up|Ctrl+Alt+[", "Move Page Down|Ctrl+Alt+]"}},
    {"Find", {"Find…|Ctrl+F", "Find Next|Ctrl+G", "Find Previous|Ctrl+Shift+G"}},
    {"Tools",
     {"Select|Alt+1", "Highlight|Alt+2", "Note|Alt+3", "Text|Alt+4", "Ink|Alt+5", "Image|Alt+6",
      "Signature|Alt+7"}},
    {"Annotate",
     {"Select Next Line|Alt+Down",
      "Select Previous Line|Alt+Up",
      "Extend Selection Down|Shift+Alt+Down",
      "Extend Selection Up|Shift+Alt+Up",
      "-",
      "Highlight Selection|Ctrl+Shift+H",
      "Add Note|Ctrl+Shift+N",
      "Add Text…|Ctrl+Shift+T",
      "Add Image…|",
      "Add Visual Signature…|",
      "Underline Selection with Ink|",
      "-",
      "Select Next Annotation|Alt+Right",
      "Select Previous Annotation|Alt+Left",
      "Edit Contents…|Ctrl+Shift+E",
      "Move Left|Ctrl+Shift+Left",
      "Move Right|Ctrl+Shift+Right",
      "Move Up|Ctrl+Shift+Up",
      "Move Down|Ctrl+Shift+Down",
      "Grow Right|Shift+Right",
      "Grow Up|Shift+Up",
      "Shrink Left|Shift+Left",
      "Shrink Down|Shift+Down",
      "Delete Annotation|"}},
    {"Help", {"Check for Updates…|"}},
};

const QStringList needDocument = {"Save",
                                  "Save As…",
                                  "Save a Copy…",
                                  "Print…",
                                  "Previous Page",
                                  "Next Page",
                                  "Rotate Right",
                                  "Rotate Left",
                                  "Delete Page",
                                  "Extract Page…",
                                  "Merge PDF…",
                                  "Move Page Up",
                                  "Move Page Down",
                                  "Select Next Line",
                                  "Select Previous Line",
                                  "Extend Selection Down",
                                  "Extend Selection Up",
                                  "Add Note",
                                  "Add Text…",
                                  "Add Image…",
                                  "Add Visual Signature…",
                                  "Select Next Annotation",
                                  "Select Previous Annotation"};
const QStringList needSelection = {"Highlight Selection", "Underline Selection with Ink"};
const QStringList needAnnotation = {"Edit Contents…", "Move Left",        "Move Right", "Move Up",
                                    "Move Down",      "Grow Right",       "Grow Up",    "Shrink Left",
                                    "Shrink Down",    "Delete Annotation"};

QList<QAction*> menuItems(MainWindow& window) {
    QList<QAction*> items;
    for (QAction* menu : window.menuBar()->actions()) items += menu->menu()->actions();
    return items;
}

// The titles of the disabled items of every menu.
QStringList disabledTitles(MainWindow& window) {
    QStringList titles;
    for (QAction* item : menuItems(window)) {
        if (!item->isSeparator() && !item->isEnabled())
            titles.append(EditorCommands::visibleText(item->text()));
    }
    titles.sort();
    return titles;
}

QStringList sorted(QStringList titles) {
    titles.sort();
    return titles;
}

// The window is active and has given its first focus to the page list, which would otherwise take it from
// a text field a moment later.
// The window has given its first focus: to the page of a document just opened, else to the page list.
bool readyForKeys(MainWindow& window) {
    return QTest::qWaitForWindowActive(&window) &&
           waitUntil(
               [&] {
                   return named<CanvasArea>(window, "canvasArea")->hasFocus() ||
                          named<PageListView>(window, "pageList")->hasFocus();
               },
               5);
}

const AnnotationInfo& onlyAnnotation(Workspace& workspace) {
    return workspace.inspect()->annotations->front();
}

std::size_t annotationCount(Workspace& workspace) {
    return workspace.inspect() && workspace.inspect()->annotations ? workspace.inspect()->annotations->size()
                                                                   : 0;
}

}  // namespace

class EditorCommandsTest : public QObject {
    Q_OBJECT

private slots:
    void theMenusFollowTheirTables() {
        Scratch scratch;
        auto editor = startEditor(scratch, {}, Worker::missing);
        QVERIFY(editor);
        MainWindow& window = editor->window();
        QStringList titles;
        for (QAction* menu : window.menuBar()->actions())
            titles.append(EditorCommands::visibleText(menu->text()));
        QStringList expectedTitles;
        for (const auto& [title, rows] : expectedMenus) expectedTitles.append(title);
        QCOMPARE(titles, expectedTitles);

        for (const auto& [title, expected] : expectedMenus) {
            QMenu* menu = window.menuBar()->actions().at(int(expectedTitles.indexOf(title)))->menu();
            MenuRows rows;
            for (QAction* action : menu->actions()) {
                rows.append(action->isSeparator()
                                ? QStringLiteral("-")
                                : EditorCommands::visibleText(action->text()) + "|" +
                                      action->shortcut().toString(QKeySequence::PortableText));
            }
            // Compared as key sequences, so that the order of modifiers in the text does not matter.
            QCOMPARE(rows.size(), expected.size());
            for (int i = 0; i < rows.size(); ++i) {
                const QStringList got = rows[i].split('|');
                const QStringList want = expected[i].split('|');
                QCOMPARE(got.first(), want.first());
                if (want.size() == 2)
                    QCOMPARE(QKeySequence::fromString(got.last(), QKeySequence::PortableText),
                             QKeySequence::fromString(want.last(), QKeySequence::PortableText));
            }
        }

        // One keystroke, one command: Qt runs neither of two actions that share a shortcut.
        QSet<QString> seen;
        for (QAction* action : window.findChildren<QAction*>()) {
            for (const QKeySequence& key : action->shortcuts()) {
                const QString text = key.toString(QKeySequence::PortableText);
                QVERIFY2(!seen.contains(text), qPrintable(text + " twice"));
                seen.insert(text);
            }
        }
    }

    void everyMenuAndItemHasItsOwnAccessKey() {
        Scratch scratch;
        auto editor = startEditor(scratch, {}, Worker::missing);
        QVERIFY(editor);
        MainWindow& window = editor->window();
        // The letter after "&", lower-cased; none when the text has no access key.
        const auto key = [](const QString& text) {
            const qsizetype at = text.indexOf(QLatin1Char('&'));
            return at >= 0 && at + 1 < text.size() ? text[at + 1].toLower() : QChar();
        };
        // The first item without a key, or with one another item has although a letter of its own was free.
        const auto distinct = [&](const QList<QAction*>& actions) {
            QSet<QChar> seen;
            for (QAction* action : actions) {
                if (action->isSeparator()) continue;
                const QChar letter = key(action->text());
                bool ownLeft = false;
                for (const QChar c : EditorCommands::visibleText(action->text()))
                    ownLeft = ownLeft || (c.isLetterOrNumber() && !seen.contains(c.toLower()));
                if (letter.isNull() || (seen.contains(letter) && ownLeft)) return action->text();
                seen.insert(letter);
            }
            return QString();
        };
        QCOMPARE(distinct(window.menuBar()->actions()), QString());
        for (QAction* title : window.menuBar()->actions())
            QCOMPARE(distinct(title->menu()->actions()), QString());

        // Alt and the View menu's letter open it; the letter of an item runs it, as a person types them.
        QVERIFY(readyForKeys(window));
        QAction* view = nullptr;
        for (QAction* title : window.menuBar()->actions()) {
            if (EditorCommands::visibleText(title->text()) == "View") view = title;
        }
        QVERIFY(view);
        QTest::keyClick(&window, Qt::Key(key(view->text()).toUpper().unicode()), Qt::AltModifier);
        QVERIFY(waitUntil([&] { return view->menu()->isVisible(); }, 5));
        const QChar form = key(editor->command(EditorAction::showFormPanel)->text());
        QTest::keyClick(view->menu(), Qt::Key(form.toUpper().unicode()));
        QVERIFY(waitUntil([&] { return editor->app->settings().inspectorTab() == "form"; }, 5));
        QVERIFY(!view->menu()->isVisible());
    }

    void theEnableRulesFollowTheWorkspace() {
        Scratch scratch;
        auto editor = startEditor(scratch, {}, Worker::real);
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        const QStringList noUpdates = {"Check for Updates…"};

        QCOMPARE(disabledTitles(window), sorted(needDocument + needSelection + needAnnotation + noUpdates));
        // The annotation items ask for an annotation only, not for a document.
        kivo::testing::arrange(workspace, "selectedAnnotationId", std::optional<std::string>("7R"));
        QCOMPARE(disabledTitles(window), sorted(needDocument + needSelection + noUpdates));
        kivo::testing::arrange(workspace, "selectedAnnotationId", std::optional<std::string>(std::nullopt));

        workspace.open(document(scratch, "three.pdf"));
        QVERIFY(waitUntil([&] { return workspace.sessionId().has_value(); }));
        QCOMPARE(disabledTitles(window), sorted(needSelection + needAnnotation + noUpdates));
        workspace.selectArea(PDFRect{72, 600, 200, 640});
        QCOMPARE(disabledTitles(window), sorted(needAnnotation + noUpdates));
        kivo::testing::arrange(workspace, "selectedAnnotationId", std::optional<std::string>("7R"));
        QCOMPARE(disabledTitles(window), noUpdates);
    }

    // One action per command: the table's rows stand at their ids with distinct raw values, each id has its
    // own action with the row's name and status tip, every menu item is one of them, and the tool bar and
    // the canvas bar show those same actions, keeping their own symbols when the actions change.
    void everyCommandIsOneActionFoundByItsId() {
        Scratch scratch;
        auto editor = startEditor(scratch, {document(scratch, "three.pdf").string()});
        QVERIFY(editor);
        MainWindow& window = editor->window();
        QVERIFY(waitUntil([&] { return editor->workspace().sessionId().has_value(); }));
        QSet<QAction*> commands;
        for (std::size_t row = 0; row < editorActions.size(); ++row) {
            const EditorActionInfo& about = editorActions[row];
            const QString raw = QString::fromUtf8(about.rawValue.data(), about.rawValue.size());
            QCOMPARE(static_cast<std::size_t>(about.action), row);
            QCOMPARE(editorActionFromRaw(about.rawValue), std::optional(about.action));
            QAction* action = editor->command(about.action);
            QVERIFY2(action != nullptr && !commands.contains(action), qPrintable(raw));
            commands.insert(action);
            QCOMPARE(action->objectName(), raw + QStringLiteral("Action"));
            QCOMPARE(action->statusTip(), QString::fromUtf8(about.statusTip));
        }
        for (QAction* item : menuItems(window)) QVERIFY(item->isSeparator() || commands.contains(item));

        const QStringList labels = {"Open", "Save", "Save As", "Search"};
        const EditorAction onToolBar[] = {EditorAction::open, EditorAction::save, EditorAction::saveAs,
                                          EditorAction::search};
        for (int i = 0; i < labels.size(); ++i) {
            QAbstractButton* button = buttonOf(editor->command(onToolBar[i]));
            QVERIFY(button != nullptr && window.findChild<QToolBar*>("toolBar")->isAncestorOf(button));
            QCOMPARE(button->text(), labels[i]);
            // Save, Save As and Search were enabled by the open document: each kept its symbol.
            QVERIFY(button->isEnabled() && !button->icon().isNull());
        }
        for (const EditorAction id : {EditorAction::undoDocument, EditorAction::redoDocument,
                                      EditorAction::zoomOut, EditorAction::zoomIn}) {
            QAbstractButton* button = buttonOf(editor->command(id));
            QVERIFY(button != nullptr && window.canvasBar()->isAncestorOf(button));
        }
    }

    void textSizeSteps_data() {
        QTest::addColumn<double>("stored");
        QTest::addColumn<double>("larger");
        QTest::addColumn<double>("smaller");
        QTest::newRow("1.0") << 1.0 << 1.15 << 1.0;
        QTest::newRow("1.15") << 1.15 << 1.3 << 1.0;
        QTest::newRow("1.5") << 1.5 << 1.75 << 1.3;
        QTest::newRow("2.0") << 2.0 << 2.0 << 1.75;
        QTest::newRow("just below a step") << 1.145 << 1.3 << 1.0;
        QTest::newRow("just above a step") << 1.155 << 1.3 << 1.0;
        QTest::newRow("between steps") << 1.2 << 1.3 << 1.15;
        QTest::newRow("above the steps") << 3.0 << 2.0 << 2.0;
        QTest::newRow("below the steps") << 0.5 << 1.0 << 1.0;
    }
    void textSizeSteps() {
        QFETCH(double, stored);
        QFETCH(double, larger);
        QFETCH(double, smaller);
        QCOMPARE(TextSizeSteps::larger(stored), larger);
        QCOMPARE(TextSizeSteps::smaller(stored), smaller);
    }

    void theViewItemsWriteTheStoredSettings() {
        Scratch scratch;
        auto editor = startEditor(scratch, {}, Worker::missing);
        QVERIFY(editor);
        EditorSettings& settings = editor->app->settings();
        settings.setInterfaceTextScale(1.145);
        editor->command(EditorAction::largerText)->trigger();
        QCOMPARE(settings.interfaceTextScale(), 1.3);
        QCOMPARE(editor->window().textScale(), 1.3);
        settings.setInterfaceTextScale(3.0);
        editor->command(EditorAction::smallerText)->trigger();
        QCOMPARE(settings.interfaceTextScale(), 2.0);
        editor->command(EditorAction::actualTextSize)->trigger();
        QCOMPARE(settings.interfaceTextScale(), 1.0);

        editor->command(EditorAction::showDocumentPanel)->trigger();
        QCOMPARE(settings.inspectorTab(), std::string("document"));
        editor->command(EditorAction::showAssistant)->trigger();
        QCOMPARE(settings.inspectorTab(), std::string("assistant"));
        editor->command(EditorAction::toolInk)->trigger();
        QCOMPARE(editor->workspace().tool(), EditorTool::ink);
        int findRequests = 0;
        connect(&editor->workspace(), &Workspace::findRequested, [&] { ++findRequests; });
        editor->command(EditorAction::find)->trigger();
        QCOMPARE(findRequests, 1);
    }

    void undoAndRedoGoToTheFieldThenTheDocumentThenBeep() {
        Scratch scratch;
        auto editor = startEditor(scratch, {document(scratch, "three.pdf").string()});
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        QSignalSpy beeps(editor->app->commands(), &EditorCommands::beeped);
        QVERIFY(waitUntil([&] { return workspace.sessionId().has_value(); }));
        QVERIFY(readyForKeys(window));
        editor->command(EditorAction::addNote)->trigger();
        QVERIFY(waitUntil([&] { return annotationCount(workspace) == 1; }));
        const auto revision = workspace.inspect()->revision;

        QLineEdit* field = named<FindField>(window, "findField")->lineEdit();
        field->setFocus();
        QTest::keyClicks(field, "ab");
        QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(field->text(), QString());
        // What the field shows is what a search looks for.
        QCOMPARE(workspace.searchQuery(), std::string());
        QTest::qWait(300);
        QCOMPARE(workspace.inspect()->revision, revision);

        // The field has nothing more to undo: the document's turn.
        QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(waitUntil([&] { return annotationCount(workspace) == 0; }));
        QCOMPARE(workspace.status(), std::string("Undo"));
        QCOMPARE(beeps.size(), 0);
        QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(beeps.size(), 1);

        QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(field->text(), QStringLiteral("ab"));
        QCOMPARE(annotationCount(workspace), 0u);
        QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(waitUntil([&] { return annotationCount(workspace) == 1; }));
        QCOMPARE(workspace.status(), std::string("Redo"));
        QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(beeps.size(), 2);

        // The clipboard items act on the field from the menu too.
        editor->command(EditorAction::selectAll)->trigger();
        editor->command(EditorAction::cut)->trigger();
        QCOMPARE(field->text(), QString());
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("ab"));
        editor->command(EditorAction::paste)->trigger();
        editor->command(EditorAction::paste)->trigger();
        QCOMPARE(field->text(), QStringLiteral("abab"));
    }

    void thePageKeysMoveTheCaretOfAMultiLineEditor() {
        Scratch scratch;
        auto editor = startEditor(scratch, {document(scratch, "three.pdf").string()});
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        QVERIFY(waitUntil([&] { return workspace.inspect() && workspace.selectedPageId(); }));
        const auto& pages = *workspace.inspect()->pages;
        workspace.select(pages[1].id);
        QVERIFY(readyForKeys(window));

        // A contents editor of the inspector, as the Page tab has one.
        auto* contents = new QPlainTextEdit(window.inspector());
        contents->setPlainText(QStringLiteral("one\ntwo\nthree"));
        contents->show();
        contents->setFocus();
        contents->moveCursor(QTextCursor::End);
        QTest::keyClick(contents, Qt::Key_Up, Qt::ControlModifier);
        QCOMPARE(contents->textCursor().position(), 0);
        QTest::keyClick(contents, Qt::Key_Down, Qt::ControlModifier);
        QCOMPARE(contents->textCursor().position(), contents->document()->characterCount() - 1);
        QCOMPARE(workspace.selectedPageId(), std::optional(pages[1].id));

        // A one-line field does not take them: the page changes.
        QLineEdit* field = named<FindField>(window, "findField")->lineEdit();
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Up, Qt::ControlModifier);
        QCOMPARE(workspace.selectedPageId(), std::optional(pages[0].id));
        QTest::keyClick(field, Qt::Key_Down, Qt::ControlModifier);
        QCOMPARE(workspace.selectedPageId(), std::optional(pages[1].id));
    }

    void lineSteppingAndNudgesChangeTheDocument() {
        Scratch scratch;
        auto editor = startEditor(scratch, {document(scratch, "three.pdf").string()});
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        QVERIFY(
            waitUntil([&] { return workspace.sessionId() && !workspace.shownPage().pageLines().empty(); }));
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QWidget* canvas = named<CanvasArea>(window, "canvasArea");
        canvas->setFocus();

        QTest::keyClick(canvas, Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(workspace.status(), std::string("Line 1 of 1: Hello PDF"));
        QVERIFY(editor->command(EditorAction::highlightSelection)->isEnabled());
        const auto revision = workspace.inspect()->revision;
        QTest::keyClick(canvas, Qt::Key_H, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(waitUntil([&] { return annotationCount(workspace) == 1; }));
        QVERIFY(workspace.inspect()->revision != revision);

        QTest::keyClick(canvas, Qt::Key_Right, Qt::AltModifier);
        QCOMPARE(workspace.selectedAnnotationId(), std::optional(onlyAnnotation(workspace).id));
        const PDFRect before = onlyAnnotation(workspace).rect;
        QTest::keyClick(canvas, Qt::Key_Up, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(waitUntil([&] { return onlyAnnotation(workspace).rect.bottom != before.bottom; }));
        QCOMPARE(onlyAnnotation(workspace).rect.bottom, before.bottom + 4);
        QCOMPARE(onlyAnnotation(workspace).rect.top, before.top + 4);
        QTest::keyClick(canvas, Qt::Key_Right, Qt::ShiftModifier);
        QVERIFY(waitUntil([&] { return onlyAnnotation(workspace).rect.right != before.right; }));
        QCOMPARE(onlyAnnotation(workspace).rect.right, before.right + 4);
        QCOMPARE(onlyAnnotation(workspace).rect.left, before.left);
    }

    void pageAndOverlayCommandsChangeTheDocument() {
        Scratch scratch;
        const auto path = scratch.docs() / "a4.pdf";
        writeFile(path, makePdf({TestPage{595, 842}, TestPage{595, 842}}));
        auto editor = startEditor(scratch, {path.string()});
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        QVERIFY(waitUntil([&] { return workspace.inspect() && workspace.selectedPageId(); }));

        // The prompt for the overlay's text waits in a loop of its own: answer it from a timer.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            auto* prompt = window.findChild<PromptDialog*>();
            if (prompt == nullptr || !prompt->isVisible()) return;
            QTest::keyClicks(prompt->field(), "Approved");
            QTest::keyClick(prompt->field(), Qt::Key_Return);
        });
        answer.start(50);
        editor->command(EditorAction::addText)->trigger();
        QVERIFY(waitUntil([&] { return annotationCount(workspace) == 1; }));
        answer.stop();
        const PDFRect box = onlyAnnotation(workspace).rect;
        QCOMPARE((std::array{box.left, box.bottom, box.right, box.top}),
                 (std::array{72.0, 730.0, 272.0, 770.0}));

        editor->command(EditorAction::rotateRight)->trigger();
        QVERIFY(waitUntil([&] { return workspace.status() == "Page rotated"; }));
        QCOMPARE(workspace.inspect()->pages->front().rotation, std::int64_t(1));
        editor->command(EditorAction::deletePage)->trigger();
        QVERIFY(waitUntil([&] { return workspace.inspect()->pages->size() == 1; }));
    }

    void checkForUpdatesReportsTheFeed() {
        FakeHttpServer feed([](const RecordedRequest&, FakeConnection& connection) {
            connection.respond(200, "{\"version\": \"9.0.0\", \"page\": \"https://kivo.example.org/9\"}");
        });
        Scratch scratch;
        auto editor = startEditor(scratch, {}, Worker::missing, feed.url() + "/feed.json");
        QVERIFY(editor);
        QAction* check = editor->command(EditorAction::checkForUpdates);
        QVERIFY(check->isEnabled());
        check->trigger();
        QVERIFY(waitUntil([&] { return editor->app->commands()->updateReport() != nullptr; }, 20));
        auto* report = qobject_cast<QMessageBox*>(editor->app->commands()->updateReport());
        QVERIFY(waitUntil([&] { return report->isVisible(); }, 5));
        QCOMPARE(report->text(), QStringLiteral("Kivo PDF 9.0.0 is available."));
        QVERIFY(report->informativeText().startsWith("You have version 0.1.0."));
        QVERIFY(report->informativeText().endsWith("More at https://kivo.example.org/9"));
        QStringList buttons;
        for (QAbstractButton* button : report->buttons()) buttons.append(button->text());
        QCOMPARE(sorted(buttons), (QStringList{"Close", "Open Page"}));
        for (QLabel* label : report->findChildren<QLabel*>())
            QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->text()));
        screenshot(*report, "editor-update-available");
        report->close();
    }
};

KIVO_APP_TEST_MAIN(EditorCommandsTest)
#include "editor_commands_test.moc"
