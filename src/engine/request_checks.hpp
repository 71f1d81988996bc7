#pragma once

#include <filesystem>
#include <string>

#include "core/commands.hpp"
#include "core/safe_files.hpp"

namespace kivo {

// Checks every request passes before its handler runs, so that a malformed value is refused
// before anything is opened, written or changed.
namespace RequestChecks {

// Coordinates and sizes beyond this many points are refused: no page is that large, and a float,
// which is what the PDF keeps, would turn larger values into infinities.
inline constexpr double maxCoordinate = 1e7;

// Fails with `invalidArgument` when a path parameter (path, pngPath, destination, imagePath,
// grant paths, tile paths) holds U+0000, which the file system would silently cut off, or when a
// rectangle, point, font size or scale is not finite or lies beyond ±maxCoordinate. Only the
// parameters `method` reads are judged; the others are never used, whatever they hold.
void check(CommandMethod method, const CommandParams& params);

// The file a save, export or page extraction writes for a destination the client named. Fails with
// `invalidArgument` for an empty destination or one that ends in "/". For the MCP channel the
// path is resolved here, once, and the grant is checked on exactly the file that is written:
// a destination that is a symbolic link fails with `permissionDenied`, and one whose folder does
// not exist with `file` (an MCP write never creates folders).
std::filesystem::path writeDestination(const std::string& destination, CommandChannel channel);

// How a file named by a client on this channel is written: the editor and the command line save
// through a link to the file it points to and get missing folders made; an MCP write does neither.
SafeFiles::ReplaceOptions writeOptions(CommandChannel channel);

}  // namespace RequestChecks
}  // namespace kivo
