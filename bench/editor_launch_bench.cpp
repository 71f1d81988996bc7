// Measures starting the editor on a document, as a person does: from starting the program to the first
// page image in its window. The bench starts itself 10 times as the editor (offscreen, a fresh support
// folder each time, the worker beside it inside its sandbox where the system offers one); each child runs
// kivo-pdf's own start-up and reports when the document was adopted and when the canvas first showed the
// page image, and the steps between: the application made, the window shown and first exposed, the worker
// launched, the open sent, the page's thumbnail when it came before the page. Prints every run and the
// medians; figures are printed, never checked.
// Offscreen unless QT_QPA_PLATFORM is set (QT_QPA_PLATFORM=xcb with DISPLAY: a real X server).
// usage: editor_launch_bench [document.pdf]   (default: the shared 117-page sample)

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/canvas/canvas_area.hpp"
#include "app/shell/app_accessibility.hpp"
#include "app/shell/editor_app.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/quit_signals.hpp"
#include "design/appearance.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/worker_link.hpp"
#include "workspace/workspace.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int runs = 10;
constexpr int childSeconds = 15;

// CLOCK_MONOTONIC is one clock for every process of the machine, so parent and child can compare.
double nowMilliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return (values[(values.size() - 1) / 2] + values[values.size() / 2]) / 2;
}

// The steps of a start, in their order; the child prints each as "<step> <ms>".
const std::vector<std::string> steps = {"app",  "shown",   "exposed", "launched",
                                        "open", "adopted", "thumb",   "page"};

void report(const char* step) {
    std::printf("%s %.3f\n", step, nowMilliseconds());
    std::fflush(stdout);
}

// Reports the window's first expose.
class ExposeWatch : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed()) {
            watched->removeEventFilter(this);
            report("exposed");
        }
        return false;
    }
};

// Calls `painted` as the watched widget paints, until it answers true.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(std::function<bool()> painted) : painted_(std::move(painted)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && painted_()) watched->removeEventFilter(this);
        return false;
    }

private:
    std::function<bool()> painted_;
};

// The editor, as kivo-pdf's main starts it, reporting on standard output.
int runEditor(int argc, char** argv, const std::string& document) {
    const auto launchedAt = kivo::EditorApp::processStartedAt();
    QApplication application(argc, argv);
    report("app");
    kivo::QuitSignals::install();
    kivo::Appearance::instance().install(application);
    kivo::installAppAccessibility();
    kivo::EditorApp editor;
    ExposeWatch exposeWatch;
    QObject::connect(&editor, &kivo::EditorApp::launched, [] { report("launched"); });
    bool sent = false;
    QObject::connect(&editor.workspace().link(), &kivo::WorkerLink::activityChanged, [&] {
        if (sent || !editor.workspace().link().activity()) return;
        sent = true;
        report("open");
    });
    if (editor.start({document}, launchedAt) != kivo::EditorApp::Start::running) return 1;
    report("shown");
    if (QWindow* handle = editor.window()->windowHandle(); handle != nullptr && !handle->isExposed()) {
        handle->installEventFilter(&exposeWatch);
    }
    kivo::Workspace& workspace = editor.workspace();
    kivo::MainWindow& window = *editor.window();
    bool adopted = false;
    QObject::connect(&workspace.thumbnails(), &kivo::ThumbnailQueue::thumbnailGenerationChanged, [&] {
        if (adopted && !workspace.thumbnails().thumbnail(workspace.selectedPageId().value_or("")).isNull())
            report("thumb");
    });
    QObject::connect(&workspace, &kivo::WorkspaceState::inspectChanged, [&] {
        if (adopted || !workspace.inspect()) return;
        adopted = true;
        report("adopted");
    });
    // Shown means painted: the time is taken as the canvas paints the page image, which it does the
    // moment the image arrives.
    PaintWatch paintWatch([&] {
        if (window.canvasArea()->shown() != kivo::CanvasArea::Shown::page) return false;
        report("page");
        QCoreApplication::quit();
        return true;
    });
    QWidget* canvas = window.findChild<QWidget*>("pageCanvas");
    if (canvas == nullptr) return 1;
    canvas->installEventFilter(&paintWatch);
    QObject::connect(&workspace, &kivo::WorkspaceState::errorMessageChanged, [&] {
        if (!workspace.errorMessage()) return;
        std::fprintf(stderr, "editor_launch_bench: %s\n", workspace.errorMessage()->c_str());
        QCoreApplication::exit(1);
    });
    QTimer::singleShot(childSeconds * 1000, [] { QCoreApplication::exit(2); });
    return QApplication::exec();
}

// Milliseconds from the spawn to each step seen.
using Run = std::map<std::string, double>;

// One child editor in a scratch folder of its own; the times are from just before it was started.
Run timeOneStart(const char* self, const std::string& document, const fs::path& scratch, int run) {
    const fs::path folder = scratch / ("run-" + std::to_string(run));
    fs::create_directories(folder / "config");
    ::setenv("KIVO_PDF_SUPPORT_DIR", (folder / "support").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::string childFlag = "--editor";
    std::vector<char*> arguments = {const_cast<char*>(self), childFlag.data(),
                                    const_cast<char*>(document.c_str()), nullptr};
    pid_t child = 0;
    const double started = nowMilliseconds();
    if (posix_spawn(&child, self, &actions, nullptr, arguments.data(), environ) != 0) std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);

    Run result;
    FILE* lines = ::fdopen(pipeFds[0], "r");
    char word[16];
    double at = 0;
    while (std::fscanf(lines, "%15s %lf", word, &at) == 2) result.emplace(word, at - started);
    std::fclose(lines);
    int status = 0;
    ::waitpid(child, &status, 0);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--editor") return runEditor(argc, argv, argv[2]);

    const std::string document =
        argc > 1 ? fs::absolute(argv[1]).string() : std::string(KIVO_CORPUS_DIR) + "/geotopo.pdf";
    if (!fs::exists(document)) {
        std::fprintf(stderr, "editor_launch_bench: %s is missing\n", document.c_str());
        return 1;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char pattern[] = "/tmp/kivo-launch-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const fs::path scratch = pattern;
    ::setenv("TMPDIR", scratch.c_str(), 1);
    ::setenv("KIVO_PDF_DEFAULTS_SUITE", "kivo-launch-bench", 1);

    std::map<std::string, std::vector<double>> times;
    std::printf("editor_launch_bench: kivo-pdf %s, %s, %d runs (ms from the spawn)\n", document.c_str(),
                std::getenv("QT_QPA_PLATFORM"), runs);
    for (int run = 0; run < runs; ++run) {
        const Run one = timeOneStart(argv[0], document, scratch, run);
        std::printf("  run %2d:", run + 1);
        for (const std::string& step : steps) {
            const auto at = one.find(step);
            if (at == one.end()) {
                std::printf(" %s -", step.c_str());
                continue;
            }
            std::printf(" %s %ld", step.c_str(), std::lround(at->second));
            times[step].push_back(at->second);
        }
        std::printf("\n");
    }
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    std::printf("medians:");
    for (const std::string& step : steps) {
        if (!times.contains(step)) continue;
        std::printf(" %s %.0f (%zu)", step.c_str(), median(times[step]), times[step].size());
    }
    std::printf("\n");
    return 0;
}
