#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "pdfium/support.hpp"

namespace kivo {

namespace fs = std::filesystem;

namespace {

EngineFailure writeFailed() { return EngineFailure("export_failed", "PDFium could not write the file."); }

void createParent(const fs::path& file) {
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
}

// Makes a completed rename survive a crash: the directory entry itself is flushed.
void syncDirectory(const fs::path& directory) {
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

void Session::save(const fs::path& to) const {
    createParent(to);
    if (!document_) throw session_detail::documentClosed();
    const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw writeFailed();
    bool written = false;
    try {
        written = kivo_save_document_fd(document_.get(), fd) != 0;
    } catch (...) {
        ::close(fd);
        throw;
    }
    // The bytes are on disk before anyone renames the file into place.
    written = written && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) throw writeFailed();
}

void Session::atomicWrite(const fs::path& to) const {
    // Saving through a symbolic link replaces the file it points to and keeps the link.
    std::error_code ignored;
    const fs::path destination = fs::is_symlink(to, ignored) ? fs::weakly_canonical(to) : to;
    createParent(destination);
    fs::path sibling = destination;
    sibling.replace_filename("." + destination.filename().string() + ".kivo-tmp");
    if (fs::exists(fs::symlink_status(sibling))) fs::remove(sibling);

    save(sibling);

    struct stat existing {};
    if (::stat(destination.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        // The new file takes the place of the old one with the old one's permissions and, where
        // allowed, its owner.
        if (::chown(sibling.c_str(), existing.st_uid, existing.st_gid) != 0) {
            // Not ours to give away; the file stays ours.
        }
        ::chmod(sibling.c_str(), existing.st_mode & 07777);
    }
    if (::rename(sibling.c_str(), destination.c_str()) != 0) {
        const int error = errno;
        fs::remove(sibling, ignored);
        throw fs::filesystem_error("Could not replace the file", destination,
                                   std::error_code(error, std::generic_category()));
    }
    syncDirectory(destination.parent_path());
    fs::remove(sibling, ignored);
}

std::unique_ptr<Session> Session::detachedCopy() const {
    std::unique_ptr<Session> copy(new Session());
    copy->openPassword_ = openPassword_;
    if (!document_) throw session_detail::documentClosed();
    copy->bind(DocumentBytes::writing(document_.get()), std::nullopt, pages_, true);
    return copy;
}

}  // namespace kivo
