#pragma once

// What the editor's widget tests share beside the workspace tests' scratch folder and waiting: an
// application set up as the editor's (offscreen, en_US, light, motion reduced, settings in a folder of
// the test's own), documents, the editor started in-process against the real worker (or none), and
// screenshots.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QImage>
#include <QString>
#include <QWidget>

class QAbstractButton;
class QAction;
#include <QtTest>

#include "app/shell/editor_app.hpp"
#include "app/shell/editor_commands.hpp"
#include "scoped_env.hpp"
#include "workspace_fixture.hpp"
#include "workspace/workspace.hpp"

namespace kivo::testing {

// A PDF of `pages` plain pages written into the scratch documents folder.
std::filesystem::path document(const Scratch& scratch, const std::string& name, int pages = 3);
// A PDF of `pages` pages of 40 text lines each, slow enough to search that its activity shows.
std::filesystem::path longDocument(const Scratch& scratch, const std::string& name, int pages);

// The editor started in-process: with the real worker (sandboxed where this machine allows it), or with
// none next to it.
struct RunningEditor {
    std::unique_ptr<EditorApp> app;
    // Everything the window's announcer said, from before the launch on.
    QStringList announced;
    // Whether the window had painted by the time the worker was ready.
    bool paintedBeforeWorker = false;

    Workspace& workspace() { return app->workspace(); }
    MainWindow& window() { return *app->window(); }
    // The window's one action of command `id`.
    QAction* command(EditorAction id) { return app->commands()->action(id); }
};

enum class Worker { real, missing };

// Starts the editor on `files` and waits until its launch ran. Fails the test (and answers nothing) when
// the worker should start and does not. The editor checks `updateFeed` for updates, or has no update
// check without one. `keys` stands for the desktop's key store when given.
std::unique_ptr<RunningEditor> startEditor(const Scratch& scratch, const std::vector<std::string>& files = {},
                                           Worker worker = Worker::real,
                                           const std::optional<std::string>& updateFeed = std::nullopt,
                                           std::shared_ptr<KeyStore> keys = nullptr);

// The button in the window that runs `action`; none when no button is bound to it.
QAbstractButton* buttonOf(QAction* action);

// Writes `widget` as <screenshot dir>/<name>.png and answers the path.
QString screenshot(QWidget& widget, const QString& name);
// Writes `image` there the same way; answers the path, empty when it could not be written.
QString saveScreenshot(const QImage& image, const QString& name);

// Real input, as a person's keyboard and mouse make it: events of the X server (through xdotool) to the
// window that has the keyboard, or under the pointer. Only on an X server (platform xcb); each answers
// whether xdotool ran, and the events arrive as the event loop runs on. `keys` are xdotool's names
// ("ctrl+alt+equal", "Tab"); `at` is in `widget`'s coordinates, its middle when not given.
bool pressKeys(const QStringList& keys);
bool typeText(const QString& text);
bool clickOn(const QWidget& widget, std::optional<QPoint> at = std::nullopt);
// `window` with its frame and whatever stands over it, as the screen shows it.
QImage grabFromScreen(const QWidget& window);

// Sets up the application like the editor's: style, palette, locale; light with motion reduced.
void prepareApplication();

// The child of `root` (at any depth) of type T with the object name `name`. A missing child ends the test
// program with what was looked for and where, instead of a crash on a null pointer a few lines later.
template <typename T>
T* named(const QObject& root, const char* name) {
    T* found = root.findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr)
        qFatal("no %s named \"%s\" under %s \"%s\"", T::staticMetaObject.className(), name,
               root.metaObject()->className(), qPrintable(root.objectName()));
    return found;
}

}  // namespace kivo::testing

// A QtTest main with a settings folder of its own, read once when the first settings object is made.
#define KIVO_APP_TEST_MAIN(TestClass)                          \
    int main(int argc, char** argv) {                          \
        const kivo::testing::ShortTempDir config;              \
        ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1); \
        QApplication application(argc, argv);                  \
        kivo::testing::prepareApplication();                   \
        TestClass test;                                        \
        return QTest::qExec(&test, argc, argv);                \
    }
