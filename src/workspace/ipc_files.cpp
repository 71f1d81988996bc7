#include "workspace/ipc_files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "core/line_io.hpp"
#include "core/text.hpp"

namespace kivo {
namespace {

std::filesystem::filesystem_error failure(const char* what, const std::filesystem::path& path, int error) {
    return std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

}  // namespace

namespace IPCFiles {

void writeTokenFile(const std::filesystem::path& path, const std::string& token) {
    const auto temporary = path.parent_path() / ("." + path.filename().string() + "-" + newUUIDString());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw failure("The MCP token file could not be created", temporary, errno);
    // The mode asked of open passes through the umask; set it on the descriptor to be exact.
    int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    if (error == 0) {
        try {
            writeAll(fd, token);
        } catch (const std::system_error& writeError) {
            error = writeError.code().value();
        }
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw failure("The MCP token file could not be written", path, error);
    }
}

}  // namespace IPCFiles

EditorLock EditorLock::acquire(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw failure("The editor's lock file could not be opened", path, errno);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return EditorLock(fd);
        const int error = errno;
        if (error == EINTR) continue;
        ::close(fd);
        if (error == EWOULDBLOCK) return EditorLock();
        throw failure("The editor's lock file could not be locked", path, error);
    }
}

EditorLock::~EditorLock() {
    if (fd_ >= 0) ::close(fd_);
}

EditorLock::EditorLock(EditorLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

EditorLock& EditorLock::operator=(EditorLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

}  // namespace kivo
