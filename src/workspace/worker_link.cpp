// Starting the worker and connecting to it, once at start and again at each restart, ending it
// when the editor quits, and the one road of every command on the main connection: refusals, the
// exchange on the command queue, the activity with its progress, the outcome back on the GUI
// thread, and cancel on the control connection. The launch runs on the GUI thread and sleeps
// there, at most a few seconds, as the start-up expects.

#include "workspace/worker_link.hpp"

#include <QMetaObject>
#include <QTimer>

#include <cerrno>
#include <system_error>
#include <utility>

#include "core/ipc_paths.hpp"
#include "core/text.hpp"
#include "workspace/workspace_state.hpp"

namespace kivo {
namespace {

constexpr int activityDelayMilliseconds = 250;

const char* const stoppedMessage = "The PDF worker stopped before this finished.";

constexpr int socketChecks = 40;
constexpr int connectAttempts = 20;
constexpr int pauseMilliseconds = 50;
// How long a worker that failed its launch is given to tell how it ended.
constexpr int exitChecks = 10;
constexpr int terminateMilliseconds = 2000;

// Runs `step` on the GUI thread after everything posted before it; dropped once `context` is gone.
template <class Step>
void post(QObject* context, Step step) {
    QMetaObject::invokeMethod(context, std::move(step), Qt::QueuedConnection);
}

// Asks the process to end, and ends it when it will not.
void endProcess(WorkerProcess& process) {
    process.terminate();
    if (!process.waitForExit(terminateMilliseconds)) {
        process.kill();
        process.waitForExit(terminateMilliseconds);
    }
}

}  // namespace

WorkerLink::WorkerLink(WorkspaceState& state, const WorkspaceServices& services, QObject* parent)
    : CommandSender(parent), state_(state), services_(services), token_(newUUIDString()) {}

WorkerLink::~WorkerLink() = default;

// ---- The worker

bool WorkerLink::claimEditorLock() {
    if (editorLock_.held()) return true;
    IPCPaths::prepareIPCDirectory();
    editorLock_ = EditorLock::acquire(IPCPaths::ipcDirectory() / "editor.lock");
    lockedOut_ = !editorLock_.held();
    return editorLock_.held();
}

void WorkerLink::startEarly() {
    if (worker_ || startedEarly_) return;
    startedEarly_ = true;
    try {
        startProcess();
    } catch (const std::exception&) {
        earlyFailure_ = std::current_exception();
    }
}

void WorkerLink::launch() {
    if (std::exchange(startedEarly_, false)) {
        if (const std::exception_ptr failure = std::exchange(earlyFailure_, nullptr))
            std::rethrow_exception(failure);
    } else {
        startProcess();
    }
    try {
        connectToWorker(IPCPaths::socketURL().string());
    } catch (const std::exception&) {
        abandonLaunch(std::current_exception());
    }
    reconnectPending_ = false;
    setWorkerReady(true);
}

void WorkerLink::startProcess() {
    // The lock comes first: nothing of a running editor's socket or token may be touched.
    if (!claimEditorLock()) throw EngineLaunchError::anotherEditor();
    const std::string socket = IPCPaths::socketURL().string();
    // A fresh MCP token for every worker; the UI token stays the same for the whole run.
    const std::string mcpToken = newUUIDString();
    IPCFiles::writeTokenFile(IPCPaths::tokenURL(), mcpToken);
    std::error_code ignored;
    std::filesystem::remove(socket, ignored);

    const WorkerHost& host = *services_.workerHost;
    const auto executable = host.workerExecutable();
    if (!executable) throw EngineLaunchError::missingWorker(host.installed());

    std::unique_ptr<WorkerProcess> process = host.makeProcess();
    const std::int64_t generation = ++workerGeneration_;
    connect(
        process.get(), &WorkerProcess::finished, this,
        [this, generation](WorkerTermination termination) { processEnded(generation, termination); },
        Qt::QueuedConnection);
    process->start(*executable, {"--socket", socket, "--token-stdin"}, host.environment());
    worker_ = std::move(process);
    try {
        worker_->writeInputAndClose(token_ + "\n" + mcpToken + "\n");
    } catch (const std::exception&) {
        abandonLaunch(std::current_exception());
    }
}

void WorkerLink::connectToWorker(const std::string& socket) {
    for (int check = 0; check < socketChecks; ++check) {
        std::error_code error;
        if (std::filesystem::exists(socket, error)) break;
        // The pause between checks, cut short by a worker that ends.
        if (worker_->waitForExit(pauseMilliseconds))
            throw std::runtime_error("The PDF worker ended at its start.");
    }
    std::shared_ptr<CommandClient> client;
    for (int attempt = 1; !client; ++attempt) {
        auto candidate = std::make_shared<CommandClient>(socket, token_, CommandChannel::ui);
        try {
            candidate->connect();
            client = std::move(candidate);
        } catch (const std::exception&) {
            if (attempt == connectAttempts || worker_->waitForExit(pauseMilliseconds)) throw;
        }
    }
    // Without the control connection nothing can be cancelled, but everything else works.
    auto control = std::make_shared<CommandClient>(socket, token_, CommandChannel::ui);
    try {
        control->connect();
    } catch (const std::exception&) {
        control.reset();
    }
    controlClient_ = std::move(control);
    client_ = std::move(client);
}

void WorkerLink::abandonLaunch(std::exception_ptr error) {
    // Its end is no stop of a running worker: the report will carry an old generation.
    ++workerGeneration_;
    const std::unique_ptr<WorkerProcess> process = std::move(worker_);
    bool ended = false;
    for (int check = 0; check < exitChecks && !ended; ++check)
        ended = process->waitForExit(pauseMilliseconds);
    if (ended) {
        if (const auto termination = process->termination())
            throw EngineLaunchError::stoppedAtStart(recordStop(*termination));
    } else {
        endProcess(*process);
    }
    std::rethrow_exception(error);
}

void WorkerLink::processEnded(std::int64_t generation, WorkerTermination termination) {
    // A worker started early that ends before launch() is that launch's failure, not a stop to recover from.
    if (generation != workerGeneration_ || stopping_ || startedEarly_) return;
    client_.reset();
    controlClient_.reset();
    worker_.reset();
    setWorkerReady(false);
    setActivity(std::nullopt);
    emit stopped(recordStop(termination));
}

WorkerStop WorkerLink::recordStop(const WorkerTermination& termination) {
    WorkerStop stop;
    stop.termination = termination;
    stop.cause = describeStop(termination, limits());
    stop.recentStops = workerStops_.record(services_.clock->now());
    return stop;
}

void WorkerLink::shutdown() {
    stopping_ = true;
    // The worker goes first: its end also ends any exchange waiting on it, so closing the
    // connections and joining the queues cannot wait for a stalled command.
    if (worker_) endProcess(*worker_);
    if (client_) client_->close();
    if (controlClient_) controlClient_->close();
    commandQueue_.stop();
    controlQueue_.stop();
    client_.reset();
    controlClient_.reset();
    worker_.reset();
    // The worker cannot remove its socket from inside its sandbox; a file left behind would only
    // make the MCP connector knock at a door nobody answers.
    if (editorLock_.held()) {
        std::error_code ignored;
        std::filesystem::remove(IPCPaths::socketURL(), ignored);
    }
}

bool WorkerLink::workerEnded(int milliseconds) const {
    return !worker_ || worker_->waitForExit(milliseconds);
}

ResourceLimits WorkerLink::limits() const {
    return ResourceLimits::fromEnvironment(services_.workerHost->environment(), physicalMemoryBytes());
}

void WorkerLink::setWorkerReady(bool value) {
    if (value == workerReady_) return;
    workerReady_ = value;
    emit workerReadyChanged();
}

void WorkerLink::setActivity(std::optional<CommandActivity> value) {
    if (value == activity_) return;
    activity_ = std::move(value);
    emit activityChanged();
}

qint64 WorkerLink::workerProcessId() const { return worker_ ? worker_->processId() : 0; }

// ---- Commands

bool WorkerLink::isLostConnection(const std::exception& error) {
    if (const auto* client = dynamic_cast<const CommandClientError*>(&error)) {
        return client->kind() == CommandClientError::Kind::notConnected;
    }
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        const int code = system->code().value();
        return system->code().category() == std::generic_category() &&
               (code == EPIPE || code == ECONNRESET || code == ENOTCONN);
    }
    return false;
}

