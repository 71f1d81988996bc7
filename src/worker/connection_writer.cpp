#include "worker/connection_writer.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cmath>
#include <optional>
#include <system_error>

#include "core/line_io.hpp"

namespace kivo {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds for poll until `deadline`; -1 (no timeout) when there is none. Long waits are cut
// into hours, so the conversion never overflows; the caller polls again.
int pollTimeout(const std::optional<Clock::time_point>& deadline) {
    if (!deadline) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 3'600'000));
}

std::optional<Clock::time_point> deadlineAfter(double seconds) {
    if (!std::isfinite(seconds) || seconds > 1e9) return std::nullopt;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

bool writeWithin(int fd, std::string_view bytes, double stallSeconds) {
    auto deadline = deadlineAfter(stallSeconds);
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            deadline = deadlineAfter(stallSeconds);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == ENOTSOCK) {
            // Standard output of stdio mode: its only reader is the one client.
            try {
                writeAll(fd, bytes);
                return true;
            } catch (const std::system_error&) {
                return false;
            }
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, pollTimeout(deadline));
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && deadline && Clock::now() >= *deadline) return false;
    }
    return true;
}

ConnectionWriter::ConnectionWriter(int fd, Bounds bounds) : fd_(fd), bounds_(bounds) {}

ConnectionWriter::~ConnectionWriter() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        // A line still being written would hold the thread until the stall limit.
        if (writing_) closeLocked();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ConnectionWriter::progress(std::string line) {
    {
        std::lock_guard guard(lock_);
        if (closed_) return;
        if (!thread_.joinable()) {
            try {
                thread_ = std::thread([this] { writeProgress(); });
            } catch (const std::system_error&) {
                return;  // progress is advisory; the response still comes
            }
        }
        if (waiting_.size() >= maxWaitingProgress) waiting_.clear();
        waiting_.push_back(std::move(line));
    }
    changed_.notify_all();
}

bool ConnectionWriter::respond(std::string_view line) {
    {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [this] { return closed_ || (waiting_.empty() && !writing_); });
        if (closed_) return false;
        if (line.size() > bounds_.maxUnreadBytes) {
            closeLocked();
            return false;
        }
    }
    // The progress thread is idle and stays so: only the command this answers adds progress.
    if (writeWithin(fd_, line, bounds_.stallSeconds)) return true;
    close();
    return false;
}

void ConnectionWriter::close() {
    {
        std::lock_guard guard(lock_);
        closeLocked();
    }
    changed_.notify_all();
}

void ConnectionWriter::closeLocked() {
    if (closed_) return;
    closed_ = true;
    waiting_.clear();
    ::shutdown(fd_, SHUT_RDWR);
}

void ConnectionWriter::writeProgress() {
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stopping_ || closed_ || !waiting_.empty(); });
        if (stopping_ || closed_) return;
        const std::string line = std::move(waiting_.front());
        waiting_.pop_front();
        writing_ = true;
        guard.unlock();
        const bool written = writeWithin(fd_, line, bounds_.stallSeconds);
        guard.lock();
        writing_ = false;
        if (!written) closeLocked();
        changed_.notify_all();
    }
}

}  // namespace kivo
