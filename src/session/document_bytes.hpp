#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"

namespace kivo {

// One read-only run of document bytes, as loaded from a file or as serialised by PDFium. The
// bytes live in a private mapping, never the ordinary heap, and are shared, never copied: a
// session, its undo snapshots and a recovery write may all hold the same instance.
class DocumentBytes {
public:
    using Shared = std::shared_ptr<const DocumentBytes>;

    // The file's bytes in a private anonymous mapping. Fails with `file` or `internal`.
    static Shared read(const std::filesystem::path& path);
    // A full, non-incremental save of the open document, in a read-only mapping of an unlinked
    // temporary file: valid after the document changes or closes, and nothing stays on disk.
    static Shared writing(pdfium::FPDF_DOCUMENT document);
    // The same without the document's encryption, for reading its objects (see pdf_objects.hpp); such
    // bytes are never handed out.
    static Shared writingPlain(pdfium::FPDF_DOCUMENT document);
    // The same, holding only objects the document refers to. PDFium writes every object made since
    // the document was loaded, and each load of a page makes some that nothing refers to (the
    // pop-up appearance, font and all, of each annotation with contents), so a saved file or an
    // undo state grew with every time a page of notes had been shown or edited. What PDFium wrote
    // is opened (with `password`, when encrypted) and written once more: of objects it read, a
    // whole save keeps only those referred to. Fails as `writing` does.
    static Shared writingReferenced(pdfium::FPDF_DOCUMENT document, const std::string* password);
    // The same as an incremental save: `loadedFrom`, the bytes the document was loaded from,
    // unchanged, then only the objects changed since. Far cheaper than a full save of a long
    // document, so an undo state or a recovery checkpoint costs what the change costs, not what the
    // document does. Whether such bytes read as the document does is the caller's to find out.
    static Shared appending(pdfium::FPDF_DOCUMENT document, const DocumentBytes& loadedFrom);
    static Shared empty();
    // A copy of `bytes`, read-only, in a private anonymous mapping. Fails with `internal`.
    static Shared copied(std::string_view bytes);

    // What the bytes are made of, as far as appending to them goes.
    struct Layers {
        // Revisions appended after the first: each incremental save ends the file once more.
        int appended = 0;
        // The length of what was written or read whole, the part every appended revision builds on.
        int64_t baseLength = 0;
        // No object is of a generation other than 0. PDFium writes every object it appends with
        // generation 0, and its reader then keeps the older object of a higher generation, so an
        // edit appended to such a file is not what a fresh open reads.
        bool onlyGenerationZero = true;
        // Every stream is followed by an end PDFium looks for ("endstream" or "endobj" standing
        // alone). Where one is not, as when a wrong /Length leaves a stream open, PDFium reads that
        // stream up to the next such word, which an append would be the first to write: the page
        // would then read other text than the document does.
        bool everyStreamEnds = true;
    };
    // Found by reading the bytes once, at the first call; for appended bytes, known from the bytes
    // below and a reading of the appended part alone. Thread-safe.
    const Layers& layers() const;
    // Where the last cross-reference table of the form PDFium writes may start in the bytes
    // (SavedTrailer::lastTableStart), or npos: a save appended to them searches only past it. Found
    // by reading the bytes once, at the first call. Thread-safe.
    std::size_t lastTable() const;

    // An unlinked temporary file the bytes are mapped from, open for as long as any bytes map it.
    class HeldFile;
    // A run of the bytes, a whole number of pages from `start` except the last, mapped from `file`.
    struct Piece {
        std::shared_ptr<const HeldFile> file;
        int64_t start = 0;
        int64_t length = 0;
    };

    DocumentBytes(const uint8_t* pointer, int64_t count, int64_t mappedLength)
        : pointer_(pointer), count_(count), mappedLength_(mappedLength) {}
    DocumentBytes(const uint8_t* pointer, int64_t count, int64_t mappedLength, std::vector<Piece> pieces)
        : pointer_(pointer), count_(count), mappedLength_(mappedLength), pieces_(std::move(pieces)) {}
    ~DocumentBytes();
    DocumentBytes(const DocumentBytes&) = delete;
    DocumentBytes& operator=(const DocumentBytes&) = delete;

    // Whether the first `length` bytes of both are the same, as memcmp would answer; pages both map
    // from the same file are known to be and are not read.
    bool startsLike(const DocumentBytes& other, int64_t length) const;

    // Lets the pages this process mapped in from the bytes' file go: they stay in the system's file
    // cache, and a later read maps them in again, at the cost of a minor fault a page. A page turn of a
    // scanned document reads megabytes of image that would otherwise stay counted to the worker for as
    // long as the document is open. Bytes in anonymous memory have no other copy and stay as they are.
    void releaseResident() const noexcept;

    const uint8_t* pointer() const { return pointer_; }
    int64_t count() const { return count_; }
    int64_t mappedLength() const { return mappedLength_; }
    std::span<const uint8_t> data() const { return {pointer_, static_cast<size_t>(count_)}; }

private:
    static Shared sharedCopy(int source, size_t size);
    // With `below`, the bytes of an append share the pages of `below` they start with rather than
    // holding a copy: an undo state of a long document costs the pages its change wrote.
    static std::shared_ptr<DocumentBytes> saved(pdfium::FPDF_DOCUMENT document, pdfium::SaveKind kind,
                                                const DocumentBytes* below = nullptr);

    const uint8_t* pointer_;
    int64_t count_;
    int64_t mappedLength_;
    // Empty for bytes in anonymous memory, which nothing can share.
    std::vector<Piece> pieces_;
    mutable std::once_flag layersFound_;
    mutable Layers layers_;
    mutable std::once_flag lastTableFound_;
    mutable std::size_t lastTable_ = std::string::npos;
};

}  // namespace kivo