EngineLaunchError WorkerLink::noConnectionError() const {
    if (lockedOut_) return EngineLaunchError::anotherEditor();
    if (state_.workerNotice()) return EngineLaunchError::workerStopped();
    return EngineLaunchError::missingWorker(services_.workerHost->installed());
}

void WorkerLink::send(CommandRequest request, std::optional<std::string> activity, bool clearsError,
                      SuccessHandler onSuccess, FailureHandler onFailure, CancelHandler onCancelled) {
    if (clearsError) state_.setErrorMessage(std::nullopt);
    // A request that cannot go fails on a later turn of the event loop, never on its sender's stack: a
    // queue that asks for its next item from the failure of the last would otherwise recurse once per
    // item for as long as the worker is away, until the stack runs out.
    if (const auto refusal = gate_.refusal ? gate_.refusal(request) : std::nullopt) {
        if (onFailure) {
            post(this, [onFailure = std::move(onFailure), refusal] {
                onFailure(std::string(rawValue(LinkFailure::workerRestarting)), *refusal);
            });
        } else {
            state_.setStatus(*refusal);
        }
        return;
    }
    if (!client_) {
        std::string message = noConnectionError().what();
        if (onFailure) {
            post(this, [onFailure = std::move(onFailure), message = std::move(message)] {
                onFailure(std::string(rawValue(FailureCode::internal)), message);
            });
        } else {
            state_.setErrorMessage(message);
        }
        return;
    }
    // The broken connection is mended once, before the next command, while the worker still runs.
    const bool reconnect = std::exchange(reconnectPending_, false) && worker_ && !worker_->waitForExit(0);
    const std::optional<std::string> inspected = reconnect ? state_.sessionId() : std::nullopt;
    // A change made against the revision on show may leave the queue after earlier changes of ours
    // moved it on: it then goes with the revision they produced (see OwnRevisions).
    const auto& shown = state_.inspect();
    const bool ownChange = request.expectedRevision && shown && request.expectedRevision == shown->revision &&
                           request.params.sessionId && request.params.sessionId == state_.sessionId();
    if (ownChange) ++ownChangesInFlight_;
    if (gate_.leaving) gate_.leaving(request);
    commandQueue_.post([this, client = client_, request = std::move(request), activity = std::move(activity),
                        onSuccess = std::move(onSuccess), onFailure = std::move(onFailure),
                        onCancelled = std::move(onCancelled), reconnect, inspected, ownChange]() mutable {
        if (reconnect) reconnectAndInspect(*client, inspected);
        exchange(*client, std::move(request), ownChange, activity, std::move(onSuccess), std::move(onFailure),
                 std::move(onCancelled));
    });
}

