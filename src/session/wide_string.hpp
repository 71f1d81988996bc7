#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kivo::WideString {

// PDFium's UTF-16 text as UTF-8: cut at the first 0 unit, every invalid sequence (a lone
// surrogate, say) replaced by U+FFFD.
std::string decode(std::span<const uint16_t> units);

}  // namespace kivo::WideString
