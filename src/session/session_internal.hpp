#pragma once

// What the session's source files share, not part of its interface: string and rectangle
// conversions, the walks over annotations and widgets, and the readers of annotations (a form's
// fields are read in document_form.cpp). Each reader answers "" or nothing for what PDFium cannot
// read; only setAnnotString and findAnnotation fail, as they say.

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/document_records.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"
#include "session/wide_string.hpp"
#include "pdfium/fpdf.hpp"

namespace kivo::session_detail {

// UTF-8 as UTF-16 for PDFium, each ill-formed sequence replaced by U+FFFD.
std::u16string toUtf16(std::string_view utf8);

// A PDFium string read with the two-call convention and decoded.
template <class Get>
std::string readWide(Get&& get) {
    const std::vector<uint16_t> units = pdfium::readUnits(std::forward<Get>(get));
    return WideString::decode(units);
}

EngineFailure documentClosed();

// PDFium's last load error on `bytes` as the failure the user sees.
EngineFailure loadFailure(std::span<const uint8_t> bytes);

inline pdfium::FS_RECTF toPdfium(const PDFRect& rect) {
    return pdfium::FS_RECTF{static_cast<float>(rect.left), static_cast<float>(rect.top),
                            static_cast<float>(rect.right), static_cast<float>(rect.bottom)};
}

// A figure PDFium read from the file, as an answer can carry it: a file may declare sizes beyond
// what a float holds, which JSON cannot write, so those count as 0.
inline double finiteOrZero(double value) { return std::isfinite(value) ? value : 0.0; }

inline PDFRect fromPdfium(const pdfium::FS_RECTF& rect) {
    return PDFRect{finiteOrZero(rect.left), finiteOrZero(rect.bottom), finiteOrZero(rect.right),
                   finiteOrZero(rect.top)};
}

// The page's crop box as PDFium shows it (within the media box), for PageInfo::box: absent where it is
// the page's default box, so the answers for ordinary pages stay exactly as they were.
inline std::optional<PDFRect> shownBox(const PageInfo& info, const PDFRect& box) {
    if (box == info.defaultBox()) return std::nullopt;
    return box;
}

// The crop box of the page at `index` from the page tree, without parsing the page's content; when the
// tree's boxes do not give the page's measured size, the loaded page's own box.
PDFRect cropBoxAt(pdfium::FPDF_DOCUMENT document, int index, const PageInfo& measured);

// Gives a new annotation a fresh id and its subject. A refused write here leaves a usable
// annotation, so neither is checked.
void writeIdentity(pdfium::FPDF_ANNOTATION annotation, std::string_view subject);

// ---- Annotations (session_annotations.cpp)

// An annotation dictionary's string entry, "" when absent.
std::string readStringKey(pdfium::FPDF_ANNOTATION annotation, std::string_view key);
// Fails with `formFailed` when PDFium refuses the entry.
void setAnnotString(pdfium::FPDF_ANNOTATION annotation, std::string_view key, std::string_view value);
// The census's name of a PDFium subtype ("Highlight", "Widget", ...), "Other" for the rest.
std::string subtypeName(std::int32_t subtype);
// What the editor calls an annotation of that subtype: "note", "text", "highlight", "ink", a
// stamp's subject in lower case ("image" without one), else "other".
std::string annotationKind(pdfium::FPDF_ANNOTATION annotation, std::int32_t subtype);

// An annotation found by id, open together with its page. Closing it (on every exit, by the
// destructor) closes the annotation and then the page.
class FoundAnnotation {
public:
    FoundAnnotation(OpenPage page, pdfium::ScopedAnnotation annotation, std::string pageId, int index)
        : page_(std::move(page)),
          annotation_(std::move(annotation)),
          pageId_(std::move(pageId)),
          index_(index) {}
    FoundAnnotation(FoundAnnotation&&) noexcept = default;
    FoundAnnotation& operator=(FoundAnnotation&&) = delete;
    ~FoundAnnotation() { close(); }

    pdfium::FPDF_ANNOTATION annotation() const { return annotation_.get(); }
    pdfium::FPDF_PAGE page() const { return page_.get(); }
    const std::string& pageId() const { return pageId_; }
    int index() const { return index_; }

