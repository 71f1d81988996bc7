// The engine's warm-up: one pass of PDFium over a page of its own while the worker waits for its
// first document.

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "core/file_creation.hpp"
#include "core/page_tiles.hpp"
#include "core/text.hpp"
#include "engine/document_engine.hpp"
#include "pdfium/fpdf.hpp"
#include "session/document_bytes.hpp"
#include "session/fingerprint.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/png_writer.hpp"
#include "session/session.hpp"

namespace kivo {
namespace {

// A page with what a first page usually has: text in a standard font, stroked and filled paths and a
// link, in a file whose cross-reference table is right, so that no repair path is taken.
std::string warmUpDocument() {
    const std::string content =
        "q 0.8 0.1 0.1 RG 2 w 72 72 m 200 300 400 100 540 700 c S 0.2 0.4 0.8 rg 100 500 200 120 re f Q "
        "BT /F1 24 Tf 72 720 Td (Kivo PDF) Tj ET";
    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 5 0 R >> >> "
        "/Contents 4 0 R /Annots [6 0 R] >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        "<< /Type /Annot /Subtype /Link /Rect [72 700 300 740] /Border [0 0 0] >>",
    };
    std::string pdf = "%PDF-1.7\n";
    std::string table = "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t i = 0; i < objects.size(); ++i) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
        table += entry;
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t tableAt = pdf.size();
    return pdf + table + "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(tableAt) + "\n%%EOF\n";
}

}  // namespace

int DocumentEngine::warmUp() noexcept {
    std::unique_lock lock(PdfiumRuntime::lock(), std::try_to_lock);
    if (!lock.owns_lock()) return 0;
    static const std::string bytes = warmUpDocument();
    int steps = 0;
    // A client's command never waits for more than the step under way.
    const auto next = [&steps] { return PdfiumRuntime::commandWaiting() ? false : (++steps, true); };
    std::string png;
    try {
        if (!next()) return steps;
        // Not mapped, so never unmapped: the bytes stay where they are.
        auto document = std::make_shared<const DocumentBytes>(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                              static_cast<int64_t>(bytes.size()), 0);
        // The process's first digest sets up the crypto library (a few ms): here rather than in the first
        // open's fingerprint.
        RecoveryStore::fingerprint(document->data());
        const std::unique_ptr<Session> session =
            Session::load(std::move(document), std::nullopt, std::nullopt);
        if (!next()) return steps;
        session->documentContent();
        const std::string pageId = session->pages().front().id;
        if (!next()) return steps;
        session->extractText(pageId);
        if (!next()) return steps;
        png = (FileCreation::temporaryFolder() / ("kivo-warm-up-" + newUUIDString() + ".png")).string();
        PngWriter::Batch writes;
        {
            // The editor's first page is about this size.
            const OpenPage page = session->loadPage(pageId);
            const std::int64_t width = TileGrid::pixels(pdfium::FPDF_GetPageWidthF(page.get()), 1.2);
            const std::int64_t height = TileGrid::pixels(pdfium::FPDF_GetPageHeightF(page.get()), 1.2);
            session->draw(page.get(), RenderTile{0, 0, width, height, std::nullopt},
                          TileGrid(width, height, width), true, png, writes);
        }
        // The draw's bitmap, a first page at one pixel a point, is module memory touched once, which the
        // first real render reuses without page faults. Nothing larger is touched ahead: module memory is
        // never given back, and a block for twice the density stayed resident in every worker that never
        // needed it.
        writes.finish();
    } catch (...) {
        // Only time was to be won here; the first real command meets whatever went wrong itself.
    }
    if (!png.empty()) ::unlink(png.c_str());
    return steps;
}

}  // namespace kivo
