#include "pdfium/support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

extern "C" {
#include "pdfium.h"
}

namespace kivo::pdfium {
namespace {

// Writers in flight, by the module address of their FPDF_FILEWRITE record. The record in the
// module holds only what PDFium reads; the stream stays on the host, out of the module's reach.
std::unordered_map<u32, FileWriter*> g_writers;

u32 writeBlockCallback(void*, u32 record, u32 data, u32 size) {
    const auto found = g_writers.find(record);
    if (found == g_writers.end()) return 0;
    return found->second->write(module::hostPointer(data, size), size) ? 1 : 0;
}

bool saveToStream(FPDF_DOCUMENT document, std::FILE* stream, SaveKind kind, KnownStart* known) {
    const bool appended = kind == SaveKind::appended;
    const u32 slot = module::hostSlot<&writeBlockCallback>();
    const bool dropInfo = SavedTrailer::leavesOutInfo(document);
    FileWriter writer{stream, true};
    writer.known = known;
    if (!appended || dropInfo) writer.mending = SavedTrailer::Mending{!appended, dropInfo};
    const Address record = module::allocate(8);
    if (record == 0) return false;
    store<int32_t>(record, 1);
    store<u32>(record + 4, slot);
    g_writers[record] = &writer;
    u32 saved = 0;
    try {
        saved = module::guarded([&] {
            return Z_pdfiumZ_FPDF_SaveAsCopy(
                module::instance(), document.address, record,
                static_cast<u32>(appended                  ? FPDF_INCREMENTAL
                                 : kind == SaveKind::plain ? FPDF_REMOVE_SECURITY
                                                           : FPDF_NO_INCREMENTAL));
        });
    } catch (...) {
        g_writers.erase(record);
        throw;
    }
    g_writers.erase(record);
    module::release(record);
    return saved != 0 && writer.ok && writer.finish();
}

// Saves into the stream and closes it on every path; true only when both succeeded.
bool saveAndClose(FPDF_DOCUMENT document, std::FILE* stream, SaveKind kind, KnownStart* known = nullptr) {
    bool saved = false;
    try {
        saved = saveToStream(document, stream, kind, known);
    } catch (...) {
        std::fclose(stream);
        throw;
    }
    const bool closed = std::fclose(stream) == 0;
    return saved && closed;
}

}  // namespace

void initLibrary() {
    Z_pdfium_instance_t* m = module::instance();
    Scratch scratch;
    // FPDF_LIBRARY_CONFIG version 2: no font paths, no isolate, slot 0.
    const Address config = scratch.reserve(32);
    store<int32_t>(config, 2);
    module::guarded([&] { Z_pdfiumZ_FPDF_InitLibraryWithConfig(m, config); });
}

bool restartLibrary() {
    if (!module::restart()) return false;
    try {
        initLibrary();
    } catch (const EngineFailure&) {
        return false;
    }
    return module::usable();
}

void destroyLibrary() {
    Z_pdfium_instance_t* m = module::instance();
    module::guarded([&] { Z_pdfiumZ_FPDF_DestroyLibrary(m); });
}

bool setImageBGRA(FPDF_PAGEOBJECT image, const uint8_t* pixels, int32_t width, int32_t height,
                  int32_t stride) {
    if (!image || pixels == nullptr || width < 1 || height < 1) return false;
    if (static_cast<int64_t>(width) * 4 > stride) return false;
    ScopedBitmap bitmap(FPDFBitmap_Create(width, height, 1));
    if (!bitmap) return false;
    const int bitmapStride = FPDFBitmap_GetStride(bitmap.get());
    const std::span<uint8_t> target = bitmapPixels(bitmap.get());
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    if (target.empty() || rowBytes > static_cast<size_t>(bitmapStride)) return false;
    for (int32_t row = 0; row < height; ++row) {
        std::memcpy(target.data() + static_cast<size_t>(row) * bitmapStride,
                    pixels + static_cast<size_t>(row) * static_cast<size_t>(stride), rowBytes);
    }
    return FPDFImageObj_SetBitmap(image, bitmap.get());
}

namespace {

// The most held back after a table keyword: past it, that keyword was a stream's bytes, not the last table.
constexpr std::size_t mostHeld = std::size_t{64} << 20;
// A keyword may straddle two blocks.
constexpr std::size_t keywordOverlap = 6;

}  // namespace

// The known start is compared as it comes; at the first byte that differs, what was left out so far
// is written after all, so the file is then the whole save.
bool FileWriter::leaveOutKnown(const char*& bytes, std::size_t& length) {
    if (known == nullptr || position >= known->length || length == 0) return true;
    const std::size_t compared = std::min(length, known->length - position);
    if (std::memcmp(bytes, known->bytes.data() + position, compared) == 0) {
        position += compared;
        bytes += compared;
        length -= compared;
        return true;
    }
    const std::size_t leftOut = position;
    known->length = 0;
    return leftOut == 0 || std::fwrite(known->bytes.data(), 1, leftOut, stream) == leftOut;
}

bool FileWriter::put(const char* bytes, std::size_t length) {
    if (stream == nullptr || !leaveOutKnown(bytes, length)) {
        ok = false;
        return false;
    }
    position += length;
    if (length > 0 && std::fwrite(bytes, 1, length, stream) != length) {
        ok = false;
        return false;
    }
    return true;
}

// A block of the known start, while no table has been seen, that cannot hold the known start's last
// table keyword whole: a keyword the search would find in it is an earlier one, after which it would
// only hold bytes back until the last is found, which ends with the same bytes written and held. So the
// block is left out as it is, and only its last bytes are held in case that keyword begins in them.
// False where that is not sure: the file must then be what the search writes.
bool FileWriter::passKnown(const char* bytes, std::size_t length) {
    if (stream == nullptr || known == nullptr || !known->lastTable || tableSeen || length < keywordOverlap)
        return false;
    // The search looks from the first held byte to the end of the block.
    const std::size_t end = position + held.size() + length;
    if (end > known->length) return false;
    if (!lastTable) lastTable = known->lastTable();
    // The keyword ends six bytes past where lastTableStart places it.
    if (*lastTable != std::string::npos && *lastTable > position && end > *lastTable + keywordOverlap - 1)
        return false;
    const auto* expected = reinterpret_cast<const char*>(known->bytes.data()) + position;
    if (std::memcmp(held.data(), expected, held.size()) != 0 ||
        std::memcmp(bytes, expected + held.size(), length) != 0) {
        return false;
    }
    position = end - keywordOverlap;
    held.assign(bytes + length - keywordOverlap, keywordOverlap);
    return true;
}

bool FileWriter::write(const uint8_t* bytes, unsigned long length) {
    const char* block = reinterpret_cast<const char*>(bytes);
    if (!mending) return put(block, length);
    if (passKnown(block, length)) return true;
    const std::size_t from = held.size() > keywordOverlap ? held.size() - keywordOverlap : 0;
    held.append(block, length);
    const std::size_t found = SavedTrailer::lastTableStart(std::string_view(held).substr(from));
    std::size_t out = 0;
    if (found != std::string_view::npos) {
        tableSeen = true;
        out = from + found;
    } else if (!tableSeen || held.size() > mostHeld) {
        out = held.size() > keywordOverlap ? held.size() - keywordOverlap : 0;
        tableSeen = false;
    }
    const bool written = put(held.data(), out);
    held.erase(0, out);
    return written;
}

bool FileWriter::finish() {
    const std::string tail = mending ? SavedTrailer::mended(held, *mending) : std::string();
    held.clear();
    if (!put(tail.data(), tail.size())) return false;
    // A save that ended inside the known start wrote nothing: it is written whole after all.
    if (known != nullptr && position < known->length) {
        known->length = 0;
        if (position > 0 && std::fwrite(known->bytes.data(), 1, position, stream) != position) {
            ok = false;
            return false;
        }
    }
    return true;
}

bool saveToFile(FPDF_DOCUMENT document, const char* path) {
    std::FILE* stream = std::fopen(path, "wbe");
    if (stream == nullptr) return false;
    return saveAndClose(document, stream, SaveKind::whole);
}

bool saveToDescriptor(FPDF_DOCUMENT document, int descriptor, SaveKind kind) {
    KnownStart nothing;
    return saveToDescriptor(document, descriptor, kind, nothing);
}

bool saveToDescriptor(FPDF_DOCUMENT document, int descriptor, SaveKind kind, KnownStart& known) {
    known.length = std::min(known.length, known.bytes.size());
    const int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return false;
    std::FILE* stream = fdopen(copy, "wb");
    if (stream == nullptr) {
        ::close(copy);
        return false;
    }
    return saveAndClose(document, stream, kind, &known);
}

}  // namespace kivo::pdfium
