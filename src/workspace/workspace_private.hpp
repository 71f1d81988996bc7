#pragma once

// The workspace's own state behind its header: the services, its parts and what opening, editing,
// printing and bringing a lost document back keep between calls. Only the workspace's sources
// include this file.

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "workspace/assistant_session.hpp"
#include "workspace/hit_previews.hpp"
#include "workspace/mcp_sharing.hpp"
#include "workspace/shown_page.hpp"
#include "workspace/page_versions.hpp"
#include "workspace/recovery_checkpoints.hpp"
#include "workspace/render_decoder.hpp"
#include "workspace/thumbnail_queue.hpp"
#include "workspace/worker_link.hpp"
#include "workspace/workspace.hpp"

namespace kivo {

struct Workspace::Private {
    explicit Private(WorkspaceServices services) : services_(std::move(services)) {}

    const WorkspaceServices services_;
    std::optional<LineSelection> lineSelection_;
    // What the shown page's renders and the thumbnails share: the stamps that make a render stale.
    PageVersions pageVersions_;
    // Made in this order, each from those before it, and gone in the reverse order.
    std::unique_ptr<WorkerLink> link_;
    std::unique_ptr<ThumbnailQueue> thumbnails_;
    std::unique_ptr<ShownPage> shownPage_;
    std::unique_ptr<AssistantSession> assistant_;
    std::unique_ptr<McpSharing> mcp_;
    std::unique_ptr<RecoveryCheckpoints> checkpoints_;
    std::unique_ptr<HitPreviews> hitPreviews_;
    // What the last stop of the worker was, as the notice says it.
    std::optional<std::string> stopCause_;
    bool didStart_ = false;
    std::optional<LostDocument> lostDocument_;
    // A restore or reopen of the lost document is on its way to the worker.
    bool restoringLost_ = false;
    // The rectangle the last nudge among the changes of ours still in flight sent, so quick nudges
    // add up rather than repeat.
    struct NudgeBase {
        std::string annotationId;
        PDFRect rect;
    };
    std::optional<NudgeBase> nudgeBase_;
    // The print copies made and not yet deleted.
    std::unordered_set<std::string> printCopies_;
    // The search going through the pages; nothing once it is over.
    std::shared_ptr<SearchRun> searchRun_;
    // The thread that decodes the renders, made first and gone first: no decoded image comes back to a
    // part half gone.
    std::unique_ptr<RenderDecoder> decoder_;
};

}  // namespace kivo
