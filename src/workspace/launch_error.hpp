#pragma once

// The ways starting the worker, or reaching it afterwards, fails; what() is the sentence the window
// shows.

#include <optional>
#include <stdexcept>
#include <string>

#include "workspace/worker_stops.hpp"

namespace kivo {

class EngineLaunchError : public std::runtime_error {
public:
    enum class Kind { stoppedAtStart, missingWorker, workerStopped, anotherEditor };

    // The worker ended before both connections stood; the stop's cause says how (describeStop).
    static EngineLaunchError stoppedAtStart(const WorkerStop& stop);
    // No worker executable next to the editor. An installed editor asks to be installed again; a
    // development build tells its developer how to build the worker.
    static EngineLaunchError missingWorker(bool installed);
    // No connection after a worker stop.
    static EngineLaunchError workerStopped();
    // Another editor of this user and support folder holds the worker.
    static EngineLaunchError anotherEditor();

    Kind kind() const noexcept { return kind_; }
    // The worker's own end, for a worker that stopped at its start; nothing otherwise.
    const std::optional<WorkerStop>& stop() const noexcept { return stop_; }

private:
    EngineLaunchError(Kind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}

    Kind kind_;
    std::optional<WorkerStop> stop_;
};

}  // namespace kivo
