#pragma once

// The workspace's link to its worker: the editor lock, the worker's launch and end, the main and
// control connections, and the one road every command of the editor takes to the worker and back.
// It owns the process, both connections, the UI token and the two queues the exchanges run on; it
// shows the exchange under way as `activity` and reports failures in `errorMessage` of the state
// it is given. What a request means to the open document the workspace decides through the Gate.
// GUI thread only, except where a function says otherwise.
//
// send() never throws: every outcome reaches exactly one of its handlers (or the state when the
// handler is absent), on the GUI thread and never before send() returns. launch() throws, as it says.

#include <QObject>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/command_client.hpp"
#include "core/commands.hpp"
#include "core/worker_limits.hpp"
#include "workspace/command_sender.hpp"
#include "workspace/ipc_files.hpp"
#include "workspace/launch_error.hpp"
#include "workspace/own_revisions.hpp"
#include "workspace/serial_queue.hpp"
#include "workspace/worker_process.hpp"
#include "workspace/worker_stops.hpp"
#include "workspace/workspace_services.hpp"
#include "workspace/workspace_types.hpp"

namespace kivo {

class WorkspaceState;

class WorkerLink : public CommandSender {
    Q_OBJECT
    Q_PROPERTY(bool workerReady READ workerReady WRITE setWorkerReady NOTIFY workerReadyChanged)
    Q_PROPERTY(std::optional<CommandActivity> activity READ activity WRITE setActivity NOTIFY activityChanged)

public:
    // What the owner of the open document says about each request, on the GUI thread.
    struct Gate {
        // The sentence that refuses a request that may not go now; nothing lets it go.
        std::function<std::optional<std::string>(const CommandRequest&)> refusal;
        // The request is on its way to the queue.
        std::function<void(const CommandRequest&)> leaving;
        // After a broken connection was mended, the document of `session` as read again.
        std::function<void(const CommandResult&, const std::optional<std::string>& session)> reread;
    };

    // `state` and `services` must outlive the link. Starts nothing.
    WorkerLink(WorkspaceState& state, const WorkspaceServices& services, QObject* parent = nullptr);
    ~WorkerLink() override;

    void setGate(Gate gate) { gate_ = std::move(gate); }

    // A worker was started and both connections stood; false again once it stops.
    bool workerReady() const override { return workerReady_; }
    // The exchange on show with its progress; shown (`visible`) once it has taken 0.25 s.
    const std::optional<CommandActivity>& activity() const { return activity_; }
    // A run of several commands shows as one activity, under the id of the one the worker runs now, so
    // that cancelActivity() reaches it; endActivity() takes it away once the run is over.
    void showActivity(CommandActivity activity);
    // The activity of the command `requestId` goes; any other stays.
    void endActivity(const std::string& requestId);

    // ---- The worker

    // Takes the lock that makes this the one editor of the user's support folder; answers whether
    // it holds it. Throws std::filesystem::filesystem_error when the ipc folder or the lock file
    // cannot be made.
    bool claimEditorLock();
    // Starts a worker with a fresh MCP token and connects both connections. Throws
    // EngineLaunchError (another editor, no worker, stopped at its start) or the connection's
    // error; a worker that started is ended again before it throws. A worker that ended before both
    // connections stood counts among the recent stops, and its error carries that stop. `workerReady`
    // once it returns; false again, with no activity, before `stopped` tells of the worker's end.
    void launch();
    // The first half of the next launch() ahead of it: the worker's process is started, so that it comes up
    // while the editor builds its window, and launch() only connects. A failure is kept for launch() to
    // throw; an end of the process before launch() is that launch's failure. Nothing when a worker runs.
    void startEarly();
    // Ends the worker (SIGTERM, SIGKILL after 2 s), closes both connections, ends the queues and
    // removes the worker's socket. A command in flight ends as "worker_stopped". Returns within
    // about 4 s whatever the worker does. Nothing is sent afterwards.
    void shutdown();
    bool stopping() const { return stopping_; }
    // A worker runs and the main connection stands.
    bool running() const override { return worker_ && client_; }
    // No worker runs, or the running one ends within `milliseconds`.
    bool workerEnded(int milliseconds) const;
    // The limits the worker runs under, as its environment sets them.
    ResourceLimits limits() const;
    // The UI token: made once per link, handed to every worker it starts.
    const std::string& uiToken() const { return token_; }
    // The running worker's process id; 0 when none runs.
    qint64 workerProcessId() const;

