#pragma once

// EditorApp: the top of the editor. It makes the one settings object and the one Workspace (with the
// desktop's prompts, file panels, clipboard, printing and key store), decides whether this process is the
// user's editor (it takes the editor lock) or hands its files to the editor that is, starts the worker's
// process, shows the window, and once the window has painted connects to the worker (the launch). 0.25 s
// after its launch it launches if the paint has not come yet, brings the window to the front and opens the
// first readable PDF among the launch files (checking up to 9 times, 0.25 s apart, and giving up at once
// while an error is shown). Files handed over by a later `kivo-pdf` are opened the same way. When the
// application quits it stops the worker before the process ends (aboutToQuit). It also holds the one
// software-update holder, Updates, which the window's menu commands use.
//
// GUI thread only. Nothing here throws: a failed launch shows in the inspector, a hand-off that found no
// editor answers handOverFailed.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "app/shell/updates.hpp"
#include "workspace/workspace_services.hpp"

namespace kivo {

class DesktopFileDialogs;
class DesktopPrompts;
class EditorCommands;
class EditorSettings;
class InstanceServer;
class MainWindow;
class WindowPrintService;
class Workspace;

class EditorApp : public QObject {
    Q_OBJECT

public:
    enum class Start { running, handedOver, handOverFailed };

    // Services left empty get the desktop's (tests pass their own worker host); the settings are
    // those of the environment's defaults suite. Without `updates`, the installation's
    // (Updates::installed()).
    explicit EditorApp(WorkspaceServices services = {}, std::unique_ptr<Updates> updates = nullptr,
                       QObject* parent = nullptr);
    ~EditorApp() override;

    // Starts the editor with the launch files `arguments` (each made absolute against the current
    // folder): starts the worker, shows the window and connects to the worker after its first paint, or,
    // when another editor holds this user's worker, hands the files to it and shows nothing. The 0.25 s
    // before the launch files open count from `launchedAt`, the moment the process began.
    Start start(const std::vector<std::string>& arguments,
                std::chrono::steady_clock::time_point launchedAt = std::chrono::steady_clock::now());

    // When the kernel made this process, on the steady clock, never before it: the kernel's clock tick it
    // was made in, rounded up, or, closer where it says more, the time the calling thread has run and
    // waited to run since; now when /proc cannot tell.
    static std::chrono::steady_clock::time_point processStartedAt();

    // The arguments as absolute paths against `folder`; empty arguments are dropped.
    static std::vector<std::string> absolutePaths(const std::vector<std::string>& arguments,
                                                  const std::filesystem::path& folder);

    Workspace& workspace() { return *workspace_; }
    EditorSettings& settings() { return *settings_; }
    MainWindow* window() const { return window_; }
    // The window's commands, each one action found by its id; none before start() made the window.
    EditorCommands* commands() const { return commands_; }
    Updates& updates() { return *updates_; }

    static constexpr int frontMilliseconds = 250;
    static constexpr int launchFileAttempts = 8;

signals:
    // The worker launch ran (whether or not it succeeded); for the tests and the benchmark.
    void launched();

private:
    void launchWhenPainted();
    void launch();
    void openFiles(const std::vector<std::string>& paths);
    // Raises the window and gives it the keyboard, or gives it to the sheet open over it.
    void bringToFront();
    void shutdown();
    bool eventFilter(QObject* watched, QEvent* event) override;

    std::shared_ptr<EditorSettings> settings_;
    std::shared_ptr<DesktopPrompts> prompts_;
    std::shared_ptr<DesktopFileDialogs> fileDialogs_;
    std::shared_ptr<WindowPrintService> printer_;
    std::unique_ptr<Workspace> workspace_;
    std::unique_ptr<Updates> updates_;
    MainWindow* window_ = nullptr;
    EditorCommands* commands_ = nullptr;
    InstanceServer* server_ = nullptr;
    std::vector<std::string> launchFiles_;
    bool launchQueued_ = false;
};

}  // namespace kivo