// On the command queue: touches no state but the chain of our own revisions, only posts.
void WorkerLink::exchange(CommandClient& client, CommandRequest request, bool ownChange,
                          const std::optional<std::string>& activity, SuccessHandler onSuccess,
                          FailureHandler onFailure, CancelHandler onCancelled) {
    if (revisionsClient_ != &client) {
        ownRevisions_.clear();
        revisionsClient_ = &client;
    }
    if (ownChange) {
        request.expectedRevision =
            ownRevisions_.forward(*request.params.sessionId, *request.expectedRevision);
    }
    // Counted down on the GUI thread with the outcome, whichever it is.
    const auto settled = [this, ownChange] {
        if (ownChange) --ownChangesInFlight_;
    };
    CommandClient::ProgressHandler progress;
    if (activity) {
        post(this, [this, id = request.id, title = *activity] { beginActivity(id, title); });
        progress = [this](const CommandProgress& line) {
            post(this, [this, line] { followProgress(line); });
        };
    }
    const auto fail = [this, id = request.id, onFailure, settled](std::string code, std::string message) {
        settled();
        endActivity(id);
        if (onFailure) {
            onFailure(code, message);
        } else {
            state_.setErrorMessage(message);
        }
    };
    try {
        CommandResponse response = client.send(request, progress);
        if (request.expectedRevision && request.params.sessionId && response.ok && response.result &&
            response.result->revision) {
            ownRevisions_.record(*request.params.sessionId, *request.expectedRevision,
                                 *response.result->revision);
        }
        post(this,
             [this, response = std::move(response), id = request.id, onSuccess, onCancelled, fail, settled] {
                 if (response.ok && response.result) {
                     settled();
                     endActivity(id);
                     onSuccess(*response.result);
                     return;
                 }
                 const std::string code =
                     response.error ? response.error->code : std::string(rawValue(FailureCode::internal));
                 const std::string message = response.error ? response.error->message : "Command failed.";
                 if (code != rawValue(FailureCode::cancelled)) {
                     fail(code, message);
                     return;
                 }
                 settled();
                 endActivity(id);
                 state_.setStatus(message);
                 if (onCancelled) onCancelled();
             });
    } catch (const std::exception& error) {
        const bool lost = isLostConnection(error);
        post(this, [this, fail, lost, description = std::string(error.what())] {
            // Every failed exchange leaves the client unconnected.
            reconnectPending_ = true;
            fail(std::string(lost ? rawValue(LinkFailure::workerStopped) : rawValue(FailureCode::internal)),
                 lost ? stoppedMessage : description);
        });
    }
}

