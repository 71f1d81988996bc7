// Changes to the open document and the one way results come in: edits with their revision and
// operation id, undo and redo, opening files, and the page shown.

#include <unistd.h>

#include <QTimer>

#include <algorithm>
#include <cctype>

#include "core/text.hpp"
#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {
namespace {

constexpr int launchFileRetryMilliseconds = 250;

std::string activityTitle(CommandMethod method) {
    switch (method) {
        case CommandMethod::fillForm: return "Filling the form";
        case CommandMethod::organizePages: return "Moving pages";
        case CommandMethod::rotatePages: return "Rotating pages";
        case CommandMethod::deletePages: return "Deleting pages";
        case CommandMethod::mergeDocuments: return "Merging";
        case CommandMethod::undo: return "Undoing";
        case CommandMethod::redo: return "Redoing";
        default: return "Applying the change";
    }
}

// The 0-based position of a page id in a result's pages.
std::optional<std::size_t> positionOf(const CommandResult& result, const std::optional<std::string>& pageId) {
    if (!result.pages || !pageId) return std::nullopt;
    const auto& pages = *result.pages;
    const auto found =
        std::find_if(pages.begin(), pages.end(), [&](const PageInfo& page) { return page.id == *pageId; });
    if (found == pages.end()) return std::nullopt;
    return static_cast<std::size_t>(found - pages.begin());
}

bool isReadablePdf(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".pdf" && ::access(path.c_str(), R_OK) == 0;
}

}  // namespace

