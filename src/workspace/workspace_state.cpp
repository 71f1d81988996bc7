#include "workspace/workspace_state.hpp"

#include <utility>

namespace kivo {

WorkspaceState::WorkspaceState(QObject* parent) : QObject(parent) {}

template <class T>
void WorkspaceState::assign(T& field, T value, void (WorkspaceState::*changed)()) {
    if (field == value) return;
    field = std::move(value);
    emit(this->*changed)();
}

void WorkspaceState::setSessionId(std::optional<std::string> value) {
    assign(sessionId_, std::move(value), &WorkspaceState::sessionIdChanged);
}

namespace {

// What a reply says of itself (a render's file and size, the pages an edit touched) is not the
// document's: kept, it would make two replies of one state differ and announce a change that is none.
CommandResult documentState(CommandResult&& reply) {
    CommandResult state;
    state.sessionId = std::move(reply.sessionId);
    state.revision = reply.revision;
    state.pageCount = reply.pageCount;
    state.pages = std::move(reply.pages);
    state.formType = std::move(reply.formType);
    state.readOnly = reply.readOnly;
    state.warnings = std::move(reply.warnings);
    state.fields = std::move(reply.fields);
    state.undoAvailable = reply.undoAvailable;
    state.redoAvailable = reply.redoAvailable;
    state.dirty = reply.dirty;
    state.saveState = std::move(reply.saveState);
    state.sourcePath = std::move(reply.sourcePath);
    state.sourceChanged = reply.sourceChanged;
    state.annotations = std::move(reply.annotations);
    state.metadata = std::move(reply.metadata);
    state.annotationSubtypes = std::move(reply.annotationSubtypes);
    return state;
}

}  // namespace

void WorkspaceState::setInspect(std::optional<CommandResult> value) {
    if (value) value = documentState(std::move(*value));
    assign(inspect_, std::move(value), &WorkspaceState::inspectChanged);
}

void WorkspaceState::setSelectedPageId(std::optional<std::string> value) {
    assign(selectedPageId_, std::move(value), &WorkspaceState::selectedPageIdChanged);
}

void WorkspaceState::setStatus(std::string value) {
    assign(status_, std::move(value), &WorkspaceState::statusChanged);
}

void WorkspaceState::setErrorMessage(std::optional<std::string> value) {
    assign(errorMessage_, std::move(value), &WorkspaceState::errorMessageChanged);
}

void WorkspaceState::setSelection(std::optional<PDFRect> value) {
    assign(selection_, std::move(value), &WorkspaceState::selectionChanged);
}

void WorkspaceState::setSelectedAnnotationId(std::optional<std::string> value) {
    assign(selectedAnnotationId_, std::move(value), &WorkspaceState::selectedAnnotationIdChanged);
}

void WorkspaceState::setSelectedText(std::string value) {
    assign(selectedText_, std::move(value), &WorkspaceState::selectedTextChanged);
}

void WorkspaceState::setSearchQuery(std::string value) {
    assign(searchQuery_, std::move(value), &WorkspaceState::searchQueryChanged);
}

void WorkspaceState::setSearchHits(std::vector<SearchHit> value) {
    assign(searchHits_, std::move(value), &WorkspaceState::searchHitsChanged);
}

void WorkspaceState::setSearchHitIndex(std::int64_t value) {
    assign(searchHitIndex_, std::move(value), &WorkspaceState::searchHitIndexChanged);
}

void WorkspaceState::setTool(EditorTool value) {
    assign(tool_, std::move(value), &WorkspaceState::toolChanged);
}

void WorkspaceState::setWorkerNotice(std::optional<WorkerNotice> value) {
    assign(workerNotice_, std::move(value), &WorkspaceState::workerNoticeChanged);
}

void WorkspaceState::setSavePhase(SavePhase value) {
    assign(savePhase_, value, &WorkspaceState::savePhaseChanged);
}

void WorkspaceState::setPageJump(std::string value) {
    assign(pageJump_, std::move(value), &WorkspaceState::pageJumpChanged);
}

void WorkspaceState::setInkPoints(std::vector<PDFPoint> value) {
    assign(inkPoints_, std::move(value), &WorkspaceState::inkPointsChanged);
}

std::optional<PageInfo> WorkspaceState::currentPage() const {
    if (!inspect_ || !inspect_->pages || !selectedPageId_) return std::nullopt;
    for (const PageInfo& page : *inspect_->pages) {
        if (page.id == *selectedPageId_) return page;
    }
    return std::nullopt;
}

std::string WorkspaceState::saveLabel() const {
    if (savePhase_ == SavePhase::saving) return "Saving…";
    if (savePhase_ == SavePhase::failed) return "Save failed";
    if (savePhase_ == SavePhase::unsaved || (inspect_ && inspect_->dirty.value_or(false))) return "Unsaved";
    return "Saved";
}

}  // namespace kivo
