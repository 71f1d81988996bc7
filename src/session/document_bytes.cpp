#include "session/document_bytes.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/document_files.hpp"
#include "core/descriptor.hpp"
#include "core/file_creation.hpp"
#include "core/safe_files.hpp"
#include "core/text.hpp"
#include "core/engine_failure.hpp"
#include "session/pdf_objects.hpp"
#include "pdfium/saved_trailer.hpp"
#include "pdfium/support.hpp"

namespace kivo {
namespace {

EngineFailure unreadable() { return EngineFailure(FailureCode::file, "The file could not be read."); }
EngineFailure cannotReadBack() {
    return EngineFailure(FailureCode::internal, "Could not read the saved document back.");
}

int64_t pageBytes() {
    static const int64_t size = std::max<long>(::sysconf(_SC_PAGESIZE), 4096);
    return size;
}

// An empty file of the worker's own that no one else can open: its name is gone before anything
// is written to it.
Descriptor unlinkedTemporary(std::string_view kind) {
    const auto path = FileCreation::temporaryFolder() / (std::string(kind) + newUUIDString() + ".pdf");
    Descriptor file(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file) ::unlink(path.c_str());
    return file;
}

// A mapping on its way to the bytes that will own it, unmapped if they never do.
class PendingMapping {
public:
    PendingMapping(void* at, size_t length) : at_(at == MAP_FAILED ? nullptr : at), length_(length) {}
    ~PendingMapping() {
        if (at_ != nullptr) munmap(at_, length_);
    }
    PendingMapping(const PendingMapping&) = delete;
    PendingMapping& operator=(const PendingMapping&) = delete;
    explicit operator bool() const { return at_ != nullptr; }
    uint8_t* get() const { return static_cast<uint8_t*>(at_); }
    void handOver() { at_ = nullptr; }

private:
    void* at_;
    size_t length_;
};

// Files kept open so that later bytes can share their pages. A quarter of what the process may
// open at most, so that a person with many long histories never runs the worker out of
// descriptors: past it, bytes are mapped as before and their file closed.
std::atomic<int64_t> g_heldFiles{0};

int64_t mostHeldFiles() {
    static const int64_t most = [] {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return int64_t{256};
        return std::clamp<int64_t>(static_cast<int64_t>(limit.rlim_cur) / 4, 0, 4096);
    }();
    return most;
}

bool isWhiteSpace(uint8_t c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0;
}
bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

std::string_view asText(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Every place `word` starts in `bytes`, in order.
template <class Visit>
void forEachPlace(std::span<const uint8_t> bytes, std::string_view word, Visit&& visit) {
    const uint8_t* at = bytes.data();
    const uint8_t* const end = bytes.data() + bytes.size();
    while (at < end) {
        const void* found = ::memmem(at, static_cast<size_t>(end - at), word.data(), word.size());
        if (found == nullptr) return;
        const auto* place = static_cast<const uint8_t*>(found);
        visit(static_cast<size_t>(place - bytes.data()));
        at = place + word.size();
    }
}

// Whether the "obj" at `place` ends an object header "N G obj" whose G is not 0. Anything else
// that happens to read "obj" (in a stream, say) counts the same: a false alarm only costs an
// append.
bool headerOfLaterGeneration(std::span<const uint8_t> bytes, size_t place) {
    size_t i = place;
    size_t blanks = 0;
    while (i > 0 && isWhiteSpace(bytes[i - 1])) --i, ++blanks;
    if (blanks == 0) return false;
    bool nonZero = false;
    size_t digits = 0;
    while (i > 0 && isDigit(bytes[i - 1])) {
        nonZero = nonZero || bytes[i - 1] != '0';
        --i;
        ++digits;
    }
    if (digits == 0 || i == 0 || !isWhiteSpace(bytes[i - 1])) return false;
    while (i > 0 && isWhiteSpace(bytes[i - 1])) --i;
    return nonZero && i > 0 && isDigit(bytes[i - 1]);
}

// Whether `word` at `place` stands alone, between white space or the ends of the bytes, as PDFium
// wants the words that end a stream to.
bool standsAlone(std::span<const uint8_t> bytes, size_t place, size_t length) {
    return (place == 0 || isWhiteSpace(bytes[place - 1])) &&
           (place + length == bytes.size() || isWhiteSpace(bytes[place + length]));
}

struct Scan {
    int ends = 0;
    // Where the first revision ends: past the "%%EOF" after the first "startxref".
    size_t firstEnd = 0;
    bool onlyGenerationZero = true;
    bool everyStreamEnds = true;
};

// Whether an end PDFium accepts follows the last "stream" that is not itself an end. Every "stream"
// counts as one begun, and only an end standing alone as one, so a doubt costs a whole write, never
// a state that reads otherwise.
bool everyStreamEnds(std::span<const uint8_t> bytes) {
    std::optional<size_t> lastBegun;
    std::optional<size_t> lastEnd;
    forEachPlace(bytes, "stream", [&](size_t place) {
        const bool end = place >= 3 && std::memcmp(bytes.data() + place - 3, "end", 3) == 0;
        if (!end) {
            lastBegun = place;
        } else if (standsAlone(bytes, place - 3, 9)) {
            lastEnd = place;
        }
    });
    if (!lastBegun) return true;
    forEachPlace(bytes.subspan(*lastBegun), "endobj", [&](size_t place) {
        if (standsAlone(bytes, *lastBegun + place, 6))
            lastEnd = std::max(lastEnd.value_or(0), *lastBegun + place);
    });
    return lastEnd && *lastEnd > *lastBegun;
}

// A linearized file ends twice in its first revision; counting it as appended once costs at
// worst an earlier rewrite.
Scan scan(std::span<const uint8_t> bytes) {
    Scan found;
    forEachPlace(bytes, "startxref", [&](size_t place) {
        if (found.ends++ > 0) return;
        const std::span<const uint8_t> after = bytes.subspan(place);
        const void* eof = ::memmem(after.data(), after.size(), "%%EOF", 5);
        found.firstEnd = eof == nullptr ? bytes.size() : static_cast<const uint8_t*>(eof) - bytes.data() + 5;
    });
    forEachPlace(bytes, " obj", [&](size_t place) {
        if (found.onlyGenerationZero && headerOfLaterGeneration(bytes, place + 1))
            found.onlyGenerationZero = false;
    });
    found.everyStreamEnds = everyStreamEnds(bytes);
    return found;
}

}  // namespace

class DocumentBytes::HeldFile {
public:
    // A descriptor of its own for `fd`'s file; none when the process holds as many as it may.
    static std::shared_ptr<const HeldFile> keep(int fd) {
        if (g_heldFiles.fetch_add(1) >= mostHeldFiles()) {
            g_heldFiles.fetch_sub(1);
            return nullptr;
        }
        Descriptor copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!copy) {
            g_heldFiles.fetch_sub(1);
            return nullptr;
        }
        return std::make_shared<const HeldFile>(std::move(copy));
    }
    explicit HeldFile(Descriptor fd) : fd_(std::move(fd)) {}
    ~HeldFile() { g_heldFiles.fetch_sub(1); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    int fd() const { return fd_.get(); }

private:
    Descriptor fd_;
};

const DocumentBytes::Layers& DocumentBytes::layers() const {
    std::call_once(layersFound_, [this] {
        const Scan found = scan(data());
        layers_.appended = std::max(0, found.ends - 1);
        // Bytes read back from a checkpoint hold their appended revisions: the bound on what may
        // be appended is the first revision's, or every restore would double it.
        layers_.baseLength = found.ends > 1 ? static_cast<int64_t>(found.firstEnd) : count_;
        layers_.onlyGenerationZero = found.onlyGenerationZero;
        layers_.everyStreamEnds = found.everyStreamEnds;
    });
    return layers_;
}

std::size_t DocumentBytes::lastTable() const {
    std::call_once(lastTableFound_,
                   [this] { lastTable_ = pdfium::SavedTrailer::lastTableStart(asText(data())); });
    return lastTable_;
}

bool DocumentBytes::startsLike(const DocumentBytes& other, int64_t length) const {
    if (length < 0 || length > count_ || length > other.count_) return false;
    int64_t from = 0;
    const auto sameUpTo = [&](int64_t to) {
        const bool same = to <= from || std::memcmp(pointer_ + from, other.pointer_ + from,
                                                    static_cast<size_t>(to - from)) == 0;
        from = std::max(from, to);
        return same;
    };
    for (const Piece& piece : pieces_) {
        if (piece.start >= length) break;
        const auto shared = std::find_if(other.pieces_.begin(), other.pieces_.end(), [&](const Piece& p) {
            return p.file == piece.file && p.start == piece.start;
        });
        if (shared == other.pieces_.end()) continue;
        if (!sameUpTo(piece.start)) return false;
        from = std::min(length, piece.start + std::min(piece.length, shared->length));
    }
    return sameUpTo(length);
}

DocumentBytes::Shared DocumentBytes::writing(pdfium::FPDF_DOCUMENT document) {
    return saved(document, pdfium::SaveKind::whole);
}

DocumentBytes::Shared DocumentBytes::writingPlain(pdfium::FPDF_DOCUMENT document) {
    return saved(document, pdfium::SaveKind::plain);
}

// The second write is kept only when shorter: one PDFium cannot open again, or that gains nothing,
// leaves the first, which the caller proves as it proves every write. It is skipped when the object
// reader reads every object of the first and reaches each from its trailer: nothing is then left to
// drop, and for a long document the second write costs twice what the first does.
DocumentBytes::Shared DocumentBytes::writingReferenced(pdfium::FPDF_DOCUMENT document,
                                                       const std::string* password) {
    Shared first = saved(document, pdfium::SaveKind::whole);
    if (const std::optional<PdfObjects::File> file = PdfObjects::File::index(first->data());
        file && file->everyObjectReferenced()) {
        return first;
    }
    const pdfium::Document again = pdfium::Document::load(first->data(), first, password);
    if (!again) return first;
    Shared second = saved(again.get(), pdfium::SaveKind::whole);
    return second->count() < first->count() ? second : first;
}

DocumentBytes::Shared DocumentBytes::appending(pdfium::FPDF_DOCUMENT document,
                                               const DocumentBytes& loadedFrom) {
    std::shared_ptr<DocumentBytes> bytes = saved(document, pdfium::SaveKind::appended, &loadedFrom);
    const Layers& below = loadedFrom.layers();
    if (bytes->count() < loadedFrom.count()) return bytes;  // not what an append writes: read as it is
    const Scan tail = scan(bytes->data().subspan(static_cast<size_t>(loadedFrom.count())));
    std::call_once(bytes->layersFound_, [&] {
        bytes->layers_.appended = below.appended + std::max(1, tail.ends);
        bytes->layers_.baseLength = below.baseLength;
        bytes->layers_.onlyGenerationZero = below.onlyGenerationZero && tail.onlyGenerationZero;
        bytes->layers_.everyStreamEnds = below.everyStreamEnds && tail.everyStreamEnds;
    });
    return bytes;
}

// Every piece is a read-only private mapping of a file that is never written through it, so it holds
// no page of its own that dropping could lose.
void DocumentBytes::releaseResident() const noexcept {
    for (const Piece& piece : pieces_) {
        ::madvise(const_cast<uint8_t*>(pointer_) + piece.start, static_cast<size_t>(piece.length),
                  MADV_DONTNEED);
    }
}

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
    const SafeFiles::ReadableFile file = DocumentFiles::openForReading(path);
    if (!file.fd) throw unreadable();
    if (!file.isRegular) {
        throw EngineFailure(FailureCode::file, "Only regular files can be read as documents, and " +
                                                   path.filename().string() +
                                                   " is not one. Nothing changed.");
    }
    if (file.size <= 0) return empty();
    const size_t size = static_cast<size_t>(file.size);
    if (Shared shared = sharedCopy(file.fd.get(), size)) return shared;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        throw EngineFailure(FailureCode::internal, "Could not allocate memory for the document.");
    }
    auto* bytes = static_cast<uint8_t*>(mapping);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(file.fd.get(), bytes + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            munmap(mapping, size);
            throw unreadable();
        }
        done += static_cast<size_t>(n);
    }
    return std::make_shared<const DocumentBytes>(bytes, static_cast<int64_t>(size),
                                                 static_cast<int64_t>(size));
}

