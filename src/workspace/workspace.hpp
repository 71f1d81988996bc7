#pragma once

// The editor's one model object, the only one that talks to the worker. It starts and supervises
// the worker, carries every command to it over the serial command queue, takes results in as the
// published state (WorkspaceState) that the windows show, brings the open document back after a
// worker stop, and offers recovery checkpoints. Everything runs on the GUI thread: read the state
// there, call the operations there, and observe the change signals. Whatever shows something to
// the user it asks of the services the application passes in, so the model runs in tests without
// a window.
//
// Operations never throw: a failure ends in `errorMessage`, in `status`, or in `workerNotice`.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <stop_token>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/command_client.hpp"
#include "core/commands.hpp"
#include "core/page_text.hpp"
#include "core/render_cache.hpp"
#include "core/worker_limits.hpp"
#include "workspace/draft_relay.hpp"
#include "workspace/ipc_files.hpp"
#include "workspace/launch_error.hpp"
#include "workspace/own_revisions.hpp"
#include "workspace/serial_queue.hpp"
#include "workspace/worker_process.hpp"
#include "workspace/worker_stops.hpp"
#include "workspace/workspace_services.hpp"
#include "workspace/workspace_state.hpp"
#include "workspace/workspace_types.hpp"

class QTimer;

namespace kivo {

class Workspace : public WorkspaceState {
    Q_OBJECT

public:
    // Creating the workspace starts nothing; the worker is launched by launchOnce(). The assistant
    // provider and model come from the settings, and whether a key is stored from the key store.
    explicit Workspace(WorkspaceServices services = {}, QObject* parent = nullptr);
    // Stops the worker as shutdownWorker() does.
    ~Workspace() override;

    // ---- The worker

    // Takes the lock that makes this the one editor of the user's support folder; answers whether
    // it holds it. Throws std::filesystem::filesystem_error when the ipc folder or the lock file
    // cannot be made. Without the lock the workspace never starts a worker, writes the token file,
    // removes the socket, or lists or discards checkpoints.
    bool claimEditorLock();
    // The first call launches the worker, says "Worker ready…" and lists the recovery
    // checkpoints; a failed launch shows its description in `errorMessage`. Later calls do nothing.
    void launchOnce();
    // The application is quitting: ends the worker (SIGTERM, SIGKILL after 2 s), closes both
    // connections, ends the queue threads and removes the worker's socket. A command in flight
    // ends as "worker_stopped". Returns within about 4 s whatever the worker does.
    void shutdownWorker();
    // The notice's "Restart Worker": starts a worker and brings the lost document back. Does
    // nothing while a worker and its connection stand, or once the editor is quitting.
    void restartWorker();

    // ---- Commands and activities

    // Asks the worker to cancel the command of the shown activity, once, on the control connection.
    void cancelActivity();
    // Whether the control connection stands, so that a command can be cancelled at all.
    bool hasControlConnection() const { return controlClient_ != nullptr; }
    // Sends an edit made against the last adopted revision, with a fresh operation id, and adopts
    // its result with `status` in the status line; then runs `then`, which a failure skips.
    void mutate(CommandMethod method, CommandParams params, const std::string& status,
                std::function<void()> then = nullptr);
    // Undo or redo of the open document; with none open, nothing happens.
    void history(CommandMethod method, const std::string& status);
    // Fills a form field of the open document; with none open, nothing happens.
    void fill(const std::string& field, const std::string& value);
    // Fills the fields one after another, each against the revision the one before made, then runs
    // `then`; a fill that fails stops there with its message, and `then` is not run.
    void fillAll(std::vector<std::pair<std::string, std::string>> values, std::function<void()> then);

    // ---- Opening and pages

    // Opens a PDF file as the open document, asking for the password while the worker wants one,
    // and closes the document that was open before.
    void open(const std::filesystem::path& path, const std::optional<std::string>& password = std::nullopt);
    // Asks the file panel for a PDF and opens it.
    void openPanel();
    // Opens the first readable "*.pdf" among the editor's command-line `arguments` (the program
    // itself left out) once the worker is ready, checking again every 0.25 s, `attemptsLeft` times.
    void openLaunchFiles(std::vector<std::string> arguments, int attemptsLeft);
    // Shows a page, by its id; clears the selection and the ink stroke.
    void select(const std::string& pageId);
    // The record of the shown page; nothing without a document or a match.
    std::optional<PageInfo> currentPage() const;

