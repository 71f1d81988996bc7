#include "pdfium/support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <unordered_map>

extern "C" {
#include "pdfium.h"
}

namespace kivo {
namespace {

using pdfium::Address;
using pdfium::load;
using pdfium::store;
namespace module = pdfium::module;

// Form-fill stubs. The worker shows nothing and runs no scripts, so PDFium's requests for
// repainting, cursors, timers, pages and actions are answered with nothing.
void stubInvalidate(void*, u32, u32, f64, f64, f64, f64) {}
void stubSetCursor(void*, u32, u32) {}
u32 stubSetTimer(void*, u32, u32, u32) { return 1; }
void stubKillTimer(void*, u32, u32) {}
u32 stubGetPage(void*, u32, u32, u32) { return 0; }
u32 stubGetCurrentPage(void*, u32, u32) { return 0; }
u32 stubGetRotation(void*, u32, u32) { return 0; }
void stubNamedAction(void*, u32, u32) {}

// FPDF_SYSTEMTIME comes back through a result pointer in the module's calling convention. The
// month stays 0-based, as the C library gives it.
void stubLocalTime(void*, u32 result, u32) {
    uint16_t fields[8] = {};
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm) != nullptr) {
        fields[0] = static_cast<uint16_t>(tm.tm_year + 1900);
        fields[1] = static_cast<uint16_t>(tm.tm_mon);
        fields[2] = static_cast<uint16_t>(tm.tm_wday);
        fields[3] = static_cast<uint16_t>(tm.tm_mday);
        fields[4] = static_cast<uint16_t>(tm.tm_hour);
        fields[5] = static_cast<uint16_t>(tm.tm_min);
        fields[6] = static_cast<uint16_t>(tm.tm_sec);
    }
    std::memcpy(module::hostPointer(result, sizeof fields), fields, sizeof fields);
}

// Offsets of FPDF_FORMFILLINFO's members in the module's 32-bit layout.
enum FormInfoOffset : u32 {
    kVersion = 0,
    kInvalidate = 8,
    kSetCursor = 16,
    kSetTimer = 20,
    kKillTimer = 24,
    kGetLocalTime = 28,
    kGetPage = 36,
    kGetCurrentPage = 40,
    kGetRotation = 44,
    kExecuteNamedAction = 48,
};
constexpr u32 kFormInfoSize = 256;  // the whole record, later versions' members included, zeroed

struct FormSlots {
    u32 invalidate, setCursor, setTimer, killTimer, localTime, getPage, getCurrentPage, getRotation, namedAction;
};

const FormSlots& formSlots() {
    static const FormSlots slots{
        module::addHostFunction(&stubInvalidate),     module::addHostFunction(&stubSetCursor),
        module::addHostFunction(&stubSetTimer),       module::addHostFunction(&stubKillTimer),
        module::addHostFunction(&stubLocalTime),      module::addHostFunction(&stubGetPage),
        module::addHostFunction(&stubGetCurrentPage), module::addHostFunction(&stubGetRotation),
        module::addHostFunction(&stubNamedAction)};
    return slots;
}

// Writers in flight, by the module address of their FPDF_FILEWRITE record. The record in the
// module holds only what PDFium reads; the stream stays on the host, out of the module's reach.
std::unordered_map<u32, FileWriter*> g_writers;

u32 writeBlockCallback(void*, u32 record, u32 data, u32 size) {
    const auto found = g_writers.find(record);
    if (found == g_writers.end()) return 0;
    return static_cast<u32>(kivo_write_block(*found->second, module::hostPointer(data, size), size));
}

int saveToStream(pdfium::FPDF_DOCUMENT document, std::FILE* stream) {
    static const u32 slot = module::addHostFunction(&writeBlockCallback);
    FileWriter writer{stream, 1};
    const Address record = module::allocate(8);
    if (record == 0) return 0;
    store<int32_t>(record, 1);
    store<u32>(record + 4, slot);
    g_writers[record] = &writer;
    int saved = 0;
    try {
        saved = static_cast<int>(module::guarded([&] {
            return Z_pdfiumZ_FPDF_SaveAsCopy(module::instance(), document.address, record,
                                             static_cast<u32>(pdfium::FPDF_NO_INCREMENTAL));
        }));
    } catch (...) {
        g_writers.erase(record);
        throw;
    }
    g_writers.erase(record);
    module::release(record);
    return saved != 0 && writer.ok == 1 ? 1 : 0;
}

}  // namespace

