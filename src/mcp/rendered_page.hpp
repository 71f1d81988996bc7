#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kivo {

// Reading the PNG that the worker says it rendered. The worker parses hostile
// files, so the path it names is not trusted: only a regular ".png" file
// directly inside the worker's render folder is read, never whatever else the
// connector's user may read.
namespace RenderedPage {

// Larger files are not attached: they could not travel in one reply line anyway.
inline constexpr std::size_t maxBytes = 256u << 20;

// The user's render folder, IPCPaths::renderDirectory(), the one the worker
// writes to. Read from the environment at every call.
std::filesystem::path folder();

// The file's bytes when the path passes every check: the render folder is a
// real directory (not a link), owned by this user, with no access for group
// or others; the path names an entry directly inside it whose name ends in
// ".png"; that entry, opened without following links, is a regular file no
// larger than maxBytes that starts with the PNG signature. Otherwise, or when
// reading fails, nothing.
std::optional<std::string> read(const std::string& path);

}  // namespace RenderedPage

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Encode(std::string_view bytes);

}  // namespace kivo
