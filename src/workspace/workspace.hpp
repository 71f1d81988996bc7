#pragma once

// The editor's one model object. Its WorkerLink starts and supervises the worker and carries every
// command to it over the serial command queue; the workspace takes results in as the published
// state (WorkspaceState) that the windows show, brings the open document back after a worker stop,
// and offers recovery checkpoints. Everything runs on the GUI thread: read the state
// there, call the operations there, and observe the change signals. Whatever shows something to
// the user it asks of the services the application passes in, so the model runs in tests without
// a window.
//
// Operations never throw: a failure ends in `errorMessage`, in `status`, or in `workerNotice`.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/commands.hpp"
#include "core/page_text.hpp"
#include "workspace/workspace_services.hpp"
#include "workspace/workspace_state.hpp"
#include "workspace/workspace_types.hpp"

namespace kivo {

class AssistantSession;
class McpSharing;
class ShownPage;
class RecoveryCheckpoints;
class HitPreviews;
class RenderInvalidation;
class ThumbnailQueue;
class WorkerLink;
struct WorkerStop;

class Workspace : public WorkspaceState {
    Q_OBJECT

public:
    // Creating the workspace starts nothing; the worker is launched by launchOnce(). The assistant
    // provider and model come from the settings, and whether a key is stored from the key store.
    explicit Workspace(WorkspaceServices services = {}, QObject* parent = nullptr);
    // Stops the worker as shutdownWorker() does.
    ~Workspace() override;

    // ---- The worker

    // The link to the worker: the editor lock (without it the workspace never starts a worker,
    // writes the token file, removes the socket, or lists or discards checkpoints), the UI token,
    // the worker's process, cancelling the shown activity.
    WorkerLink& link();
    const WorkerLink& link() const;
    // The first call launches the worker, says "Worker ready…" and lists the recovery
    // checkpoints. A worker that ends before the editor reached it is a stop like any later one: told in
    // `workerNotice` and started again, up to the third stop within a minute. Any other failed launch
    // shows its description in `errorMessage`. Later calls do nothing.
    void launchOnce();
    // The application is quitting: ends the worker (SIGTERM, SIGKILL after 2 s), closes both
    // connections, ends the queue threads and removes the worker's socket. A command in flight
    // ends as "worker_stopped". Returns within about 4 s whatever the worker does.
    void shutdownWorker();
    // The notice's "Restart Worker": starts a worker and brings the lost document back. Does
    // nothing while a worker and its connection stand, or once the editor is quitting.
    void restartWorker();
    // The user closes the notice; one that offers a restart stays until the worker is back.
    void dismissWorkerNotice();

    // ---- Commands
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

    // ---- Showing pages

    // The shown page's renders, tiles, text, zoom and fits, with the caches behind them.
    ShownPage& shownPage();
    const ShownPage& shownPage() const;
    // The page list's thumbnails.
    ThumbnailQueue& thumbnails();
    const ThumbnailQueue& thumbnails() const;
    // Shows the page at the 1-based `position`, which `pageJump` then reads; false, changing nothing, for
    // a position the document does not have.
    bool jumpToPage(std::int64_t position);
    // The neighbouring page; nothing at either end.
    void previousPage();
    void nextPage();

    // ---- Selection and annotations (workspace_selection.cpp, workspace_annotations.cpp)

    // The tool the canvas's gestures use from now on.
    void chooseTool(EditorTool tool);
    // Selects a rectangle of the shown page, as a drag does while it goes; nothing clears the selection.
    void selectArea(const std::optional<PDFRect>& rect);
    // The ink stroke drawn so far, shown until it is added.
    void drawInk(std::vector<PDFPoint> points);
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
    const std::optional<LineSelection>& lineSelection() const;
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
    // Asks for an image file, then adds it as an image overlay, or a visual signature for
    // OverlayKind::signature.
    void addImage(OverlayKind kind, const PDFRect& rect);
    // An ink stroke 1 point under the selection.
    void underlineSelectionWithInk();
    // Where the menu commands put an overlay of this size: the selection, else 72 points in from
    // the shown page's left edge and below its top (a top of 720 without a page).
    PDFRect overlayRect(double width, double height) const;
    // Selects an annotation and shows its page; an id the document does not list is only kept. The
    // four commands below act only on a selected annotation of the page shown.
    void selectAnnotation(const std::string& annotationId);
    void deleteSelectedAnnotation();
    // Deletes an annotation of the page shown, selected or not: it becomes the selected one first.
    void deleteAnnotation(const std::string& annotationId);
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

    // ---- MCP sharing

    // The grants, the approved paths and the change watch.
    McpSharing& sharing();
    const McpSharing& sharing() const;

    // ---- The assistant

    // Questions, runs and drafts, model lists, the provider key, proposals.
    AssistantSession& assistant();
    const AssistantSession& assistant() const;

    // ---- Search

    // Searches the open document for `query`, which `searchQuery` then reads, and shows the first hit; with
    // none open, nothing happens. A query of white space only empties the hits and sends nothing.
    void search(const std::string& query);
    // Step through the hits, wrapping around; with no hits they search for `query` instead.
    void findNext(const std::string& query);
    void findPrevious(const std::string& query);
    // The Find command: the find field takes the keys (findRequested).
    void requestFind();
    // Shows a citation's page with its first rectangle selected, brought into view wherever on the
    // page the quote lies, as a search hit is.
    void revealCitation(const std::string& pageId, const std::optional<PDFRect>& rect);
    // The words around each search hit and cited passage.
    const HitPreviews& hitPreviews() const;

