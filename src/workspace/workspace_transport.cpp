// The one road of every command on the main connection: refusals, the exchange on the command
// queue, the activity with its progress, the outcome back on the GUI thread, and cancel on the
// control connection.

#include <QMetaObject>
#include <QTimer>

#include <cerrno>
#include <system_error>
#include <utility>

#include "core/text.hpp"
#include "workspace/workspace.hpp"

namespace kivo {
namespace {

constexpr int activityDelayMilliseconds = 250;

const char* const stoppedMessage = "The PDF worker stopped before this finished.";

// Runs `step` on the GUI thread after everything posted before it; dropped once `context` is gone.
template <class Step>
void post(QObject* context, Step step) {
    QMetaObject::invokeMethod(context, std::move(step), Qt::QueuedConnection);
}

}  // namespace

CommandRequest Workspace::makeRequest(CommandMethod method, CommandParams params) {
    CommandRequest request;
    request.id = newUUIDString();
    request.method = method;
    request.params = std::move(params);
    request.channel = CommandChannel::ui;
    return request;
}

bool Workspace::isLostConnection(const std::exception& error) {
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

EngineLaunchError Workspace::noConnectionError() const {
    if (lockedOut_) return EngineLaunchError::anotherEditor();
    if (workerNotice()) return EngineLaunchError::workerStopped();
    return EngineLaunchError::missingWorker(services_.workerHost->installed());
}

void Workspace::send(CommandRequest request, std::optional<std::string> activity, bool clearsError,
                     SuccessHandler onSuccess, FailureHandler onFailure, CancelHandler onCancelled) {
    if (clearsError) setErrorMessage(std::nullopt);
    if (lostDocument_ && request.params.sessionId == lostDocument_->sessionId) {
        const std::string message = "Wait while Kivo PDF opens " + lostDocument_->name + " again.";
        if (onFailure) {
            onFailure("worker_restarting", message);
        } else {
            setStatus(message);
        }
        return;
    }
    if (!client_) {
        const std::string message = noConnectionError().what();
        if (onFailure) {
            onFailure(std::string(rawValue(FailureCode::internal)), message);
        } else {
            setErrorMessage(message);
        }
        return;
    }
    // The broken connection is mended once, before the next command, while the worker still runs.
    const bool reconnect = std::exchange(reconnectPending_, false) && worker_ && !worker_->waitForExit(0);
    const std::optional<std::string> inspected = reconnect ? sessionId() : std::nullopt;
    // A change made against the revision on show may leave the queue after earlier changes of ours
    // moved it on: it then goes with the revision they produced (see OwnRevisions).
    const bool ownChange = request.expectedRevision && inspect() && request.expectedRevision == inspect()->revision &&
                           request.params.sessionId && request.params.sessionId == sessionId();
    if (ownChange) ++ownChangesInFlight_;
    // Another move of the nudged annotation (a drag, say) decides where the next nudge starts.
    if (nudgeBase_ && request.params.annotationId == nudgeBase_->annotationId && request.params.rect) {
        nudgeBase_.reset();
    }
    commandQueue_.post([this, client = client_, request = std::move(request), activity = std::move(activity),
                        onSuccess = std::move(onSuccess), onFailure = std::move(onFailure),
                        onCancelled = std::move(onCancelled), reconnect, inspected, ownChange]() mutable {
        if (reconnect) reconnectAndInspect(*client, inspected);
        exchange(*client, std::move(request), ownChange, activity, std::move(onSuccess), std::move(onFailure),
                 std::move(onCancelled));
    });
}

// On the command queue: touches no state but the chain of our own revisions, only posts.
void Workspace::exchange(CommandClient& client, CommandRequest request, bool ownChange,
                         const std::optional<std::string>& activity, SuccessHandler onSuccess, FailureHandler onFailure,
                         CancelHandler onCancelled) {
    if (revisionsClient_ != &client) {
        ownRevisions_.clear();
        revisionsClient_ = &client;
    }
    if (ownChange) {
        request.expectedRevision = ownRevisions_.forward(*request.params.sessionId, *request.expectedRevision);
    }
    // Counted down on the GUI thread with the outcome, whichever it is.
    const auto settled = [this, ownChange] {
        if (ownChange) --ownChangesInFlight_;
    };
    CommandClient::ProgressHandler progress;
    if (activity) {
        post(this, [this, id = request.id, title = *activity] { beginActivity(id, title); });
        progress = [this](const CommandProgress& line) { post(this, [this, line] { followProgress(line); }); };
    }
    const auto fail = [this, id = request.id, onFailure, settled](std::string code, std::string message) {
        settled();
        endActivity(id);
        if (onFailure) {
            onFailure(code, message);
        } else {
            setErrorMessage(message);
        }
    };
    try {
        CommandResponse response = client.send(request, progress);
        if (request.expectedRevision && request.params.sessionId && response.ok && response.result &&
            response.result->revision) {
            ownRevisions_.record(*request.params.sessionId, *request.expectedRevision, *response.result->revision);
        }
        post(this, [this, response = std::move(response), id = request.id, method = request.method, onSuccess,
                    onCancelled, fail, settled] {
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
            setStatus(message);
            if (method == CommandMethod::search) setSearchHits({});
            if (onCancelled) onCancelled();
        });
    } catch (const std::exception& error) {
        const bool lost = isLostConnection(error);
        post(this, [this, fail, lost, description = std::string(error.what())] {
            // Every failed exchange leaves the client unconnected.
            reconnectPending_ = true;
            fail(lost ? "worker_stopped" : std::string(rawValue(FailureCode::internal)),
                 lost ? stoppedMessage : description);
        });
    }
}

// On the command queue. The command that broke the connection may have been applied, so the
// document is read again; when even the reconnect fails, the next command reports it.
void Workspace::reconnectAndInspect(CommandClient& client, const std::optional<std::string>& session) {
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
            if (sessionId() == session) adopt(result, status(), true, RenderInvalidation::all());
        });
    } catch (const std::exception&) {}
}

void Workspace::beginActivity(const std::string& requestId, const std::string& title) {
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

void Workspace::followProgress(const CommandProgress& line) {
    if (!activity() || activity()->requestId != line.id) return;
    CommandActivity updated = *activity();
    updated.phase = line.phase;
    updated.completed = line.completed;
    updated.total = line.total;
    setActivity(updated);
}

void Workspace::endActivity(const std::string& requestId) {
    if (activity() && activity()->requestId == requestId) setActivity(std::nullopt);
}

void Workspace::cancelActivity() {
    if (!activity() || activity()->cancelling || !controlClient_) return;
    CommandActivity cancelling = *activity();
    cancelling.cancelling = true;
    setActivity(cancelling);
    CommandParams params;
    params.requestId = cancelling.requestId;
    controlQueue_.post([client = controlClient_, request = makeRequest(CommandMethod::cancel, std::move(params))] {
        try {
            client->send(request);
        } catch (const std::exception&) {
            // The cancelled command reports its own end; a cancel that did not arrive changes nothing.
        }
    });
}

}  // namespace kivo
