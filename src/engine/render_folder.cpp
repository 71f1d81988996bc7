#include "engine/render_folder.hpp"

#include "core/ipc_paths.hpp"
#include "core/engine_failure.hpp"
#include "core/file_creation.hpp"

namespace kivo::RenderFolder {

std::filesystem::path location() { return IPCPaths::renderDirectory(); }

std::filesystem::path prepare() {
    const std::filesystem::path folder = location();
    try {
        FileCreation::makePrivateFolder(folder);
    } catch (const std::filesystem::filesystem_error&) {
        throw EngineFailure(
            FailureCode::renderFailed,
            "The render folder " + folder.string() +
                " is not private to this user and could not be set aside, so the page was not "
                "rendered.");
    }
    return folder;
}

std::string fileName(std::string_view sessionId, std::string_view pageId, std::int64_t revision) {
    return std::string(sessionId) + "-" + std::string(pageId) + "-" + std::to_string(revision) + ".png";
}

}  // namespace kivo::RenderFolder
