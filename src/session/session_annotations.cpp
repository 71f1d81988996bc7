#include <algorithm>
#include <unicode/unistr.h>

#include "core/text.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"

namespace kivo {

using namespace pdfium;

using namespace session_detail;

namespace {

// The corners in the order (left, top), (right, top), (left, bottom), (right, bottom).
FS_QUADPOINTSF quadOf(const PDFRect& rect) {
    const FS_RECTF r = toPdfium(rect);
    return FS_QUADPOINTSF{r.left, r.top, r.right, r.top, r.left, r.bottom, r.right, r.bottom};
}

std::string lowercased(const std::string& text) {
    std::string out;
    icu::UnicodeString::fromUTF8(text).toLower().toUTF8String(out);
    return out;
}

}  // namespace

void Session::addHighlight(std::string_view pageId, const PDFRect& rect, std::string_view contents) {
    census_.forgetAddedTo(pageId);
    OpenPage page = loadPage(pageId);
    ScopedAnnotation annotation(FPDFPage_CreateAnnot(page.get(), FPDF_ANNOT_HIGHLIGHT));
    if (!annotation) {
        throw EngineFailure(FailureCode::unsupported,
                            "Highlight annotations are not available on this page.");
    }
    FPDFAnnot_SetRect(annotation.get(), toPdfium(rect));
    FPDFAnnot_SetColor(annotation.get(), FPDFANNOT_COLORTYPE_Color, 255, 214, 0, 140);
    FPDFAnnot_AppendAttachmentPoints(annotation.get(), quadOf(rect));
    FPDFAnnot_SetFlags(annotation.get(), FPDF_ANNOT_FLAG_PRINT);
    FPDFAnnot_SetStringValue(annotation.get(), "Contents", session_detail::toUtf16(contents));
    writeIdentity(annotation.get(), "highlight");
    recount(page, pageId);
}

void Session::addNote(std::string_view pageId, const PDFRect& rect, std::string_view contents) {
    census_.forgetAddedTo(pageId);
    OpenPage page = loadPage(pageId);
    ScopedAnnotation annotation(FPDFPage_CreateAnnot(page.get(), FPDF_ANNOT_TEXT));
    if (!annotation) throw EngineFailure(FailureCode::unsupported, "Notes are not available on this page.");
    FPDFAnnot_SetRect(annotation.get(), toPdfium(rect));
    FPDFAnnot_SetFlags(annotation.get(), FPDF_ANNOT_FLAG_PRINT);
    setAnnotString(annotation.get(), "Contents", contents);
    writeIdentity(annotation.get(), "note");
    // No recount here: loading the page again draws the note's icon and sets its rectangle to the
    // icon's, and the census reports the rectangle as a fresh loading finds it.
}

void Session::addInk(std::string_view pageId, const std::vector<PDFPoint>& points,
                     std::string_view contents) {
    if (points.size() < 2)
        throw EngineFailure(FailureCode::invalidArgument, "Ink requires at least two points.");
    census_.forgetAddedTo(pageId);
    OpenPage page = loadPage(pageId);
    ScopedAnnotation annotation(FPDFPage_CreateAnnot(page.get(), FPDF_ANNOT_INK));
    if (!annotation)
        throw EngineFailure(FailureCode::unsupported, "Ink annotations are not available on this page.");
    const auto [minX, maxX] = std::minmax_element(
        points.begin(), points.end(), [](const PDFPoint& a, const PDFPoint& b) { return a.x < b.x; });
    const auto [minY, maxY] = std::minmax_element(
        points.begin(), points.end(), [](const PDFPoint& a, const PDFPoint& b) { return a.y < b.y; });
    FPDFAnnot_SetRect(annotation.get(),
                      toPdfium(PDFRect{minX->x - 2, minY->y - 2, maxX->x + 2, maxY->y + 2}));
    std::vector<FS_POINTF> stroke;
    stroke.reserve(points.size());
    for (const PDFPoint& p : points)
        stroke.push_back(FS_POINTF{static_cast<float>(p.x), static_cast<float>(p.y)});
    if (FPDFAnnot_AddInkStroke(annotation.get(), stroke) < 0) {
        throw EngineFailure(FailureCode::unsupported, "Could not store the ink stroke.");
    }
    FPDFAnnot_SetColor(annotation.get(), FPDFANNOT_COLORTYPE_Color, 20, 20, 20, 255);
    FPDFAnnot_SetFlags(annotation.get(), FPDF_ANNOT_FLAG_PRINT);
    setAnnotString(annotation.get(), "Contents", contents);
    writeIdentity(annotation.get(), "ink");
    // No recount here: loading the page again gives the stroke an appearance and widens its
    // rectangle by the border, and the census reports the rectangle as a fresh loading finds it.
}

std::string Session::updateAnnotation(std::string_view id, const std::optional<PDFRect>& rect,
                                      const std::optional<std::string>& contents) {
    FoundAnnotation found = findAnnotation(*this, id);
    census_.forget({found.pageId()});
    const FPDF_ANNOTATION annotation = found.annotation();
    if (rect) {
        FPDFAnnot_SetRect(annotation, toPdfium(*rect));
        if (FPDFAnnot_GetSubtype(annotation) == FPDF_ANNOT_HIGHLIGHT) {
            // PDFium cannot delete quadrilaterals, so every one it has becomes the new one: the
            // highlight then covers exactly the new rectangle.
            const FS_QUADPOINTSF quad = quadOf(*rect);
            const size_t quads = FPDFAnnot_CountAttachmentPoints(annotation);
            if (quads == 0) FPDFAnnot_AppendAttachmentPoints(annotation, quad);
            for (size_t q = 0; q < quads; ++q) FPDFAnnot_SetAttachmentPoints(annotation, q, quad);
        }
    }
    if (contents) setAnnotString(annotation, "Contents", *contents);
    return found.pageId();
}

std::string Session::removeAnnotation(std::string_view id) {
    FoundAnnotation found = findAnnotation(*this, id);
    census_.forget({found.pageId()});
    found.closeAnnotation();
    if (!FPDFPage_RemoveAnnot(found.page(), found.index())) {
        throw EngineFailure(FailureCode::unsupported, "Could not remove that annotation.");
    }
    return found.pageId();
}

namespace session_detail {

LoadedReads::LoadedReads()
    : memoryAtStart_(pdfium::module::memorySize()), startedAt_(monotonicNanoseconds()) {}

void LoadedReads::beforeLoading() const {
    const std::uint64_t memory = pdfium::module::memorySize();
    std::string what;
    if (memory > memoryAtStart_ && memory - memoryAtStart_ > growthLimit) {
        what = "took more than " + groupedDigits(static_cast<std::int64_t>(growthLimit >> 20)) +
               " MB of the PDF engine's memory";
    } else if (monotonicNanoseconds() - startedAt_ > timeLimitNanoseconds) {
        what = "took longer than " +
               groupedDigits(static_cast<std::int64_t>(timeLimitNanoseconds / 1'000'000'000)) + " seconds";
    } else {
        return;
    }
    throw EngineFailure(
        FailureCode::resourceLimit,
        "Reading this document's annotations " + what +
            ", more than Kivo PDF lets one command take while every other document waits, so the "
            "command stopped. Nothing changed.");
}

std::string readStringKey(FPDF_ANNOTATION annotation, std::string_view key) {
    return readWide(
        [&](std::span<uint16_t> buffer) { return FPDFAnnot_GetStringValue(annotation, key, buffer); });
}

void setAnnotString(FPDF_ANNOTATION annotation, std::string_view key, std::string_view value) {
    if (!FPDFAnnot_SetStringValue(annotation, key, toUtf16(value))) {
        throw EngineFailure(FailureCode::formFailed, "Could not write " + std::string(key) + " on field.");
    }
}

FoundAnnotation findAnnotation(const Session& session, std::string_view id) {
    for (const PageInfo& info : session.pages()) {
        OpenPage page = session.loadPage(info.id);
        const int count = FPDFPage_GetAnnotCount(page.get());
        for (int j = 0; j < count; ++j) {
            ScopedAnnotation annotation(FPDFPage_GetAnnot(page.get(), j));
            if (!annotation) continue;
            if (readStringKey(annotation.get(), "NM") == id || info.id + "#" + std::to_string(j) == id) {
                return FoundAnnotation(std::move(page), std::move(annotation), info.id, j);
            }
        }
    }
    throw EngineFailure(FailureCode::notFound, "No annotation matches that id.");
}

std::string subtypeName(std::int32_t subtype) {
    switch (subtype) {
        case 1: return "Text";
        case 2: return "Link";
        case 3: return "FreeText";
        case 4: return "Line";
        case 5: return "Square";
        case 6: return "Circle";
        case 7: return "Polygon";
        case 8: return "PolyLine";
        case 9: return "Highlight";
        case 10: return "Underline";
        case 11: return "Squiggly";
        case 12: return "StrikeOut";
        case 13: return "Stamp";
        case 14: return "Caret";
        case 15: return "Ink";
        case 16: return "Popup";
        case 17: return "FileAttachment";
        case 20: return "Widget";
        case 21: return "Screen";
        case 24: return "Watermark";
        case 28: return "Redact";
        default: return "Other";
    }
}

std::string annotationKind(FPDF_ANNOTATION annotation, std::int32_t subtype) {
    switch (subtype) {
        case FPDF_ANNOT_TEXT: return "note";
        case FPDF_ANNOT_FREETEXT: return "text";
        case FPDF_ANNOT_HIGHLIGHT: return "highlight";
        case FPDF_ANNOT_INK: return "ink";
        case FPDF_ANNOT_STAMP: {
            // "signature" and "image" are subjects too: any non-empty subject names the kind.
            const std::string subject = lowercased(readStringKey(annotation, "Subj"));
            return subject.empty() ? "image" : subject;
        }
        default: return "other";
    }
}

}  // namespace session_detail
}  // namespace kivo
