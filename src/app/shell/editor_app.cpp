#include "app/shell/editor_app.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <time.h>
#include <unistd.h>

#include "app/desktop/desktop_clipboard.hpp"
#include "app/desktop/desktop_file_dialogs.hpp"
#include "app/desktop/desktop_prompts.hpp"
#include "app/desktop/window_print_service.hpp"
#include "app/inspector/annotations_card.hpp"
#include "app/inspector/inspector_panel.hpp"
#include "app/inspector/page_tab.hpp"
#include "app/shell/editor_commands.hpp"
#include "app/shell/instance_channel.hpp"
#include "app/shell/main_window.hpp"
#include "app/shell/recovery_sheet.hpp"
#include "app/shell/updates.hpp"
#include "workspace/worker_link.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int handOffMilliseconds = 3000;
// A window that is never exposed (started on a hidden desktop) must not keep the worker from starting.
constexpr int paintWaitMilliseconds = 1000;

}  // namespace

EditorApp::EditorApp(WorkspaceServices services, std::unique_ptr<Updates> updates, QObject* parent)
    : QObject(parent), updates_(updates ? std::move(updates) : Updates::installed()) {
    settings_ = services.settings ? services.settings : std::make_shared<EditorSettings>();
    services.settings = settings_;
    if (!services.prompts) services.prompts = prompts_ = std::make_shared<DesktopPrompts>();
    if (!services.fileDialogs) services.fileDialogs = fileDialogs_ = std::make_shared<DesktopFileDialogs>();
    if (!services.clipboard) services.clipboard = std::make_shared<DesktopClipboard>();
    if (!services.printer) services.printer = printer_ = std::make_shared<WindowPrintService>();
    if (!services.keyStore) services.keyStore = std::make_shared<KeychainKeyStore>();
    workspace_ = std::make_unique<Workspace>(std::move(services));
    connect(qApp, &QCoreApplication::aboutToQuit, this, &EditorApp::shutdown);
}

EditorApp::~EditorApp() {
    shutdown();
    delete window_;
}

