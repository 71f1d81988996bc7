#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kivo::RenderFolder {

// The user's render folder, IPCPaths::renderDirectory(), the place the MCP connector reads from.
std::filesystem::path location();

// Makes the folder owner-only when it is missing and answers it; what stands at its name but is
// not this user's private folder (a link, a file, another user's folder, one others may write
// into) is set aside first, never written into (FileCreation::makePrivateFolder). Fails with
// `renderFailed` when that cannot be done, as inside the sandbox, which prepares it beforehand.
std::filesystem::path prepare();

// session id, "-", page id, "-", revision, ".png"
std::string fileName(std::string_view sessionId, std::string_view pageId, std::int64_t revision);

}  // namespace kivo::RenderFolder
