#pragma once

// The command in flight, as three other parties see it: the client that asked for progress
// lines, a second connection that wants to cancel it, and the watchdog that must know whether
// the worker is busy and when it last moved. Long loops in document sessions call
// `RunningCommand::step` between items; that one call carries progress, feeds the stall clock
// and is where a cancel or the soft memory limit takes effect.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/commands.hpp"
#include "core/worker_limits.hpp"

namespace kivo {

// Monotonic time in nanoseconds, for throttles, memory checks and the stall clock.
std::uint64_t monotonicNanoseconds() noexcept;

namespace ProcessMemory {
// The worker's physical footprint in bytes (resident anonymous memory plus what was swapped
// out), 0 when it cannot be read.
std::uint64_t footprint() noexcept;
}  // namespace ProcessMemory

class RunningCommand {
public:
    using Report = std::function<void(const CommandProgress&)>;

    // Progress lines of one phase closer together than this are dropped; so are footprint
    // measurements.
    static constexpr std::uint64_t throttleNanoseconds = 100'000'000;

    RunningCommand(std::string id, CommandChannel channel, ResourceLimits limits, Report report);
    RunningCommand(const RunningCommand&) = delete;
    RunningCommand& operator=(const RunningCommand&) = delete;

    const std::string& id() const { return id_; }
    CommandChannel channel() const { return channel_; }
    const ResourceLimits& limits() const { return limits_; }
    // The registry key: the channel's wire name, ":" and the request id.
    std::string key() const;
    static std::string key(CommandChannel channel, const std::string& id);

    // Sends one progress line through `report`, at most one per phase per 100 ms; a change of
    // phase is always sent. Does nothing without `report`.
    void progress(CommandPhase phase, std::int64_t completed, std::int64_t total);

    // Sets the cancel flag; it is never cleared. Safe from any thread. A command that is current
    // and inside a call of the PDF engine has that call stopped (see pdfium::module::interrupt).
    void requestCancel();

    // Stops the current command inside the PDF engine when it has shown no progress for at least
    // `quietSeconds` and is not in an uninterruptible section; true when it asked. Safe from any
    // thread: the watchdog's deadline.
    static bool interruptIfQuiet(double quietSeconds);
    bool cancelRequested() const;

    // The command the engine is executing right now, or null. Set and cleared only by the
    // engine, with the document lock held (see Activation).
    static RunningCommand* current();

    // The call every long loop makes between items. Acts on `current()`, does nothing when
    // there is none. Stamps the progress clock, reports progress, and (outside an
    // uninterruptible section) fails with `cancelled` when a cancel arrived or with
    // `resourceLimit` when the footprint is over the soft limit (never for `started`).
    static void step(CommandPhase phase, std::int64_t completed, std::int64_t total);

    // Makes `command` current and the engine busy for its lifetime; on exit clears both. The
    // engine makes one once it holds the document lock.
    class Activation {
    public:
        explicit Activation(RunningCommand& command);
        ~Activation();
        Activation(const Activation&) = delete;
        Activation& operator=(const Activation&) = delete;

    private:
        RunningCommand* previous_;
    };

    // Work that must not stop half-way: within it `step` still reports progress and stamps the
    // clock, but neither cancels nor checks memory. Acts on `current()`; harmless without one.
    class Uninterruptible {
    public:
        Uninterruptible();
        ~Uninterruptible();
        Uninterruptible(const Uninterruptible&) = delete;
        Uninterruptible& operator=(const Uninterruptible&) = delete;

    private:
        RunningCommand* command_;
    };

private:
    bool overMemoryLimit(std::uint64_t now);

    const std::string id_;
    const CommandChannel channel_;
    const ResourceLimits limits_;
    const Report report_;
    mutable std::mutex lock_;  // guards cancelRequested_ only
    bool cancelRequested_ = false;
    // Used only by the thread executing the command.
    int uninterruptibleDepth_ = 0;
    std::optional<CommandPhase> lastPhase_;
    std::uint64_t lastReport_ = 0;
    std::uint64_t lastMemoryCheck_ = 0;
};

// Whether a command runs, and when it was last seen making progress; read by the watchdog.
class EngineProgress {
public:
    static EngineProgress& shared();

    struct Snapshot {
        bool busy = false;
        double quietSeconds = 0;
    };
    Snapshot snapshot() const;

    // Stamps the clock now and sets whether a command runs.
    void mark(bool busy);

    // Returns once a command runs: at once when one does, otherwise at the next mark(true).
    void awaitBusy() const;

private:
    mutable std::mutex lock_;
    mutable std::condition_variable becameBusy_;
    bool busy_ = false;
    std::uint64_t lastProgress_ = 0;
};

}  // namespace kivo
