// The editing commands. Every change runs through one frame: who may edit, an undo checkpoint,
// the change, then either a commit (a new revision, a fresh census, a recovery checkpoint on
// disk) or a rollback to exactly the state before, so that a change is all or nothing.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <set>
#include <utility>

#include "engine/document_engine.hpp"
#include "engine/recovery_store.hpp"
#include "engine/request_checks.hpp"
#include "session/session.hpp"
#include "session/thread_pool.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;

constexpr double defaultFontSize = 14;
constexpr std::int64_t defaultRotation = 90;

EngineFailure invalid(std::string message) {
    return EngineFailure(FailureCode::invalidArgument, std::move(message));
}

std::vector<std::string> pageIdsOf(const Session& session) {
    std::vector<std::string> ids;
    ids.reserve(session.pages().size());
    for (const PageInfo& page : session.pages()) ids.push_back(page.id);
    return ids;
}

// A checkpoint that cannot be written costs the user only a crash safety net, never the change.
void writeRecovery(const RecoveryStore::Pending& pending) noexcept {
    try {
        RecoveryStore::write(pending);
    } catch (...) {}
}

// A checkpoint written on the shared pool while the command reads its census and inspection and
// its answer is written: on a long document each is a good part of an edit, and the writing mostly
// waits for the disk. The answer waits for it (see DocumentEngine::handle), so no change is
// acknowledged before its checkpoint is written; one not handed on is waited for here.
class CheckpointAside {
public:
    CheckpointAside() = default;
    CheckpointAside(const CheckpointAside&) = delete;
    CheckpointAside& operator=(const CheckpointAside&) = delete;
    ~CheckpointAside() { finish(); }

    // Adds the bytes of a change to the checkpoint file while the change is checked; a write of the
    // same bytes that follows (start) then names them. Bytes never named are what a kill or a rollback
    // leaves past the end the description gives, which the next write replaces.
    void ahead(const std::string& recoveryId, const DocumentBytes::Shared& bytes) noexcept {
        try {
            ahead_ = submit([recoveryId, bytes] {
                try {
                    RecoveryStore::writeAhead(recoveryId, bytes);
                } catch (...) {
                    // The write that follows adds the bytes itself, or writes the checkpoint whole.
                }
            });
        } catch (...) {
            // Without memory for the task nothing is written ahead: the write that follows adds the bytes.
            ahead_ = {};
        }
    }

    void start(const RecoveryStore::Pending& pending) noexcept {
        // Never two writes of one checkpoint at once.
        DocumentEngine::awaitCheckpoint(std::exchange(ahead_, {}));
        // Kept until the command ends, so that a rollback finds on disk what it can cut in place.
        bytes_ = pending.bytes;
        try {
            written_ = submit([pending] { writeRecovery(pending); });
        } catch (...) {
            // Without memory for the task, the checkpoint is written here, as it always was.
            written_ = {};
            writeRecovery(pending);
        }
        started_ = true;
    }

    // Waits for the checkpoint; answers whether one was started.
    bool finish() noexcept {
        DocumentEngine::awaitCheckpoint(std::exchange(ahead_, {}));
        DocumentEngine::awaitCheckpoint(std::exchange(written_, {}));
        return started_;
    }

    // The checkpoint, for the answer to wait for.
    std::shared_future<void> handOn() noexcept { return std::exchange(written_, {}); }

private:
    // `task`, which must not throw, on the shared pool; done when the future is. Without memory for
    // the task it runs here, as checkpoints always could.
    static std::shared_future<void> submit(const std::function<void()>& task) noexcept {
        try {
            auto done = std::make_shared<std::promise<void>>();
            std::shared_future<void> finished = done->get_future().share();
            ThreadPool::shared().submit([done, task] {
                task();
                done->set_value();
            });
            return finished;
        } catch (...) {
            task();
            return {};
        }
    }

    std::shared_future<void> ahead_;
    std::shared_future<void> written_;
    DocumentBytes::Shared bytes_;
    bool started_ = false;
};

