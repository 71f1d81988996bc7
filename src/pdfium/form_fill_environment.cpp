#include "pdfium/form_fill_environment.hpp"

#include <cstring>
#include <ctime>
#include <utility>

#include "pdfium/fpdf.hpp"

extern "C" {
#include "pdfium.h"
}

namespace kivo::pdfium {
namespace {

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

// A zero-filled record with version 1 and the nine stubs set; 0 when the module's memory is
// exhausted.
Address createRecord() {
    const Address record = module::allocate(kFormInfoSize);
    if (record == 0) return 0;
    std::memset(module::hostPointer(record, kFormInfoSize), 0, kFormInfoSize);
    store<int32_t>(record + kVersion, 1);
    store<u32>(record + kInvalidate, module::hostSlot<&stubInvalidate>());
    store<u32>(record + kSetCursor, module::hostSlot<&stubSetCursor>());
    store<u32>(record + kSetTimer, module::hostSlot<&stubSetTimer>());
    store<u32>(record + kKillTimer, module::hostSlot<&stubKillTimer>());
    store<u32>(record + kGetLocalTime, module::hostSlot<&stubLocalTime>());
    store<u32>(record + kGetPage, module::hostSlot<&stubGetPage>());
    store<u32>(record + kGetCurrentPage, module::hostSlot<&stubGetCurrentPage>());
    store<u32>(record + kGetRotation, module::hostSlot<&stubGetRotation>());
    store<u32>(record + kExecuteNamedAction, module::hostSlot<&stubNamedAction>());
    return record;
}

}  // namespace

FormFillEnvironment::FormFillEnvironment(FPDF_DOCUMENT document)
    : record_(createRecord()), generation_(module::generation()) {
    if (record_ == 0) throw EngineFailure(FailureCode::internal, "Could not create form-fill callbacks.");
    try {
        handle_ = FPDFDOC_InitFormFillEnvironment(document, record_);
    } catch (...) {
        close();
        throw;
    }
}

FormFillEnvironment::FormFillEnvironment(FormFillEnvironment&& other) noexcept
    : record_(std::exchange(other.record_, 0)),
      handle_(std::exchange(other.handle_, FPDF_FORMHANDLE{})),
      generation_(other.generation_) {}

FormFillEnvironment& FormFillEnvironment::operator=(FormFillEnvironment&& other) noexcept {
    if (this != &other) {
        close();
        record_ = std::exchange(other.record_, 0);
        handle_ = std::exchange(other.handle_, FPDF_FORMHANDLE{});
        generation_ = other.generation_;
    }
    return *this;
}

void FormFillEnvironment::close() noexcept {
    const FPDF_FORMHANDLE handle = std::exchange(handle_, FPDF_FORMHANDLE{});
    const Address record = std::exchange(record_, 0);
    if (!handle && record == 0) return;
    // Nothing of an instance a trap ended, or that a fresh one replaced, is handed back to it.
    const bool usable = module::current(generation_);
    try {
        if (handle && usable) FPDFDOC_ExitFormFillEnvironment(handle);
        // The environment reads the record until it is gone.
        if (record != 0 && usable) module::release(record);
    } catch (const EngineFailure&) {}
}

}  // namespace kivo::pdfium
