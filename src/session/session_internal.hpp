#pragma once

// Helpers shared by the session's source files; not part of its interface.

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/document_records.hpp"
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

inline pdfium::FS_RECTF toPdfium(const PDFRect& rect) {
    return pdfium::FS_RECTF{static_cast<float>(rect.left), static_cast<float>(rect.top), static_cast<float>(rect.right),
                            static_cast<float>(rect.bottom)};
}

// A figure PDFium read from the file, as an answer can carry it: a file may declare sizes beyond
// what a float holds, which JSON cannot write, so those count as 0.
inline double finiteOrZero(double value) { return std::isfinite(value) ? value : 0.0; }

inline PDFRect fromPdfium(const pdfium::FS_RECTF& rect) {
    return PDFRect{finiteOrZero(rect.left), finiteOrZero(rect.bottom), finiteOrZero(rect.right),
                   finiteOrZero(rect.top)};
}

// Gives a new annotation a fresh id and its subject. A refused write here leaves a usable
// annotation, so neither is checked.
void writeIdentity(pdfium::FPDF_ANNOTATION annotation, std::string_view subject);

// Calls `visit(page, annotation, pageId, index)` for every annotation of every page in order,
// reporting `phase` page by page. Handles are never kept from one page to the next; a visitor
// failure closes the annotation and the page on its way out.
template <class Visit>
void forEachAnnotationOn(const Session& session, const std::string& pageId, Visit&& visit) {
    OpenPage page = session.loadPage(pageId);
    // PDFium answers a negative count only for a page it cannot read: no annotations.
    const int count = pdfium::FPDFPage_GetAnnotCount(page.get());
    for (int j = 0; j < count; ++j) {
        pdfium::ScopedAnnotation annotation(pdfium::FPDFPage_GetAnnot(page.get(), j));
        if (annotation) visit(page, annotation.get(), pageId, j);
    }
}

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
