#pragma once

// Helpers shared by the session's source files; not part of its interface.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/document_records.hpp"
#include "engine/wide_string.hpp"
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
    return pdfium::FS_RECTF{static_cast<float>(rect.left), static_cast<float>(rect.top),
                            static_cast<float>(rect.right), static_cast<float>(rect.bottom)};
}

// Gives a new annotation a fresh id and its subject. A refused write here leaves a usable
// annotation, so neither is checked.
void writeIdentity(pdfium::FPDF_ANNOTATION annotation, std::string_view subject);

}  // namespace kivo::session_detail
