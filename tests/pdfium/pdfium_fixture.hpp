#pragma once

// What the PDFium suites share: the library started around each suite, documents loaded from
// hand-made PDFs, and a page's text read back.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"
#include "test_pdfs.hpp"

namespace kivo::pdfium {

using testing::bytesOf;
using testing::makeFormPdf;
using testing::makePdf;
using testing::TestPage;

class PdfiumTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { initLibrary(); }
    static void TearDownTestSuite() { destroyLibrary(); }

    static Document load(const std::string& pdf, const std::string* password = nullptr,
                         Document::Source source = Document::Source::OnDemand) {
        auto keep = std::make_shared<std::string>(pdf);
        return Document::load(bytesOf(*keep), keep, password, source);
    }

    static std::string pageText(FPDF_DOCUMENT document, int index) {
        ScopedPage page(FPDF_LoadPage(document, index));
        ScopedTextPage text(FPDFText_LoadPage(page.get()));
        const int count = FPDFText_CountChars(text.get());
        std::vector<uint16_t> units(count + 1);
        FPDFText_GetText(text.get(), 0, count, units);
        return std::string(units.begin(), units.begin() + count);
    }
};

}  // namespace kivo::pdfium
