// Reading the text of opened documents ahead, while the worker has nothing else to do.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "core/descriptor.hpp"
#include "core/engine_failure.hpp"
#include "core/file_creation.hpp"
#include "core/ipc_paths.hpp"
#include "engine/document_engine.hpp"
#include "engine/recovery_store.hpp"
#include "pdfium/module.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"

namespace kivo {
namespace {

// How long no command must have come before reading ahead starts: the commands of an opening
// (its first page, the page list's thumbnails) and of a held key come closer together than this.
constexpr auto quietTime = std::chrono::milliseconds(100);
// A document whose page took longer than this to read (in this thread's own time, which a busy machine
// does not stretch), or whose reading grew the PDF engine's memory by more than this, is left to its
// searches: a command waits for the page under way, and the engine's memory is never given back.
constexpr auto slowPage = std::chrono::milliseconds(100);
constexpr std::uint64_t memoryGrowth = 16 * 1024 * 1024;

// The fingerprint of the document whose page is being read ahead, while one is.
std::mutex g_readingLock;
std::optional<std::string> g_reading;

void reading(std::optional<std::string> fingerprint) {
    const std::lock_guard guard(g_readingLock);
    g_reading = std::move(fingerprint);
}

// Marks the document: no worker reads it ahead again, so that after the stop the editor's reopening
// of it is not stopped the same way. Never follows a link; a mark there already stays.
void mark(const std::string& fingerprint) noexcept {
    try {
        RecoveryStore::prepare();
        const std::filesystem::path folder = DocumentEngine::readingAheadFolder();
        if (::mkdir(folder.c_str(), FileCreation::newFileMode(0700)) != 0 && errno != EEXIST) return;
        const Descriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!opened) return;
        const Descriptor file(::openat(opened.get(), fingerprint.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                       FileCreation::newFileMode(0600)));
    } catch (...) {
        // Without the mark the document is read ahead again, which only costs another stop.
    }
}

bool marked(const std::string& fingerprint) {
    struct stat status {};
    return ::lstat((DocumentEngine::readingAheadFolder() / fingerprint).c_str(), &status) == 0 ||
           errno != ENOENT;
}

std::chrono::nanoseconds threadTime() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

std::filesystem::path DocumentEngine::readingAheadFolder() {
    // Beside the checkpoints, in the one folder the confined worker may write that is its alone; no
    // checkpoint's id can be this name.
    return IPCPaths::recoveryDirectory() / "reading-ahead";
}

void DocumentEngine::markStoppedReading() noexcept {
    std::optional<std::string> fingerprint;
    {
        const std::lock_guard guard(g_readingLock);
        fingerprint = g_reading;
    }
    if (fingerprint) mark(*fingerprint);
}

bool DocumentEngine::readsAhead(const Session& session) {
    const std::optional<std::string>& fingerprint = session.sourceFingerprint();
    return fingerprint && !marked(*fingerprint);
}

void DocumentEngine::readTextAheadWhenIdle() {
    if (readAheadThread_.joinable()) return;
    readAheadThread_ = std::thread([this] { readAheadLoop(); });
}

void DocumentEngine::stopReadingAhead() noexcept {
    if (!readAheadThread_.joinable()) return;
    {
        std::lock_guard guard(readAheadLock_);
        readAheadStop_ = true;
    }
    readAheadWake_.notify_one();
    readAheadThread_.join();
}

void DocumentEngine::readAheadLoop() {
    std::unique_lock wait(readAheadLock_);
    std::uint64_t seen = 0;
    const auto commandEnded = [&] { return readAheadStop_ || commandsEnded_ != seen; };
    bool lockWasBusy = false;
    for (;;) {
        // Woken only by the end of a command while a document is left, so an idle worker sleeps; when
        // something other than a command held the lock (the warm-up), it tries again after a while.
        if (!lockWasBusy) readAheadWake_.wait(wait, commandEnded);
        do {
            if (readAheadStop_) return;
            seen = commandsEnded_;
        } while (readAheadWake_.wait_for(wait, quietTime, commandEnded));
        wait.unlock();
        try {
            lockWasBusy = !settleWhileIdle() || (readAheadPending_ && !readAheadWhileIdle());
        } catch (...) {
            // Only time was to be won here.
            lockWasBusy = false;
        }
        wait.lock();
    }
}

bool DocumentEngine::readAheadWhileIdle() {
    std::unique_lock lock(PdfiumRuntime::lock(), std::try_to_lock);
    if (!lock.owns_lock()) return false;
    ResourceLimits limits;
    {
        std::lock_guard guard(limitsLock_);
        limits = configuredLimits_;
    }
    // Stops well before the soft limit, so that no command fails for memory reading ahead took.
    const std::uint64_t memoryRoom = limits.memorySoftBytes == ResourceLimits::noLimitBytes
                                         ? ResourceLimits::noLimitBytes
                                         : limits.memorySoftBytes / 4 * 3;
    // As a command of its own, so the watchdog ends a page that never finishes, as it would a search.
    RunningCommand command("read-ahead", CommandChannel::cli, limits, {});
    const RunningCommand::Activation activation(command);
    Session* open = nullptr;
    // The document pages are read from stays open for the search or the reading to come (the session
    // closes it); only the stall's mark is forgotten.
    const auto stopReading = [&] {
        open = nullptr;
        reading(std::nullopt);
    };
    // On every way out, before the lock goes: a later stop marks nothing.
    const struct Stop {
        const decltype(stopReading)& stop;
        ~Stop() { stop(); }
    } stop{stopReading};
    for (std::size_t pages = 0;
         !readAheadSessions_.empty() && !readAheadStop_ && !PdfiumRuntime::commandWaiting(); ++pages) {
        // A fault in the engine leaves it to the next command to start a fresh one. The footprint is
        // read now and then: reading it walks the process's whole memory map.
        if (!pdfium::module::usable() || (memoryRoom != ResourceLimits::noLimitBytes && pages % 16 == 0 &&
                                          ProcessMemory::footprint() > memoryRoom)) {
            readAheadSessions_.clear();
            break;
        }
        ReadAhead& next = readAheadSessions_.front();
        const auto found = sessions_.find(next.session);
        bool more = false;
        if (found != sessions_.end()) {
            Session& session = *found->second;
            if (open != &session) {
                stopReading();
                open = &session;
                reading(session.sourceFingerprint());
            }
            if (next.memoryAtStart == 0) next.memoryAtStart = pdfium::module::memorySize();
            const auto start = threadTime();
            try {
                RunningCommand::step(CommandPhase::readingText, 0, 0);
                more = session.readTextAhead();
            } catch (const EngineFailure&) {
                // A page that fails here fails its search as well, which says so; one that faults the
                // engine is not read ahead again.
                if (!pdfium::module::usable()) markStoppedReading();
                more = pdfium::module::usable();
            }
            // A fresh engine (after a fault) may hold less than when reading began.
            const std::uint64_t memory = pdfium::module::memorySize();
            more = more && threadTime() - start <= slowPage &&
                   !(memory > next.memoryAtStart && memory - next.memoryAtStart > memoryGrowth);
        }
        if (!more) {
            // Done with the document, or left to its searches: what reading loaded goes.
            if (open) open->stopReadingAhead();
            stopReading();
            readAheadSessions_.pop_front();
        }
    }
    readAheadPending_ = !readAheadSessions_.empty();
    return true;
}

}  // namespace kivo