    // ---- Showing pages, for the canvas and the page list (workspace_render.cpp, workspace_tiles.cpp,
    // workspace_navigation.cpp, workspace_thumbnails.cpp)
    //
    // The canvas draws `pageImage` at its display size in points, QImage::deviceIndependentSize()
    // (zoom × the page's size; its devicePixelRatio is pixels per point), and over it every one of
    // `pageTiles` at its `frame`. A page of more than 8,000,000 pixels at the current zoom arrives
    // as a coarser image stretched to that size, and the tiles make the part on screen sharp.
    // Pixels are points × the backing scale of the services' Screen, read at every render.
    // `pageChars` (and `pageLines`) follow the shown page. The page list draws thumbnail(pageId)
    // and redraws when `thumbnailGeneration` changes.

    // Shows the selected page at `zoom`: from the cache when it holds this page at this scale with
    // its text, otherwise rendered by the worker while the image shown before stays up. Clears the
    // image and the tiles when no page is selected. Adopting a result and select() call it.
    void refreshPage();
    // Zooms to `zoom` kept within 0.25 to 4.0 and sets `fitMode` to manual: the shown image is
    // stretched to the new size at once, and the page is rendered again 0.15 s after the last call.
    // Hides the state's plain setter, which sets the number alone.
    void setZoom(double zoom);
    // Sets `zoom` to fit the page (fit `page`) or its width (fit `width`) into `viewport` less 48
    // points, and renders; with fit manual, no page or a viewport of 40 points or less, nothing. A
    // width fit that leaves the page taller than the viewport leaves room for the vertical scroll
    // bar too, so no horizontal one appears.
    void applyFit();
    // How wide the canvas's vertical scroll bar is when it shows; the window tells it.
    void setScrollBarWidth(double width) { scrollBarWidth_ = width; }
    // applyFit() 0.12 s after the last call: the window calls it while `viewport` changes and
    // `fitMode` is not manual.
    void scheduleFit();
    // The tile pass: publishes the cached tiles around `visibleCanvasRect` and asks the worker for
    // missing ones, nearest the middle of the view first. The canvas sets `visibleCanvasRect` and
    // calls this whenever the part of the page on screen changes.
    void updateTiles();
    // The page whose 1-based position is typed in `pageJump` ("+7" and "07" as well as "7"); a text
    // that is no such position does nothing.
    void jumpToPage();
    // The neighbouring page; nothing at either end.
    void previousPage();
    void nextPage();
    // A page-list row appeared or disappeared. A shown row whose thumbnail is missing or stale is
    // rendered, one at a time; a hidden row's waiting render is dropped.
    void showThumbnail(const std::string& pageId);
    void hideThumbnail(const std::string& pageId);
    // The page's cached thumbnail, also a stale one until its new render arrives; a null image
    // when there is none.
    QImage thumbnail(const std::string& pageId) const;

    // ---- Selection and annotations (workspace_selection.cpp, workspace_annotations.cpp)