void Workspace::mutate(CommandMethod method, CommandParams params, const std::string& status,
                       std::function<void()> then) {
    CommandRequest request = makeRequest(method, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    request.operationId = newUUIDString();
    send(std::move(request), activityTitle(method), true,
         [this, method, status, then = std::move(then)](const CommandResult& result) {
             adopt(result, status, false, RenderInvalidation::after(method, result.affectedPages));
             if (then) then();
         });
}

void Workspace::history(CommandMethod method, const std::string& status) {
    if (!sessionId()) return;
    CommandParams params;
    params.sessionId = sessionId();
    CommandRequest request = makeRequest(method, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    send(std::move(request), activityTitle(method), true, [this, status](const CommandResult& result) {
        adopt(result, status, false, RenderInvalidation::all());
    });
}

void Workspace::fill(const std::string& field, const std::string& value) {
    if (sessionId()) fillAll({{field, value}}, nullptr);
}

void Workspace::fillAll(std::vector<std::pair<std::string, std::string>> values, std::function<void()> then) {
    if (values.empty() || !sessionId()) {
        if (then) then();
        return;
    }
    const auto [field, value] = values.front();
    values.erase(values.begin());
    CommandParams params;
    params.sessionId = sessionId();
    params.fieldName = field;
    params.value = value;
    // What follows belongs to this document: another one opened meanwhile ends the chain.
    mutate(CommandMethod::fillForm, std::move(params), "Filled " + field,
           [this, session = sessionId(), values = std::move(values), then = std::move(then)]() mutable {
               if (sessionId() == session) fillAll(std::move(values), std::move(then));
           });
}

void Workspace::adopt(const CommandResult& result, const std::string& status, bool keepSelection,
                      const RenderInvalidation& invalidation) {
    const std::optional<std::string> oldSession = sessionId();
    const std::optional<std::string> oldSourcePath = inspect() ? inspect()->sourcePath : std::nullopt;
    const std::optional<std::string> oldAnnotation = selectedAnnotationId();
    const std::optional<std::size_t> oldPosition =
        inspect() ? positionOf(*inspect(), selectedPageId()) : std::nullopt;

    if (result.sessionId) setSessionId(result.sessionId);
    const bool sameSession = oldSession == sessionId();
    if (!sameSession) {
        d_->assistant_->documentReplaced();
        d_->thumbnails_->forget();
        d_->shownPage_->documentReplaced();
        setSelectedAnnotationId(std::nullopt);
        // Hits of another document would point at pages this one does not have.
        setSearchHits({});
        setSearchHitIndex(0);
        // A failed or running save was the other document's; this one's phase follows from its record.
        setSavePhase(SavePhase::saved);
        documentNoticeEnds();
    }
    setInspect(result);
    if (!positionOf(result, selectedPageId())) {
        // A deleted page gives way to the one that took its place (the new last page after the last);
        // another document starts at its first.
        std::optional<std::string> shown;
        if (result.pages && !result.pages->empty()) {
            const std::size_t at =
                sameSession && oldPosition ? std::min(*oldPosition, result.pages->size() - 1) : 0;
            shown = (*result.pages)[at].id;
        }
        setSelectedPageId(shown);
    }
    if (!keepSelection) {
        setSelection(std::nullopt);
        setInkPoints({});
    }
    setStatus(status);
    syncSavePhase();
    if (const auto position = positionOf(result, selectedPageId()))
        setPageJump(std::to_string(*position + 1));

    if (sameSession) {
        if (oldAnnotation) {
            const std::vector<AnnotationInfo> none;
            const auto& annotations = result.annotations ? *result.annotations : none;
            const auto kept = std::find_if(
                annotations.begin(), annotations.end(),
                [&](const AnnotationInfo& annotation) { return annotation.id == *oldAnnotation; });
            if (kept != annotations.end()) {
                setSelectedAnnotationId(kept->id);
                setSelection(kept->rect);
            } else {
                setSelectedAnnotationId(std::nullopt);
            }
        }
        if (d_->pageVersions_.advance(invalidation)) d_->thumbnails_->renderStale();
        d_->shownPage_->refreshPage();
        if (result.sourcePath != oldSourcePath) d_->mcp_->sourcePathChanged();
    } else {
        d_->shownPage_->refreshPage();
        if (d_->mcp_->documentReplaced()) {
            setStatus(status + ". MCP access is per document; turn it on again to share this one.");
        }
    }
}

void Workspace::closeReplacedSession(const std::optional<std::string>& previous,
                                     const CommandResult& result) {
    // A worker that answers with the same session kept the document: there is nothing to close.
    if (previous && result.sessionId != previous) closeSession(*previous);
}

void Workspace::closeSession(const std::string& session) {
    CommandParams params;
    params.sessionId = session;
    send(
        makeRequest(CommandMethod::close, std::move(params)), std::nullopt, true, [](const CommandResult&) {},
        [](const std::string&, const std::string&) {});
}

void Workspace::syncSavePhase() {
    if (savePhase() == SavePhase::saving || savePhase() == SavePhase::failed) return;
    setSavePhase(inspect() && inspect()->dirty.value_or(false) ? SavePhase::unsaved : SavePhase::saved);
}

std::optional<std::string> Workspace::askPassword(const std::string& title, const std::string& detail) {
    auto password = d_->services_.prompts->askPassword(title, detail, "Open");
    if (password && password->empty()) return std::nullopt;
    return password;
}

void Workspace::open(const std::filesystem::path& path, const std::optional<std::string>& password) {
    const std::optional<std::string> previous = sessionId();
    const std::string name = path.filename().string();
    CommandParams params;
    params.path = path.string();
    params.password = password;
    send(
        makeRequest(CommandMethod::open, std::move(params)), "Opening " + name, true,
        [this, previous, name](const CommandResult& result) {
            closeReplacedSession(previous, result);
            d_->lostDocument_.reset();
            d_->restoringLost_ = false;
            emit documentReplaced();
            adopt(result, "Opened " + name, false, RenderInvalidation::all());
        },
        retryWithPassword(name, password.has_value(),
                          [this, path](const std::string& password) { open(path, password); }));
}

Workspace::FailureHandler Workspace::retryWithPassword(const std::string& name, bool triedPassword,
                                                       std::function<void(const std::string&)> retry) {
    return [this, name, triedPassword, retry = std::move(retry)](const std::string& code,
                                                                 const std::string& message) {
        if (code != rawValue(FailureCode::passwordRequired)) {
            setErrorMessage(message);
            return;
        }
        // Asked again after a wrong one, until the user cancels; the title says why it is asked again.
        const auto typed =
            askPassword(triedPassword ? "That password did not open " + name : "Password required",
                        "This PDF is encrypted. The password is not stored or logged.");
        if (typed) retry(*typed);
    };
}

void Workspace::openPanel() {
    if (const auto path = d_->services_.fileDialogs->chooseOpenPdf("Open")) open(*path);
}

void Workspace::openLaunchFiles(std::vector<std::string> arguments, int attemptsLeft) {
    if (d_->link_->workerReady()) {
        const auto first = std::find_if(arguments.begin(), arguments.end(),
                                        [](const std::string& argument) { return isReadablePdf(argument); });
        if (first != arguments.end()) open(*first);
        return;
    }
    if (attemptsLeft < 1 || errorMessage()) return;
    QTimer::singleShot(launchFileRetryMilliseconds, this,
                       [this, arguments = std::move(arguments), attemptsLeft] {
                           openLaunchFiles(arguments, attemptsLeft - 1);
                       });
}

void Workspace::select(const std::string& pageId) {
    setSelectedPageId(pageId);
    setSelection(std::nullopt);
    setSelectedText("");
    d_->lineSelection_.reset();
    setInkPoints({});
    if (inspect()) {
        if (const auto position = positionOf(*inspect(), pageId)) setPageJump(std::to_string(*position + 1));
    }
    d_->shownPage_->refreshPage();
}

// A render answers with the document's whole state. A newer revision in it was made by someone
// else (an MCP client) in the meantime: taking it in here would skip its invalidation, so it is
// left to the change watch, which adopts it and makes every page and thumbnail stale.
void Workspace::takeRenderedInspection(const CommandResult& result) {
    if (!inspect() || result.sessionId != inspect()->sessionId || result.revision != inspect()->revision)
        return;
    setInspect(result);
    syncSavePhase();
}

}  // namespace kivo
