#pragma once

// How the editor reads a stopped worker: the sentence that tells the user why it stopped, and the
// count of recent stops that decides whether it is started again. Pure functions and a plain value.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "core/worker_limits.hpp"

namespace kivo {

// How a child process ended: its exit status, or the number of the signal that ended it.
struct WorkerTermination {
    enum class Reason { exit, uncaughtSignal };

    Reason reason = Reason::exit;
    int status = 0;

    bool operator==(const WorkerTermination&) const = default;
};

// A worker that ended on its own: how, the sentence that says why, and how many stops the last
// minute holds with this one.
struct WorkerStop {
    WorkerTermination termination;
    std::string cause;
    std::size_t recentStops = 0;
};

// The sentence for the user: killed or crashed by a signal (with the C library's name for it), the
// sandbox, stall and memory exits with the limits the worker ran under, or an unexpected status.
// Never fails.
std::string describeStop(const WorkerTermination& termination, const ResourceLimits& limits);

// The times of the recent worker stops, on a monotonic clock so that a change of the wall clock
// neither forgives nor invents stops.
class StopHistory {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    static constexpr std::chrono::duration<double> window{60.0};
    // This many stops within the window end the automatic restarts.
    static constexpr std::size_t stopsWithoutRestart = 3;

    // Forgets the stops older than the window at `now`, then counts this one; answers how many
    // stops the window now holds.
    std::size_t record(TimePoint now);

    std::size_t count() const noexcept { return stops_.size(); }

private:
    std::vector<TimePoint> stops_;
};

}  // namespace kivo
