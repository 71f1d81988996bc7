#pragma once

// What the session suites share: PDFium started and its lock held for each test, sessions
// opened from hand-made PDFs, and a few PDFs with annotations and form fields.

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "session/document_bytes.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "session/session_warnings.hpp"
#include "failures.hpp"
#include "test_pdfs.hpp"

namespace kivo::testing {

// The parts of a session its own tests look at and the command engine never calls.
class SessionProbe {
public:
    static void bind(Session& session, DocumentBytes::Shared bytes,
                     const std::optional<std::string>& password, std::optional<std::vector<PageInfo>> pages,
                     bool measured) {
        session.bind(std::move(bytes), password, std::move(pages), measured);
    }
    static PageCensusCache::Census census(Session& session) { return session.documentCensus(); }
    // One page's census as the census reads it, and as the page loaded into the form environment gives it.
    static PageCensusCache::PageCensus pageCensus(Session& session, const std::string& pageId) {
        session_detail::LoadedReads loaded;
        return session.readPageCensus(pageId, loaded);
    }
    static PageCensusCache::PageCensus loadedPageCensus(Session& session, const std::string& pageId) {
        OpenPage page = session.loadPage(pageId);
        return session.readPageCensus(page, pageId);
    }
    static Session::DocumentContent readContent(Session& session) {
        return session.readContent(session.revision());
    }
    static void clearFormFields(Session& session, const std::vector<std::string>& pageIds) {
        session.clearFormFields(pageIds);
    }
    static void save(const Session& session, const std::filesystem::path& to) { session.save(to); }

    static const std::vector<std::string>& warnings(const Session& session) { return session.warnings_; }
    static const std::string& formType(const Session& session) { return session.form_.typeName(); }
    static const UndoHistory& history(const Session& session) { return session.history_; }
    static const SourceStamp& stamp(const Session& session) { return session.stamp_; }
    static const DocumentBytes::Shared& loadedBytes(const Session& session) { return session.loadedBytes_; }
    // How many pages were read from the document text is read from, while one is open.
    static int pagesReadAside(const Session& session) {
        return session.readingDocument_ ? session.readingPages_ : 0;
    }
    static pdfium::FPDF_FORMHANDLE formHandle(const Session& session) { return session.form_.handle(); }
    static pdfium::FPDF_DOCUMENT document(const Session& session) { return session.document_.get(); }
    // The password the session's bytes open with, as PDFium is handed it; null when none.
    static const std::string* secret(const Session& session) { return session.secretFor(std::nullopt); }
    static const KeptPageText& keptText(const Session& session) { return session.keptText_; }
    // From now on the session keeps at most `bytes` of its pages' text; with 0 it searches every page as
    // it did before any text was kept.
    static void keepTextUpTo(Session& session, std::size_t bytes) { session.keptText_ = KeptPageText(bytes); }
    // Puts `bytes` in place of the document's bytes as it stands.
    static void replaceBacking(Session& session, DocumentBytes::Shared bytes) {
        session.backingBytes_ = std::move(bytes);
    }
    // Puts `bytes` in place of the state the next undo (`back`) or redo opens.
    static void replaceNext(Session& session, bool back, DocumentBytes::Shared bytes) {
        (back ? session.history_.undo_ : session.history_.redo_).back().bytes = std::move(bytes);
    }
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        PdfiumRuntime::addUser();
        lock_ = std::unique_lock(PdfiumRuntime::lock());
    }
    void TearDown() override {
        lock_.unlock();
        PdfiumRuntime::removeUser();
    }

    // Writes the PDF to a file in the test's folder and opens it from there.
    std::unique_ptr<Session> open(const std::string& pdf,
                                  const std::optional<std::string>& password = std::nullopt,
                                  const std::string& name = "doc.pdf") {
        const std::filesystem::path path = dir_.path() / name;
        writeFile(path, pdf);
        return openFile(path, password);
    }
    static std::unique_ptr<Session> openFile(const std::filesystem::path& path,
                                             const std::optional<std::string>& password = std::nullopt) {
        return Session::loadFile(path, password);
    }
    // Opens a sample document, or answers null when the sample folder is absent.
    static std::unique_ptr<Session> openSample(const std::string& name,
                                               const std::optional<std::string>& password = std::nullopt) {
        const std::filesystem::path path = corpus(name);
        if (path.empty()) return nullptr;
        return openFile(path, password);
    }

    TempDir dir_;

private:
    std::unique_lock<std::mutex> lock_;
};

// A decoded PNG as RGBA rows; width 0 when the file is not a readable PNG.
struct DecodedPng {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba;
    const std::uint8_t* pixel(std::uint32_t x, std::uint32_t y) const { return &rgba[(y * width + x) * 4]; }
};

inline DecodedPng decodePng(const std::filesystem::path& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    DecodedPng out;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return out;
    out.width = image.width;
    out.height = image.height;
    out.rgba = std::move(pixels);
    return out;
}

