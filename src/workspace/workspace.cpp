#include "workspace/workspace.hpp"

#include "core/render_cache.hpp"
#include "core/text.hpp"
#include "workspace/assistant_session.hpp"
#include "workspace/mcp_sharing.hpp"
#include "workspace/page_renderer.hpp"
#include "workspace/recovery_checkpoints.hpp"
#include "workspace/worker_link.hpp"

namespace kivo {

Workspace::Workspace(WorkspaceServices services, QObject* parent)
    : Workspace(services.withDefaults(), parent, FilledServices{}) {}

Workspace::Workspace(WorkspaceServices services, QObject* parent, FilledServices)
    : WorkspaceState(*services.settings, parent),
      services_(std::move(services)),
      link_(std::make_unique<WorkerLink>(*this, services_)),
      renderer_(std::make_unique<PageRenderer>(*this, *link_, services_)),
      assistant_(std::make_unique<AssistantSession>(*this, *link_, services_)),
      mcp_(std::make_unique<McpSharing>(*this, *link_, services_)),
      checkpoints_(std::make_unique<RecoveryCheckpoints>(*this, *link_)) {
    link_->setGate({[this](const CommandRequest& request) { return refusal(request); },
                    [this](const CommandRequest& request) { requestLeaving(request); },
                    [this](const CommandResult& result, const std::optional<std::string>& session) {
                        if (sessionId() == session) adopt(result, status(), true, RenderInvalidation::all());
                    }});
    connect(link_.get(), &WorkerLink::stopped, this, &Workspace::workerDidStop);
    connect(renderer_.get(), &PageRenderer::inspectionRendered, this, &Workspace::takeRenderedInspection);
    connect(assistant_.get(), &AssistantSession::citationShown, this,
            [this](const std::string& pageId, const std::optional<PDFRect>& rect) {
                select(pageId);
                setSelection(rect);
            });
    connect(mcp_.get(), &McpSharing::externalChange, this,
            [this](const CommandResult& result, const std::string& status) {
                adopt(result, status, true, RenderInvalidation::all());
            });
    connect(assistant_.get(), &AssistantSession::proposalApplied, this,
            [this](const CommandResult& result, const std::string& summary) {
                adopt(result, summary, false, RenderInvalidation::all());
            });
}

Workspace::~Workspace() {
    // The runs first: their reads wait for answers this workspace would no longer deliver.
    assistant_->stopThreads();
    shutdownWorker();
}

void Workspace::launchOnce() {
    if (didStart_) return;
    didStart_ = true;
    try {
        launchWorker();
    } catch (const std::exception& error) {
        setErrorMessage(error.what());
        return;
    }
    setWorkerReady(true);
    setStatus("Worker ready. PDFium 154.0.8035 isolated from the UI.");
    checkpoints_->refresh();
}

void Workspace::launchWorker() {
    link_->launch();
    setMcpEnabled(true);
}

void Workspace::shutdownWorker() {
    link_->shutdown();
    // Only now that no export can still be writing one.
    discardPrintCopies();
}

void Workspace::restartWorker() {
    if (link_->stopping() || link_->running()) return;
    relaunch(std::nullopt);
}

void Workspace::setZoom(double zoom) { renderer_->setZoom(zoom); }

void Workspace::applyFit() { renderer_->applyFit(); }

CommandRequest Workspace::makeRequest(CommandMethod method, CommandParams params) {
    return WorkerLink::makeRequest(method, std::move(params));
}

void Workspace::send(CommandRequest request, std::optional<std::string> activity, bool clearsError,
                     SuccessHandler onSuccess, FailureHandler onFailure, CancelHandler onCancelled) {
    link_->send(std::move(request), std::move(activity), clearsError, std::move(onSuccess), std::move(onFailure),
                std::move(onCancelled));
}

std::optional<std::string> Workspace::refusal(const CommandRequest& request) const {
    if (!lostDocument_ || request.params.sessionId != lostDocument_->sessionId) return std::nullopt;
    return "Wait while Kivo PDF opens " + lostDocument_->name + " again.";
}

void Workspace::requestLeaving(const CommandRequest& request) {
    // Another move of the nudged annotation (a drag, say) decides where the next nudge starts.
    if (nudgeBase_ && request.params.annotationId == nudgeBase_->annotationId && request.params.rect) {
        nudgeBase_.reset();
    }
}

}  // namespace kivo
