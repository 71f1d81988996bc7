#include "sandbox/worker_watchdog.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kivo::WorkerWatchdog {

bool needed(const ResourceLimits& limits) {
    return limits.memoryHardBytes != ResourceLimits::noLimitBytes || std::isfinite(limits.stallSeconds);
}

std::optional<Stop> memoryStop(const ResourceLimits& limits, std::uint64_t footprint) {
    if (limits.memoryHardBytes == ResourceLimits::noLimitBytes || footprint <= limits.memoryHardBytes) return {};
    return Stop{WorkerExit::memoryLimit, "its memory went past the hard limit of " +
                                             std::to_string(limits.memoryHardBytes / 1'048'576) + " MB"};
}

std::optional<Stop> stallStop(const ResourceLimits& limits, const ProgressSnapshot& progress) {
    if (!progress.busy || !(progress.quietSeconds > limits.stallSeconds)) return {};
    return Stop{WorkerExit::stalled, "a command showed no progress for " + formatSeconds(limits.stallSeconds) + " s"};
}

std::optional<Stop> check(const ResourceLimits& limits, const Sources& sources) {
    if (limits.memoryHardBytes != ResourceLimits::noLimitBytes) {
        const std::uint64_t footprint = sources.footprint ? sources.footprint() : footprintBytes();
        if (auto stop = memoryStop(limits, footprint)) return stop;
    }
    if (!sources.progress) return {};
    return stallStop(limits, sources.progress());
}

std::string formatSeconds(double seconds) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".eni") == std::string::npos) text += ".0";
    return text;
}

std::string stopLine(const std::string& reason) { return "kivo-pdf-worker: stopping, because " + reason + "\n"; }

void stop(std::int32_t status, const std::string& reason) {
    const std::string line = stopLine(reason);
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
    std::_Exit(status);
}

bool start(const ResourceLimits& limits, Sources sources) {
    if (!needed(limits)) return false;
    if (!sources.footprint) sources.footprint = footprintBytes;
    std::thread thread([limits, sources = std::move(sources)] {
        pthread_setname_np(pthread_self(), threadName);
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pollMilliseconds));
            if (auto breach = check(limits, sources)) stop(breach->status, breach->reason);
        }
    });
    thread.detach();
    return true;
}

std::uint64_t footprintBytes() noexcept {
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[8192];
    std::size_t length = 0;
    for (;;) {
        const ssize_t count = ::read(fd, text + length, sizeof text - 1 - length);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        length += static_cast<std::size_t>(count);
        if (length == sizeof text - 1) break;
    }
    ::close(fd);
    text[length] = '\0';
    std::uint64_t kilobytes = 0;
    bool foundResident = false;
    for (const char* field : {"\nRssAnon:", "\nRssShmem:", "\nVmSwap:"}) {
        const char* at = std::strstr(text, field);
        if (at == nullptr) continue;
        at += std::strlen(field);
        while (*at == ' ' || *at == '\t') ++at;
        std::uint64_t value = 0;
        const auto parsed = std::from_chars(at, text + length, value);
        if (parsed.ec != std::errc()) continue;
        kilobytes += value;
        foundResident = foundResident || std::strcmp(field, "\nRssAnon:") == 0;
    }
    return foundResident ? kilobytes * 1024 : 0;
}

}  // namespace kivo::WorkerWatchdog
