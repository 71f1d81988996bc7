#pragma once

#include <filesystem>
#include <string>

namespace kivo {

// Where the editor, the worker and the MCP connector find each other. Every
// function reads the environment afresh and creates nothing, except
// prepareIPCDirectory.
namespace IPCPaths {

inline constexpr const char* supportDirectoryVariable = "KIVO_PDF_SUPPORT_DIR";

// The user's home folder: $HOME when set and not empty, else the password
// database's entry, else "/".
std::filesystem::path homeDirectory();

// KIVO_PDF_SUPPORT_DIR exactly as given when set and not empty; otherwise
// "kivo-pdf" in the user's data folder ($XDG_DATA_HOME, else ~/.local/share).
std::filesystem::path supportDirectory();
std::filesystem::path ipcDirectory();
std::filesystem::path recoveryDirectory();
std::filesystem::path socketURL();
std::filesystem::path tokenURL();

// The user's own folder for rendered pages, which the worker writes and the MCP connector reads:
// "kivo-pdf-render" in $XDG_RUNTIME_DIR when that is set to an absolute path, otherwise
// "kivo-pdf-render-" + the user id in $TMPDIR (when set and not empty) or /tmp. The name carries
// the user, so another user who made a folder of that name first in a shared /tmp cannot block
// this user's renders.
std::filesystem::path renderDirectory();

// Creates the ipc folder (and missing parents) and makes it owner-only (0700).
// Throws std::filesystem::filesystem_error.
void prepareIPCDirectory();

}  // namespace IPCPaths

struct IPCToken {
    std::string socket;
    std::string token;
};

// The socket path and the MCP token from the token file, trimmed of white
// space and line breaks. Throws std::filesystem::filesystem_error when the
// file cannot be read or is not UTF-8, and with ENOENT when it holds no token.
IPCToken loadIPCToken();

}  // namespace kivo
