#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

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
// "kivo-pdf-render" in $XDG_RUNTIME_DIR when that is set to an absolute path, otherwise "renders"
// in the support folder. Both are the user's alone: in a shared folder such as /tmp another user
// could make the name first and keep it.
std::filesystem::path renderDirectory();
// The same for a given support folder.
std::filesystem::path renderDirectory(const std::filesystem::path& support);

// The editor's own folder for the page images it asks the worker for: "kivo-pdf-ui-" and the user id
// in the system's temporary folder ($TMPDIR and the like, else /tmp). Only a private folder of this
// user at that name is ever used (the editor falls back to a fresh one of its own otherwise).
std::filesystem::path editorRenderDirectory();

// Creates the ipc folder (and missing parents) and makes it owner-only (0700).
// Throws std::filesystem::filesystem_error.
void prepareIPCDirectory();

}  // namespace IPCPaths

struct IPCToken {
    std::string socket;
    std::string token;
};

// The longest token file the connector reads: a token with room for a line break.
inline constexpr std::size_t maxTokenFileBytes = 128;

// Whether `token` has the shape of the tokens the editor writes (newUUIDString).
bool isEditorToken(std::string_view token);

// The token file exists but cannot be trusted: a link, not a regular file, another user's, open to
// group or others, longer than maxTokenFileBytes, or not holding a token of the editor's shape.
// what() is one sentence naming the file.
class UnusableTokenFile : public std::runtime_error {
public:
    explicit UnusableTokenFile(const std::filesystem::path& path);
};

// The socket path and the MCP token from the token file, trimmed of white space and line breaks.
// Throws UnusableTokenFile as above (nothing read from such a file is ever returned);
// std::filesystem::filesystem_error when the file cannot be read or is not UTF-8, and with ENOENT
// when it is missing or holds no token.
IPCToken loadIPCToken();

}  // namespace kivo