// On the command queue. The command that broke the connection may have been applied, so the
// document is read again; when even the reconnect fails, the next command reports it.
void WorkerLink::reconnectAndInspect(CommandClient& client, const std::optional<std::string>& session) {
    // Whether the broken command went through is unknown: the chain starts again from what is read.
    ownRevisions_.clear();
    try {
        client.connect();
        if (!session) return;
        CommandParams params;
        params.sessionId = session;
        const CommandResponse response = client.send(makeRequest(CommandMethod::inspect, std::move(params)));
        if (!response.ok || !response.result) return;
        post(this, [this, result = *response.result, session] {
            if (gate_.reread) gate_.reread(result, session);
        });
    } catch (const std::exception&) {}
}

void WorkerLink::beginActivity(const std::string& requestId, const std::string& title) {
    CommandActivity started;
    started.requestId = requestId;
    started.title = title;
    setActivity(started);
    QTimer::singleShot(activityDelayMilliseconds, this, [this, requestId] {
        if (!activity() || activity()->requestId != requestId) return;
        CommandActivity shown = *activity();
        shown.visible = true;
        setActivity(shown);
    });
}

void WorkerLink::followProgress(const CommandProgress& line) {
    if (!activity() || activity()->requestId != line.id) return;
    CommandActivity updated = *activity();
    updated.phase = line.phase;
    updated.completed = line.completed;
    updated.total = line.total;
    setActivity(updated);
}

void WorkerLink::showActivity(CommandActivity activity) { setActivity(std::move(activity)); }

void WorkerLink::endActivity(const std::string& requestId) {
    if (activity() && activity()->requestId == requestId) setActivity(std::nullopt);
}

void WorkerLink::cancelActivity() {
    if (!activity() || activity()->cancelling || !controlClient_) return;
    CommandActivity cancelling = *activity();
    cancelling.cancelling = true;
    setActivity(cancelling);
    CommandParams params;
    params.requestId = cancelling.requestId;
    controlQueue_.post(
        [client = controlClient_, request = makeRequest(CommandMethod::cancel, std::move(params))] {
            try {
                client->send(request);
            } catch (const std::exception&) {
                // The cancelled command reports its own end; a cancel that did not arrive changes nothing.
            }
        });
}

}  // namespace kivo
