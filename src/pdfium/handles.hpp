#pragma once

// PDFium's handle types as the worker holds them: distinct types, each a module address, so that a
// page cannot be passed where a document is expected.

#include "pdfium/module.hpp"

namespace kivo::pdfium {

template <class Tag>
struct Handle {
    Address address = 0;
    explicit operator bool() const { return address != 0; }
    bool operator==(const Handle&) const = default;
};

using FPDF_DOCUMENT = Handle<struct DocumentTag>;
using FPDF_PAGE = Handle<struct PageTag>;
using FPDF_TEXTPAGE = Handle<struct TextPageTag>;
using FPDF_SCHHANDLE = Handle<struct SearchTag>;
using FPDF_BITMAP = Handle<struct BitmapTag>;
using FPDF_ANNOTATION = Handle<struct AnnotationTag>;
using FPDF_FORMHANDLE = Handle<struct FormTag>;
using FPDF_PAGEOBJECT = Handle<struct PageObjectTag>;
using FPDF_FONT = Handle<struct FontTag>;
using FPDF_SIGNATURE = Handle<struct SignatureTag>;
using FPDF_BOOKMARK = Handle<struct BookmarkTag>;

}  // namespace kivo::pdfium
