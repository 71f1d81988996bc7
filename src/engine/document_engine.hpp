#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/commands.hpp"
#include "core/worker_limits.hpp"
#include "engine/replay_table.hpp"
#include "engine/running_commands.hpp"
#include "session/png_writer.hpp"

namespace kivo {

class Session;

// What the MCP channel may touch. The editor and the command line are never checked against it.
struct GrantState {
    std::set<std::string> sessionIds{};
    // Words checked: "read", "modify", "export".
    std::set<std::string> permissions{"read"};
    // Canonical paths (symbolic links resolved, "." and ".." removed).
    std::set<std::string> paths{};
};

// Whether MCP may call a method at all.
bool isMCPAllowedMethod(CommandMethod method) noexcept;

// The form in which grants compare paths: absolute, symbolic links of the existing part resolved,
// "." and ".." removed. A path that cannot be resolved keeps its lexical form.
std::string canonicalPath(const std::string& path);

// A path a client names, taken against the worker's current folder when relative.
std::filesystem::path clientPath(const std::string& path);

// The one object of the worker that owns every open document and runs every request. `handle` is
// called from any number of connection threads; all document work runs one command at a time
// under the process-wide PDFium lock, except `cancel`, which is answered at once without it.
class DocumentEngine {
public:
    using ProgressFunction = std::function<void(const CommandProgress&)>;
    // One edit's change to a session; answers the ids of the pages whose appearance changed.
    using Perform = std::function<std::vector<std::string>(Session&)>;
    // Checks an edit's parameters without touching the session and answers its change.
    using Prepare = std::function<Perform(Session&)>;

    // Starts PDFium for the process when this is its first user.
    explicit DocumentEngine(ResourceLimits limits);
    // Writes a recovery checkpoint for every session with unsaved changes, closes every
    // document, and stops PDFium when this was its last user.
    ~DocumentEngine();

    DocumentEngine(const DocumentEngine&) = delete;
    DocumentEngine& operator=(const DocumentEngine&) = delete;

    // Always answers, with the request's id; `progress` is called on this thread, before the
    // answer, only when the request asked for progress.
    CommandResponse handle(const CommandRequest& request, const ProgressFunction& progress = nullptr);
    // The same, but an edit's recovery checkpoint may still be being written when it returns, so
    // that the caller can write its answer meanwhile: `checkpoint` is then set to what the answer
    // must wait for (see awaitCheckpoint). No later command touches a checkpoint before it is done.
    CommandResponse handle(const CommandRequest& request, const ProgressFunction& progress,
                           std::shared_future<void>& checkpoint);
    // Returns once the checkpoint is written or failed; at once for none. Never fails.
    static void awaitCheckpoint(const std::shared_future<void>& checkpoint) noexcept;

    // Runs PDFium once over a small page of its own (load, census, text, render, PNG) and touches
    // module memory for a page's pixels, so that the first document a client opens does not pay for
    // the first use of the module's code and memory.
    // Does nothing while a command runs, and stops before its next step once one waits; leaves no
    // session and no file behind; never fails. Answers how many of its five steps it took.
    int warmUp() noexcept;

    // From now on, once no command has come for a moment, reads the text of the pages of every
    // document `open` brings, a page at a time and only while no command waits, so that a first search
    // reads only the pages that may hold its query. What a search finds stays the same. A document
    // whose reading ahead stopped a worker is never read ahead again, by this worker or a later one.
    void readTextAheadWhenIdle();
    // Where the marks of documents whose reading ahead stopped a worker stand, one empty file each,
    // named by the document's fingerprint.
    static std::filesystem::path readingAheadFolder();
    // Marks the document whose page is being read ahead, if one is: called as the worker is stopped.
    static void markStoppedReading() noexcept;

private:
    friend struct DocumentEngineTesting;

    CommandResponse lockedBody(const CommandRequest& request);
    CommandResponse answer(const CommandRequest& request);
    CommandResponse dispatch(const CommandRequest& request);
    CommandResponse cancel(const CommandRequest& request);

    // Guards shared by the handlers, in the order they are called.
    static void denyUnknownMCP(const CommandRequest& request);
    static void requireMCPMutation(const CommandRequest& request);
    Session& requireSession(const CommandRequest& request, std::optional<std::string_view> permission);
    void requireGrantedPath(const std::string& path, const CommandRequest& request) const;

    // Reading handlers.
    CommandResponse open(const CommandRequest& request);
    CommandResponse inspect(const CommandRequest& request);
    CommandResponse render(const CommandRequest& request);
    CommandResponse extract(const CommandRequest& request);
    CommandResponse search(const CommandRequest& request);
    CommandResponse list(const CommandRequest& request);
    CommandResponse close(const CommandRequest& request);
    CommandResponse setGrants(const CommandRequest& request);

    // Assistant commands: the local question planner and a model assistant's reading material.
    CommandResponse ask(const CommandRequest& request);
    CommandResponse assistantContext(const CommandRequest& request);

