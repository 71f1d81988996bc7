// Writing the open document to disk: in place, under a new name, as a copy, and the prompt for a
// file that changed on disk since it was opened. The worker writes the bytes; the workspace only
// follows the save phase and takes in the document's record after a save.

#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {

void Workspace::save() {
    if (inspect() && inspect()->sourcePath) {
        write(SaveMode::save, std::nullopt, false);
        return;
    }
    saveAs();
}

void Workspace::saveAs() {
    if (const auto path =
            d_->services_.fileDialogs->chooseSavePdf("Save As", suggestedName(), documentFolder())) {
        write(SaveMode::saveAs, path->string(), false);
    }
}

void Workspace::saveCopy() {
    if (const auto path =
            d_->services_.fileDialogs->chooseSavePdf("Save a Copy", "Untitled copy.pdf", documentFolder())) {
        write(SaveMode::saveCopy, path->string(), false);
    }
}

std::string Workspace::suggestedName() const {
    if (inspect() && inspect()->sourcePath)
        return std::filesystem::path(*inspect()->sourcePath).filename().string();
    return "Untitled.pdf";
}

std::filesystem::path Workspace::documentFolder() const {
    if (inspect() && inspect()->sourcePath)
        return std::filesystem::path(*inspect()->sourcePath).parent_path();
    return {};
}

void Workspace::write(SaveMode mode, const std::optional<std::string>& destination, bool force) {
    setSavePhase(SavePhase::saving);
    CommandParams params;
    params.sessionId = sessionId();
    params.saveMode = std::string(rawValue(mode));
    params.destination = destination;
    params.force = force;
    CommandRequest request = makeRequest(CommandMethod::saveDocument, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    // The answer may come after another document replaced this one: then it is not that one's.
    send(
        std::move(request), std::nullopt, true,
        [this, mode, session = sessionId()](const CommandResult& result) {
            if (sessionId() != session) return;
            const std::optional<std::string> oldPath = inspect() ? inspect()->sourcePath : std::nullopt;
            setInspect(result);
            setSavePhase(result.dirty.value_or(false) ? SavePhase::unsaved : SavePhase::saved);
            setStatus(mode == SaveMode::saveCopy ? "Saved a copy" : "Saved");
            if (result.sourcePath != oldPath) d_->mcp_->sourcePathChanged();
        },
        [this, mode, session = sessionId()](const std::string& code, const std::string& message) {
            if (sessionId() != session) {
                setErrorMessage(message);
                return;
            }
            if (code == rawValue(FailureCode::sourceChanged) && mode == SaveMode::save) {
                promptStaleSave();
                return;
            }
            setSavePhase(SavePhase::failed);
            setErrorMessage(message);
        });
}

void Workspace::promptStaleSave() {
    setSavePhase(SavePhase::failed);
    switch (d_->services_.prompts->askStaleFile()) {
        case Prompts::StaleFileChoice::overwrite: write(SaveMode::save, std::nullopt, true); return;
        case Prompts::StaleFileChoice::saveAs: saveAs(); return;
        case Prompts::StaleFileChoice::cancel:
            setErrorMessage("Save cancelled because the file on disk changed.");
            return;
    }
}

}  // namespace kivo
