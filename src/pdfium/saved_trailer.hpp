#pragma once

// The trailer of a document PDFium writes whole. PDFium takes its /Size from the objects the document was
// loaded with, even when the highest object it writes is lower: a cross-reference stream it drops, or an edit
// rolled back, leaves numbers behind. Readers then warn about a file that came in clean (qpdf --check:
// "reported number of objects is not one plus the highest object number"), so the trailer is mended as it is
// written.
//
// PDFium also fills a trailer entry the file's latest revision left out from an older revision: a file whose
// last update removed its /Info got the old metadata back with every save. A document loaded from such a file
// is noted, and the /Info of every trailer written for it is taken out again.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "pdfium/handles.hpp"

namespace kivo::pdfium::SavedTrailer {

// What to mend: /Size only in a document written whole, whose last table lists every object.
struct Mending {
    bool size = true;
    bool dropInfo = false;
};

// `tail` from the "xref" keyword of the last cross-reference table to the end of the file: the same bytes
// with the trailer's /Size lowered to one more than the highest object number the table lists, and without
// its /Info, as `mending` asks. Unchanged when /Size is not larger, or when the table or the trailer is not
// in the form PDFium writes.
std::string mended(std::string_view tail, Mending mending = {});

// Whether the trailer of the file's latest revision (the one its last startxref points at, a table's
// trailer or a cross-reference stream's dictionary) names no /Info. False when it cannot be found.
bool latestTrailerLeavesOutInfo(std::span<const uint8_t> bytes);

// Documents whose written trailers lose their /Info: noted when loaded, forgotten when closed.
void noteLeftOutInfo(FPDF_DOCUMENT document, bool leftOut);
bool leavesOutInfo(FPDF_DOCUMENT document);

// Where the last cross-reference table that `bytes` may start, or npos.
std::size_t lastTableStart(std::string_view bytes) noexcept;

}  // namespace kivo::pdfium::SavedTrailer
