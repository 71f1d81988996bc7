// Reading the text of opened documents ahead, while the worker has nothing else to do.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "core/descriptor.hpp"
#include "core/engine_failure.hpp"
#include "core/file_creation.hpp"
#include "engine/recovery_store.hpp"
#include "core/ipc_paths.hpp"
#include "engine/document_engine.hpp"
#include "pdfium/module.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"

namespace kivo {
namespace {

// How long no command must have come before reading ahead starts: the commands of an opening
// (its first page, the page list's thumbnails) and of a held key come closer together than this.
constexpr auto quietTime = std::chrono::milliseconds(100);

// A document's mark exists while its pages are read ahead, named by its fingerprint. A worker that
// stops meanwhile (a page that never finished, memory past the hard limit) leaves it behind, and no
// worker reads that document ahead again: reopened after the stop, it is only read when asked.
bool marked(const std::string& fingerprint) {
    struct stat status {};
    return ::lstat((DocumentEngine::readingAheadFolder() / fingerprint).c_str(), &status) == 0 ||
           errno != ENOENT;
}

// Marks the document until it goes out of scope; empty when the mark could not be made, or is there.
class Mark {
public:
    explicit Mark(const std::string& fingerprint) : name_(fingerprint) {
        const std::filesystem::path folder = DocumentEngine::readingAheadFolder();
        try {
            RecoveryStore::prepare();
        } catch (const std::filesystem::filesystem_error&) {
            return;
        }
        if (::mkdir(folder.c_str(), FileCreation::newFileMode(0700)) != 0 && errno != EEXIST) return;
        Descriptor opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!opened) return;
        const Descriptor file(::openat(opened.get(), name_.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                       FileCreation::newFileMode(0600)));
        if (file) folder_ = std::move(opened);
    }
    ~Mark() {
        if (folder_) ::unlinkat(folder_.get(), name_.c_str(), 0);
    }
    Mark(const Mark&) = delete;
    Mark& operator=(const Mark&) = delete;
    explicit operator bool() const { return static_cast<bool>(folder_); }

private:
    std::string name_;
    Descriptor folder_;
};

}  // namespace

std::filesystem::path DocumentEngine::readingAheadFolder() {
    // Beside the checkpoints, in the one folder the confined worker may write that is its alone; no
    // checkpoint's id can be this name.
    return IPCPaths::recoveryDirectory() / "reading-ahead";
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
    for (;;) {
        // Woken only by the end of a command while a document is left, so an idle worker sleeps.
        readAheadWake_.wait(wait, commandEnded);
        do {
            if (readAheadStop_) return;
            seen = commandsEnded_;
        } while (readAheadWake_.wait_for(wait, quietTime, commandEnded));
        wait.unlock();
        readAheadWhileIdle();
        wait.lock();
    }
}

void DocumentEngine::readAheadWhileIdle() {
    // A command that holds the lock wakes this loop again when it ends.
    std::unique_lock lock(PdfiumRuntime::lock(), std::try_to_lock);
    if (!lock.owns_lock()) return;
    ResourceLimits limits;
    {
        std::lock_guard guard(limitsLock_);
        limits = configuredLimits_;
    }
    // As a command of its own, so the watchdog ends a page that never finishes and the soft memory
    // limit stops the reading, as either would a search's.
    RunningCommand reading("read-ahead", CommandChannel::cli, limits, {});
    const RunningCommand::Activation activation(reading);
    // Declared after the activation, so the mark goes before the watchdog stops watching.
    std::string markedSession;
    std::optional<Mark> mark;
    while (!readAheadSessions_.empty() && !readAheadStop_ && !PdfiumRuntime::commandWaiting()) {
        // A fault in the engine leaves it to the next command to start a fresh one, and every
        // document read ahead so far to its searches.
        if (!pdfium::module::usable()) {
            readAheadSessions_.clear();
            break;
        }
        const auto found = sessions_.find(readAheadSessions_.front());
        const std::optional<std::string>* fingerprint =
            found != sessions_.end() ? &found->second->sourceFingerprint() : nullptr;
        // Marked only while this holds the lock, so a stop under someone's command never counts
        // against the document.
        if (markedSession != readAheadSessions_.front()) {
            mark.reset();
            markedSession = readAheadSessions_.front();
            if (fingerprint && *fingerprint) mark.emplace(**fingerprint);
        }
        bool more = false;
        if (mark && *mark) {
            try {
                RunningCommand::step(CommandPhase::readingText, 0, 0);
                more = found->second->readTextAhead();
            } catch (const EngineFailure& failure) {
                // Past the soft memory limit nothing more is read; a page that fails otherwise fails its
                // search as well, which says so.
                if (failure.code == FailureCode::resourceLimit) readAheadSessions_.clear();
                more = failure.code != FailureCode::resourceLimit;
            } catch (...) {}
        }
        if (!more && !readAheadSessions_.empty()) readAheadSessions_.pop_front();
    }
    readAheadPending_ = !readAheadSessions_.empty();
}

}  // namespace kivo
