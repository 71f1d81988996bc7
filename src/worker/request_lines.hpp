#pragma once

// Cuts the bytes a client sends into request lines, within a bound on a line's length and,
// before a connection has said hello, on how long it may take.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace kivo {

class RequestLines {
public:
    enum class Kind { line, tooLong, end };
    struct Next {
        Kind kind;
        std::string text;
    };

    // A line longer than this is refused; the clients refuse the same.
    static constexpr std::size_t maxLineBytes = 64 * 1024 * 1024;

    // `keepUnterminatedLast`: whether bytes after the last line feed count as a line at the end
    // of input (stdio, where a typed last line may lack it) or are dropped (the socket).
    RequestLines(int fd, bool keepUnterminatedLast) : fd_(fd), keepLast_(keepUnterminatedLast) {}

    // From now on lines are at most `maxBytes` long, and input ends at `deadline` when one is
    // given, whatever is pending.
    void bound(std::size_t maxBytes, std::optional<std::chrono::steady_clock::time_point> deadline);

    // The next line without its line feed; `tooLong` once for a line past the bound, which is then
    // skipped to its end without being kept, so memory stays bounded and the following lines are
    // read as they were meant; `end` at the end of input, a read error or the deadline.
    Next next();

private:
    // Reads more input into `pending_`; false at its end.
    bool fill();

    int fd_;
    bool keepLast_;
    std::size_t maxBytes_ = maxLineBytes;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::string pending_;
    std::size_t head_ = 0;
    bool discarding_ = false;
    bool ended_ = false;
};

}  // namespace kivo
