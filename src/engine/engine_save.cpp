// Saving and exporting. Both write the whole document through a hidden sibling that then takes
// the destination's place; neither changes the document's content or its revision.

#include "engine/document_engine.hpp"
#include "engine/recovery_store.hpp"
#include "engine/request_checks.hpp"
#include "session/session.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

EngineFailure invalid(std::string message) {
    return EngineFailure(FailureCode::invalidArgument, std::move(message));
}

void refuseChangedSource(Session& session, bool force) {
    if (!force && session.sourceChangedOnDisk()) {
        throw EngineFailure(FailureCode::sourceChanged,
                            "The file on disk has changed. Save As, or pass force to overwrite.");
    }
}

// The written file becomes the document's own: the document counts as saved, the outside-change
// guard watches the new file, and the crash checkpoint is no longer needed.
void writeAndAdopt(Session& session, const std::string& path, const SafeFiles::ReplaceOptions& options) {
    session.atomicWrite(path, options);
    session.refreshBacking();
    session.setSourcePath(path);
    session.markSaved();
    session.captureSourceStamp();
    try {
        RecoveryStore::discard(session.id());
    } catch (...) {
        // A stale checkpoint is only clutter; the save itself succeeded.
    }
}

}  // namespace

CommandResponse DocumentEngine::saveDocument(const CommandRequest& request) {
    requireMCPMutation(request);
    Session& session = requireSession(request, "export");
    const CommandParams& p = request.params;
    const std::optional<SaveMode> mode = fromRawValue<SaveMode>(p.saveMode.value_or("save"));
    if (session.readOnly() && mode != SaveMode::saveCopy) {
        throw EngineFailure(
            FailureCode::readOnly,
            "Signed files stay read-only. Use Save a Copy; signature validity may not be preserved.");
    }
    const bool force = p.force.value_or(false);
    const SafeFiles::ReplaceOptions options = RequestChecks::writeOptions(request.channel);
    if (mode == SaveMode::save) {
        if (!session.sourcePath()) throw invalid("Save As is required for a document without a path.");
        const std::string path =
            RequestChecks::writeDestination(*session.sourcePath(), request.channel).string();
        requireGrantedPath(path, request);
        refuseChangedSource(session, force);
        writeAndAdopt(session, path, options);
    } else if (mode == SaveMode::saveAs) {
        if (!p.destination) throw invalid("saveAs requires destination.");
        const std::string path = RequestChecks::writeDestination(*p.destination, request.channel).string();
        requireGrantedPath(path, request);
        // The guard is about the document's own file: a Save As must not hide that it changed.
        refuseChangedSource(session, force);
        writeAndAdopt(session, path, options);
    } else if (mode == SaveMode::saveCopy) {
        if (!p.destination) throw invalid("saveCopy requires destination.");
        const std::string path = RequestChecks::writeDestination(*p.destination, request.channel).string();
        requireGrantedPath(path, request);
        // A copy changes neither the document nor its bytes: every edit already took the document as
        // it stands as the session's bytes, and the copy is written from the document itself.
        session.atomicWrite(path, options);
    } else {
        throw invalid("saveMode must be save, saveAs, or saveCopy.");
    }
    return CommandResponse::success(request.id, session.inspectResult());
}

CommandResponse DocumentEngine::exportDocument(const CommandRequest& request) {
    requireMCPMutation(request);
    Session& session = requireSession(request, "export");
    const auto& destination = request.params.destination;
    if (!destination) throw invalid("export_document requires destination.");
    const std::string path = RequestChecks::writeDestination(*destination, request.channel).string();
    requireGrantedPath(path, request);
    session.atomicWrite(path, RequestChecks::writeOptions(request.channel));

    CommandResult result = session.inspectResult();
    std::vector<std::string> warnings = result.warnings.value_or(std::vector<std::string>{});
    if (session.readOnly()) warnings.push_back("Exported copy may not preserve signature validity.");
    result.warnings = std::move(warnings);
    return CommandResponse::success(request.id, std::move(result));
}

}  // namespace kivo