// After a change failed or was cancelled once its checkpoint was being written: the checkpoint goes
// back to the state the document is back in, or goes where nothing unsaved is left, and goes too
// when it cannot be written back, rather than offer after a crash a change the user was told failed.
void restoreCheckpoint(const Session& session) noexcept {
    try {
        if (session.isSaved()) {
            RecoveryStore::discard(session.id());
        } else {
            RecoveryStore::write(session);
        }
    } catch (...) {
        try {
            RecoveryStore::discard(session.id());
        } catch (...) {}
    }
}

// Raises the revision, starts writing its checkpoint and reads the census at it, so the answer and
// every later inspection of this revision come from one walk over the pages. Fails only when the PDF
// engine is gone.
void enterRevision(Session& session, std::int64_t revision, CheckpointAside& checkpoint,
                   bool changeToCommit) {
    session.setRevision(revision);
    RecoveryStore::Pending pending = RecoveryStore::pending(session);
    // The change is committed once its census is read, and a committed change is never the saved state.
    if (changeToCommit) pending.meta.dirty = true;
    checkpoint.start(std::move(pending));
    session.documentContent();
}

void historyStep(Session& session, bool undo) {
    if (undo) {
        session.undo();
    } else {
        session.redoLast();
    }
}

// Only the parameters of the request are read; a missing one is refused before any change.
DocumentEngine::Perform annotationEdit(const CommandRequest& request) {
    const CommandParams& p = request.params;
    switch (request.method) {
        case CommandMethod::addHighlight:
            if (!p.pageId || !p.rect) throw invalid("add_highlight requires pageId and rect.");
            return [&p](Session& s) {
                s.addHighlight(*p.pageId, *p.rect, p.contents.value_or("Highlight"));
                return std::vector<std::string>{*p.pageId};
            };
        case CommandMethod::addNote:
            if (!p.pageId || !p.rect) throw invalid("add_note requires pageId and rect.");
            return [&p](Session& s) {
                s.addNote(*p.pageId, *p.rect, p.contents.value_or("Note"));
                return std::vector<std::string>{*p.pageId};
            };
        case CommandMethod::addInk:
            if (!p.pageId || !p.points) throw invalid("add_ink requires pageId and points.");
            return [&p](Session& s) {
                s.addInk(*p.pageId, *p.points, p.contents.value_or("Ink"));
                return std::vector<std::string>{*p.pageId};
            };
        case CommandMethod::updateAnnotation:
            if (!p.annotationId) throw invalid("update_annotation requires annotationId.");
            return [&p](Session& s) {
                return std::vector<std::string>{s.updateAnnotation(*p.annotationId, p.rect, p.contents)};
            };
        case CommandMethod::removeAnnotation:
            if (!p.annotationId) throw invalid("remove_annotation requires annotationId.");
            return [&p](Session& s) { return std::vector<std::string>{s.removeAnnotation(*p.annotationId)}; };
        default: return nullptr;
    }
}

DocumentEngine::Perform pageEdit(const CommandRequest& request, const Session& session) {
    const CommandParams& p = request.params;
    switch (request.method) {
        case CommandMethod::fillForm:
            if (!p.fieldName || !p.value) throw invalid("fill_form requires fieldName and value.");
            return [&p](Session& s) { return s.fillField(*p.fieldName, *p.value); };
        case CommandMethod::organizePages:
            if (!p.pageIds || p.pageIds->empty())
                throw invalid("organize_pages requires a non-empty pageIds list.");
            return [&p](Session& s) {
                s.reorder(*p.pageIds);
                return *p.pageIds;
            };
        case CommandMethod::deletePages:
            if (!p.pageIds || p.pageIds->empty()) throw invalid("delete_pages requires pageIds.");
            return [&p](Session& s) { return s.deletePages(*p.pageIds); };
        case CommandMethod::rotatePages: {
            if (!p.pageIds || p.pageIds->empty()) throw invalid("rotate_pages requires pageIds.");
            const std::int64_t requested = p.rotation.value_or(defaultRotation);
            session.uniqueExisting(*p.pageIds);
            // A rotation allowed from one quarter turn is allowed from every one.
            Session::nextRotation(0, requested);
            return [&p, requested](Session& s) {
                for (const std::string& id : *p.pageIds) s.turnPage(id, requested);
                s.refreshPageMetrics();
                return *p.pageIds;
            };
        }
        default: return nullptr;
    }
}

}  // namespace

