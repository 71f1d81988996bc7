// Measures starting the editor on a document, as a person does: from starting the program to the first
// page image in its window. The bench starts itself 10 times as the editor (offscreen, a fresh support
// folder each time, the worker beside it inside its sandbox where the system offers one); each child runs
// kivo-pdf's own start-up and reports when the document was adopted and when the canvas first showed the
// page image. Prints every run and the medians; figures are printed, never checked.
// usage: editor_launch_bench [document.pdf]   (default: the shared 117-page sample)

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/canvas/canvas_area.hpp"
#include "app/shell/app_accessibility.hpp"
#include "app/shell/editor_app.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/quit_signals.hpp"
#include "design/appearance.hpp"
#include "workspace/page_renderer.hpp"
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

// The editor, as kivo-pdf's main starts it, reporting on standard output.
int runEditor(int argc, char** argv, const std::string& document) {
    QApplication application(argc, argv);
    kivo::QuitSignals::install();
    kivo::Appearance::instance().install(application);
    kivo::installAppAccessibility();
    kivo::EditorApp editor;
    if (editor.start({document}) != kivo::EditorApp::Start::running) return 1;
    kivo::Workspace& workspace = editor.workspace();
    kivo::MainWindow& window = *editor.window();
    bool adopted = false;
    QObject::connect(&workspace, &kivo::WorkspaceState::inspectChanged, [&] {
        if (adopted || !workspace.inspect()) return;
        adopted = true;
        std::printf("adopted %.3f\n", nowMilliseconds());
        std::fflush(stdout);
    });
    QObject::connect(&workspace.renderer(), &kivo::PageRenderer::pageImageChanged, [&] {
        if (window.canvasArea()->shown() != kivo::CanvasArea::Shown::page) return;
        // Shown means painted: the window draws the page before the time is taken.
        window.repaint();
        std::printf("page %.3f\n", nowMilliseconds());
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    QObject::connect(&workspace, &kivo::WorkspaceState::errorMessageChanged, [&] {
        if (!workspace.errorMessage()) return;
        std::fprintf(stderr, "editor_launch_bench: %s\n", workspace.errorMessage()->c_str());
        QCoreApplication::exit(1);
    });
    QTimer::singleShot(childSeconds * 1000, [] { QCoreApplication::exit(2); });
    return QApplication::exec();
}

struct Run {
    std::optional<double> adopted;
    std::optional<double> page;
};

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
    std::vector<char*> arguments = {const_cast<char*>(self), childFlag.data(), const_cast<char*>(document.c_str()),
                                    nullptr};
    pid_t child = 0;
    const double started = nowMilliseconds();
    if (posix_spawn(&child, self, &actions, nullptr, arguments.data(), environ) != 0) std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);

    Run result;
    FILE* lines = ::fdopen(pipeFds[0], "r");
    char word[16];
    double at = 0;
    while (std::fscanf(lines, "%15s %lf", word, &at) == 2) {
        if (std::string(word) == "adopted") result.adopted = at - started;
        if (std::string(word) == "page") result.page = at - started;
    }
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
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char pattern[] = "/tmp/kivo-launch-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const fs::path scratch = pattern;
    ::setenv("TMPDIR", scratch.c_str(), 1);
    ::setenv("KIVO_PDF_DEFAULTS_SUITE", "kivo-launch-bench", 1);

    std::vector<double> adopted;
    std::vector<double> pages;
    std::printf("editor_launch_bench: kivo-pdf %s, offscreen, %d runs\n", document.c_str(), runs);
    for (int run = 0; run < runs; ++run) {
        const Run times = timeOneStart(argv[0], document, scratch, run);
        std::printf("  run %2d: document adopted %s ms, first page image %s ms\n", run + 1,
                    times.adopted ? std::to_string(static_cast<int>(*times.adopted)).c_str() : "-",
                    times.page ? std::to_string(static_cast<int>(*times.page)).c_str() : "-");
        if (times.adopted) adopted.push_back(*times.adopted);
        if (times.page) pages.push_back(*times.page);
    }
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    if (!adopted.empty()) std::printf("median start to document adopted: %.0f ms\n", median(adopted));
    if (pages.empty()) {
        std::printf("median start to first page image: none shown\n");
        return 0;
    }
    std::printf("median start to first page image: %.0f ms (%zu of %d runs)\n", median(pages), pages.size(), runs);
    return 0;
}
