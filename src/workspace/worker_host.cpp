#include "workspace/worker_host.hpp"

#include <unistd.h>

#include <system_error>

#include "core/worker_limits.hpp"

namespace kivo {
namespace {

std::optional<std::filesystem::path> currentEditorFolder() {
    std::error_code error;
    const auto executable = std::filesystem::canonical("/proc/self/exe", error);
    if (error) return std::nullopt;
    return executable.parent_path();
}

// The folder as it was when the program started: an upgrade that renames a new file over the
// running program leaves /proc/self/exe naming a deleted file, and the worker must still be found
// for a restart after that.
const std::optional<std::filesystem::path>& editorFolder() {
    static const std::optional<std::filesystem::path> folder = currentEditorFolder();
    return folder;
}

// Taken as the program loads, before anything could replace it.
[[maybe_unused]] const std::optional<std::filesystem::path>& folderAtStart = editorFolder();

}  // namespace

std::optional<std::filesystem::path> siblingExecutable(const std::string& name) {
    const auto& folder = editorFolder();
    if (!folder) return std::nullopt;
    const auto candidate = *folder / name;
    std::error_code error;
    if (!std::filesystem::is_regular_file(candidate, error) || ::access(candidate.c_str(), X_OK) != 0) {
        return std::nullopt;
    }
    return candidate;
}

std::optional<std::filesystem::path> WorkerHost::connectorExecutable() const {
    return siblingExecutable("kivo-pdf-mcp");
}

std::optional<std::filesystem::path> DesktopWorkerHost::workerExecutable() const {
    return siblingExecutable("kivo-pdf-worker");
}

std::map<std::string, std::string> DesktopWorkerHost::environment() const { return processEnvironment(); }

bool DesktopWorkerHost::installed() const {
    const auto& folder = editorFolder();
    std::error_code error;
    return !folder || !std::filesystem::equivalent(*folder, KIVO_BUILD_BIN_DIR, error);
}

}  // namespace kivo