    // ---- Commands

    // The one road of a command: refusals (the gate's, or no connection), the exchange on the
    // command queue, the activity titled `activity` while it runs, and the outcome back on the
    // GUI thread. `clearsError` empties `errorMessage` first. A failure without `onFailure` goes to
    // `errorMessage`; a cancel says so in `status`.
    void send(CommandRequest request, std::optional<std::string> activity, bool clearsError,
              SuccessHandler onSuccess, FailureHandler onFailure = nullptr,
              CancelHandler onCancelled = nullptr) override;
    // Asks the worker to cancel the command of the shown activity, once, on the control connection.
    void cancelActivity();
    // Whether the control connection stands, so that a command can be cancelled at all.
    bool hasControlConnection() const { return controlClient_ != nullptr; }
    // Changes of ours sent against the revision on show whose answers have not come back yet.
    std::int64_t ownChangesInFlight() const { return ownChangesInFlight_; }

signals:
    void activityChanged();
    // The running worker ended on its own (not through shutdown()); both connections are gone.
    void stopped(const WorkerStop& stop);

private:
    // The steps of a launch up to the worker's token lines; throws as launch() does.
    void startProcess();
    void connectToWorker(const std::string& socket);
    [[noreturn]] void abandonLaunch(std::exception_ptr error);
    void processEnded(std::int64_t generation, WorkerTermination termination);
    // One more stop of a worker in the recent count, with its sentence.
    WorkerStop recordStop(const WorkerTermination& termination);
    void exchange(CommandClient& client, CommandRequest request, bool ownChange,
                  const std::optional<std::string>& activity, SuccessHandler onSuccess,
                  FailureHandler onFailure, CancelHandler onCancelled);
    void reconnectAndInspect(CommandClient& client, const std::optional<std::string>& session);
    void beginActivity(const std::string& requestId, const std::string& title);
    void followProgress(const CommandProgress& line);
    // Each emits its change signal only on a real change.
    void setWorkerReady(bool value);
    void setActivity(std::optional<CommandActivity> value);
    static bool isLostConnection(const std::exception& error);
    EngineLaunchError noConnectionError() const;

    WorkspaceState& state_;
    const WorkspaceServices& services_;
    Gate gate_;
    bool workerReady_ = false;
    std::optional<CommandActivity> activity_;
    std::shared_ptr<CommandClient> client_;
    std::shared_ptr<CommandClient> controlClient_;
    std::unique_ptr<WorkerProcess> worker_;
    std::int64_t workerGeneration_ = 0;
    bool stopping_ = false;
    StopHistory workerStops_;
    // The last exchange broke the main connection while the worker went on running.
    bool reconnectPending_ = false;
    // startEarly() ran and the launch() it began has not; what went wrong in it, if anything.
    bool startedEarly_ = false;
    std::exception_ptr earlyFailure_;
    std::int64_t ownChangesInFlight_ = 0;
    // Command queue only: the revisions our changes produced, on the connection they went over.
    OwnRevisions ownRevisions_;
    const CommandClient* revisionsClient_ = nullptr;
    const std::string token_;
    EditorLock editorLock_;
    // Another editor holds the lock of this support folder.
    bool lockedOut_ = false;
    // Declared last so that they stop first, before anything their jobs might post about.
    SerialQueue commandQueue_{"kivo.pdf.commands"};
    SerialQueue controlQueue_{"kivo.pdf.control"};
};

}  // namespace kivo
