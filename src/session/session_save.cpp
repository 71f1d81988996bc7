#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/file_creation.hpp"
#include "core/safe_files.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "pdfium/support.hpp"

namespace kivo {

namespace fs = std::filesystem;

namespace {

EngineFailure writeFailed() { return EngineFailure(FailureCode::exportFailed, "PDFium could not write the file."); }

void createParent(const fs::path& file) {
    if (file.has_parent_path()) FileCreation::makeFolders(file.parent_path());
}

}  // namespace

void Session::save(const fs::path& to) const {
    createParent(to);
    if (!document_) throw session_detail::documentClosed();
    const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, FileCreation::newFileMode(0666));
    if (fd < 0) throw writeFailed();
    bool written = false;
    try {
        written = pdfium::saveToDescriptor(document_.get(), fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
    // The bytes are on disk before anyone renames the file into place.
    written = written && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) throw writeFailed();
}

void Session::atomicWrite(const fs::path& to, const SafeFiles::ReplaceOptions& options) const {
    if (!document_) throw session_detail::documentClosed();
    try {
        SafeFiles::replaceFile(
            to,
            [this](int fd) {
                if (!pdfium::saveToDescriptor(document_.get(), fd)) throw writeFailed();
            },
            options);
    } catch (const SafeFiles::WriteRefused& refused) {
        throw EngineFailure(refused.reason == SafeFiles::WriteRefused::Reason::foreignLink
                                ? FailureCode::permissionDenied
                                : FailureCode::file,
                            refused.what());
    }
}

std::unique_ptr<Session> Session::detachedCopy() const {
    std::unique_ptr<Session> copy(new Session());
    copy->openPassword_ = openPassword_;
    if (!document_) throw session_detail::documentClosed();
    copy->bind(DocumentBytes::writing(document_.get()), std::nullopt, pages_, true);
    return copy;
}

}  // namespace kivo
