#include <cmath>

#include "core/text.hpp"
#include "session/image_pixels.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "pdfium/support.hpp"

namespace kivo {

using namespace pdfium;

using session_detail::setAnnotString;
using session_detail::toPdfium;
using session_detail::writeIdentity;

namespace {

// The whole points of a font size, toward zero. A size that is not finite, or whose whole part
// is outside 64 bits, has no text form a reader could use.
std::int64_t wholeFontSize(double size) {
    const double whole = std::trunc(size);
    // -2^63 is representable exactly; 2^63 is the first value past the top.
    if (!std::isfinite(whole) || whole < -9223372036854775808.0 || whole >= 9223372036854775808.0) {
        throw EngineFailure(FailureCode::invalidArgument, "The font size must be a finite number of points.");
    }
    return static_cast<std::int64_t>(whole);
}

}  // namespace

void Session::addTextBox(std::string_view pageId, const PDFRect& rect, std::string_view contents,
                         double fontSize) {
    if (contents.empty()) throw EngineFailure(FailureCode::invalidArgument, "Text content is required.");
    census_.forgetAddedTo(pageId);
    const std::int64_t size = wholeFontSize(fontSize);

    OpenPage page = loadPage(pageId);
    ScopedAnnotation annotation(FPDFPage_CreateAnnot(page.get(), FPDF_ANNOT_FREETEXT));
    if (!annotation)
        throw EngineFailure(FailureCode::unsupported, "Text boxes are not available on this page.");
    FPDFAnnot_SetRect(annotation.get(), toPdfium(rect));
    FPDFAnnot_SetFlags(annotation.get(), FPDF_ANNOT_FLAG_PRINT);
    setAnnotString(annotation.get(), "Contents", contents);
    // The font colour of 20, 20, 20 is written into "DA" as PDFium's font-colour call writes it (which
    // refuses a size below 1): that call would also give a document without a form an AcroForm with no Fields
    // array, which other readers report as broken.
    const std::string font = "/Helv " + std::to_string(size) + " Tf";
    setAnnotString(annotation.get(), "DA",
                   size >= 1 ? ".078431375 .078431375 .078431375 rg " + font : font + " 0 g");
    writeIdentity(annotation.get(), "text");
    // Without a normal appearance PDFium draws the box from "DA" and "Contents".
    FPDFAnnot_SetAP(annotation.get(), FPDF_ANNOT_APPEARANCEMODE_NORMAL, nullptr);
    recount(page, pageId);
}

void Session::addStamp(std::string_view pageId, const PDFRect& rect, const std::filesystem::path& image,
                       std::string_view subject, std::string_view contents) {
    if (!document_) throw session_detail::documentClosed();
    const ImagePixels pixels = ImagePixels::bgra(image);
    census_.forgetAddedTo(pageId);

    OpenPage page = loadPage(pageId);
    ScopedAnnotation annotation(FPDFPage_CreateAnnot(page.get(), FPDF_ANNOT_STAMP));
    if (!annotation) throw EngineFailure(FailureCode::unsupported, "Stamps are not available on this page.");
    FPDFAnnot_SetRect(annotation.get(), toPdfium(rect));

    ScopedPageObject picture(FPDFPageObj_NewImageObj(document_.get()));
    if (!picture) throw EngineFailure(FailureCode::unsupported, "Could not create an image object.");
    if (!setImageBGRA(picture.get(), pixels.bytes.data(), pixels.width, pixels.height, pixels.stride)) {
        throw EngineFailure(FailureCode::unsupported, "Could not embed the image.");
    }
    // The image's unit square is stretched over the rectangle; the aspect ratio is the caller's.
    FS_MATRIX matrix;
    matrix.a = static_cast<float>(rect.right - rect.left);
    matrix.b = 0;
    matrix.c = 0;
    matrix.d = static_cast<float>(rect.top - rect.bottom);
    matrix.e = static_cast<float>(rect.left);
    matrix.f = static_cast<float>(rect.bottom);
    FPDFPageObj_SetMatrix(picture.get(), matrix);
    if (!FPDFAnnot_AppendObject(annotation.get(), picture.get())) {
        throw EngineFailure(FailureCode::unsupported, "Could not attach the image to the page.");
    }
    picture.release();  // the annotation owns it now

    FPDFAnnot_SetFlags(annotation.get(), FPDF_ANNOT_FLAG_PRINT);
    setAnnotString(annotation.get(), "Contents", contents);
    writeIdentity(annotation.get(), subject);
    recount(page, pageId);
}

}  // namespace kivo
