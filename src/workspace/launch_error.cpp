#include "workspace/launch_error.hpp"

namespace kivo {

EngineLaunchError EngineLaunchError::stoppedAtStart(const WorkerStop& stop) {
    EngineLaunchError error(Kind::stoppedAtStart, stop.cause);
    error.stop_ = stop;
    return error;
}

EngineLaunchError EngineLaunchError::missingWorker(bool installed) {
    if (installed) {
        return EngineLaunchError(
            Kind::missingWorker,
            "Kivo PDF is missing the helper that reads PDFs, so it cannot open anything. "
            "Install Kivo PDF again.");
    }
    return EngineLaunchError(
        Kind::missingWorker,
        "Could not find kivo-pdf-worker next to the editor. Build it and start the editor "
        "with scripts/run.sh from the repository root.");
}

EngineLaunchError EngineLaunchError::workerStopped() {
    return EngineLaunchError(Kind::workerStopped,
                             "The PDF worker is not running. Use Restart Worker in the inspector.");
}

EngineLaunchError EngineLaunchError::anotherEditor() {
    return EngineLaunchError(
        Kind::anotherEditor,
        "Kivo PDF is already running for this user, and that window holds the PDF worker. "
        "Use it, or quit it first.");
}

}  // namespace kivo