// Adds an information dictionary (the last object) to a PDF made by assemblePdf.
inline std::string withInfo(std::vector<std::string> objects, const std::string& info) {
    objects.push_back(info);
    std::string pdf = assemblePdf(objects);
    const std::string root = "/Root 1 0 R";
    pdf.replace(pdf.find(root), root.size(), root + " /Info " + std::to_string(objects.size()) + " 0 R");
    return pdf;
}

// Page 1 (612 x 792) carries, by index: 0 a highlight without "NM", 1 its popup, 2 a highlight
// named "H-1", 3 a note, 4 a stamp with subject "Signature", 5 a stamp with subject "Logo",
// 6 a stamp without subject, 7 a link. Page 2 has none. The information dictionary has an
// empty title and the author "Ada".
inline std::string makeAnnotatedPdf() {
    const std::string quad = "/QuadPoints [100 700 200 700 100 680 200 680]";
    return withInfo(
        {
            "<< /Type /Catalog /Pages 2 0 R >>",
            "<< /Type /Pages /Kids [4 0 R 5 0 R] /Count 2 >>",
            "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [6 0 R 7 0 R 8 0 R 9 0 R 10 0 R 11 "
            "0 R "
            "12 0 R 13 0 R] >>",
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>",
            "<< /Type /Annot /Subtype /Highlight /Rect [100 680 200 700] " + quad +
                " /C [1 1 0] /Contents (first) /Popup 7 0 R >>",
            "<< /Type /Annot /Subtype /Popup /Rect [300 600 400 700] /Parent 6 0 R >>",
            "<< /Type /Annot /Subtype /Highlight /Rect [100 600 200 620] /QuadPoints [100 620 200 620 100 "
            "600 200 "
            "600] /C [1 1 0] /NM (H-1) /Contents (named) >>",
            "<< /Type /Annot /Subtype /Text /Rect [50 50 70 70] /Contents (a note) >>",
            "<< /Type /Annot /Subtype /Stamp /Rect [300 300 350 350] /Subj (Signature) >>",
            "<< /Type /Annot /Subtype /Stamp /Rect [300 200 350 250] /Subj (Logo) >>",
            "<< /Type /Annot /Subtype /Stamp /Rect [300 100 350 150] >>",
            "<< /Type /Annot /Subtype /Link /Rect [10 10 20 20] >>",
        },
        "<< /Title () /Author (Ada) >>");
}

// One page of form fields: a radio group "choice" of three widgets exporting B, A and C with the
// second one on; a read-only multi-line text field "notes" whose value holds a CR LF pair and a
// lone CR; a widget without a name; a check box "agree" that is off.
inline std::string makeRadioPdf() {
    const auto radio = [](const std::string& state, const std::string& on, int y) {
        return "<< /Type /Annot /Subtype /Widget /Parent 5 0 R /Rect [72 " + std::to_string(y) + " 90 " +
               std::to_string(y + 18) + "] /P 4 0 R /AS /" + state + " /MK << >> /AP << /N << /" + on +
               " 12 0 R /Off 13 0 R >> >> >>";
    };
    const auto appearance = [](const std::string& content) {
        return "<< /Type /XObject /Subtype /Form /BBox [0 0 18 18] /Length " +
               std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream";
    };
    const std::string box = appearance("0 0 0 rg 2 2 14 14 re f");
    const std::string empty = appearance("");
    return assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [5 0 R 9 0 R 10 0 R 11 0 R] /DA (/Helv 12 Tf 0 "
        "g) "
        "/DR << /Font << /Helv 3 0 R >> >> >> >>",
        "<< /Type /Pages /Kids [4 0 R] /Count 1 >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [6 0 R 7 0 R 8 0 R 9 0 R 10 0 R 11 0 "
        "R] >>",
        "<< /FT /Btn /Ff 49152 /T (choice) /V /A /Kids [6 0 R 7 0 R 8 0 R] >>",
        radio("Off", "B", 700),
        radio("A", "A", 670),
        radio("Off", "C", 640),
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (notes) /Ff 4097 /V (line1\\r\\nline2\\rline3) "
        "/Rect [200 600 400 700] /P 4 0 R /DA (/Helv 12 Tf 0 g) >>",
        "<< /Type /Annot /Subtype /Widget /FT /Tx /V (nameless) /Rect [200 500 400 520] /P 4 0 R >>",
        "<< /Type /Annot /Subtype /Widget /FT /Btn /T (agree) /V /Off /AS /Off /Rect [72 500 90 518] /P 4 0 "
        "R "
        "/MK << >> /AP << /N << /Yes 12 0 R /Off 13 0 R >> >> >>",
        box,
        empty,
    });
}

inline std::vector<std::string> pageIds(const Session& session) {
    std::vector<std::string> ids;
    for (const PageInfo& page : session.pages()) ids.push_back(page.id);
    return ids;
}

}  // namespace kivo::testing
