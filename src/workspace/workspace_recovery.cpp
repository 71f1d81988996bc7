// Bringing back the document that was open when the worker stopped, from its checkpoint or its
// file, and opening a listed recovery checkpoint as the document.

#include "core/render_cache.hpp"
#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {

bool Workspace::isPending(const LostDocument& lost) const {
    return d_->lostDocument_ && *d_->lostDocument_ == lost;
}

void Workspace::restoreLost(const LostDocument& lost, const std::optional<std::string>& password) {
    CommandParams params;
    params.recoveryId = lost.sessionId;
    params.password = password;
    d_->restoringLost_ = true;
    send(
        makeRequest(CommandMethod::restoreRecovery, std::move(params)), "Restoring " + lost.name, true,
        [this, lost](const CommandResult& result) {
            adoptLost(result, lost,
                      "Kivo PDF started it again and restored " + lost.name +
                          " from its last recovery checkpoint. Undo history from before the stop is gone.");
        },
        [this, lost, tried = password.has_value()](const std::string& code, const std::string& message) {
            lostAttemptFailed(lost, code, message, tried,
                              [this, lost](const std::string& typed) { restoreLost(lost, typed); });
        },
        [this, lost] { giveUp(lost, "the restore was cancelled"); });
}

void Workspace::reopenLost(const LostDocument& lost, const std::string& path,
                           const std::optional<std::string>& password) {
    CommandParams params;
    params.path = path;
    params.password = password;
    d_->restoringLost_ = true;
    send(
        makeRequest(CommandMethod::open, std::move(params)), "Opening " + lost.name, true,
        [this, lost](const CommandResult& result) {
            std::string outcome = "Kivo PDF started it again and opened " + lost.name + " from its file.";
            if (lost.dirty) outcome += " Its unsaved changes had no recovery checkpoint and are lost.";
            adoptLost(result, lost, outcome);
        },
        [this, lost, path, tried = password.has_value()](const std::string& code,
                                                         const std::string& message) {
            lostAttemptFailed(lost, code, message, tried, [this, lost, path](const std::string& typed) {
                reopenLost(lost, path, typed);
            });
        },
        [this, lost] { giveUp(lost, "the restore was cancelled"); });
}

void Workspace::lostAttemptFailed(const LostDocument& lost, const std::string& code,
                                  const std::string& message, bool triedPassword,
                                  const std::function<void(const std::string&)>& retry) {
    if (!isPending(lost)) return;
    // The worker stopped under it: the document stays pending and the stop decides what follows.
    // A connection that broke under a worker that goes on running decides nothing, so that one gives up.
    if (code == rawValue(LinkFailure::workerStopped) && d_->link_->workerEnded(250)) return;
    d_->restoringLost_ = false;
    if (code != rawValue(FailureCode::passwordRequired)) {
        giveUp(lost, message);
        return;
    }
    const std::string title = triedPassword ? "That password did not open " + lost.name : "Password required";
    const auto typed =
        askPassword(title, "Enter the password for " + lost.name +
                               " to open it again after the PDF worker stopped. The password is not "
                               "stored or logged.");
    if (typed) {
        retry(*typed);
    } else {
        giveUp(lost, "no password was entered");
    }
}

void Workspace::adoptLost(const CommandResult& result, const LostDocument& lost, const std::string& outcome) {
    if (!isPending(lost)) {
        // The user opened another document meanwhile; this copy would stay open unseen.
        if (result.sessionId) closeSession(*result.sessionId);
        return;
    }
    d_->lostDocument_.reset();
    d_->restoringLost_ = false;
    adopt(result, "Opened " + lost.name + " again", false, RenderInvalidation::all());
    const auto& pages = result.pages;
    if (pages && lost.pageIndex >= 0 && lost.pageIndex < static_cast<std::int64_t>(pages->size())) {
        select((*pages)[static_cast<std::size_t>(lost.pageIndex)].id);
    }
    noticeAfterRestart(outcome);
}

void Workspace::giveUp(const LostDocument& lost, const std::string& reason) {
    if (!isPending(lost)) return;
    d_->lostDocument_.reset();
    d_->restoringLost_ = false;
    forgetDocument();
    std::string clause = reason;
    if (clause.ends_with('.')) clause.pop_back();
    noticeAfterRestart("Kivo PDF started it again, but could not open " + lost.name + ": " + clause + ".");
    setStatus("Could not open " + lost.name + " again");
    d_->checkpoints_->refresh();
}

void Workspace::restoreRecovery(const std::string& recoveryId) { restoreRecovery(recoveryId, std::nullopt); }

void Workspace::restoreRecovery(const std::string& recoveryId, const std::optional<std::string>& password) {
    const std::optional<std::string> previous = sessionId();
    CommandParams params;
    params.recoveryId = recoveryId;
    params.password = password;
    const std::string name = d_->checkpoints_->name(recoveryId);
    send(
        makeRequest(CommandMethod::restoreRecovery, std::move(params)), "Restoring", true,
        [this, previous](const CommandResult& result) {
            d_->lostDocument_.reset();
            d_->restoringLost_ = false;
            closeReplacedSession(previous, result);
            emit documentReplaced();
            adopt(result, "Restored unsaved work", false, RenderInvalidation::all());
            d_->checkpoints_->dismiss();
        },
        // An encrypted checkpoint opens the way its file would.
        retryWithPassword(name, password.has_value(), [this, recoveryId](const std::string& password) {
            restoreRecovery(recoveryId, password);
        }));
}

}  // namespace kivo