    // What a finished drag or click of the canvas does with `tool`: `end` is the gesture's
    // rectangle, `points` the ink stroke. A gesture under 6 points both ways is a click.
    void applyTool(const PDFRect& end, const std::vector<PDFPoint>& points);
    // Selects the last-listed annotation of the shown page under the point, edges included, or
    // clears the selection.
    void hitTestAnnotation(const PDFPoint& point);
    // The shown page's characters whose boxes overlap the rectangle with some area, in order.
    std::string text(const PDFRect& rect) const;
    // Selects whole lines of the shown page; a page without lines changes nothing.
    void selectLines(const LineSelection& lines);
    // The next and previous line commands: moves or extends the line selection by `delta`.
    void selectAdjacentLine(std::int64_t delta, bool extend);
    const std::optional<LineSelection>& lineSelection() const { return lineSelection_; }
    // "Copied text": the selected text to the clipboard; nothing without one.
    void copySelection();
    void highlightSelection();
    // A note with its top left corner at the selection's, or at the default place of the page.
    void addNoteAtSelection();
    void addNote(const PDFRect& rect);
    // Asks for the overlay's text, then adds it.
    void promptText(const PDFRect& rect);
    // Nothing for an empty text; a text of spaces is sent as it is.
    void addText(const PDFRect& rect, const std::string& contents);
    // Nothing for fewer than 2 points; `inkPoints` empties once the stroke is sent.
    void addInk(const std::vector<PDFPoint>& points);
    // Asks for an image file, then adds it as an image overlay, or a visual signature for the kind
    // "signature".
    void addImage(const std::string& kind, const PDFRect& rect);
    // An ink stroke 1 point under the selection.
    void underlineSelectionWithInk();
    // Where the menu commands put an overlay of this size: the selection, else 72 points in from
    // the shown page's left edge and below its top (a top of 720 without a page).
    PDFRect overlayRect(double width, double height) const;
    // Selects an annotation and shows its page; an id the document does not list is only kept. The
    // four commands below act only on a selected annotation of the page shown.
    void selectAnnotation(const std::string& annotationId);
    void deleteSelectedAnnotation();
    // Moves the selected annotation by dx right and dy up as the page is shown, or with `resize` moves
    // its edges shown right and top.
    void nudgeSelection(double dx, double dy, bool resize);
    // Steps through the shown page's annotations in reading order, wrapping around.
    void selectAdjacentAnnotation(std::int64_t step);
    // Asks for new contents of the selected annotation, then saves them.
    void promptSelectedContents();
    void updateSelectedContents(const std::string& contents);

    // ---- Saving (workspace_saving.cpp)

    // Saves in place, or asks for a name when the document has no file yet.
    void save();
    void saveAs();
    void saveCopy();
    // "Saving…", "Save failed", "Unsaved" or "Saved".
    std::string saveLabel() const;
    // The file name the Save As panel proposes.
    std::string suggestedName() const;
    // The open document's folder, where its save and image panels start; empty for a document without a file.
    std::filesystem::path documentFolder() const;

    // ---- Pages (workspace_pages.cpp)

    // Moves the pages at the 0-based positions `from` before the page at `to` (the end when `to`
    // is the page count). Positions outside the list are ignored; `to` is clamped into it.
    void movePage(const std::vector<std::int64_t>& from, std::int64_t to);
    // Swaps the shown page with its neighbour; nothing at either end.
    void moveSelectedPage(std::int64_t by);
    void rotateSelected(std::int64_t degrees);
    void deleteSelectedPage();
    // Asks for a PDF and appends its pages.
    void mergePanel();
    // Asks for a destination and writes the shown page there as a new PDF.
    void extractPanel();

    // ---- Printing (workspace_printing.cpp)

    // Exports the document as the worker holds it to an owner-only copy in the private render
    // folder (PageRenders::folder()) and prints that; the copy is deleted once printed, cancelled
    // or failed, and at shutdownWorker(). Without a private folder nothing is exported.
    void printDocument();

    // ---- MCP sharing (workspace_sharing.cpp)

    // Sends the whole grant state to the worker, then starts or stops the change watch.
    void syncMCPGrants();
    // Asks for files, or for folders, that MCP may use.
    void approveMCPPath(FileDialogs::PathKind kind);
    // Puts the MCP client configuration on the clipboard.
    void copyMCPSetup();
    // Watches for MCP clients' edits exactly while sharing is on and a document is open.
    void updateExternalChangeWatch();
    bool watchingExternalChanges() const { return externalChangeTimer_ != nullptr; }

    // ---- The assistant (workspace_assistant.cpp)

    // Asks `assistantQuery` about the open document: the worker's planner for the provider
    // "local", else a model run on a thread of its own.
    void askAssistant();
    // "Stop": the model run ends at once with what it has.
    void stopAssistant();
    // Fetches the chosen provider's status and models, off the GUI thread.
    void refreshModels();
    // The key store's work runs on a queue of its own (the keyring may hold it up with its unlock
    // prompt); its outcome comes back to the GUI thread in the order asked.
    void saveAssistantKey(const std::string& key);
    void removeAssistantKey();
    // Where the stored key is kept: as found at start (once the store answered), then where the last
    // save put it; nothing while no key is stored.
    std::optional<KeychainKey::Place> assistantKeyPlace() const { return assistantKeyPlace_; }
    // A model list asked for by refreshModels() has not arrived yet.
    bool modelsPending() const { return modelsPending_; }
    // Sends a proposed edit of the answer on show as a change of the document it was made for.
    void applyProposal(const ProposedEdit& edit);
    void cancelProposal(const std::string& operationId);
    // Sends one read for the assistant and reports its outcome once, on the GUI thread: the
    // result, or the failure's code and message. GUI thread only.
    using AssistantCompletion =
        std::function<void(std::optional<CommandResult> result, const std::string& code, const std::string& message)>;
    void performForAssistant(CommandRequest request, AssistantCompletion completion);

