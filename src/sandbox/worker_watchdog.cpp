#include "sandbox/worker_watchdog.hpp"

#include <pthread.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kivo::WorkerWatchdog {

Sources Sources::engine() {
    Sources sources;
    sources.footprint = ProcessMemory::footprint;
    sources.progress = [] { return EngineProgress::shared().snapshot(); };
    sources.awaitCommand = [] { EngineProgress::shared().awaitBusy(); };
    sources.interrupt = RunningCommand::interruptIfQuiet;
    return sources;
}

bool needed(const ResourceLimits& limits) {
    return limits.memoryHardBytes != ResourceLimits::noLimitBytes || std::isfinite(limits.stallSeconds);
}

std::optional<Stop> memoryStop(const ResourceLimits& limits, std::uint64_t footprint) {
    if (limits.memoryHardBytes == ResourceLimits::noLimitBytes || footprint <= limits.memoryHardBytes)
        return {};
    return Stop{WorkerExit::memoryLimit, "its memory went past the hard limit of " +
                                             std::to_string(limits.memoryHardBytes / 1'048'576) + " MB"};
}

std::optional<Stop> stallStop(const ResourceLimits& limits, const ProgressSnapshot& progress) {
    if (!progress.busy || !(progress.quietSeconds > limits.stallSeconds)) return {};
    return Stop{WorkerExit::stalled,
                "a command showed no progress for " + formatSeconds(limits.stallSeconds) + " s"};
}

double interruptSeconds(const ResourceLimits& limits) { return limits.stallSeconds * 0.75; }

bool interruptDue(const ResourceLimits& limits, const ProgressSnapshot& progress) {
    return progress.busy && progress.quietSeconds > interruptSeconds(limits);
}

std::optional<Stop> check(const ResourceLimits& limits, const Sources& sources) {
    if (limits.memoryHardBytes != ResourceLimits::noLimitBytes) {
        const std::uint64_t footprint = sources.footprint ? sources.footprint() : ProcessMemory::footprint();
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

std::string stopLine(const std::string& reason) {
    return "kivo-pdf-worker: stopping, because " + reason + "\n";
}

void stop(std::int32_t status, const std::string& reason) {
    const std::string line = stopLine(reason);
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
    std::_Exit(status);
}

bool start(const ResourceLimits& limits, Sources sources) {
    if (!needed(limits)) return false;
    if (!sources.footprint) sources.footprint = ProcessMemory::footprint;
    std::thread thread([limits, sources = std::move(sources)] {
        pthread_setname_np(pthread_self(), threadName);
        for (;;) {
            if (sources.awaitCommand) sources.awaitCommand();
            std::this_thread::sleep_for(std::chrono::milliseconds(pollMilliseconds));
            if (auto breach = check(limits, sources)) {
                if (sources.beforeStop) sources.beforeStop();
                stop(breach->status, breach->reason);
            }
            // Short of the stall limit, the quiet command alone is stopped, and every other document
            // stays open.
            if (sources.interrupt && sources.progress && interruptDue(limits, sources.progress())) {
                sources.interrupt(interruptSeconds(limits));
            }
        }
    });
    thread.detach();
    return true;
}

}  // namespace kivo::WorkerWatchdog
