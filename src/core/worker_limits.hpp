#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>

namespace kivo {

struct ResourceLimits {
    static constexpr std::uint64_t noLimitBytes = std::numeric_limits<std::uint64_t>::max();

    // A command whose footprint rises above this stops with `resourceLimit`.
    std::uint64_t memorySoftBytes = noLimitBytes;
    // The worker ends with WorkerExit::memoryLimit above this.
    std::uint64_t memoryHardBytes = noLimitBytes;
    // The worker ends with WorkerExit::stalled when a command shows no
    // progress for longer than this; infinity means never.
    double stallSeconds = std::numeric_limits<double>::infinity();

    static ResourceLimits unlimited() noexcept { return ResourceLimits{}; }

    // The limits named by the KIVO_PDF_WORKER_* variables of `environment`,
    // with defaults derived from the machine's physical memory. Never fails:
    // an unusable value gives the default.
    static ResourceLimits fromEnvironment(const std::map<std::string, std::string>& environment,
                                          std::uint64_t physicalMemory);

    bool operator==(const ResourceLimits&) const = default;
};

// The most pages a file of printed copies may list, repeats and blank pages counted, and what a
// longer list is refused with.
inline constexpr std::size_t maxSequencePages = 100'000;
inline constexpr const char* longSequenceMessage = "The page list is longer than 100,000 pages.";

// The whole environment of this process.
std::map<std::string, std::string> processEnvironment();

// The machine's physical memory in bytes; 0 when it cannot be told.
std::uint64_t physicalMemoryBytes() noexcept;

// Exit statuses with which the worker ends itself.
namespace WorkerExit {
inline constexpr std::int32_t memoryLimit = 71;
inline constexpr std::int32_t stalled = 72;
inline constexpr std::int32_t sandboxFailed = 73;
}  // namespace WorkerExit

// The line a worker serving a socket writes on standard error once it listens, the path after it:
// news for a person who started it by hand, noise on the terminal of the editor that started it.
inline constexpr std::string_view workerListeningLine = "kivo-pdf-worker listening on ";

}  // namespace kivo
