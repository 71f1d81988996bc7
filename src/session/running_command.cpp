#include "session/running_command.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/engine_failure.hpp"
#include "pdfium/module.hpp"

namespace kivo {

std::uint64_t monotonicNanoseconds() noexcept {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

namespace ProcessMemory {

// What the process has dirtied and cannot drop under pressure: anonymous resident pages, those
// swapped out, and mapped pages of files in a memory-backed folder (the document copies and undo
// states when the temporary folder is a tmpfs), which only swap could take. Clean pages of files on
// disk (the same copies and states elsewhere) are left out, as the kernel can drop and re-read them.
std::uint64_t footprint() noexcept {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return 0;
    std::uint64_t anonymousKiB = 0;
    std::uint64_t sharedMemoryKiB = 0;
    std::uint64_t swapKiB = 0;
    bool found = false;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned long long value = 0;
        if (std::sscanf(line, "RssAnon: %llu kB", &value) == 1) {
            anonymousKiB = value;
            found = true;
        } else if (std::sscanf(line, "RssShmem: %llu kB", &value) == 1) {
            sharedMemoryKiB = value;
        } else if (std::sscanf(line, "VmSwap: %llu kB", &value) == 1) {
            swapKiB = value;
        }
    }
    std::fclose(status);
    return found ? (anonymousKiB + sharedMemoryKiB + swapKiB) * 1024 : 0;
}

}  // namespace ProcessMemory

namespace {
std::atomic<RunningCommand*> g_current{nullptr};
// Guards asking for an interrupt against the command it is for beginning or ending meanwhile.
std::mutex g_interruptLock;
}  // namespace

RunningCommand::RunningCommand(std::string id, CommandChannel channel, ResourceLimits limits, Report report)
    : id_(std::move(id)), channel_(channel), limits_(limits), report_(std::move(report)) {}

std::string RunningCommand::key(CommandChannel channel, const std::string& id) {
    return std::string(rawValue(channel)) + ":" + id;
}

std::string RunningCommand::key() const { return key(channel_, id_); }

void RunningCommand::progress(CommandPhase phase, std::int64_t completed, std::int64_t total) {
    if (!report_) return;
    const std::uint64_t now = monotonicNanoseconds();
    if (lastPhase_ == phase && now - lastReport_ < throttleNanoseconds) return;
    lastPhase_ = phase;
    lastReport_ = now;
    CommandProgress line;
    line.id = id_;
    line.phase = phase;
    line.completed = completed;
    line.total = total;
    report_(line);
}

void RunningCommand::requestCancel() {
    {
        std::lock_guard guard(lock_);
        cancelRequested_ = true;
    }
    // A command inside one long call of the PDF engine reaches no step: the call itself is stopped.
    std::lock_guard interrupts(g_interruptLock);
    if (current() == this && uninterruptibleDepth_ == 0)
        pdfium::module::interrupt(pdfium::module::Interrupt::cancel);
}

bool RunningCommand::interruptIfQuiet(double quietSeconds) {
    std::lock_guard interrupts(g_interruptLock);
    RunningCommand* command = current();
    if (command == nullptr || command->uninterruptibleDepth_ != 0) return false;
    if (EngineProgress::shared().snapshot().quietSeconds < quietSeconds) return false;
    pdfium::module::interrupt(pdfium::module::Interrupt::deadline);
    return true;
}

bool RunningCommand::cancelRequested() const {
    std::lock_guard guard(lock_);
    return cancelRequested_;
}

RunningCommand* RunningCommand::current() { return g_current.load(std::memory_order_acquire); }

void RunningCommand::step(CommandPhase phase, std::int64_t completed, std::int64_t total) {
    RunningCommand* command = current();
    if (command == nullptr) return;
    EngineProgress::shared().mark(true);
    command->progress(phase, completed, total);
    if (command->uninterruptibleDepth_ != 0) return;
    if (command->cancelRequested()) {
        // Cancelled here, between calls of the engine, none of which need stop for it any more.
        std::lock_guard interrupts(g_interruptLock);
        pdfium::module::clearInterrupt();
        throw cancelledFailure();
    }
    if (phase == CommandPhase::started) return;
    if (command->overMemoryLimit(monotonicNanoseconds())) {
        throw EngineFailure(
            FailureCode::resourceLimit,
            "This document needs more memory than Kivo PDF lets a command use, so the command "
            "stopped. Nothing changed.");
    }
}

bool RunningCommand::overMemoryLimit(std::uint64_t now) {
    if (limits_.memorySoftBytes == ResourceLimits::noLimitBytes) return false;
    // The first check of a command always measures: lastMemoryCheck_ starts at 0.
    if (lastMemoryCheck_ != 0 && now - lastMemoryCheck_ < throttleNanoseconds) return false;
    lastMemoryCheck_ = now;
    const std::uint64_t footprint = ProcessMemory::footprint();
    return footprint != 0 && footprint > limits_.memorySoftBytes;
}

// An interrupt is only ever meant for the command current when it was asked for: a command that
// begins or ends takes back any that no call met.
RunningCommand::Activation::Activation(RunningCommand& command) {
    std::lock_guard interrupts(g_interruptLock);
    previous_ = g_current.exchange(&command, std::memory_order_acq_rel);
    pdfium::module::clearInterrupt();
    EngineProgress::shared().mark(true);
}

RunningCommand::Activation::~Activation() {
    std::lock_guard interrupts(g_interruptLock);
    g_current.store(previous_, std::memory_order_release);
    pdfium::module::clearInterrupt();
    EngineProgress::shared().mark(previous_ != nullptr);
}

RunningCommand::Uninterruptible::Uninterruptible() : command_(current()) {
    if (command_ == nullptr) return;
    std::lock_guard interrupts(g_interruptLock);
    if (command_->uninterruptibleDepth_++ == 0) pdfium::module::clearInterrupt();
}

RunningCommand::Uninterruptible::~Uninterruptible() {
    if (command_ == nullptr) return;
    bool cancelled = command_->cancelRequested();
    std::lock_guard interrupts(g_interruptLock);
    if (--command_->uninterruptibleDepth_ == 0 && cancelled && current() == command_)
        pdfium::module::interrupt(pdfium::module::Interrupt::cancel);
}

EngineProgress& EngineProgress::shared() {
    // Never destroyed: the watchdog thread may be waiting on it when the process exits, and destroying a
    // condition variable that a thread waits on blocks the exit for good.
    static EngineProgress* const instance = new EngineProgress;
    return *instance;
}

EngineProgress::Snapshot EngineProgress::snapshot() const {
    const std::uint64_t now = monotonicNanoseconds();
    std::lock_guard guard(lock_);
    const std::uint64_t quiet = now > lastProgress_ ? now - lastProgress_ : 0;
    return Snapshot{busy_, static_cast<double>(quiet) / 1'000'000'000.0};
}

void EngineProgress::mark(bool busy) {
    const std::uint64_t now = monotonicNanoseconds();
    bool woke = false;
    {
        std::lock_guard guard(lock_);
        woke = busy && !busy_;
        busy_ = busy;
        lastProgress_ = now;
    }
    if (woke) becameBusy_.notify_all();
}

void EngineProgress::awaitBusy() const {
    std::unique_lock guard(lock_);
    becameBusy_.wait(guard, [this] { return busy_; });
}

}  // namespace kivo
