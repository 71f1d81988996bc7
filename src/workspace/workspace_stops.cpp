// What happens when the worker process ends on its own: the notice that says why, the document
// remembered for the next worker, and the policy that starts a new worker or stops trying.

#include <initializer_list>

#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {

namespace {

constexpr const char* restartedSentence = "Kivo PDF started it again.";

// The sentences that are there, joined by single spaces.
std::string joinSentences(std::initializer_list<std::optional<std::string>> sentences) {
    std::string text;
    for (const auto& sentence : sentences) {
        if (!sentence) continue;
        if (!text.empty()) text += ' ';
        text += *sentence;
    }
    return text;
}

// The file name of a source path, else the name a new file would get.
std::string documentName(const std::optional<std::string>& sourcePath) {
    if (!sourcePath) return "Untitled.pdf";
    return std::filesystem::path(*sourcePath).filename().string();
}

}  // namespace

void Workspace::workerDidStop(const WorkerStop& stop) {
    // No MCP client reaches the worker now; a new one says so again once it runs.
    d_->mcp_->workerStopped();

    // A stop while the lost document was being brought back must not bring it back again, or a
    // document that stops the worker would stop every worker that opens it.
    const bool stoppedWhileRestoring = d_->lostDocument_ && d_->restoringLost_;
    d_->restoringLost_ = false;
    rememberOpenDocument();
    d_->stopCause_ = stop.cause;
    const std::size_t stops = stop.recentStops;

    const WorkerTermination& termination = stop.termination;
    if (termination.reason == WorkerTermination::Reason::exit &&
        termination.status == WorkerExit::sandboxFailed) {
        showStopNotice(std::nullopt);
    } else if (stops >= StopHistory::stopsWithoutRestart) {
        showStopNotice("It stopped " + std::to_string(stops) +
                       " times within a minute, so Kivo PDF stopped restarting it.");
    } else {
        relaunch(stoppedWhileRestoring
                     ? std::optional<std::string>("the PDF worker stopped again while opening it")
                     : std::nullopt);
    }
}

// The document shown when the worker stopped, to be brought back by the next worker. One still
// pending from an earlier stop stays: it is the one the user last had.
void Workspace::rememberOpenDocument() {
    if (!sessionId() || d_->lostDocument_) return;
    LostDocument lost;
    lost.sessionId = *sessionId();
    if (inspect()) {
        lost.sourcePath = inspect()->sourcePath;
        lost.dirty = inspect()->dirty.value_or(false);
        const auto& pages = inspect()->pages;
        for (std::size_t i = 0; pages && selectedPageId() && i < pages->size(); ++i) {
            if ((*pages)[i].id != *selectedPageId()) continue;
            lost.pageIndex = static_cast<std::int64_t>(i);
            break;
        }
    }
    lost.name = documentName(lost.sourcePath);
    d_->lostDocument_ = lost;
}

void Workspace::showStopNotice(const std::optional<std::string>& extraSentence) {
    forgetDocument();
    d_->mcp_->forget();
    const bool unsaved = d_->lostDocument_ && d_->lostDocument_->dirty;
    const std::optional<std::string> checkpoint =
        unsaved ? std::optional<std::string>("Unsaved changes stay in their recovery checkpoint.")
                : std::nullopt;
    setWorkerNotice(WorkerNotice{joinSentences({d_->stopCause_, extraSentence, checkpoint}), true});
    setStatus("The PDF worker stopped");
}

void Workspace::relaunch(const std::optional<std::string>& giveUpReason) {
    setWorkerNotice(WorkerNotice{joinSentences({d_->stopCause_, "Restarting it…"}), false});
    setStatus("Restarting the PDF worker…");
    try {
        launchWorker();
    } catch (const EngineLaunchError& error) {
        if (!error.stop()) {
            cannotRelaunch(error.what());
            return;
        }
        // One more stop: the count of recent stops ends this at the third, so the calls nest no deeper.
        workerDidStop(*error.stop());
        return;
    } catch (const std::exception& error) {
        cannotRelaunch(error.what());
        return;
    }
    // A new worker starts without grants; sharing is the user's decision again.
    d_->mcp_->workerRestarted();

    if (!d_->lostDocument_) {
        noticeAfterRestart(restartedSentence, false);
        setStatus("PDF worker restarted");
        return;
    }
    const LostDocument lost = *d_->lostDocument_;
    if (giveUpReason) {
        giveUp(lost, *giveUpReason);
        return;
    }
    send(
        makeRequest(CommandMethod::listRecovery), std::nullopt, true,
        [this, lost](const CommandResult& result) {
            // The worker names a document's checkpoint after its session.
            for (const RecoveryInfo& recovery : result.recoveries.value_or(std::vector<RecoveryInfo>{})) {
                if (recovery.recoveryId != lost.sessionId) continue;
                restoreLost(lost, std::nullopt);
                return;
            }
            if (lost.sourcePath) {
                reopenLost(lost, *lost.sourcePath, std::nullopt);
            } else {
                giveUp(lost, "it had no file and no recovery checkpoint");
            }
        },
        [this, lost](const std::string&, const std::string& message) { giveUp(lost, message); });
}

void Workspace::cannotRelaunch(const std::string& reason) {
    forgetDocument();
    setStatus("The PDF worker is not running");
    setWorkerNotice(
        WorkerNotice{joinSentences({d_->stopCause_, "It could not be started again: " + reason}), true});
}

void Workspace::noticeAfterRestart(const std::string& sentence, bool namesDocument) {
    setWorkerNotice(WorkerNotice{joinSentences({d_->stopCause_, sentence, d_->mcp_->restartNote()}), false,
                                 namesDocument});
}

void Workspace::documentNoticeEnds() {
    // What the worker's stop did to the document before is no news of this one; that it stopped is.
    if (workerNotice() && workerNotice()->namesDocument) noticeAfterRestart(restartedSentence, false);
}

void Workspace::forgetDocument() {
    setSessionId(std::nullopt);
    setInspect(std::nullopt);
    setSelectedPageId(std::nullopt);
    d_->shownPage_->forget();
    d_->thumbnails_->forget();
    setSelection(std::nullopt);
    setSelectedAnnotationId(std::nullopt);
    setSelectedText("");
    d_->lineSelection_.reset();
    setSearchHits({});
    // After the hits, so that the previews have nothing left to read.
    d_->assistant_->forget();
    setInkPoints({});
    setSavePhase(SavePhase::saved);
    setPageJump("1");
    d_->mcp_->documentClosed();
}

}  // namespace kivo
