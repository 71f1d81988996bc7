#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

#include "core/render_cache.hpp"
#include "core/text.hpp"

namespace kivo {

Workspace::Workspace(WorkspaceServices services, QObject* parent)
    : Workspace(services.withDefaults(), parent, FilledServices{}) {}

Workspace::Workspace(WorkspaceServices services, QObject* parent, FilledServices)
    : WorkspaceState(parent), d_(std::make_unique<Private>(std::move(services))) {
    d_->decoder_ = std::make_unique<RenderDecoder>(this);
    d_->link_ = std::make_unique<WorkerLink>(*this, d_->services_);
    d_->thumbnails_ =
        std::make_unique<ThumbnailQueue>(*this, *d_->link_, d_->services_, d_->pageVersions_, *d_->decoder_);
    d_->shownPage_ = std::make_unique<ShownPage>(*this, *d_->link_, d_->services_, d_->pageVersions_,
                                                 *d_->decoder_, *d_->thumbnails_);
    d_->assistant_ = std::make_unique<AssistantSession>(*this, *d_->link_, d_->services_);
    d_->mcp_ = std::make_unique<McpSharing>(*this, *d_->link_, d_->services_);
    d_->checkpoints_ = std::make_unique<RecoveryCheckpoints>(*this, *d_->link_);
    d_->hitPreviews_ = std::make_unique<HitPreviews>(*this, *d_->link_, *d_->assistant_);
    d_->link_->setGate({[this](const CommandRequest& request) { return refusal(request); },
                        [this](const CommandRequest& request) { requestLeaving(request); },
                        [this](const CommandResult& result, const std::optional<std::string>& session) {
                            if (sessionId() == session)
                                adopt(result, status(), true, RenderInvalidation::all());
                        }});
    connect(d_->link_.get(), &WorkerLink::stopped, this, &Workspace::workerDidStop);
    connect(d_->shownPage_.get(), &ShownPage::inspectionRendered, this, &Workspace::takeRenderedInspection);
    connect(d_->assistant_.get(), &AssistantSession::citationShown, this,
            [this](const std::string& pageId, const std::optional<PDFRect>& rect) {
                select(pageId);
                setSelection(rect);
            });
    connect(d_->mcp_.get(), &McpSharing::externalChange, this,
            [this](const CommandResult& result, const std::string& status) {
                adopt(result, status, true, RenderInvalidation::all());
            });
    connect(d_->assistant_.get(), &AssistantSession::proposalApplied, this,
            [this](const CommandResult& result, const std::string& summary) {
                adopt(result, summary, false, RenderInvalidation::all());
            });
}

Workspace::~Workspace() {
    // The runs first: their reads wait for answers this workspace would no longer deliver.
    d_->assistant_->stopThreads();
    shutdownWorker();
}

WorkerLink& Workspace::link() { return *d_->link_; }
const WorkerLink& Workspace::link() const { return *d_->link_; }
ShownPage& Workspace::shownPage() { return *d_->shownPage_; }
const ShownPage& Workspace::shownPage() const { return *d_->shownPage_; }
AssistantSession& Workspace::assistant() { return *d_->assistant_; }
const AssistantSession& Workspace::assistant() const { return *d_->assistant_; }
McpSharing& Workspace::sharing() { return *d_->mcp_; }
const McpSharing& Workspace::sharing() const { return *d_->mcp_; }
RecoveryCheckpoints& Workspace::checkpoints() { return *d_->checkpoints_; }
const RecoveryCheckpoints& Workspace::checkpoints() const { return *d_->checkpoints_; }
const HitPreviews& Workspace::hitPreviews() const { return *d_->hitPreviews_; }
const std::optional<LineSelection>& Workspace::lineSelection() const { return d_->lineSelection_; }
const std::optional<LostDocument>& Workspace::lostDocument() const { return d_->lostDocument_; }

void Workspace::launchOnce() {
    if (d_->didStart_) return;
    d_->didStart_ = true;
    try {
        launchWorker();
    } catch (const EngineLaunchError& error) {
        if (!error.stop()) {
            setErrorMessage(error.what());
            return;
        }
        // A worker lost before the editor reached it is lost all the same: told, and started again
        // while its recent stops allow.
        workerDidStop(*error.stop());
        if (d_->link_->workerReady()) d_->checkpoints_->refresh();
        return;
    } catch (const std::exception& error) {
        setErrorMessage(error.what());
        return;
    }
    setStatus("Worker ready. PDFium 154.0.8035 isolated from the UI.");
    d_->checkpoints_->refresh();
}

void Workspace::launchWorker() {
    d_->link_->launch();
    d_->mcp_->workerStarted();
}

void Workspace::shutdownWorker() {
    d_->link_->shutdown();
    // Only now that no export can still be writing one.
    discardPrintCopies();
}

void Workspace::restartWorker() {
    if (d_->link_->stopping() || d_->link_->running()) return;
    relaunch(std::nullopt);
}

void Workspace::dismissWorkerNotice() {
    if (workerNotice() && !workerNotice()->offersRestart) setWorkerNotice(std::nullopt);
}

CommandRequest Workspace::makeRequest(CommandMethod method, CommandParams params) {
    return WorkerLink::makeRequest(method, std::move(params));
}

void Workspace::send(CommandRequest request, std::optional<std::string> activity, bool clearsError,
                     SuccessHandler onSuccess, FailureHandler onFailure, CancelHandler onCancelled) {
    d_->link_->send(std::move(request), std::move(activity), clearsError, std::move(onSuccess),
                    std::move(onFailure), std::move(onCancelled));
}

std::optional<std::string> Workspace::refusal(const CommandRequest& request) const {
    if (!d_->lostDocument_ || request.params.sessionId != d_->lostDocument_->sessionId) return std::nullopt;
    return "Wait while Kivo PDF opens " + d_->lostDocument_->name + " again.";
}

void Workspace::requestLeaving(const CommandRequest& request) {
    // Another move of the nudged annotation (a drag, say) decides where the next nudge starts.
    if (d_->nudgeBase_ && request.params.annotationId == d_->nudgeBase_->annotationId &&
        request.params.rect) {
        d_->nudgeBase_.reset();
    }
}

}  // namespace kivo
