// The File, Page, Annotate and View menus as a person sees them: opened from the menu bar on an X server
// (run under xvfb-run, platform xcb) over a window with a document, a selection and a selected
// annotation, and grabbed from the screen together with the window behind them.

#include <QMenuBar>
#include <QScreen>

#include "app/shell/editor_commands.hpp"
#include "app/shell/main_window.hpp"
#include "app_test_support.hpp"

using namespace kivo;
using namespace kivo::testing;

namespace {

// The screen where the window and the open `menu` are.
QImage grabAround(MainWindow& window, QMenu& menu) {
    QScreen* screen = window.screen();
    const QRect shown = window.frameGeometry().united(menu.geometry()).intersected(screen->geometry());
    return screen->grabWindow(0, shown.x(), shown.y(), shown.width(), shown.height()).toImage();
}

int colourCount(const QImage& image) {
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 4) {
        for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
    }
    return int(colours.size());
}

}  // namespace

class EditorMenusScreenshotTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != QStringLiteral("xcb"))
            QSKIP("needs an X server: run under xvfb-run");
    }

    void theMenusAsTheyOpen_data() {
        QTest::addColumn<QString>("menu");
        for (const char* menu : {"File", "Page", "Annotate", "View"}) QTest::newRow(menu) << menu;
    }
    void theMenusAsTheyOpen() {
        QFETCH(QString, menu);
        Scratch scratch;
        auto editor = startEditor(scratch, {document(scratch, "report.pdf", 3).string()});
        QVERIFY(editor);
        MainWindow& window = editor->window();
        Workspace& workspace = editor->workspace();
        QVERIFY(waitUntil([&] { return workspace.sessionId().has_value(); }));
        if (menu == "Annotate") {
            editor->command(EditorAction::addNote)->trigger();
            QVERIFY(waitUntil([&] { return workspace.inspect()->annotations->size() == 1; }));
            workspace.selectAnnotation(workspace.inspect()->annotations->front().id);
        }

        QMenuBar* bar = window.menuBar();
        QAction* title = nullptr;
        for (QAction* candidate : bar->actions()) {
            if (EditorCommands::visibleText(candidate->text()) == menu) title = candidate;
        }
        QVERIFY(title);
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(title).center());
        QVERIFY(waitUntil([&] { return title->menu()->isVisible(); }, 5));
        // Let the menu and the window behind it paint.
        QTest::qWait(500);
        const QImage shot = grabAround(window, *title->menu());
        QVERIFY(colourCount(shot) > 8);
        QVERIFY(!saveScreenshot(shot, "editor-menu-" + menu.toLower()).isEmpty());
        title->menu()->hide();
    }
};

KIVO_APP_TEST_MAIN(EditorMenusScreenshotTest)
#include "editor_menus_screenshot_test.moc"
