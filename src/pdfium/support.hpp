#pragma once

// The thin layer through which the worker starts PDFium, fills image objects and saves documents.
// Every function may also throw EngineFailure(internal) when the module traps.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "pdfium/fpdf.hpp"
#include "pdfium/saved_trailer.hpp"

namespace kivo::pdfium {

// Starts the library (no font paths, no isolate) and stops it; every other call comes between.
void initLibrary();
void destroyLibrary();
// After a trap: replaces the module's instance with a fresh one (see module::restart) and starts the
// library in it. False when the fresh instance does not start either.
bool restartLibrary();

// Puts a copy of the BGRA pixels (straight alpha, `stride` bytes per source row) into the image
// object. False for no image, no pixels, a size below 1 x 1 or a stride shorter than a row, and
// when PDFium has no bitmap for it or refuses it.
bool setImageBGRA(FPDF_PAGEOBJECT image, const uint8_t* pixels, int32_t width, int32_t height,
                  int32_t stride);

// How a save writes the document. `whole` writes every object; `appended` puts the bytes the
// document was loaded from first, unchanged, and only what changed since after them (an incremental
// save); `plain` writes every object without the document's encryption, for the worker's own reading
// of objects, never for a file handed out. A file saved for the user is always written whole.
enum class SaveKind { whole, appended, plain };

// Writes the document: to the file at `path`, created or emptied, or to a duplicate of `descriptor`,
// leaving the caller's descriptor open. False when the file cannot be opened, PDFium stops, or any
// write or the closing of the file fails.
bool saveToFile(FPDF_DOCUMENT document, const char* path);
bool saveToDescriptor(FPDF_DOCUMENT document, int descriptor, SaveKind kind = SaveKind::whole);

// Bytes the caller already holds and expects a save to start with. The save leaves out of the file
// the first `length` bytes it writes where they are exactly these; where any of them differ, or the
// save is shorter, it writes everything and sets `length` to 0. After the save `length` says how
// many bytes the file lacks at its start.
struct KnownStart {
    std::span<const uint8_t> bytes;
    std::size_t length = 0;
    // SavedTrailer::lastTableStart of `bytes`, when the caller can tell it: a save that mends its
    // trailer then need not search for a table in most of the bytes it leaves out, which for a long
    // document is most of what an incremental save costs on the host. Asked at most once, and only by
    // a save that mends its trailer.
    std::function<std::size_t()> lastTable{};
};
bool saveToDescriptor(FPDF_DOCUMENT document, int descriptor, SaveKind kind, KnownStart& known);

// The host side of PDFium's file writer: the output stream and whether every write so far
// succeeded. With `mending`, what follows the last cross-reference table is held back, and finish()
// writes it with the trailer mended (see saved_trailer.hpp).
struct FileWriter {
    std::FILE* stream = nullptr;
    bool ok = true;
    std::optional<SavedTrailer::Mending> mending{};
    KnownStart* known = nullptr;

    // PDFium's write callback: writes the block, or holds it back, in one call; false, clearing `ok`,
    // when not all of it was written or there is no stream.
    bool write(const uint8_t* bytes, unsigned long length);
    // Writes what was held back; false, clearing `ok`, when that fails.
    bool finish();

    // What is held back, and whether it starts at a table keyword.
    std::string held{};
    bool tableSeen = false;
    // Bytes of the save so far, written or left out.
    std::size_t position = 0;
    // The known start's last table, once asked.
    std::optional<std::size_t> lastTable{};

private:
    bool passKnown(const char* bytes, std::size_t length);
    bool leaveOutKnown(const char*& bytes, std::size_t& length);
    bool put(const char* bytes, std::size_t length);
};

}  // namespace kivo::pdfium