    // ---- Search

    // Searches the open document for `searchQuery` and shows the first hit; with none open, nothing
    // happens. A query of white space only empties the hits and sends nothing.
    void search();
    // Step through the hits, wrapping around; with no hits they search instead.
    void findNext();
    void findPrevious();

    // ---- Recovery checkpoints

    void refreshRecoveries();
    // Opens a listed checkpoint as the open document, asking for its password when it has one.
    void restoreRecovery(const std::string& recoveryId);
    void discardRecovery(const std::string& recoveryId);

    // ---- For the inspector's diagnostics and for tests

    // What the render caches hold: entries of each, their pixels' bytes, and the bound of those.
    struct RenderCacheUse {
        std::int64_t pages = 0;
        std::int64_t tiles = 0;
        std::int64_t thumbnails = 0;
        std::int64_t bytes = 0;
        std::int64_t boundBytes = 0;
    };
    RenderCacheUse renderCacheUse() const;

    const std::optional<LostDocument>& lostDocument() const { return lostDocument_; }
    // The UI token: made once per workspace, handed to every worker it starts.
    const std::string& uiToken() const { return token_; }
    // The running worker's process id; 0 when none runs.
    qint64 workerProcessId() const;

signals:
    // The user opened or restored another document in place of the open one (not the same
    // document brought back after a worker stop); what was typed for the old one no longer applies.
    void documentReplaced();

private:
    struct FilledServices {};
    Workspace(WorkspaceServices services, QObject* parent, FilledServices);

    using SuccessHandler = std::function<void(const CommandResult&)>;
    using FailureHandler = std::function<void(const std::string& code, const std::string& message)>;
    using CancelHandler = std::function<void()>;

    // Transport (workspace_transport.cpp)
    static CommandRequest makeRequest(CommandMethod method, CommandParams params = {});
    void send(CommandRequest request, std::optional<std::string> activity, bool clearsError, SuccessHandler onSuccess,
              FailureHandler onFailure = nullptr, CancelHandler onCancelled = nullptr);
    void exchange(CommandClient& client, CommandRequest request, bool ownChange,
                  const std::optional<std::string>& activity, SuccessHandler onSuccess, FailureHandler onFailure,
                  CancelHandler onCancelled);
    void reconnectAndInspect(CommandClient& client, const std::optional<std::string>& session);
    void beginActivity(const std::string& requestId, const std::string& title);
    void followProgress(const CommandProgress& line);
    void endActivity(const std::string& requestId);
    static bool isLostConnection(const std::exception& error);
    EngineLaunchError noConnectionError() const;

    // Launch and supervision (workspace_worker.cpp, workspace_stops.cpp)
    void launchWorker();
    void connectToWorker(const std::string& socket);
    [[noreturn]] void abandonLaunch(std::exception_ptr error);
    ResourceLimits workerLimits() const;
    void workerDidStop(std::int64_t generation, WorkerTermination termination);
    void rememberOpenDocument();
    void relaunch(const std::optional<std::string>& giveUpReason);
    void showStopNotice(const std::optional<std::string>& extraSentence);
    void noticeAfterRestart(const std::string& sentence);
    void forgetDocument();

    // Printing (workspace_printing.cpp)
    void printPages(PrintJob job, PrintChoice choice, const std::vector<std::string>& pages);
    // Deletes the job's copy and tells of a failure.
    void finishPrint(const PrintJob& job, const PrintOutcome& outcome);
    // The ids of the pages a range in CUPS's form ("1-3,5") names, each once, in the range's order;
    // numbers outside the document are left out.
    std::vector<std::string> pagesInRanges(const std::string& ranges) const;
    // The pages of the file a choice to print to a file asks for (an empty id for a blank page);
    // none when the document as it stands is that file.
    std::vector<std::string> pagesForFile(const PrintChoice& choice) const;