// The document's bytes copied into a file of the worker's own, so that the undo states of its
// edits can share their pages (see saved). Nothing when there is no room for such a file; a
// source that cannot be read fails as it would in memory.
DocumentBytes::Shared DocumentBytes::sharedCopy(int source, size_t size) {
    Descriptor copy = unlinkedTemporary("kivo-open-");
    if (!copy) return nullptr;
    // A file that claims to be huge (a sparse one, say) must not fill the folder every program
    // writes to: past half of what is free it is read into memory, as any document once was.
    struct statvfs space {};
    if (::fstatvfs(copy.get(), &space) != 0 ||
        size > static_cast<uint64_t>(space.f_bavail) * space.f_frsize / 2)
        return nullptr;
    constexpr size_t chunk = 1 << 20;
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[std::min(size, chunk)]);
    size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(source, buffer.get(), std::min(size - done, chunk), static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw unreadable();
        for (ssize_t put = 0; put < n;) {
            const ssize_t w = ::write(copy.get(), buffer.get() + put, static_cast<size_t>(n - put));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return nullptr;  // the temporary folder is full: read into memory instead
            put += w;
        }
        done += static_cast<size_t>(n);
    }
    PendingMapping mapping(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, copy.get(), 0), size);
    if (!mapping) return nullptr;
    std::vector<Piece> pieces;
    const auto count = static_cast<int64_t>(size);
    if (auto held = HeldFile::keep(copy.get())) pieces.push_back(Piece{std::move(held), 0, count});
    auto bytes = std::make_shared<const DocumentBytes>(mapping.get(), count, count, std::move(pieces));
    mapping.handOver();
    return bytes;
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

