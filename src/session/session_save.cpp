#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <span>
#include <system_error>

#include "core/document_files.hpp"
#include "core/file_creation.hpp"
#include "core/safe_files.hpp"
#include "session/form_dictionary.hpp"
#include "session/page_tree.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"

namespace kivo {

namespace fs = std::filesystem;

namespace {

EngineFailure writeFailed() {
    return EngineFailure(FailureCode::exportFailed, "PDFium could not write the file.");
}

void createParent(const fs::path& file) {
    if (file.has_parent_path()) FileCreation::makeFolders(file.parent_path());
}

void writeAll(int fd, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw writeFailed();
        done += static_cast<size_t>(n);
    }
}

}  // namespace

// A file is written only once the bytes are known to open and read as the document does, so no
// save reports success for a file that nothing can open, and the file on disk stays as it was. Its
// form is the one other readers expect (see form_dictionary.hpp).
DocumentBytes::Shared Session::provenWhole() const {
    if (!document_) throw session_detail::documentClosed();
    DocumentBytes::Shared whole = DocumentBytes::writingReferenced(document_.get(), secretFor(std::nullopt));
    if (std::optional<std::string> sound = FormDictionary::soundForOtherReaders(whole->data())) {
        whole = DocumentBytes::copied(*sound);
    }
    if (std::optional<std::string> sound = PageTree::withoutLoops(whole->data())) {
        whole = DocumentBytes::copied(*sound);
    }
    if (!readsAsOpen(*whole, std::nullopt)) {
        throw EngineFailure(
            FailureCode::exportFailed,
            "Kivo PDF could not write this document so that it opens again, so the file was left "
            "as it was.");
    }
    return whole;
}

void Session::save(const fs::path& to) const {
    createParent(to);
    const DocumentBytes::Shared whole = provenWhole();
    const int fd =
        ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, FileCreation::newFileMode(0666));
    if (fd < 0) throw writeFailed();
    bool written = false;
    try {
        writeAll(fd, whole->data());
        written = true;
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
    const DocumentBytes::Shared whole = provenWhole();
    try {
        DocumentFiles::replaceFile(
            to, [&whole](int fd) { writeAll(fd, whole->data()); }, options);
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
    copy->bind(provenWhole(), std::nullopt, pages_, true);
    return copy;
}

}  // namespace kivo
