#include "worker/request_lines.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kivo {

bool LineBudget::take(std::size_t bytes) {
    std::size_t free = free_.load();
    while (free >= bytes) {
        if (free_.compare_exchange_weak(free, free - bytes)) return true;
    }
    return false;
}

void RequestLines::bound(std::size_t maxBytes,
                         std::optional<std::chrono::steady_clock::time_point> deadline) {
    maxBytes_ = maxBytes;
    deadline_ = deadline;
}

RequestLines::Next RequestLines::next() {
    std::size_t searched = 0;
    for (;;) {
        const auto position = pending_.find('\n', head_ + searched);
        if (position != std::string::npos) {
            if (position - head_ > maxBytes_) {
                head_ = position + 1;
                return {Kind::tooLong, {}};
            }
            std::string line;
            if (head_ == 0 && position + 1 == pending_.size()) {
                // The usual case, one line per read: the buffer itself becomes the line.
                line = std::move(pending_);
                line.pop_back();
                pending_ = std::string();
            } else {
                line = pending_.substr(head_, position - head_);
                head_ = position + 1;
            }
            return {Kind::line, std::move(line)};
        }
        if (ended_) {
            std::string rest = pending_.substr(head_);
            pending_ = std::string();
            head_ = 0;
            charge(0);
            if (keepLast_ && !rest.empty()) return {Kind::line, std::move(rest)};
            return {Kind::end, {}};
        }
        if (head_ > 0) {
            pending_.erase(0, head_);
            head_ = 0;
        }
        // A buffer that once held a long line gives its memory back once the line is gone.
        if (pending_.capacity() > unchargedBytes && pending_.size() * 4 < pending_.capacity()) {
            pending_.shrink_to_fit();
        }
        if (pending_.size() > maxBytes_) return refuse(Kind::tooLong);
        if (!makeRoom()) return refuse(Kind::overBudget);
        searched = pending_.size();
        ended_ = !fill();
    }
}

RequestLines::Next RequestLines::refuse(Kind kind) {
    pending_ = std::string();
    charge(0);
    discarding_ = true;
    return {kind, {}};
}

bool RequestLines::makeRoom() {
    const std::size_t wanted = pending_.size() + readBytes;
    std::size_t capacity = pending_.capacity();
    // Growing by doubling, up to the longest line that can still be taken, keeps the copies few.
    if (wanted > capacity) capacity = std::max(wanted, std::min(capacity * 2, maxBytes_ + readBytes));
    if (!charge(capacity)) return false;
    pending_.reserve(capacity);
    return true;
}

bool RequestLines::charge(std::size_t capacity) {
    if (budget_ == nullptr) return true;
    const std::size_t wanted = capacity > unchargedBytes ? capacity - unchargedBytes : 0;
    if (wanted > charged_ && !budget_->take(wanted - charged_)) return false;
    if (wanted < charged_) budget_->giveBack(charged_ - wanted);
    charged_ = wanted;
    return true;
}

bool RequestLines::fill() {
    for (;;) {
        if (deadline_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *deadline_ - std::chrono::steady_clock::now());
            pollfd entry{fd_, POLLIN, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
        }
        char chunk[readBytes];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        const char* start = chunk;
        const char* const end = chunk + n;
        if (discarding_) {
            // The rest of a refused line is dropped as it comes, never held.
            const char* const lineEnd =
                static_cast<const char*>(std::memchr(start, '\n', static_cast<size_t>(n)));
            if (lineEnd == nullptr) return true;
            discarding_ = false;
            start = lineEnd + 1;
        }
        pending_.append(start, static_cast<std::size_t>(end - start));
        return true;
    }
}

}  // namespace kivo
