#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>

#include "pdfium/fpdf.hpp"

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
    static Shared writing(pdfium::FPDF_DOCUMENT document) { return saved(document, false); }
    // The same as an incremental save: the bytes the document was loaded from, unchanged, then
    // only the objects changed since. Far cheaper than a full save of a long document, so an undo
    // state or a recovery checkpoint costs what the change costs, not what the document does.
    static Shared appending(pdfium::FPDF_DOCUMENT document) { return saved(document, true); }
    static Shared empty();
    // A copy of `bytes`, read-only, in a private anonymous mapping. Fails with `internal`.
    static Shared copied(std::string_view bytes);

    DocumentBytes(const uint8_t* pointer, int64_t count, int64_t mappedLength)
        : pointer_(pointer), count_(count), mappedLength_(mappedLength) {}
    ~DocumentBytes();
    DocumentBytes(const DocumentBytes&) = delete;
    DocumentBytes& operator=(const DocumentBytes&) = delete;

    const uint8_t* pointer() const { return pointer_; }
    int64_t count() const { return count_; }
    int64_t mappedLength() const { return mappedLength_; }
    std::span<const uint8_t> data() const { return {pointer_, static_cast<size_t>(count_)}; }

private:
    static Shared saved(pdfium::FPDF_DOCUMENT document, bool appended);

    const uint8_t* pointer_;
    int64_t count_;
    int64_t mappedLength_;
};

}  // namespace kivo
