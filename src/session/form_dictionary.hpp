#pragma once

// The document's /AcroForm as PDFium reads it and as other readers need it written.
//
// Read: when the form says /NeedAppearances true, PDFium rebuilds the appearance of every widget on
// each page it shows or edits, and a save then writes those rebuilt appearances, which other readers
// show differently (a checked box read as off), though nobody touched the field. So PDFium is given
// the bytes with that key renamed (same length, nothing else moves); a widget without a usable
// appearance still gets one, as PDFium builds those whatever the flag says.
//
// Written: every file handed out has the key back under its own name, byte for byte where PDFium
// wrote it, and an /AcroForm with a /Fields array, which other readers require and which PDFium
// leaves out when it makes the form itself (for the font of a text box it draws); that array is
// appended as an incremental update to the bytes PDFium wrote (see pdf_objects.hpp).

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kivo::FormDictionary {

// `bytes` with every /NeedAppearances key renamed for PDFium, or nothing when there is none.
std::optional<std::string> withAppearancesKept(std::span<const uint8_t> bytes);

// Bytes PDFium wrote with the key under its own name again, or nothing when it is not there.
std::optional<std::string> withAppearancesShown(std::span<const uint8_t> written);
// Whether withAppearancesShown would change these bytes.
bool hidesAppearances(std::span<const uint8_t> written);

// The bytes PDFium wrote whole with the form as other readers need it, or nothing when it needs no
// change. Never fails: a form in bytes the object reader does not take keeps what PDFium wrote.
std::optional<std::string> soundForOtherReaders(std::span<const uint8_t> written);

}  // namespace kivo::FormDictionary