    // ---- Recovery checkpoints

    // Listing and discarding them.
    RecoveryCheckpoints& checkpoints();
    const RecoveryCheckpoints& checkpoints() const;
    // Opens a listed checkpoint as the open document, asking for its password when it has one.
    void restoreRecovery(const std::string& recoveryId);

    // ---- For tests

    const std::optional<LostDocument>& lostDocument() const;

signals:
    // The user opened or restored another document in place of the open one (not the same
    // document brought back after a worker stop); what was typed for the old one no longer applies.
    void documentReplaced();
    // The user asked to find: the find field takes the keys.
    void findRequested();
    // The workspace moved to a search hit, a line or a citation: the canvas scrolls the selection into view.
    void revealRequested();

private:
    struct FilledServices {};
    Workspace(WorkspaceServices services, QObject* parent, FilledServices);

    using SuccessHandler = std::function<void(const CommandResult&)>;
    using FailureHandler = std::function<void(const std::string& code, const std::string& message)>;
    using CancelHandler = std::function<void()>;

    // Every command goes through the link (WorkerLink::send); these only shorten the call sites.
    static CommandRequest makeRequest(CommandMethod method, CommandParams params = {});
    void send(CommandRequest request, std::optional<std::string> activity, bool clearsError,
              SuccessHandler onSuccess, FailureHandler onFailure = nullptr,
              CancelHandler onCancelled = nullptr);
    // What the workspace says about a request on its way (WorkerLink::Gate).
    std::optional<std::string> refusal(const CommandRequest& request) const;
    void requestLeaving(const CommandRequest& request);

    // Launch and stops (workspace.cpp, workspace_stops.cpp)
    void launchWorker();
    void workerDidStop(const WorkerStop& stop);
    void rememberOpenDocument();
    void relaunch(const std::optional<std::string>& giveUpReason);
    // The notice of a restart that failed for a reason other than the worker's own end.
    void cannotRelaunch(const std::string& reason);
    void showStopNotice(const std::optional<std::string>& extraSentence);
    // `namesDocument`: the sentence speaks of the document shown now, and goes when it is replaced.
    void noticeAfterRestart(const std::string& sentence, bool namesDocument = true);
    // A notice that named the document shown gives way to one of the worker alone.
    void documentNoticeEnds();
    void forgetDocument();

    // Printing (workspace_printing.cpp)
    void printPages(PrintJob job, PrintChoice choice, const std::vector<std::string>& pages);
    // Deletes the job's copy and tells of a failure.
    void finishPrint(const PrintJob& job, const PrintOutcome& outcome);
    // The ids of the pages a range in CUPS's form ("1-3,5") names, each once, in the range's order;
    // numbers outside the document are left out.
    std::vector<std::string> pagesInRanges(const std::string& ranges) const;
    // The pages of the file a choice to print to a file asks for (an empty id for a blank page);
    // none when the document as it stands is that file; nothing at all when the file would hold
    // more pages than the worker takes.
    std::optional<std::vector<std::string>> pagesForFile(const PrintChoice& choice) const;

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
    void stepSearch(std::int64_t delta, const std::string& query);
    // The search for `searchQuery` again, over the document as it is now.
    void searchAgain();
    void revealSearchHit();
    // The search under way, a few pages a request (workspace_search.cpp).
    struct SearchRun;
    void askSearchPages();
    void searchPagesAnswered(const std::shared_ptr<SearchRun>& run, std::size_t index,
                             const CommandResult& result);
    void finishSearch();
    void showSearchActivity();
    // The run is over: its answers still on their way are dropped and its activity goes.
    void endSearchRun();

    // Editing (workspace_selection.cpp, workspace_annotations.cpp, workspace_saving.cpp)
    const std::vector<AnnotationInfo>& annotations() const;
    const AnnotationInfo* annotation(const std::string& annotationId) const;
    const AnnotationInfo* selectedOnShownPage() const;
    void write(SaveMode mode, const std::optional<std::string>& destination, bool force);
    void promptStaleSave();

    // Printing (workspace_printing.cpp): deletes a print copy, or all that are still out.
    void discardPrintCopy(const std::filesystem::path& copy);
    void discardPrintCopies();
    // The worker's export copied into the print folder, which only the editor may write, and then
    // deleted; the copy's path, or the export's (gone) when it could not be kept.
    std::filesystem::path takePrintCopy(const std::filesystem::path& exported);

    // A page render's view of the document (ShownPage::inspectionRendered).
    void takeRenderedInspection(const CommandResult& result);

    // The lost document and the checkpoints (workspace_recovery.cpp)
    void restoreLost(const LostDocument& lost, const std::optional<std::string>& password);
    void reopenLost(const LostDocument& lost, const std::string& path,
                    const std::optional<std::string>& password);
    void lostAttemptFailed(const LostDocument& lost, const std::string& code, const std::string& message,
                           bool triedPassword, const std::function<void(const std::string&)>& retry);
    void adoptLost(const CommandResult& result, const LostDocument& lost, const std::string& outcome);
    void giveUp(const LostDocument& lost, const std::string& reason);
    bool isPending(const LostDocument& lost) const;
    void restoreRecovery(const std::string& recoveryId, const std::optional<std::string>& password);

    // The parts and the rest of the private state (workspace_private.hpp), so that a change of
    // them recompiles only the workspace's own sources.
    struct Private;
    std::unique_ptr<Private> d_;
};

}  // namespace kivo
