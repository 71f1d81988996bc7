#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kivo::WideString {

// PDFium's UTF-16 text as UTF-8: cut at the first 0 unit, every invalid sequence (a lone
// surrogate, say) replaced by U+FFFD.
std::string decode(std::span<const uint16_t> units);

// One code point, as UTF-8, at the end of `out`.
void appendUtf8(std::string& out, char32_t c);

}  // namespace kivo::WideString