    // Closes the annotation and leaves its page open, to remove the annotation from it.
    void closeAnnotation() noexcept { annotation_.reset(); }
    void close() noexcept {
        annotation_.reset();
        page_.close();
    }

private:
    OpenPage page_;
    pdfium::ScopedAnnotation annotation_;
    std::string pageId_;
    int index_ = 0;
};

// By its "NM" or by page id + "#" + index; the first match in page order. Fails with
// `notFound`, and as Session::loadPage does.
FoundAnnotation findAnnotation(const Session& session, std::string_view id);

// ---- Text (session_text.cpp)

// One PDFium character code as UTF-16: a pair above the BMP, U+FFFD above U+10FFFF.
std::u16string utf16Units(std::uint32_t code);

// ---- Walks over annotations

// Calls `visit(page, annotation, pageId, index)` for every annotation of one page, open already
// or loaded for the call.
template <class Visit>
void forEachAnnotationOn(OpenPage& page, const std::string& pageId, Visit&& visit) {
    // PDFium answers a negative count only for a page it cannot read: no annotations.
    const int count = pdfium::FPDFPage_GetAnnotCount(page.get());
    for (int j = 0; j < count; ++j) {
        pdfium::ScopedAnnotation annotation(pdfium::FPDFPage_GetAnnot(page.get(), j));
        if (annotation) visit(page, annotation.get(), pageId, j);
    }
}

// The most annotations the pages of one document may list in all, as the census lists them (a
// list that pages share, once for each page). Each costs module memory when read from its list and
// more when read from a loaded page, so a document past this is refused rather than read.
inline constexpr std::int64_t listedAnnotationLimit = 50'000;

// What one census or one script check may cost in loading pages to read their annotations. Loading
// a page builds all its annotations, and for those without an appearance PDFium writes one into the
// document: 25 pages sharing a list of 2,000 such annotations took 30 s and 600 MB of module memory,
// and a few more opens exhausted it, while 20,000 links load in a blink. So a walk is bounded by the
// module memory it adds and the time it takes, not by a count.
class LoadedReads {
public:
    static constexpr std::uint64_t growthLimit = std::uint64_t{128} << 20;
    static constexpr std::uint64_t timeLimitNanoseconds = 5'000'000'000;
    LoadedReads();
    // Before loading a page to read its annotations. Fails with `resourceLimit` once the walk has
    // added more than the limit to the module's memory or taken longer than its time.
    void beforeLoading() const;

private:
    std::uint64_t memoryAtStart_;
    std::uint64_t startedAt_;
};

// Calls `visit(annotation, index)` for every annotation of the page at `pageIndex`, read from the
// page's annotation list without loading the page: parsing each page's content made reading the
// annotations of a long document take seconds. Only for reading the annotations' own entries, and
// only while `readable(annotation)` says the list gives what the loaded page would: answers false
// at the first annotation for which it does not, or when the engine may hold no more annotations
// read this way (PdfiumRuntime::takeListReads), so that the caller reads the page loaded instead.
template <class Readable, class Visit>
bool forEachAnnotationUnparsed(pdfium::FPDF_DOCUMENT document, int pageIndex, Readable&& readable,
                               Visit&& visit) {
    const int count = pdfium::EPDFPage_GetAnnotCountRaw(document, pageIndex);
    if (count > 0 && !PdfiumRuntime::takeListReads(count)) return false;
    for (int j = 0; j < count; ++j) {
        pdfium::ScopedAnnotation annotation(pdfium::EPDFPage_GetAnnotRaw(document, pageIndex, j));
        if (!annotation) continue;
        if (!readable(annotation.get())) return false;
        visit(annotation.get(), j);
    }
    return true;
}

template <class Visit>
void forEachAnnotationOn(const Session& session, const std::string& pageId, Visit&& visit) {
    OpenPage page = session.loadPage(pageId);
    forEachAnnotationOn(page, pageId, std::forward<Visit>(visit));
}

// Calls `visit(page, annotation, pageId, index)` for every annotation of every page in order,
// reporting `phase` page by page. Handles are never kept from one page to the next; a visitor
// failure closes the annotation and the page on its way out.
template <class Visit>
void forEachAnnotation(const Session& session, CommandPhase phase, Visit&& visit) {
    const std::vector<PageInfo>& pages = session.pages();
    const auto total = static_cast<std::int64_t>(pages.size());
    for (std::int64_t i = 0; i < total; ++i) {
        RunningCommand::step(phase, i, total);
        // A copy: the visitor may change the session.
        const std::string pageId = pages[static_cast<std::size_t>(i)].id;
        forEachAnnotationOn(session, pageId, visit);
    }
}

// forEachAnnotation, for the form widgets only.
template <class Visit>
void forEachWidget(const Session& session, CommandPhase phase, Visit&& visit) {
    forEachAnnotation(
        session, phase,
        [&visit](OpenPage& page, pdfium::FPDF_ANNOTATION annotation, const std::string& pageId, int index) {
            if (pdfium::FPDFAnnot_GetSubtype(annotation) != pdfium::FPDF_ANNOT_WIDGET) return;
            visit(page, annotation, pageId, index);
        });
}

}  // namespace kivo::session_detail
