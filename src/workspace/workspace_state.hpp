#pragma once

// The published state of the open document, its selection, search and status: each a Qt property
// with its initial value and one change signal, emitted only when the value really changed. The
// assistant, the page renders and zoom, the sharing, the link and the checkpoints publish theirs on
// their own parts. The workspace's operations set these, so the windows change them only through
// those; what a part or a window has to tell goes to the status and error lines, which anyone may
// write. One-off requests to a view are the workspace's signals, not values here. GUI thread only.
// Setters never fail.

#include <QImage>
#include <QObject>
#include <QRectF>
#include <QSizeF>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/commands.hpp"
#include "core/page_text.hpp"
#include "workspace/open_document.hpp"
#include "workspace/workspace_types.hpp"

namespace kivo {

class WorkspaceState : public QObject {
    Q_OBJECT

    // ---- Published properties
    Q_PROPERTY(std::optional<std::string> sessionId READ sessionId WRITE setSessionId NOTIFY sessionIdChanged)
    Q_PROPERTY(std::optional<CommandResult> inspect READ inspect WRITE setInspect NOTIFY inspectChanged)
    Q_PROPERTY(std::optional<std::string> selectedPageId READ selectedPageId WRITE setSelectedPageId NOTIFY
                   selectedPageIdChanged)
    Q_PROPERTY(std::string status READ status WRITE setStatus NOTIFY statusChanged)
    Q_PROPERTY(std::optional<std::string> errorMessage READ errorMessage WRITE setErrorMessage NOTIFY
                   errorMessageChanged)
    Q_PROPERTY(std::optional<PDFRect> selection READ selection WRITE setSelection NOTIFY selectionChanged)
    Q_PROPERTY(std::optional<std::string> selectedAnnotationId READ selectedAnnotationId WRITE
                   setSelectedAnnotationId NOTIFY selectedAnnotationIdChanged)
    Q_PROPERTY(std::string selectedText READ selectedText WRITE setSelectedText NOTIFY selectedTextChanged)
    Q_PROPERTY(std::string searchQuery READ searchQuery WRITE setSearchQuery NOTIFY searchQueryChanged)
    Q_PROPERTY(std::vector<SearchHit> searchHits READ searchHits WRITE setSearchHits NOTIFY searchHitsChanged)
    Q_PROPERTY(
        std::int64_t searchHitIndex READ searchHitIndex WRITE setSearchHitIndex NOTIFY searchHitIndexChanged)
    Q_PROPERTY(EditorTool tool READ tool WRITE setTool NOTIFY toolChanged)
    Q_PROPERTY(std::optional<WorkerNotice> workerNotice READ workerNotice WRITE setWorkerNotice NOTIFY
                   workerNoticeChanged)
    Q_PROPERTY(SavePhase savePhase READ savePhase WRITE setSavePhase NOTIFY savePhaseChanged)
    Q_PROPERTY(std::string pageJump READ pageJump WRITE setPageJump NOTIFY pageJumpChanged)
    Q_PROPERTY(std::vector<PDFPoint> inkPoints READ inkPoints WRITE setInkPoints NOTIFY inkPointsChanged)

public:
    explicit WorkspaceState(QObject* parent = nullptr);

    const std::optional<std::string>& sessionId() const { return sessionId_; }
    const std::optional<CommandResult>& inspect() const { return inspect_; }
    // The open document as the windows read it; it changes with inspect.
    OpenDocument document() const { return OpenDocument(inspect_); }
    const std::optional<std::string>& selectedPageId() const { return selectedPageId_; }
    const std::string& status() const { return status_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    const std::optional<PDFRect>& selection() const { return selection_; }
    const std::optional<std::string>& selectedAnnotationId() const { return selectedAnnotationId_; }
    const std::string& selectedText() const { return selectedText_; }
    const std::string& searchQuery() const { return searchQuery_; }
    const std::vector<SearchHit>& searchHits() const { return searchHits_; }
    std::int64_t searchHitIndex() const { return searchHitIndex_; }
    EditorTool tool() const { return tool_; }
    const std::optional<WorkerNotice>& workerNotice() const { return workerNotice_; }
    SavePhase savePhase() const { return savePhase_; }
    // The save state in words: "Saving…", "Save failed", "Unsaved" while the phase says so or the
    // adopted document is dirty, else "Saved". Changes with savePhase and inspect.
    std::string saveLabel() const;
    const std::string& pageJump() const { return pageJump_; }
    const std::vector<PDFPoint>& inkPoints() const { return inkPoints_; }
    // The record of the shown page; nothing without a document or a match.
    std::optional<PageInfo> currentPage() const;

    void setStatus(std::string value);
    void setErrorMessage(std::optional<std::string> value);

signals:
    void sessionIdChanged();
    void inspectChanged();
    void selectedPageIdChanged();
    void statusChanged();
    void errorMessageChanged();
    void selectionChanged();
    void selectedAnnotationIdChanged();
    void selectedTextChanged();
    void searchQueryChanged();
    void searchHitsChanged();
    void searchHitIndexChanged();
    void toolChanged();
    void workerNoticeChanged();
    void savePhaseChanged();
    void pageJumpChanged();
    void inkPointsChanged();

protected:
    // Through the workspace's operations alone.
    void setSessionId(std::optional<std::string> value);
    void setInspect(std::optional<CommandResult> value);
    void setSelectedPageId(std::optional<std::string> value);
    void setSelection(std::optional<PDFRect> value);
    void setSelectedAnnotationId(std::optional<std::string> value);
    void setSelectedText(std::string value);
    void setSearchQuery(std::string value);
    void setSearchHits(std::vector<SearchHit> value);
    void setSearchHitIndex(std::int64_t value);
    void setTool(EditorTool value);
    void setWorkerNotice(std::optional<WorkerNotice> value);
    void setSavePhase(SavePhase value);
    void setPageJump(std::string value);
    void setInkPoints(std::vector<PDFPoint> value);

private:
    template <class T>
    void assign(T& field, T value, void (WorkspaceState::*changed)());

    std::optional<std::string> sessionId_{};
    std::optional<CommandResult> inspect_{};
    std::optional<std::string> selectedPageId_{};
    std::string status_{"Open a PDF to start. Editing stays on this computer."};
    std::optional<std::string> errorMessage_{};
    std::optional<PDFRect> selection_{};
    std::optional<std::string> selectedAnnotationId_{};
    std::string selectedText_{};
    std::string searchQuery_{};
    std::vector<SearchHit> searchHits_{};
    std::int64_t searchHitIndex_{0};
    EditorTool tool_{EditorTool::select};
    std::optional<WorkerNotice> workerNotice_{};
    SavePhase savePhase_{SavePhase::saved};
    std::string pageJump_{"1"};
    std::vector<PDFPoint> inkPoints_{};
};

}  // namespace kivo