    // Editing commands. A change is prepared first (parameter checks that touch nothing), then
    // performed between an undo checkpoint and its commit or rollback; it answers the ids of the
    // pages whose appearance changed.
    CommandResponse mutate(const CommandRequest& request, std::string_view permission,
                           const Prepare& prepare);
    CommandResponse edit(const CommandRequest& request);
    Perform addContent(const CommandRequest& request);
    Perform merge(const CommandRequest& request, const Session& target);
    CommandResponse extractPages(const CommandRequest& request);
    CommandResponse applyHistory(const CommandRequest& request, bool undo);

    // Save and export commands.
    CommandResponse saveDocument(const CommandRequest& request);
    CommandResponse exportDocument(const CommandRequest& request);

    // Recovery commands.
    CommandResponse listRecovery(const CommandRequest& request);
    CommandResponse restoreRecovery(const CommandRequest& request);
    CommandResponse discardRecovery(const CommandRequest& request);

    void teardownSessions() noexcept;

    // Reading ahead (engine_read_ahead.cpp).
    // Whether the session's pages are read ahead: not when reading them ahead stopped a worker before.
    static bool readsAhead(const Session& session);
    void readAheadLoop();
    // Reads ahead until nothing is left or a command waits; false, reading nothing, when the lock was
    // held.
    bool readAheadWhileIdle();
    void stopReadingAhead() noexcept;

    // Faults of the PDF engine (engine_faults.cpp). A trap throws the engine's instance away with
    // every document open in it; the command is answered for its own document only, which is set
    // aside, and every other document is opened again in a fresh instance.
    // The sentence for a command stopped because it took too long: what it was doing, and on which page
    // of which document.
    std::string stoppedSentence(const CommandRequest& request) const;
    // The commands that load the one page they name, and no other: reading it, drawing it, annotating it.
    static bool loadsNamedPage(CommandMethod method) noexcept;
    // Such a command on a page stopped for its time is refused at once.
    void refuseStoppedPage(const CommandRequest& request) const;
    CommandResponse answerAfterFault(const CommandRequest& request, CommandResponse response);
    // Starts a fresh engine and opens every document not set aside in it again; one that does not
    // open again is set aside in turn, with `notReopenedSentence`, and one that faults the fresh
    // engine costs another restart. Does nothing further once an engine could not be started at all.
    void replaceEngine(const char* notReopenedSentence);
    // The same between two commands, after a fault of work of the engine's own (the warm-up), or to
    // give back the memory of list reads.
    void renewEngine();
    void setAside(const std::string& sessionId, std::string sentence);

    // The memory of an idle worker (engine_memory.cpp). The module's memory never shrinks, and what
    // PDFium freed in it stays counted to the worker: a page of a scanned document decodes tens of
    // megabytes of image, and its document keeps the image streams it read.
    // After each command: notes what an open added to what the documents need, and whether the engine
    // holds so much more than that that a fresh one is worth starting once the worker is idle.
    void weighEngineMemory(CommandMethod method, std::uint64_t before);
    // Once no command has come for a moment: starts that fresh engine, and lets go the pages of the
    // documents' bytes that were mapped in. False, doing nothing, when the lock was held.
    bool settleWhileIdle();

    // Touched only under the PDFium lock.
    std::map<std::string, std::shared_ptr<Session>> sessions_;
    // Documents a fault of the engine cost their PDF: each refuses everything but close, with its
    // sentence, so a document that faults the engine cannot fault it again and again.
    std::map<std::string, std::string> setAside_;
    // Pages whose reading was stopped for its time, by session, with the sentence: asking for them
    // again (the page and its thumbnail, say) fails at once rather than costing the same wait again.
    std::map<std::pair<std::string, std::string>, std::string> stoppedPages_;
    bool engineLost_ = false;
    GrantState grants_;
    ReplayTable replay_;
    // The PNGs a render started; `handle` takes them before it lets the lock go and answers once
    // they are written, so that compression never holds up the next command's PDFium work.
    PngWriter::Batch renderWrites_;
    // The checkpoint the last edit or step left being written; touched only under the PDFium lock,
    // and waited for before the next command begins.
    std::shared_future<void> checkpointInFlight_;

    // Documents whose text is read ahead, oldest first, with the PDF engine's memory when reading
    // them began (0 before); touched only under the PDFium lock.
    struct ReadAhead {
        std::string session;
        std::uint64_t memoryAtStart = 0;
    };
    std::deque<ReadAhead> readAheadSessions_;
    // Whether reading ahead has a document left; read without a lock by every command's end.
    std::atomic<bool> readAheadPending_{false};
    std::atomic<bool> readAheadStop_{false};
    std::mutex readAheadLock_;
    std::condition_variable readAheadWake_;
    // Guarded by readAheadLock_: how many commands ended while a document was left or the worker was
    // to settle.
    std::uint64_t commandsEnded_ = 0;
    std::thread readAheadThread_;
    // Whether a command ended since the worker last settled, and whether settling starts a fresh
    // engine; read without a lock by every command's end.
    std::atomic<bool> settlePending_{false};
    std::atomic<bool> renewalWanted_{false};
    // The module's memory a fresh engine held with the documents then open, plus what each open since
    // added; touched only under the PDFium lock.
    std::uint64_t settledMemory_ = 0;

    RunningCommands running_;
    std::mutex limitsLock_;
    ResourceLimits configuredLimits_;
};

}  // namespace kivo
