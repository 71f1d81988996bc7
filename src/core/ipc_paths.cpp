#include "core/ipc_paths.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#include "core/descriptor.hpp"
#include "core/text.hpp"

namespace kivo {
namespace {

// The user's folder for application data, per the XDG base directory rules:
// a relative $XDG_DATA_HOME is invalid and ignored.
std::filesystem::path userDataDirectory() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') return xdg;
    return IPCPaths::homeDirectory() / ".local" / "share";
}

}  // namespace

namespace IPCPaths {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr) {
        return result->pw_dir;
    }
    return "/";
}

std::filesystem::path supportDirectory() {
    if (const char* value = std::getenv(supportDirectoryVariable); value != nullptr && *value != '\0')
        return value;
    return userDataDirectory() / "kivo-pdf";
}

std::filesystem::path ipcDirectory() { return supportDirectory() / "ipc"; }

std::filesystem::path recoveryDirectory() { return supportDirectory() / "recovery"; }

std::filesystem::path socketURL() { return supportDirectory() / "ipc" / "commands.sock"; }

std::filesystem::path tokenURL() { return supportDirectory() / "ipc" / "token"; }

std::filesystem::path renderDirectory() { return renderDirectory(supportDirectory()); }

std::filesystem::path renderDirectory(const std::filesystem::path& support) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
        return std::filesystem::path(runtime) / "kivo-pdf-render";
    }
    return support / "renders";
}

std::filesystem::path editorRenderDirectory() {
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error || base.empty()) base = "/tmp";
    return base / ("kivo-pdf-ui-" + std::to_string(::geteuid()));
}

void prepareIPCDirectory() {
    const auto directory = ipcDirectory();
    std::filesystem::create_directories(directory);
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
}

}  // namespace IPCPaths

bool isEditorToken(std::string_view token) {
    // The editor writes a version-4 UUID in upper-case hexadecimal (newUUIDString).
    if (token.size() != 36) return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const char c = token[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

IPCToken loadIPCToken() {
    const auto directory = IPCPaths::supportDirectory();
    const auto socket = directory / "ipc" / "commands.sock";
    const auto tokenFile = directory / "ipc" / "token";

    const auto readFailure = [&](int error) {
        return std::filesystem::filesystem_error("The MCP token could not be read", tokenFile,
                                                 std::error_code(error, std::generic_category()));
    };
    const auto unusable = [&] { return UnusableTokenFile(tokenFile); };
    // Whatever stands at that name is sent to the worker as proof of who we are, and the worker
    // could have put it there: a link (to a private key, say), a FIFO or a device is never read,
    // nor a file someone else owns or could have written.
    const Descriptor fd(::open(tokenFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ELOOP) throw unusable();
        throw readFailure(errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) throw readFailure(errno);
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 077) != 0 ||
        status.st_size > static_cast<off_t>(maxTokenFileBytes)) {
        throw unusable();
    }
    std::string contents;
    char buffer[maxTokenFileBytes + 1];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            throw readFailure(errno);
        }
        contents.append(buffer, static_cast<std::size_t>(n));
        // It may have grown since it was measured.
        if (contents.size() > maxTokenFileBytes) throw unusable();
    }
    if (!isValidUTF8(contents)) {
        throw std::filesystem::filesystem_error("The MCP token file is not UTF-8", tokenFile,
                                                std::make_error_code(std::errc::illegal_byte_sequence));
    }
    const auto token = trimWhitespaceAndNewlines(contents);
    if (token.empty()) {
        throw std::filesystem::filesystem_error("The MCP token file is empty", tokenFile,
                                                std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (!isEditorToken(token)) throw unusable();
    return IPCToken{socket.string(), std::string(token)};
}

UnusableTokenFile::UnusableTokenFile(const std::filesystem::path& path)
    : std::runtime_error(
          "The MCP token file " + path.string() +
          " is not usable (it must be a private file of this user holding the editor's token), "
          "so nothing was sent.") {}

}  // namespace kivo
