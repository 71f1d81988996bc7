#include "engine/render_folder.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/ipc_paths.hpp"
#include "core/engine_failure.hpp"
#include "core/safe_files.hpp"

namespace kivo::RenderFolder {

std::filesystem::path location() { return IPCPaths::renderDirectory(); }

std::filesystem::path prepare() {
    const std::filesystem::path folder = location();
    std::filesystem::create_directories(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::filesystem::filesystem_error("Could not create the render folder", folder,
                                                std::error_code(errno, std::generic_category()));
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !SafeFiles::isPrivateFolder(info)) {
        throw EngineFailure(FailureCode::renderFailed,
                            "The render folder " + folder.string() +
                                " is not private to this user, so the page was not rendered. "
                                "Remove that folder and try again.");
    }
    return folder;
}

std::string fileName(std::string_view sessionId, std::string_view pageId, std::int64_t revision) {
    return std::string(sessionId) + "-" + std::string(pageId) + "-" + std::to_string(revision) + ".png";
}

}  // namespace kivo::RenderFolder
