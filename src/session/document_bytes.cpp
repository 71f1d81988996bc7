#include "session/document_bytes.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/file_creation.hpp"
#include "core/safe_files.hpp"
#include "core/text.hpp"
#include "core/engine_failure.hpp"
#include "pdfium/support.hpp"

namespace kivo {
namespace {

EngineFailure unreadable() { return EngineFailure(FailureCode::file, "The file could not be read."); }
EngineFailure cannotReadBack() {
    return EngineFailure(FailureCode::internal, "Could not read the saved document back.");
}

}  // namespace

DocumentBytes::~DocumentBytes() {
    if (mappedLength_ >= 1) munmap(const_cast<uint8_t*>(pointer_), static_cast<size_t>(mappedLength_));
}

DocumentBytes::Shared DocumentBytes::empty() {
    // A static byte, so `pointer` is never null and nothing is left allocated at exit.
    static const uint8_t nothing = 0;
    static const Shared instance = std::make_shared<const DocumentBytes>(&nothing, 0, 0);
    return instance;
}

DocumentBytes::Shared DocumentBytes::read(const std::filesystem::path& path) {
    // A FIFO or a device must neither stall the open nor be read as a document.
    const SafeFiles::ReadableFile file = SafeFiles::openForReading(path);
    if (!file.fd) throw unreadable();
    if (!file.isRegular) {
        throw EngineFailure(FailureCode::file, "Only regular files can be read as documents, and " +
                                                   path.filename().string() + " is not one. Nothing changed.");
    }
    if (file.size <= 0) return empty();
    const size_t size = static_cast<size_t>(file.size);
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        throw EngineFailure(FailureCode::internal, "Could not allocate memory for the document.");
    }
    auto* bytes = static_cast<uint8_t*>(mapping);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(file.fd.get(), bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            munmap(mapping, size);
            throw unreadable();
        }
        done += static_cast<size_t>(n);
    }
    return std::make_shared<const DocumentBytes>(bytes, static_cast<int64_t>(size), static_cast<int64_t>(size));
}

DocumentBytes::Shared DocumentBytes::copied(std::string_view bytes) {
    if (bytes.empty()) return empty();
    void* mapping = mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        throw EngineFailure(FailureCode::internal, "Could not allocate memory for the document.");
    }
    std::memcpy(mapping, bytes.data(), bytes.size());
    mprotect(mapping, bytes.size(), PROT_READ);
    const auto size = static_cast<int64_t>(bytes.size());
    return std::make_shared<const DocumentBytes>(static_cast<const uint8_t*>(mapping), size, size);
}

DocumentBytes::Shared DocumentBytes::saved(pdfium::FPDF_DOCUMENT document, bool appended) {
    const auto path = FileCreation::temporaryFolder() / ("kivo-snap-" + newUUIDString() + ".pdf");
    const Descriptor file(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) throw EngineFailure(FailureCode::internal, "Could not create a temporary file for the document.");
    // From here on the file exists only through the descriptor, whatever happens next.
    ::unlink(path.c_str());
    if (!pdfium::saveToDescriptor(document, file.get(), appended)) {
        throw EngineFailure(FailureCode::exportFailed, "PDFium could not write the file.");
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) throw cannotReadBack();
    if (info.st_size <= 0) return empty();
    const size_t size = static_cast<size_t>(info.st_size);
    void* mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.get(), 0);
    if (mapping == MAP_FAILED) throw cannotReadBack();
    return std::make_shared<const DocumentBytes>(static_cast<const uint8_t*>(mapping), static_cast<int64_t>(size),
                                                 static_cast<int64_t>(size));
}

}  // namespace kivo
