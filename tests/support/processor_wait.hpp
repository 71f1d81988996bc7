#pragma once

// How long a thread waited for a processor, as the kernel counts it (/proc/.../schedstat). On a busy
// machine that time is the machine's, not the program's: a test that times the program leaves it out.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

namespace kivo::testing {

// The wait of the thread whose schedstat file is `schedstat`; nothing once that thread has ended.
inline std::optional<std::chrono::nanoseconds> processorWait(const std::filesystem::path& schedstat) {
    std::ifstream stat(schedstat);
    long long ran = 0, waited = 0;
    if (!(stat >> ran >> waited)) return std::nullopt;
    return std::chrono::nanoseconds(waited);
}

// How long the calling thread has run on a processor so far.
inline std::chrono::nanoseconds ownRunTime() {
    std::ifstream stat("/proc/thread-self/schedstat");
    long long ran = 0;
    return stat >> ran ? std::chrono::nanoseconds(ran) : std::chrono::nanoseconds{};
}

// The calling thread's wait so far.
inline std::chrono::nanoseconds ownProcessorWait() {
    return processorWait("/proc/thread-self/schedstat").value_or(std::chrono::nanoseconds{});
}

// The schedstat file of this process's thread named `name`; empty when no thread is.
inline std::filesystem::path threadSchedstat(const std::string& name) {
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) return task.path() / "schedstat";
    }
    return {};
}

// What the calling thread and the thread named `name` waited for a processor from the moment this is made.
// The named thread's count goes with the thread: follow() keeps its latest while it lives, so call it often
// (from a timer) for a thread that may end before the count is read.
class ProcessorWaits {
public:
    explicit ProcessorWaits(const std::string& name)
        : ownAtStart_(ownProcessorWait()), named_(threadSchedstat(name)) {
        namedAtStart_ = namedLatest_ = processorWait(named_).value_or(std::chrono::nanoseconds{});
    }
    // Whether the named thread was there at the start.
    bool found() const { return !named_.empty(); }
    void follow() {
        if (const auto waited = named_.empty() ? std::nullopt : processorWait(named_)) namedLatest_ = *waited;
    }
    // Both threads' waits since the start; reads the calling thread's count now.
    std::chrono::nanoseconds elapsed() {
        follow();
        return (ownProcessorWait() - ownAtStart_) + (namedLatest_ - namedAtStart_);
    }

private:
    std::chrono::nanoseconds ownAtStart_;
    std::filesystem::path named_;
    std::chrono::nanoseconds namedAtStart_{};
    std::chrono::nanoseconds namedLatest_{};
};

}  // namespace kivo::testing