std::shared_ptr<DocumentBytes> DocumentBytes::saved(pdfium::FPDF_DOCUMENT document, pdfium::SaveKind kind,
                                                    const DocumentBytes* below) {
    const Descriptor file = unlinkedTemporary("kivo-snap-");
    if (!file)
        throw EngineFailure(FailureCode::internal, "Could not create a temporary file for the document.");
    pdfium::KnownStart known;
    if (below != nullptr && !below->pieces_.empty()) {
        known.bytes = below->data();
        known.length = static_cast<size_t>(below->count_ / pageBytes() * pageBytes());
        known.lastTable = [below] { return below->lastTable(); };
    }
    if (!pdfium::saveToDescriptor(document, file.get(), kind, known)) {
        throw EngineFailure(FailureCode::exportFailed, "PDFium could not write the file.");
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) throw cannotReadBack();
    const auto start = static_cast<int64_t>(known.length);
    const int64_t written = info.st_size;
    if (written < 0 || start + written <= 0) throw cannotReadBack();
    if (start == 0) {
        const size_t size = static_cast<size_t>(written);
        PendingMapping mapping(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.get(), 0), size);
        if (!mapping) throw cannotReadBack();
        std::vector<Piece> pieces;
        if (auto held = HeldFile::keep(file.get())) pieces.push_back(Piece{std::move(held), 0, written});
        auto bytes = std::make_shared<DocumentBytes>(mapping.get(), written, written, std::move(pieces));
        mapping.handOver();
        return bytes;
    }
    // The pages of `below` first, then this file's: one run of bytes, as a whole save would read.
    const int64_t count = start + written;
    const int64_t mapped = (count + pageBytes() - 1) / pageBytes() * pageBytes();
    PendingMapping area(
        mmap(nullptr, static_cast<size_t>(mapped), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
        static_cast<size_t>(mapped));
    if (!area) throw cannotReadBack();
    uint8_t* const at = area.get();
    const auto place = [at](int fd, int64_t from, int64_t length) {
        return mmap(at + from, static_cast<size_t>(length), PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) !=
               MAP_FAILED;
    };
    std::vector<Piece> pieces;
    bool placed = true;
    for (const Piece& piece : below->pieces_) {
        if (piece.start >= start) break;
        const int64_t length = std::min(piece.length, start - piece.start);
        placed = placed && place(piece.file->fd(), piece.start, length);
        pieces.push_back(Piece{piece.file, piece.start, length});
    }
    if (written > 0) placed = placed && place(file.get(), start, written);
    if (!placed) return saved(document, kind);
    if (auto held = written > 0 ? HeldFile::keep(file.get()) : nullptr) {
        pieces.push_back(Piece{std::move(held), start, written});
    } else if (written > 0) {
        pieces.clear();
    }
    auto bytes = std::make_shared<DocumentBytes>(at, count, mapped, std::move(pieces));
    area.handOver();
    return bytes;
}

}  // namespace kivo
