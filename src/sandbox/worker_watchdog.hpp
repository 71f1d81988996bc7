#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/worker_limits.hpp"
#include "session/running_command.hpp"

namespace kivo {

// What the watchdog reads of the command engine: whether a command runs and
// how long ago it last made progress.
using ProgressSnapshot = EngineProgress::Snapshot;

// A background thread that ends the worker when its memory passes the hard
// limit (exit 71) or a running command shows no progress for the stall limit
// (exit 72); a command stuck inside one long library call never reaches a
// place where it could stop itself.
namespace WorkerWatchdog {

// Linux keeps thread names to 15 bytes.
inline constexpr const char* threadName = "kivo-watchdog";
inline constexpr unsigned pollMilliseconds = 100;

struct Stop {
    std::int32_t status = 0;
    std::string reason;

    bool operator==(const Stop&) const = default;
};

// Where the watchdog reads what it watches; tests pass their own.
struct Sources {
    // Bytes; 0 when it cannot be read, which never stops the worker.
    std::function<std::uint64_t()> footprint;
    // Absent: no command is ever seen running, so only memory can stop it.
    std::function<ProgressSnapshot()> progress;
    // Returns once a command runs, at once if one does. Absent: the watchdog looks every pass, idle
    // or not.
    std::function<void()> awaitCommand;
    // Runs on the watchdog's thread as it stops the worker, before the reason is written.
    std::function<void()> beforeStop;
    // Stops the running command inside the PDF engine once it has been quiet for at least the
    // seconds given; true when it asked. Absent: nothing is stopped short of the whole worker.
    std::function<bool(double quietSeconds)> interrupt;

    // The worker's own: ProcessMemory::footprint() and EngineProgress::shared().
    static Sources engine();
};

// False for limits with neither a hard memory limit nor a finite stall limit:
// then there is nothing to watch.
bool needed(const ResourceLimits& limits);

// The memory rule: footprint strictly above a set hard limit.
std::optional<Stop> memoryStop(const ResourceLimits& limits, std::uint64_t footprint);

// The stall rule: a busy command quiet for strictly longer than the limit.
std::optional<Stop> stallStop(const ResourceLimits& limits, const ProgressSnapshot& progress);

// How long a command may show no progress before the command alone is stopped: three quarters of
// the stall limit, so the whole worker ends only when that stop cannot land.
double interruptSeconds(const ResourceLimits& limits);

// The deadline rule: a busy command quiet for strictly longer than interruptSeconds.
bool interruptDue(const ResourceLimits& limits, const ProgressSnapshot& progress);

// One pass: the memory rule first, then (reading the progress only then) the
// stall rule.
std::optional<Stop> check(const ResourceLimits& limits, const Sources& sources);

// Shortest text that reads back as the same double, ".0" added to whole
// numbers: 60 -> "60.0", 2.5 -> "2.5".
std::string formatSeconds(double seconds);

// "kivo-pdf-worker: stopping, because <reason>\n"
std::string stopLine(const std::string& reason);

// Starts the watchdog thread for these limits, unless there is nothing to
// watch. Returns whether a thread was started. The thread is never stopped; it
// ends with the process. A missing footprint source reads
// ProcessMemory::footprint(). With `awaitCommand` it sleeps while the worker is
// idle and looks once more after each command ends: an idle worker allocates
// nothing beyond its bounded request lines, and a wake-up every 100 ms would
// cost a laptop's battery for nothing.
bool start(const ResourceLimits& limits, Sources sources = Sources::engine());

// Writes the stop line to standard error in one write and ends the process at
// once, without exit handlers or flushing.
[[noreturn]] void stop(std::int32_t status, const std::string& reason);

}  // namespace WorkerWatchdog

}  // namespace kivo
