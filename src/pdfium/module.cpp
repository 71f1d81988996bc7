#include "pdfium/module.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csetjmp>
#include <ctime>
#include <mutex>
#include <thread>

extern "C" {
#include "pdfium.h"
}

// The module's imports are resolved by name at link time; the generated code hands each one the
// environment record given at instantiation.
struct Z_env_instance_t {
    Z_pdfium_instance_t* module;
};
struct Z_wasi_snapshot_preview1_instance_t {
    Z_pdfium_instance_t* module;
};

// The flag every loop of the translated module looks at (loop_check.h).
extern "C" {
int kivo_pdfium_interrupt = 0;
void kivo_pdfium_interrupted(void);
}

namespace kivo::pdfium::module {

// The flag's value while a test's endless loop goes round (spinAtNextLoop); 1 is an interrupt.
constexpr int spinning = 2;

// Forgets the scratch block (below), which lived in the instance a restart threw away.
void resetScratch();

namespace {

Z_pdfium_instance_t g_instance;
Z_env_instance_t g_env{&g_instance};
Z_wasi_snapshot_preview1_instance_t g_wasi{&g_instance};
std::once_flag g_created;
bool g_usable = false;
// Generations start at 1, so that 0 stands for no instance at all.
uint32_t g_generation = 1;
struct sigaction g_runtimeSegv;
struct sigaction g_runtimeBus;

// One setjmp frame per `invoke_*` import in flight: PDFium's image decoders longjmp out of
// failing code, and the module asks the host to unwind to the innermost such frame.
struct InvokeFrame {
    jmp_buf buffer;
    InvokeFrame* previous;
};
InvokeFrame* g_invokeTop = nullptr;
// Why the pending interrupt was asked for, and why the last trap came.
std::atomic<int> g_interruptWhy{0};
std::atomic<int> g_interrupted{0};

// Faults are a trap only while this thread is inside the module; anywhere else they are host
// bugs and must end the process as usual rather than jump into an unrelated call.
void onFault(int signal, siginfo_t* info, void* context) {
    if (detail::guardDepth > 0) {
        const struct sigaction& runtime = signal == SIGBUS ? g_runtimeBus : g_runtimeSegv;
        runtime.sa_sigaction(signal, info, context);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
}

void installFaultHandlers() {
    sigaction(SIGSEGV, nullptr, &g_runtimeSegv);
    sigaction(SIGBUS, nullptr, &g_runtimeBus);
    struct sigaction ours {};
    ours.sa_sigaction = onFault;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    sigaction(SIGSEGV, &ours, nullptr);
    sigaction(SIGBUS, &ours, nullptr);
}

// Native stack exhaustion inside the module is reported on an alternate signal stack, which
// each thread that calls the module needs of its own.
struct AltStack {
    void* memory = nullptr;
    AltStack() {
        const size_t size = 256 * 1024;
        memory = std::malloc(size);
        if (memory == nullptr) return;
        stack_t stack{};
        stack.ss_sp = memory;
        stack.ss_size = size;
        if (sigaltstack(&stack, nullptr) != 0) {
            std::free(memory);
            memory = nullptr;
        }
    }
    ~AltStack() {
        if (memory == nullptr) return;
        stack_t disable{};
        disable.ss_flags = SS_DISABLE;
        sigaltstack(&disable, nullptr);
        std::free(memory);
    }
};

void instantiate() {
    Z_pdfium_instantiate(&g_instance, &g_env, &g_wasi);
    g_usable = true;
    try {
        guarded([] {
            Z_pdfiumZ_emscripten_stack_init(&g_instance);
            Z_pdfiumZ___wasm_call_ctors(&g_instance);
        });
    } catch (const EngineFailure&) {
        g_usable = false;
    }
}

void create() {
    wasm_rt_init();
    installFaultHandlers();
    Z_pdfium_init_module();
    instantiate();
}

// Frees the instance's memory and table. The runtime reserves address space for the largest memory
// a module may have but gives back only the part in use, so the rest is unmapped here: a worker
// that restarts its engine now and then does not run out of address space.
void discard() {
    uint8_t* const base = g_instance.w2c_memory.data;
    const uint64_t used = g_instance.w2c_memory.size;
    Z_pdfium_free(&g_instance);
#if WASM_RT_MEMCHECK_SIGNAL_HANDLER
    constexpr uint64_t reserved = 0x200000000ull;
    if (base != nullptr && used < reserved) ::munmap(base + used, reserved - used);
#endif
    g_instance = Z_pdfium_instance_t{};
    g_usable = false;
}

[[noreturn]] void trap(wasm_rt_trap_t code) { wasm_rt_trap(code); }

Z_pdfium_instance_t* inst(Z_env_instance_t* env) { return env->module; }

template <class R, class... A>
R callTable(Z_pdfium_instance_t* module, uint32_t index, A... args) {
    const wasm_rt_funcref_table_t& table = module->w2c___indirect_function_table;
    if (index >= table.size) trap(WASM_RT_TRAP_CALL_INDIRECT);
    const wasm_rt_funcref_t& entry = table.data[index];
    if (entry.func == nullptr || entry.func_type != wasmTypeId<R, A...>()) trap(WASM_RT_TRAP_CALL_INDIRECT);
    return reinterpret_cast<R (*)(void*, A...)>(entry.func)(entry.module_instance, args...);
}

// The emscripten convention for `invoke_*`: call the table entry inside a setjmp frame; when the
// callee long-jumps, restore the module's stack pointer, record the throw with `setThrew` and
// answer 0.
template <class R, class... A>
R invoke(Z_env_instance_t* env, uint32_t index, A... args) {
    Z_pdfium_instance_t* module = inst(env);
    const uint32_t stackPointer = Z_pdfiumZ_emscripten_stack_get_current(module);
#if WASM_RT_USE_STACK_DEPTH_COUNT
    // The jump skips the runtime's depth decrements of every frame it unwinds.
    const uint32_t depth = wasm_rt_call_stack_depth;
#endif
    InvokeFrame frame;
    frame.previous = g_invokeTop;
    g_invokeTop = &frame;
    if (_setjmp(frame.buffer) == 0) {
        if constexpr (std::is_void_v<R>) {
            callTable<void>(module, index, args...);
            g_invokeTop = frame.previous;
            return;
        } else {
            R result = callTable<R>(module, index, args...);
            g_invokeTop = frame.previous;
            return result;
        }
    }
    g_invokeTop = frame.previous;
#if WASM_RT_USE_STACK_DEPTH_COUNT
    wasm_rt_call_stack_depth = depth;
#endif
    Z_pdfiumZ__emscripten_stack_restore(module, stackPointer);
    Z_pdfiumZ_setThrew(module, 1, 0);
    if constexpr (!std::is_void_v<R>) return 0;
}

void writeTm(Z_pdfium_instance_t*, uint32_t address, const std::tm& tm, bool local) {
    store<int32_t>(address + 0, tm.tm_sec);
    store<int32_t>(address + 4, tm.tm_min);
    store<int32_t>(address + 8, tm.tm_hour);
    store<int32_t>(address + 12, tm.tm_mday);
    store<int32_t>(address + 16, tm.tm_mon);
    store<int32_t>(address + 20, tm.tm_year);
    store<int32_t>(address + 24, tm.tm_wday);
    store<int32_t>(address + 28, tm.tm_yday);
    if (local) {
        store<int32_t>(address + 32, tm.tm_isdst > 0 ? 1 : 0);
        store<int32_t>(address + 36, static_cast<int32_t>(tm.tm_gmtoff));
    }
}

std::time_t joinTime(uint32_t low, uint32_t high) {
    return static_cast<std::time_t>((static_cast<uint64_t>(high) << 32) | low);
}

// WASI and syscall answers: PDFium reads every document from memory, so the file system is
// simply absent.
constexpr uint32_t kWasiBadDescriptor = 8;
constexpr uint32_t kErrNoEntry = static_cast<uint32_t>(-44);
constexpr uint32_t kErrBadDescriptor = static_cast<uint32_t>(-8);
constexpr uint32_t kErrNotTty = static_cast<uint32_t>(-59);

}  // namespace

thread_local int detail::guardDepth = 0;

Z_pdfium_instance_t* instance() {
    std::call_once(g_created, create);
    if (!g_usable) throw trapFailure();
    return &g_instance;
}

bool usable() {
    std::call_once(g_created, create);
    return g_usable;
}

uint32_t generation() { return g_generation; }

bool current(uint32_t generation) { return generation == g_generation && usable(); }

bool restart() {
    bool fresh = false;
    std::call_once(g_created, [&] {
        create();
        fresh = true;
    });
    if (fresh) return g_usable;
    discard();
    ++g_generation;
    g_invokeTop = nullptr;
    resetScratch();
    instantiate();
    return g_usable;
}

void interrupt(Interrupt why) noexcept {
    g_interruptWhy.store(static_cast<int>(why));
    __atomic_store_n(&kivo_pdfium_interrupt, why == Interrupt::none ? 0 : 1, __ATOMIC_RELAXED);
}

void clearInterrupt() noexcept { interrupt(Interrupt::none); }

void spinAtNextLoop() noexcept { __atomic_store_n(&kivo_pdfium_interrupt, spinning, __ATOMIC_RELAXED); }

Interrupt takeInterrupted() noexcept { return static_cast<Interrupt>(g_interrupted.exchange(0)); }

EngineFailure trapFailure() {
    return EngineFailure(
        FailureCode::internal,
        "The PDF engine stopped on an internal fault and must restart; the file on disk was not changed.");
}

uint64_t memorySize() { return g_instance.w2c_memory.size; }

uint8_t* hostPointer(Address address, size_t length) {
    const uint64_t end = static_cast<uint64_t>(address) + length;
    if (end > g_instance.w2c_memory.size) {
        if (detail::guardDepth > 0) trap(WASM_RT_TRAP_OOB);
        // An address the module handed out that points outside its memory: its state is corrupt.
        g_usable = false;
        throw trapFailure();
    }
    return g_instance.w2c_memory.data + address;
}

Address allocate(size_t size) {
    if (size >= kMaxModuleMemory) return 0;
    Z_pdfium_instance_t* module = instance();
    return guarded([&] { return Z_pdfiumZ_malloc(module, static_cast<uint32_t>(size)); });
}

void release(Address address) {
    if (address == 0 || !g_usable) return;
    guarded([&] { Z_pdfiumZ_free(&g_instance, address); });
}

uint32_t addHostFunction(wasm_rt_function_ptr_t function, uint32_t wasmType) {
    Z_pdfium_instance_t* module = instance();
    wasm_rt_funcref_table_t& table = module->w2c___indirect_function_table;
    const wasm_rt_funcref_t entry{wasmType, function, &g_env};
    const uint32_t index = wasm_rt_grow_funcref_table(&table, 1, entry);
    if (index == UINT32_MAX) {
        throw EngineFailure(FailureCode::internal, "The PDF engine could not register a callback.");
    }
    return index;
}

void detail::enterOutermost() {
    // Callers reach the instance first; this runs during its creation too, so no call_once here.
    if (!g_usable) throw trapFailure();
    thread_local AltStack altStack;
    (void)altStack;
}

void detail::trapped(int trapCode) {
    (void)trapCode;
    // A trap an interrupt caused says so once; the flag is down again for the next call.
    g_interrupted.store(g_interruptWhy.exchange(0));
    __atomic_store_n(&kivo_pdfium_interrupt, 0, __ATOMIC_RELAXED);
    guardDepth = 0;
    g_invokeTop = nullptr;
    g_usable = false;
    // The jump out of the signal handler skipped the handler's return, which would have
    // unblocked the fault signals.
    sigset_t faults;
    sigemptyset(&faults);
    sigaddset(&faults, SIGSEGV);
    sigaddset(&faults, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
    throw trapFailure();
}

}  // namespace kivo::pdfium::module

// ---------------------------------------------------------------------------------------------
// Imports of the module.

using kivo::pdfium::load;
using kivo::pdfium::store;
using namespace kivo::pdfium::module;

extern "C" {

// A loop met the interrupt flag: the call ends as a trap, while the module is inside a guard.
extern "C" void kivo_pdfium_interrupted(void) {
    if (kivo::pdfium::module::detail::guardDepth == 0) return;
    // A test's endless loop, inside the module as a real one would be, until an interrupt takes its place.
    while (__atomic_load_n(&kivo_pdfium_interrupt, __ATOMIC_RELAXED) == kivo::pdfium::module::spinning)
        std::this_thread::yield();
    if (__atomic_load_n(&kivo_pdfium_interrupt, __ATOMIC_RELAXED) == 0) return;
    kivo::pdfium::module::trap(WASM_RT_TRAP_EXHAUSTION);
}

void Z_envZ___assert_fail(Z_env_instance_t*, u32, u32, u32, u32) { trap(WASM_RT_TRAP_UNREACHABLE); }
void Z_envZ__abort_js(Z_env_instance_t*) { trap(WASM_RT_TRAP_UNREACHABLE); }

u32 Z_envZ___syscall_fcntl64(Z_env_instance_t*, u32, u32, u32) { return kErrBadDescriptor; }
u32 Z_envZ___syscall_fstat64(Z_env_instance_t*, u32, u32) { return kErrBadDescriptor; }
u32 Z_envZ___syscall_ftruncate64(Z_env_instance_t*, u32, u32, u32) { return kErrBadDescriptor; }
u32 Z_envZ___syscall_getdents64(Z_env_instance_t*, u32, u32, u32) { return kErrBadDescriptor; }
u32 Z_envZ___syscall_ioctl(Z_env_instance_t*, u32, u32, u32) { return kErrNotTty; }
u32 Z_envZ___syscall_lstat64(Z_env_instance_t*, u32, u32) { return kErrNoEntry; }
u32 Z_envZ___syscall_newfstatat(Z_env_instance_t*, u32, u32, u32, u32) { return kErrNoEntry; }
u32 Z_envZ___syscall_openat(Z_env_instance_t*, u32, u32, u32, u32) { return kErrNoEntry; }
u32 Z_envZ___syscall_rmdir(Z_env_instance_t*, u32) { return kErrNoEntry; }
u32 Z_envZ___syscall_stat64(Z_env_instance_t*, u32, u32) { return kErrNoEntry; }
u32 Z_envZ___syscall_unlinkat(Z_env_instance_t*, u32, u32, u32) { return kErrNoEntry; }

void Z_envZ__emscripten_memcpy_js(Z_env_instance_t*, u32 destination, u32 source, u32 count) {
    uint8_t* to = hostPointer(destination, count);
    const uint8_t* from = hostPointer(source, count);
    std::memmove(to, from, count);
}

void Z_envZ__emscripten_throw_longjmp(Z_env_instance_t*) {
    if (g_invokeTop == nullptr) trap(WASM_RT_TRAP_UNREACHABLE);
    _longjmp(g_invokeTop->buffer, 1);
}

void Z_envZ__gmtime_js(Z_env_instance_t* env, u32 low, u32 high, u32 tmAddress) {
    const std::time_t when = joinTime(low, high);
    std::tm tm{};
    gmtime_r(&when, &tm);
    writeTm(inst(env), tmAddress, tm, false);
}

void Z_envZ__localtime_js(Z_env_instance_t* env, u32 low, u32 high, u32 tmAddress) {
    const std::time_t when = joinTime(low, high);
    std::tm tm{};
    localtime_r(&when, &tm);
    writeTm(inst(env), tmAddress, tm, true);
}

// Writes the standard offset (seconds west of UTC), whether daylight saving exists, and the two
// zone names ("UTC+hhmm", at most 16 bytes each) as the C library of the module expects.
void Z_envZ__tzset_js(Z_env_instance_t*, u32 timezoneAddress, u32 daylightAddress, u32 stdName, u32 dstName) {
    const std::time_t now = std::time(nullptr);
    std::tm probe{};
    localtime_r(&now, &probe);
    const int year = probe.tm_year;
    auto offsetAt = [year](int month) {
        std::tm at{};
        at.tm_year = year;
        at.tm_mon = month;
        at.tm_mday = 1;
        at.tm_isdst = -1;
        const std::time_t t = std::mktime(&at);
        std::tm local{};
        localtime_r(&t, &local);
        return static_cast<long>(local.tm_gmtoff);
    };
    const long winter = offsetAt(0);
    const long summer = offsetAt(6);
    const long standard = std::min(winter, summer);
    const long daylight = std::max(winter, summer);
    store<uint32_t>(timezoneAddress, static_cast<uint32_t>(-standard));
    store<int32_t>(daylightAddress, winter != summer ? 1 : 0);
    auto name = [](long offset) {
        char text[32];
        const long minutes = (offset < 0 ? -offset : offset) / 60;
        std::snprintf(text, sizeof text, "UTC%c%02ld%02ld", offset < 0 ? '-' : '+', minutes / 60,
                      minutes % 60);
        return std::string(text);
    };
    const std::string standardName = name(standard);
    const std::string daylightName = name(daylight);
    std::memcpy(hostPointer(stdName, standardName.size() + 1), standardName.c_str(), standardName.size() + 1);
    std::memcpy(hostPointer(dstName, daylightName.size() + 1), daylightName.c_str(), daylightName.size() + 1);
}

f64 Z_envZ_emscripten_date_now(Z_env_instance_t*) {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// Grows the memory the way the module's allocator expects: some headroom beyond the request so
// that many small growths do not each cost a call, never past the module's ceiling.
u32 Z_envZ_emscripten_resize_heap(Z_env_instance_t* env, u32 requested) {
    wasm_rt_memory_t& memory = inst(env)->w2c_memory;
    const uint64_t ceiling =
        std::min<uint64_t>(kivo::pdfium::kMaxModuleMemory, uint64_t(memory.max_pages) * 65536);
    const uint64_t old = memory.size;
    if (requested <= old) return 1;
    if (requested > ceiling) return 0;
    for (int cut = 1; cut <= 4; ++cut) {
        uint64_t target = std::max<uint64_t>(requested, old + old / (5 * cut));
        target = std::min<uint64_t>(target, uint64_t(requested) + 96 * 1024 * 1024);
        target = std::min<uint64_t>((target + 65535) / 65536 * 65536, ceiling);
        const uint32_t delta = static_cast<uint32_t>((target - old) / 65536);
        if (wasm_rt_grow_memory(&memory, delta) != UINT32_MAX) return 1;
    }
    return 0;
}

u32 Z_envZ_invoke_ii(Z_env_instance_t* e, u32 i, u32 a) { return invoke<u32>(e, i, a); }
u32 Z_envZ_invoke_iii(Z_env_instance_t* e, u32 i, u32 a, u32 b) { return invoke<u32>(e, i, a, b); }
u32 Z_envZ_invoke_iiii(Z_env_instance_t* e, u32 i, u32 a, u32 b, u32 c) { return invoke<u32>(e, i, a, b, c); }
u32 Z_envZ_invoke_iiiii(Z_env_instance_t* e, u32 i, u32 a, u32 b, u32 c, u32 d) {
    return invoke<u32>(e, i, a, b, c, d);
}
void Z_envZ_invoke_v(Z_env_instance_t* e, u32 i) { invoke<void>(e, i); }
void Z_envZ_invoke_vi(Z_env_instance_t* e, u32 i, u32 a) { invoke<void>(e, i, a); }
void Z_envZ_invoke_vii(Z_env_instance_t* e, u32 i, u32 a, u32 b) { invoke<void>(e, i, a, b); }
void Z_envZ_invoke_viii(Z_env_instance_t* e, u32 i, u32 a, u32 b, u32 c) { invoke<void>(e, i, a, b, c); }
void Z_envZ_invoke_viiii(Z_env_instance_t* e, u32 i, u32 a, u32 b, u32 c, u32 d) {
    invoke<void>(e, i, a, b, c, d);
}
void Z_envZ_invoke_viiiiiiiii(Z_env_instance_t* e, u32 i, u32 a, u32 b, u32 c, u32 d, u32 f, u32 g, u32 h,
                              u32 j, u32 k) {
    invoke<void>(e, i, a, b, c, d, f, g, h, j, k);
}

u32 Z_wasi_snapshot_preview1Z_environ_get(Z_wasi_snapshot_preview1_instance_t*, u32, u32) { return 0; }
u32 Z_wasi_snapshot_preview1Z_environ_sizes_get(Z_wasi_snapshot_preview1_instance_t*, u32 countAddress,
                                                u32 sizeAddress) {
    store<uint32_t>(countAddress, 0);
    store<uint32_t>(sizeAddress, 0);
    return 0;
}
u32 Z_wasi_snapshot_preview1Z_fd_close(Z_wasi_snapshot_preview1_instance_t*, u32) {
    return kWasiBadDescriptor;
}
u32 Z_wasi_snapshot_preview1Z_fd_read(Z_wasi_snapshot_preview1_instance_t*, u32, u32, u32, u32) {
    return kWasiBadDescriptor;
}
u32 Z_wasi_snapshot_preview1Z_fd_seek(Z_wasi_snapshot_preview1_instance_t*, u32, u32, u32, u32, u32) {
    return kWasiBadDescriptor;
}
u32 Z_wasi_snapshot_preview1Z_fd_sync(Z_wasi_snapshot_preview1_instance_t*, u32) {
    return kWasiBadDescriptor;
}

// PDFium's own diagnostics go to standard error, whatever descriptor it names: standard output
// carries the command protocol in stdio mode.
u32 Z_wasi_snapshot_preview1Z_fd_write(Z_wasi_snapshot_preview1_instance_t*, u32 fd, u32 iovs, u32 count,
                                       u32 writtenAddress) {
    if (fd != 1 && fd != 2) return kWasiBadDescriptor;
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t base = load<uint32_t>(iovs + i * 8);
        const uint32_t length = load<uint32_t>(iovs + i * 8 + 4);
        const uint8_t* bytes = hostPointer(base, length);
        size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(STDERR_FILENO, bytes + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        total += length;
    }
    store<uint32_t>(writtenAddress, total);
    return 0;
}

}  // extern "C"

// ---------------------------------------------------------------------------------------------

namespace kivo::pdfium {
namespace {
Address g_scratch = 0;
size_t g_scratchSize = 0;
size_t g_scratchUsed = 0;
constexpr size_t kScratchSize = 256 * 1024;
}  // namespace

void module::resetScratch() {
    g_scratch = 0;
    g_scratchSize = 0;
    g_scratchUsed = 0;
}

Scratch::Scratch() : mark_(g_scratchUsed) {
    if (g_scratch == 0) {
        g_scratch = module::allocate(kScratchSize);
        if (g_scratch == 0) throw EngineFailure(FailureCode::internal, "The PDF engine ran out of memory.");
        g_scratchSize = kScratchSize;
    }
}

Scratch::~Scratch() {
    g_scratchUsed = mark_;
    for (int i = 0; i < overflowCount_; ++i) module::release(overflow_[i]);
}

Address Scratch::reserve(size_t size) {
    const size_t aligned = (size + 7) & ~size_t{7};
    Address address = 0;
    if (g_scratchUsed + aligned <= g_scratchSize) {
        address = g_scratch + static_cast<Address>(g_scratchUsed);
        g_scratchUsed += aligned;
    } else {
        if (overflowCount_ == 4)
            throw EngineFailure(FailureCode::internal, "The PDF engine ran out of memory.");
        address = module::allocate(aligned == 0 ? 8 : aligned);
        if (address == 0) throw EngineFailure(FailureCode::internal, "The PDF engine ran out of memory.");
        overflow_[overflowCount_++] = address;
    }
    std::memset(module::hostPointer(address, size), 0, size);
    return address;
}

Address Scratch::wide(std::u16string_view text) {
    const Address address = reserve((text.size() + 1) * 2);
    uint8_t* out = module::hostPointer(address, (text.size() + 1) * 2);
    for (size_t i = 0; i < text.size(); ++i) {
        out[i * 2] = static_cast<uint8_t>(text[i] & 0xff);
        out[i * 2 + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return address;
}

Address Scratch::bytes(std::string_view text) {
    const Address address = reserve(text.size() + 1);
    std::memcpy(module::hostPointer(address, text.size()), text.data(), text.size());
    return address;
}

Address Scratch::copy(std::span<const uint8_t> data) {
    const Address address = reserve(data.size());
    if (!data.empty()) std::memcpy(module::hostPointer(address, data.size()), data.data(), data.size());
    return address;
}

}  // namespace kivo::pdfium
