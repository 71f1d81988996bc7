#include "worker/request_lines.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kivo {

void RequestLines::bound(std::size_t maxBytes, std::optional<std::chrono::steady_clock::time_point> deadline) {
    maxBytes_ = maxBytes;
    deadline_ = deadline;
}

RequestLines::Next RequestLines::next() {
    std::size_t searched = 0;
    for (;;) {
        const auto position = pending_.find('\n', head_ + searched);
        if (position != std::string::npos) {
            std::string line = pending_.substr(head_, position - head_);
            head_ = position + 1;
            searched = 0;
            if (discarding_) {
                discarding_ = false;
                continue;
            }
            if (line.size() > maxBytes_) return {Kind::tooLong, {}};
            return {Kind::line, std::move(line)};
        }
        if (ended_) {
            std::string rest = pending_.substr(head_);
            pending_.clear();
            head_ = 0;
            if (keepLast_ && !rest.empty() && !discarding_) return {Kind::line, std::move(rest)};
            return {Kind::end, {}};
        }
        if (head_ > 0) {
            pending_.erase(0, head_);
            head_ = 0;
        }
        if (pending_.size() > maxBytes_) {
            pending_.clear();
            searched = 0;
            if (!discarding_) {
                discarding_ = true;
                return {Kind::tooLong, {}};
            }
        }
        searched = pending_.size();
        ended_ = !fill();
    }
}

bool RequestLines::fill() {
    for (;;) {
        if (deadline_) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
            pollfd entry{fd_, POLLIN, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
        }
        char chunk[65'536];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
}

}  // namespace kivo