    // Documents (workspace_documents.cpp)
    void adopt(const CommandResult& result, const std::string& status, bool keepSelection,
               const RenderInvalidation& invalidation);
    void closeReplacedSession(const std::optional<std::string>& previous, const CommandResult& result);
    // Its answer, and any failure, are of no interest.
    void closeSession(const std::string& session);
    void syncSavePhase();
    std::optional<std::string> askPassword(const std::string& title, const std::string& detail);
    // A failure handler that asks for the password of `name` when the worker wants one and then calls
    // `retry` with it; any other failure goes to the error line. `triedPassword`: the failed attempt
    // carried one, so the prompt says it was wrong.
    FailureHandler retryWithPassword(const std::string& name, bool triedPassword,
                                     std::function<void(const std::string&)> retry);
    void stepSearch(std::int64_t delta);
    void revealSearchHit();

    // Editing (workspace_selection.cpp, workspace_annotations.cpp, workspace_saving.cpp)
    const std::vector<AnnotationInfo>& annotations() const;
    const AnnotationInfo* annotation(const std::string& annotationId) const;
    const AnnotationInfo* selectedOnShownPage() const;
    void write(const std::string& mode, const std::optional<std::string>& destination, bool force);
    void promptStaleSave();

    // Printing (workspace_printing.cpp): deletes a print copy, or all that are still out.
    void discardPrintCopy(const std::filesystem::path& copy);
    void discardPrintCopies();

    // MCP sharing (workspace_sharing.cpp)
    void pollExternalChanges();
    void grantsRefused(const std::string& message);

    // The assistant (workspace_assistant.cpp)
    std::unique_ptr<ModelProvider> modelProvider() const;
    void askModel(const std::string& question, const std::string& session);
    void finishAssistant(std::uint64_t run, const std::optional<AssistantAnswer>& answer,
                         const std::optional<std::string>& error);
    void showDraft(std::uint64_t run, const std::shared_ptr<DraftRelay>& relay);
    void showAnswer(std::optional<AssistantAnswer> answer, const std::optional<std::string>& session);
    void showFirstCitation();
    void modelsArrived(std::uint64_t request, const std::string& provider, const ProviderStatus& status);
    void keyFound(std::optional<KeychainKey::Place> place);
    void keySaved(std::optional<KeychainKey::Place> place, const std::optional<std::string>& error);
    void keyRemoved(const std::optional<std::string>& error);
    void stopAssistantThreads();

    // Renders (workspace_render.cpp, workspace_tiles.cpp, workspace_thumbnails.cpp)
    struct PageRender;
    struct TileBatch;
    struct ThumbnailRender;
    PageVersion version(const std::string& pageId) const;
    void invalidateRenders(const RenderInvalidation& invalidation);
    double backingScale() const;
    // The largest cached render or thumbnail of the page at `version`, shown while its render is on the way.
    bool hasPage(const std::string& pageId) const;
    std::optional<QImage> standInImage(const std::string& pageId, const PageVersion& version) const;
    void pageRendered(const PageRender& render, const CommandResult& result);
    // The page render in flight is over without a picture to show: the page now wanted is asked for.
    void pageRenderEnded();
    void pageTextArrived(const PageRender& render, const CommandResult& result);
    void takeRenderedInspection(const CommandResult& result);
    void tilesRendered(const TileBatch& batch, const CommandResult& result);
    void tilesFailed(const TileBatch& batch);
    void pumpThumbnails();
    void thumbnailRendered(const ThumbnailRender& render, const CommandResult& result);
    void thumbnailFailed(const ThumbnailRender& render);

    // The lost document and the checkpoints (workspace_recovery.cpp)
    void restoreLost(const LostDocument& lost, const std::optional<std::string>& password);
    void reopenLost(const LostDocument& lost, const std::string& path, const std::optional<std::string>& password);
    void lostAttemptFailed(const LostDocument& lost, const std::string& code, const std::string& message,
                           bool triedPassword, const std::function<void(const std::string&)>& retry);
    void adoptLost(const CommandResult& result, const LostDocument& lost, const std::string& outcome);
    void giveUp(const LostDocument& lost, const std::string& reason);
    bool isPending(const LostDocument& lost) const;
    void restoreRecovery(const std::string& recoveryId, const std::optional<std::string>& password);

