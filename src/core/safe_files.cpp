#include "core/safe_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "core/file_creation.hpp"
#include "core/text.hpp"

namespace kivo::SafeFiles {
namespace {

namespace fs = std::filesystem;

constexpr int maxNameAttempts = 16;

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The mode the new file is created with, so that it needs no change afterwards (the confined
// worker may not make one). It stands in for the old file, whose mode passes on only from the old
// file's own user: a file of someone else that this user may merely write would otherwise come
// back as this user's file, as open as the other user had made it.
mode_t creationMode(bool replacing, const struct stat& old, mode_t newFileMode) {
    if (!replacing || !S_ISREG(old.st_mode)) return FileCreation::newFileMode(newFileMode);
    if (old.st_uid == ::geteuid()) return old.st_mode & 0777;
    return FileCreation::newFileMode(newFileMode) & 0600;
}

// What the creation could not carry over: the old file's group (and, for someone else's file, its
// owner and then its mode), and the mode where a umask still narrowed it. Where the process may
// change none of these (a confined worker, which clears its umask instead), the file keeps what
// it was created with.
void takeOverAttributes(int fd, const struct stat& old, mode_t wanted) {
    struct stat created {};
    if (::fstat(fd, &created) != 0) return;
    if (old.st_uid == ::geteuid()) {
        if (created.st_gid != old.st_gid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            // Not a group of this user: the file keeps the user's own group.
        }
        if ((created.st_mode & 0777) != wanted) ::fchmod(fd, wanted);
        return;
    }
    if (::fchown(fd, old.st_uid, old.st_gid) == 0) ::fchmod(fd, old.st_mode & 0777);
}

// A fresh hidden sibling, created exclusively and never through a link someone planted there.
Descriptor createSibling(int folder, const std::string& name, mode_t mode, std::string& siblingName,
                         const fs::path& target) {
    for (int attempt = 0; attempt < maxNameAttempts; ++attempt) {
        siblingName = "." + name + "." + newUUIDString().substr(0, 13) + ".kivo-tmp";
        Descriptor fd(
            ::openat(folder, siblingName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd) return fd;
        if (errno != EEXIST) fail("Could not create the new file", target, errno);
    }
    fail("Could not create the new file", target, EEXIST);
}

}  // namespace

ReadableFile openForReading(const fs::path& path) noexcept {
    ReadableFile file;
    file.fd = Descriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.fd) {
        file.error = errno;
        return file;
    }
    struct stat status {};
    if (::fstat(file.fd.get(), &status) != 0) {
        file.error = errno;
        file.fd.reset();
        return file;
    }
    file.isRegular = S_ISREG(status.st_mode);
    file.size = status.st_size;
    // Reads of a regular file block as usual.
    const int flags = ::fcntl(file.fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

bool isPrivateFolder(const struct stat& status) noexcept {
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

fs::path replacementTarget(const fs::path& destination, bool followLink) {
    std::error_code error;
    if (!followLink || !fs::is_symlink(destination, error)) return destination;
    const fs::path resolved = fs::weakly_canonical(destination, error);
    return error ? destination : resolved;
}

void replaceFile(const fs::path& destination, const std::function<void(int fd)>& write, const ReplaceOptions& options) {
    const fs::path target = replacementTarget(destination, options.followLink);
    const std::string name = target.filename().string();
    if (name.empty() || name == "." || name == "..") fail("Could not write the file", target, EISDIR);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (options.createFolders) FileCreation::makeFolders(folder);

    const Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) fail("Could not open the folder", folder, errno);
    struct stat old {};
    const bool replacing = ::fstatat(directory.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (replacing && S_ISDIR(old.st_mode)) fail("Could not write the file", target, EISDIR);

    std::string siblingName;
    const mode_t mode = creationMode(replacing, old, options.newFileMode);
    Descriptor file = createSibling(directory.get(), name, mode, siblingName, target);
    try {
        write(file.get());
        if (replacing && S_ISREG(old.st_mode)) takeOverAttributes(file.get(), old, mode);
        // The bytes are on disk before the name points at them.
        if (::fsync(file.get()) != 0) fail("Could not write the file", target, errno);
        if (::close(file.release()) != 0) fail("Could not write the file", target, errno);
        if (::renameat(directory.get(), siblingName.c_str(), directory.get(), name.c_str()) != 0) {
            fail("Could not replace the file", target, errno);
        }
    } catch (...) {
        ::unlinkat(directory.get(), siblingName.c_str(), 0);
        throw;
    }
    // The rename itself survives a crash once the folder is flushed.
    ::fsync(directory.get());
}

}  // namespace kivo::SafeFiles
