#include "core/ipc_paths.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

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
    if (const char* value = std::getenv(supportDirectoryVariable); value != nullptr && *value != '\0') return value;
    return userDataDirectory() / "kivo-pdf";
}

std::filesystem::path ipcDirectory() { return supportDirectory() / "ipc"; }

std::filesystem::path recoveryDirectory() { return supportDirectory() / "recovery"; }

std::filesystem::path socketURL() { return supportDirectory() / "ipc" / "commands.sock"; }

std::filesystem::path tokenURL() { return supportDirectory() / "ipc" / "token"; }

std::filesystem::path renderDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
        return std::filesystem::path(runtime) / "kivo-pdf-render";
    }
    const char* temporary = std::getenv("TMPDIR");
    const std::filesystem::path base = (temporary != nullptr && *temporary != '\0') ? temporary : "/tmp";
    return base / ("kivo-pdf-render-" + std::to_string(::geteuid()));
}

void prepareIPCDirectory() {
    const auto directory = ipcDirectory();
    std::filesystem::create_directories(directory);
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
}

}  // namespace IPCPaths

IPCToken loadIPCToken() {
    const auto directory = IPCPaths::supportDirectory();
    const auto socket = directory / "ipc" / "commands.sock";
    const auto tokenFile = directory / "ipc" / "token";

    const auto readFailure = [&](int error) {
        return std::filesystem::filesystem_error("The MCP token could not be read", tokenFile,
                                                 std::error_code(error, std::generic_category()));
    };
    const int fd = ::open(tokenFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw readFailure(errno);
    std::string contents;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            throw readFailure(error);
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!isValidUTF8(contents)) {
        throw std::filesystem::filesystem_error("The MCP token file is not UTF-8", tokenFile,
                                                std::make_error_code(std::errc::illegal_byte_sequence));
    }
    const auto token = trimWhitespaceAndNewlines(contents);
    if (token.empty()) {
        throw std::filesystem::filesystem_error("The MCP token file is empty", tokenFile,
                                                std::make_error_code(std::errc::no_such_file_or_directory));
    }
    return IPCToken{socket.string(), std::string(token)};
}

}  // namespace kivo
