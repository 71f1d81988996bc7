#pragma once

// The PDFium module runs as translated WebAssembly: all of its state lives in one linear memory
// that the host can read but the module cannot escape. This header is the host's view of it:
// the instance, checked access to its memory, the trap guard around every call, and the table
// slots through which the module calls back into the host.

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>

#include "core/engine_failure.hpp"
#include "wasm-rt-impl.h"
#include "wasm-rt.h"

struct Z_pdfium_instance_t;

namespace kivo::pdfium {

// An address inside the module's linear memory (wasm32: pointers are 32 bits).
using Address = uint32_t;

// The module's memory may grow to 2 GiB; nothing larger can ever be handed to it.
inline constexpr uint64_t kMaxModuleMemory = 2ull * 1024 * 1024 * 1024;

namespace module {

// The process-wide instance, created on first use. Throws EngineFailure once a trap has made
// the runtime unusable.
Z_pdfium_instance_t* instance();

// False after a trap: the instance's state can no longer be trusted, until restart() gives a new one.
bool usable();

// Which instance the module runs in: restart() replaces it, and every handle of the old one is
// meaningless in the new. Owners of handles keep the generation they took a handle in and pass it in
// again only while current() says it is still the instance in use.
uint32_t generation();
bool current(uint32_t generation);

// Throws the instance away, with all of its memory, and starts a fresh one: what a trap left behind
// is gone, and the module's other users go on in the new one once they have loaded their documents
// again. Only between calls into the module, never inside a guard. Answers usable().
bool restart();

// The sentence reported for a trap, and afterwards for every call until a restart.
EngineFailure trapFailure();

// Why a call into the module was stopped from outside rather than by a fault of its own.
enum class Interrupt : int { none = 0, deadline = 1, cancel = 2 };

// Asks the call running in the module now to stop, from any thread: the next loop it comes back
// to traps, and the trap leaves the instance unusable as a fault does (so the caller restarts it).
// Only while the caller knows a call of the command it means is, or may soon be, running.
void interrupt(Interrupt why) noexcept;
// Takes back an interrupt no call has met yet.
void clearInterrupt() noexcept;
// Why the last trap happened, when an interrupt caused it; none otherwise. Reading it resets it.
Interrupt takeInterrupted() noexcept;
// For tests of the bounds: the next loop the module comes round in this command goes round for ever
// there, as a page the engine cannot finish does, until an interrupt ends the call. The check each
// loop makes costs nothing more for it.
void spinAtNextLoop() noexcept;

// Bytes of module memory in use now (its current size) and its ceiling.
uint64_t memorySize();

// A host pointer to `length` bytes at `address`, or a trap failure when any byte lies outside
// the module's memory. Valid until the module's memory is freed; growth never moves it.
uint8_t* hostPointer(Address address, size_t length);

// The module's own allocator. `allocate` answers 0 when the module is out of memory.
Address allocate(size_t size);
void release(Address address);

// Function-table slots for host callbacks: `R host(void* context, A...)` called by the module
// through `call_indirect`. The wasm type is derived from the C++ signature.
uint32_t addHostFunction(wasm_rt_function_ptr_t function, uint32_t wasmType);

template <class T>
constexpr wasm_rt_type_t wasmTypeOf() {
    if constexpr (std::is_same_v<T, double>) return WASM_RT_F64;
    else if constexpr (std::is_same_v<T, float>) return WASM_RT_F32;
    else if constexpr (sizeof(T) == 8) return WASM_RT_I64;
    else return WASM_RT_I32;
}

template <class R, class... A>
uint32_t wasmTypeId() {
    static const uint32_t id = [] {
        if constexpr (std::is_void_v<R>)
            return wasm_rt_register_func_type(sizeof...(A), 0, wasmTypeOf<A>()...);
        else return wasm_rt_register_func_type(sizeof...(A), 1, wasmTypeOf<A>()..., wasmTypeOf<R>());
    }();
    return id;
}

template <class R, class... A>
uint32_t addHostFunction(R (*function)(void*, A...)) {
    return addHostFunction(reinterpret_cast<wasm_rt_function_ptr_t>(function), wasmTypeId<R, A...>());
}

// The slot of `Function` in the current instance's table, added on its first use in each instance:
// a fresh instance starts with the module's own table.
template <auto Function>
uint32_t hostSlot() {
    static uint32_t slot = 0;
    static uint32_t addedIn = 0;
    if (addedIn != generation()) {
        slot = addHostFunction(Function);
        addedIn = generation();
    }
    return slot;
}

namespace detail {
extern thread_local int guardDepth;
void enterOutermost();
[[noreturn]] void trapped(int trapCode);
struct DepthReset {
    ~DepthReset() { guardDepth = 0; }
};
}  // namespace detail

// Runs `body`, which calls into the module, so that a trap inside it (out-of-bounds access,
// unreachable code, stack exhaustion, abort) comes back as an EngineFailure instead of ending
// the process. Nested calls (a host callback calling the module again) share the outer guard.
// `body` must keep only trivially destructible state alive across module calls: a trap unwinds
// it with a long jump.
template <class F>
decltype(auto) guarded(F&& body) {
    if (detail::guardDepth > 0) return body();
    detail::enterOutermost();
    detail::DepthReset reset;  // made before the jump point, so it survives the jump back
    WASM_RT_SAVE_STACK_DEPTH();
    wasm_rt_set_unwind_target(&wasm_rt_jmp_buf);
    // No signal mask is saved: that costs a system call per call into the module. The trap path
    // unblocks the fault signals itself.
    if (int code = sigsetjmp(wasm_rt_jmp_buf, 0); code != 0) detail::trapped(code);
    detail::guardDepth = 1;
    return body();
}

}  // namespace module

// Reads and writes of plain values in module memory, bounds-checked.
template <class T>
T load(Address address) {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, module::hostPointer(address, sizeof(T)), sizeof(T));
    return value;
}

template <class T>
void store(Address address, const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(module::hostPointer(address, sizeof(T)), &value, sizeof(T));
}

// A stretch of module memory for the arguments and results of one call: strings going in,
// out-parameters and buffers coming back. One block is reused across calls, so reading a page's
// text character by character costs no allocation per call; nested frames stack on it.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Zero-filled space of `size` bytes, 8-byte aligned.
    Address reserve(size_t size);
    // A zero-terminated UTF-16LE copy of `text`.
    Address wide(std::u16string_view text);
    // A zero-terminated copy of `text`.
    Address bytes(std::string_view text);
    // A copy of `data`.
    Address copy(std::span<const uint8_t> data);

private:
    size_t mark_;
    Address overflow_[4] = {};
    int overflowCount_ = 0;
};

}  // namespace kivo::pdfium
