#include "workspace/worker_stops.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

namespace kivo {

std::string describeStop(const WorkerTermination& termination, const ResourceLimits& limits) {
    const int status = termination.status;
    if (termination.reason == WorkerTermination::Reason::uncaughtSignal) {
        const char* name = ::strsignal(status);
        const std::string signal = name != nullptr ? name : "signal " + std::to_string(status);
        if (status == 9) {
            return "The PDF worker was killed (" + signal +
                   "). The system does this when memory runs out, and another program can too.";
        }
        return "The PDF worker crashed (" + signal + ").";
    }
    switch (status) {
        case WorkerExit::sandboxFailed:
            return "The PDF worker stopped because the system would not apply its sandbox, and it does not "
                   "open "
                   "documents without one.";
        case WorkerExit::stalled: {
            // "%g" as the C locale writes it: the editor's process locale may put a comma in "0.05".
            std::array<char, 64> seconds{};
            const auto written = std::to_chars(seconds.data(), seconds.data() + seconds.size(),
                                               limits.stallSeconds, std::chars_format::general, 6);
            return "The PDF worker stopped because a command made no progress for " +
                   std::string(seconds.data(), written.ptr) + " seconds.";
        }
        case WorkerExit::memoryLimit:
            return "The PDF worker stopped because a document took its memory past " +
                   std::to_string(limits.memoryHardBytes / 1'048'576) + " MB.";
        default: return "The PDF worker exited unexpectedly with status " + std::to_string(status) + ".";
    }
}

std::size_t StopHistory::record(TimePoint now) {
    std::erase_if(stops_, [&](TimePoint stop) { return now - stop >= window; });
    stops_.push_back(now);
    return stops_.size();
}

}  // namespace kivo