    const WorkspaceServices services_;
    std::optional<LineSelection> lineSelection_;
    std::shared_ptr<CommandClient> client_;
    std::shared_ptr<CommandClient> controlClient_;
    std::unique_ptr<WorkerProcess> worker_;
    std::int64_t workerGeneration_ = 0;
    bool stoppingWorker_ = false;
    StopHistory workerStops_;
    std::optional<std::string> stopCause_;
    std::optional<std::string> mcpNote_;
    std::optional<LostDocument> lostDocument_;
    // A restore or reopen of the lost document is on its way to the worker.
    bool restoringLost_ = false;
    // The last exchange broke the main connection while the worker went on running.
    bool reconnectPending_ = false;
    // Changes of ours sent against the revision on show whose answers have not come back yet, and
    // the rectangle the last nudge among them sent, so quick nudges add up rather than repeat.
    std::int64_t ownChangesInFlight_ = 0;
    struct NudgeBase {
        std::string annotationId;
        PDFRect rect;
    };
    std::optional<NudgeBase> nudgeBase_;
    // Command queue only: the revisions our changes produced, on the connection they went over.
    OwnRevisions ownRevisions_;
    const CommandClient* revisionsClient_ = nullptr;
    const std::string token_;
    bool didStart_ = false;
    // The page the last page refresh was for: a stand-in image is for a change of page.
    std::string refreshedPageId_;
    // A page render is on its way; a refresh meanwhile waits for it (pageRenderWanted_).
    bool pageRenderInFlight_ = false;
    bool pageRenderWanted_ = false;
    BoundedCache<std::string, RenderedPage> pageCache_{24, 402'653'184};
    BoundedCache<std::string, RenderedPage> thumbnailCache_{400, 100'663'296};
    RenderQueue<std::string> thumbnailQueue_;
    BoundedCache<std::string, RenderedPage> tileCache_{48, 134'217'728};
    std::unordered_set<std::string> visibleThumbnails_;
    std::int64_t documentVersion_ = 0;
    std::unordered_map<std::string, std::int64_t> pageVersions_;
    bool zoomSettling_ = false;
    // Every refresh and zoom step starts a generation; replies of an older one change nothing.
    std::int64_t renderGeneration_ = 0;
    bool tileRequestInFlight_ = false;
    // The delayed re-render of a zoom and the delayed fit: only the latest of each runs.
    std::uint64_t zoomTicket_ = 0;
    std::uint64_t fitTicket_ = 0;
    double scrollBarWidth_ = 0;
    EditorLock editorLock_;
    // Another editor holds the lock of this support folder.
    bool lockedOut_ = false;
    // The print copies made and not yet deleted.
    std::unordered_set<std::string> printCopies_;
    // MCP sharing: the approved paths in the order approved, the watch and its poll.
    std::vector<std::string> extraMCPPaths_;
    QTimer* externalChangeTimer_ = nullptr;
    bool externalPollInFlight_ = false;
    // The assistant: the session the answer on show was made for, the model run (numbered, so a
    // late report of an earlier run is known) and the model-list fetch (numbered likewise).
    std::optional<std::string> answerSession_;
    std::optional<std::string> runSession_;
    std::uint64_t assistantRun_ = 0;
    std::uint64_t modelListRequest_ = 0;
    bool modelsPending_ = false;
    std::optional<KeychainKey::Place> assistantKeyPlace_;
    std::chrono::steady_clock::time_point lastDraftShown_{};
    std::jthread assistantThread_;
    // Ends the model-list fetch under way when a newer one starts or the workspace goes.
    std::stop_source modelListStop_;
    // Declared last so that they stop first, before anything their jobs might post about.
    SerialQueue commandQueue_{"kivo.pdf.commands"};
    SerialQueue controlQueue_{"kivo.pdf.control"};
    // Model-list fetches, which wait on the network, one at a time.
    SerialQueue modelListQueue_{"kivo.pdf.models"};
    // Reading, saving and removing the provider key, one at a time.
    SerialQueue keyQueue_{"kivo.pdf.keys"};
};

}  // namespace kivo
