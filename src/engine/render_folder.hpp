#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kivo::RenderFolder {

// The user's render folder, IPCPaths::renderDirectory(), the place the MCP connector reads from.
std::filesystem::path location();

// Creates the folder owner-only when it is missing and answers it. Fails with `renderFailed`
// when something else stands there: not a directory (a symbolic link included), another owner,
// or any access for group or others. A folder set up by someone else must never receive renders,
// which the MCP connector then reads back.
std::filesystem::path prepare();

// session id, "-", page id, "-", revision, ".png"
std::string fileName(std::string_view sessionId, std::string_view pageId, std::int64_t revision);

}  // namespace kivo::RenderFolder