CommandResponse DocumentEngine::mutate(const CommandRequest& request, std::string_view permission,
                                       const Prepare& prepare) {
    requireMCPMutation(request);
    Session& session = requireSession(request, permission);
    if (session.readOnly()) {
        throw EngineFailure(
            FailureCode::readOnly,
            "This file is treated as read-only. Save a copy if you need an unsigned working file.");
    }
    session.requireKeepableHistory();
    const Perform perform = prepare(session);
    const std::int64_t revision = session.revision();

    session.checkpoint();
    std::vector<std::string> affected;
    CheckpointAside checkpointWrite;
    try {
        affected = perform(session);
        session.refreshBacking(affected, [&](const DocumentBytes::Shared& appended) {
            checkpointWrite.ahead(session.id(), appended);
        });
        enterRevision(session, revision + 1, checkpointWrite, true);
    } catch (...) {
        // Neither a cancel nor the memory limit may stop a half-restored document.
        RunningCommand::Uninterruptible section;
        const bool written = checkpointWrite.finish();
        session.setRevision(revision);
        session.rollbackCheckpoint();
        if (written) restoreCheckpoint(session);
        throw;
    }
    session.commitCheckpoint();

    CommandResult result = session.inspectResult();
    result.affectedPages = std::move(affected);
    checkpointInFlight_ = checkpointWrite.handOn();
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::edit(const CommandRequest& request) {
    return mutate(request, "modify", [this, &request](Session& session) -> Perform {
        if (request.method == CommandMethod::addContent) return addContent(request);
        if (request.method == CommandMethod::mergeDocuments) return merge(request, session);
        if (Perform perform = annotationEdit(request)) return perform;
        if (Perform perform = pageEdit(request, session)) return perform;
        throw EngineFailure(FailureCode::internal,
                            "Kivo PDF has no edit for " + std::string(rawValue(request.method)) + ".");
    });
}

DocumentEngine::Perform DocumentEngine::addContent(const CommandRequest& request) {
    const CommandParams& p = request.params;
    if (!p.pageId || !p.rect) throw invalid("add_content requires pageId and rect.");
    if (p.imagePath) requireGrantedPath(*p.imagePath, request);
    const std::string kind = p.kind.value_or("text");
    std::string contents = p.contents.value_or("");
    if (kind == "text") {
        const double fontSize = p.fontSize.value_or(defaultFontSize);
        return [&p, contents, fontSize](Session& s) {
            s.addTextBox(*p.pageId, *p.rect, contents, fontSize);
            return std::vector<std::string>{*p.pageId};
        };
    }
    if (kind != "image" && kind != "signature")
        throw invalid("add_content kind must be text, image, or signature.");
    if (!p.imagePath) throw invalid(kind + " requires imagePath.");
    if (contents.empty()) contents = kind == "image" ? "Image" : "Visual signature";
    return [&p, kind, contents](Session& s) {
        s.addStamp(*p.pageId, *p.rect, clientPath(*p.imagePath), kind, contents);
        return std::vector<std::string>{*p.pageId};
    };
}

// Every source is found and allowed before the first page is appended, so a refused source
// costs no rollback.
DocumentEngine::Perform DocumentEngine::merge(const CommandRequest& request, const Session& target) {
    const CommandParams& p = request.params;
    std::vector<DocumentBytes::Shared> sources;
    if (p.path) {
        requireGrantedPath(*p.path, request);
        sources.push_back(DocumentBytes::read(clientPath(*p.path)));
    } else {
        for (const std::string& id : p.sessionIds.value_or(std::vector<std::string>{})) {
            if (id == target.id()) continue;
            if (request.channel == CommandChannel::mcp && !grants_.sessionIds.contains(id)) {
                throw EngineFailure(FailureCode::unauthorized, "That document has not been granted to MCP.");
            }
            const auto found = sessions_.find(id);
            if (found == sessions_.end()) {
                throw EngineFailure(FailureCode::notFound, "No open document matches " + id + ".");
            }
            sources.push_back(found->second->backingBytes());
        }
        if (sources.empty()) throw invalid("merge_documents requires path or sessionIds.");
    }
    return [sources = std::move(sources)](Session& s) {
        std::vector<std::string> added;
        for (const DocumentBytes::Shared& bytes : sources) {
            std::vector<std::string> pages = s.merge(bytes);
            added.insert(added.end(), pages.begin(), pages.end());
        }
        return added;
    };
}

CommandResponse DocumentEngine::extractPages(const CommandRequest& request) {
    const CommandParams& p = request.params;
    if (!p.pageIds || p.pageIds->empty()) throw invalid("extract_pages requires pageIds.");
    if (!p.destination) {
        return mutate(request, "modify", [&p](Session& session) -> Perform {
            session.uniqueExisting(*p.pageIds);
            return [&p](Session& s) { return s.extractPagesInPlace(*p.pageIds); };
        });
    }

    requireMCPMutation(request);
    Session& session = requireSession(request, "export");
    const fs::path destination = RequestChecks::writeDestination(*p.destination, request.channel);
    requireGrantedPath(destination.string(), request);
    // The editor's print file may hold a page more than once and blank pages (empty ids) between
    // them, as printed copies do; every other list names distinct pages, cut from the document as
    // it stands. A client of another channel gets no say in how large such a file grows.
    const std::vector<std::string>& ids = *p.pageIds;
    const bool sequence = request.channel == CommandChannel::ui &&
                          (std::set<std::string>(ids.begin(), ids.end()).size() != ids.size() ||
                           std::find(ids.begin(), ids.end(), std::string()) != ids.end());
    if (!sequence) session.uniqueExisting(ids);

    // The pages are cut from a copy, and the copy replaces the destination whole: an existing
    // file there (even the document's own, whose bytes PDFium may still be reading) is never
    // truncated or left half written.
    std::unique_ptr<Session> copy = sequence ? session.sequenceCopy(ids) : session.detachedCopy();
    if (!sequence) copy->extractPagesInPlace(ids);
    copy->atomicWrite(destination, RequestChecks::writeOptions(request.channel));
    copy.reset();

    CommandResult result = session.inspectResult();
    std::vector<std::string> written;
    std::set<std::string> seen;
    for (const std::string& id : ids) {
        if (!id.empty() && seen.insert(id).second) written.push_back(id);
    }
    result.affectedPages = std::move(written);
    result.sourcePath = destination.string();
    return CommandResponse::success(request.id, std::move(result));
}

CommandResponse DocumentEngine::applyHistory(const CommandRequest& request, bool undo) {
    requireMCPMutation(request);
    Session& session = requireSession(request, "modify");
    const std::int64_t revision = session.revision();

    // A state that does not open again fails the step with the document as it was.
    historyStep(session, undo);
    CheckpointAside checkpointWrite;
    try {
        enterRevision(session, revision + 1, checkpointWrite, false);
    } catch (...) {
        RunningCommand::Uninterruptible section;
        const bool written = checkpointWrite.finish();
        session.setRevision(revision);
        try {
            historyStep(session, !undo);
        } catch (...) {}
        if (written) restoreCheckpoint(session);
        throw;
    }

    CommandResult result = session.inspectResult();
    result.affectedPages = pageIdsOf(session);
    checkpointInFlight_ = checkpointWrite.handOn();
    return CommandResponse::success(request.id, std::move(result));
}

void DocumentEngine::awaitCheckpoint(const std::shared_future<void>& checkpoint) noexcept {
    if (!checkpoint.valid()) return;
    // A write queued behind other work of the pool is run here rather than waited for.
    while (checkpoint.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
           ThreadPool::shared().runQueued()) {}
    checkpoint.wait();
}

}  // namespace kivo
