#pragma once

// The ways starting the worker, or reaching it afterwards, fails; what() is the sentence the window
// shows.

#include <stdexcept>
#include <string>

namespace kivo {

class EngineLaunchError : public std::runtime_error {
public:
    enum class Kind { stoppedAtStart, missingWorker, workerStopped, anotherEditor };

    // The worker ended before both connections stood; `description` says how (describeStop).
    static EngineLaunchError stoppedAtStart(const std::string& description);
    // No worker executable next to the editor. An installed editor asks to be installed again; a
    // development build tells its developer how to build the worker.
    static EngineLaunchError missingWorker(bool installed);
    // No connection after a worker stop.
    static EngineLaunchError workerStopped();
    // Another editor of this user and support folder holds the worker.
    static EngineLaunchError anotherEditor();

    Kind kind() const noexcept { return kind_; }

private:
    EngineLaunchError(Kind kind, const std::string& description) : std::runtime_error(description), kind_(kind) {}

    Kind kind_;
};

}  // namespace kivo