std::chrono::steady_clock::time_point EditorApp::processStartedAt() {
    const auto now = std::chrono::steady_clock::now();
    timespec boot{};
    std::ifstream file("/proc/self/stat");
    std::string stat(1024, '\0');
    file.read(stat.data(), static_cast<std::streamsize>(stat.size()));
    stat.resize(static_cast<std::size_t>(file.gcount()));
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    // The name in parentheses may hold anything; the start time is the 20th field after it.
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos || ticksPerSecond <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0)
        return now;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    int index = 2;
    while (index < 22 && fields >> field) ++index;
    unsigned long long ticks = 0;
    if (index != 22 || std::from_chars(field.data(), field.data() + field.size(), ticks).ec != std::errc())
        return now;
    const auto sinceBoot = std::chrono::seconds(boot.tv_sec) + std::chrono::nanoseconds(boot.tv_nsec);
    const auto started =
        std::chrono::nanoseconds(static_cast<std::int64_t>(ticks + 1) * (1'000'000'000 / ticksPerSecond));
    auto age = sinceBoot - started;
    if (age < std::chrono::nanoseconds(0) || age > std::chrono::minutes(1)) return now;
    // The tick is coarse (10 ms). This thread has lived at least as long as it has run and waited to run,
    // which the scheduler counts in nanoseconds on a clock of its own; less a millisecond for the two clocks
    // (they were seen a tenth of one apart), that narrows the age where it says more, never past the start.
    std::ifstream scheduled("/proc/thread-self/schedstat");
    unsigned long long running = 0;
    unsigned long long waiting = 0;
    if (scheduled >> running >> waiting) {
        const std::chrono::nanoseconds busy(
            static_cast<std::int64_t>(std::min(running + waiting, 60'000'000'000ULL)));
        age = std::max(age, busy - std::chrono::milliseconds(1));
    }
    return now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
}

std::vector<std::string> EditorApp::absolutePaths(const std::vector<std::string>& arguments,
                                                  const std::filesystem::path& folder) {
    std::vector<std::string> paths;
    for (const std::string& argument : arguments) {
        if (argument.empty()) continue;
        const std::filesystem::path path(argument);
        paths.push_back((path.is_absolute() ? path : folder / path).lexically_normal().string());
    }
    return paths;
}

EditorApp::Start EditorApp::start(const std::vector<std::string>& arguments,
                                  std::chrono::steady_clock::time_point launchedAt) {
    std::error_code noFolder;
    const std::filesystem::path here = std::filesystem::current_path(noFolder);
    launchFiles_ = absolutePaths(arguments, here);

    bool ours = true;
    try {
        ours = workspace_->link().claimEditorLock();
    } catch (const std::exception&) {
        // No ipc folder: the launch says why in the window.
    }
    if (!ours) {
        return InstanceChannel::handOff(InstanceChannel::socketPath(), launchFiles_, handOffMilliseconds)
                   ? Start::handedOver
                   : Start::handOverFailed;
    }
    // The 0.25 s count from the process's launch, not from the window's first paint. A launch still waiting
    // for that paint goes first, as the launch always comes before this step.
    const auto sinceLaunch =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - launchedAt);
    const auto front =
        std::max(std::chrono::milliseconds(0), std::chrono::milliseconds(frontMilliseconds) - sinceLaunch);
    // A timer of its own, named, so that what was decided can be read while it runs.
    auto* launchFileTimer = new QTimer(this);
    launchFileTimer->setObjectName("launchFileTimer");
    launchFileTimer->setSingleShot(true);
    launchFileTimer->setTimerType(Qt::PreciseTimer);
    connect(launchFileTimer, &QTimer::timeout, this, [this] {
        launch();
        bringToFront();
        workspace_->openLaunchFiles(launchFiles_, launchFileAttempts);
    });
    launchFileTimer->start(front);
    // The worker comes up while the window is built; the launch after the first paint only connects.
    workspace_->link().startEarly();
    server_ = new InstanceServer(this);
    // Without it a later `kivo-pdf` cannot hand its files over, and says so; this editor runs as ever.
    server_->listen(InstanceChannel::socketPath());
    connect(server_, &InstanceServer::filesReceived, this, &EditorApp::openFiles);

    window_ = new MainWindow(*workspace_, *settings_, *updates_);
    commands_ = window_->commands();
    // The Page tab's hint names the keys of the Annotate menu's own items.
    window_->inspector()->pageTab()->annotations()->setKeyActions(commands_->action(EditorAction::moveUp),
                                                                  commands_->action(EditorAction::growUp));
    if (prompts_) prompts_->setWindow(window_);
    if (fileDialogs_) fileDialogs_->setWindow(window_);
    if (printer_) printer_->setWindow(window_);
    window_->show();
    launchWhenPainted();
    return Start::running;
}

void EditorApp::launchWhenPainted() {
    QWindow* handle = window_->windowHandle();
    if (handle != nullptr && !handle->isExposed()) {
        handle->installEventFilter(this);
        QTimer::singleShot(paintWaitMilliseconds, this, &EditorApp::launch);
        return;
    }
    // Exposed at once: it painted while it was shown.
    QTimer::singleShot(0, this, &EditorApp::launch);
}

bool EditorApp::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Expose) {
        auto* handle = static_cast<QWindow*>(watched);
        if (handle->isExposed()) {
            handle->removeEventFilter(this);
            // The window paints as this expose is handled; the launch follows it.
            QTimer::singleShot(0, this, &EditorApp::launch);
        }
    }
    return QObject::eventFilter(watched, event);
}

void EditorApp::launch() {
    if (launchQueued_) return;
    launchQueued_ = true;
    workspace_->launchOnce();
    emit launched();
}

void EditorApp::openFiles(const std::vector<std::string>& paths) {
    if (window_ != nullptr) window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    bringToFront();
    workspace_->openLaunchFiles(paths, launchFileAttempts);
}

void EditorApp::bringToFront() {
    if (window_ == nullptr) return;
    window_->raise();
    // The recovery sheet shown at launch keeps the keyboard: activating the window under it would
    // leave Escape, Tab and the menus' keys to nobody. Any other dialog already open is left alone
    // (activating a file dialog again in the middle of its choice stalls it).
    auto* modal = qobject_cast<RecoverySheet*>(QApplication::activeModalWidget());
    if (modal != nullptr && modal->parentWidget() != nullptr && modal->parentWidget()->window() == window_) {
        modal->raise();
        modal->activateWindow();
        return;
    }
    window_->activateWindow();
}

void EditorApp::shutdown() {
    if (server_ != nullptr) server_->close();
    workspace_->shutdownWorker();
}

}  // namespace kivo