void kivo_pdfium_init() {
    Z_pdfium_instance_t* m = module::instance();
    pdfium::Scratch scratch;
    // FPDF_LIBRARY_CONFIG version 2: no font paths, no isolate, slot 0.
    const Address config = scratch.reserve(32);
    store<int32_t>(config, 2);
    module::guarded([&] { Z_pdfiumZ_FPDF_InitLibraryWithConfig(m, config); });
}

void kivo_pdfium_destroy() {
    Z_pdfium_instance_t* m = module::instance();
    module::guarded([&] { Z_pdfiumZ_FPDF_DestroyLibrary(m); });
}

Address kivo_formfill_create() {
    const FormSlots& slots = formSlots();
    const Address record = module::allocate(kFormInfoSize);
    if (record == 0) return 0;
    std::memset(module::hostPointer(record, kFormInfoSize), 0, kFormInfoSize);
    store<int32_t>(record + kVersion, 1);
    store<u32>(record + kInvalidate, slots.invalidate);
    store<u32>(record + kSetCursor, slots.setCursor);
    store<u32>(record + kSetTimer, slots.setTimer);
    store<u32>(record + kKillTimer, slots.killTimer);
    store<u32>(record + kGetLocalTime, slots.localTime);
    store<u32>(record + kGetPage, slots.getPage);
    store<u32>(record + kGetCurrentPage, slots.getCurrentPage);
    store<u32>(record + kGetRotation, slots.getRotation);
    store<u32>(record + kExecuteNamedAction, slots.namedAction);
    return record;
}

void kivo_formfill_free(Address record) { module::release(record); }

int kivo_image_set_bgra(pdfium::FPDF_PAGEOBJECT image, const uint8_t* pixels, int32_t width, int32_t height,
                        int32_t stride) {
    if (!image || pixels == nullptr || width < 1 || height < 1) return 0;
    if (static_cast<int64_t>(width) * 4 > stride) return 0;
    pdfium::ScopedBitmap bitmap(pdfium::FPDFBitmap_Create(width, height, 1));
    if (!bitmap) return 0;
    const int bitmapStride = pdfium::FPDFBitmap_GetStride(bitmap.get());
    const std::span<uint8_t> target = pdfium::bitmapPixels(bitmap.get());
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    if (target.empty() || rowBytes > static_cast<size_t>(bitmapStride)) return 0;
    for (int32_t row = 0; row < height; ++row) {
        std::memcpy(target.data() + static_cast<size_t>(row) * bitmapStride,
                    pixels + static_cast<size_t>(row) * static_cast<size_t>(stride), rowBytes);
    }
    return pdfium::FPDFImageObj_SetBitmap(image, bitmap.get()) ? 1 : 0;
}

int kivo_write_block(FileWriter& writer, const uint8_t* bytes, unsigned long length) {
    if (writer.stream == nullptr || (length > 0 && std::fwrite(bytes, 1, length, writer.stream) != length)) {
        writer.ok = 0;
        return 0;
    }
    return 1;
}

namespace {

// Saves into the stream and closes it on every path; nonzero only when both succeeded.
int saveAndClose(pdfium::FPDF_DOCUMENT document, std::FILE* stream) {
    int saved = 0;
    try {
        saved = saveToStream(document, stream);
    } catch (...) {
        std::fclose(stream);
        throw;
    }
    const bool closed = std::fclose(stream) == 0;
    return saved && closed ? 1 : 0;
}

}  // namespace

int kivo_save_document(pdfium::FPDF_DOCUMENT document, const char* path) {
    std::FILE* stream = std::fopen(path, "wbe");
    if (stream == nullptr) return 0;
    return saveAndClose(document, stream);
}

int kivo_save_document_fd(pdfium::FPDF_DOCUMENT document, int descriptor) {
    const int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return 0;
    std::FILE* stream = fdopen(copy, "wb");
    if (stream == nullptr) {
        close(copy);
        return 0;
    }
    return saveAndClose(document, stream);
}

}  // namespace kivo
