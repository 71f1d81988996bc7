#pragma once

// Cuts the bytes a client sends into request lines, within a bound on a line's length and,
// before a connection has said hello, on how long it may take. The unfinished lines of all
// connections share one budget of memory, so many connections each sending a long line cannot
// take the worker's memory between them; a line that would pass it is refused like an overlong
// one.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace kivo {

// Bytes that unfinished lines may hold over all connections together. Safe from any thread.
class LineBudget {
public:
    explicit LineBudget(std::size_t bytes) : free_(bytes) {}
    LineBudget(const LineBudget&) = delete;
    LineBudget& operator=(const LineBudget&) = delete;

    // Takes `bytes` when that many are free; false, taking nothing, when not.
    bool take(std::size_t bytes);
    void giveBack(std::size_t bytes) { free_.fetch_add(bytes); }

private:
    std::atomic<std::size_t> free_;
};

class RequestLines {
public:
    enum class Kind { line, tooLong, overBudget, end };
    struct Next {
        Kind kind;
        std::string text;
    };

    // A line longer than this is refused; the clients refuse the same.
    static constexpr std::size_t maxLineBytes = 64 * 1024 * 1024;
    // What one read takes at most.
    static constexpr std::size_t readBytes = 64 * 1024;
    // A connection holds this much without drawing on the budget: a short line and one read
    // more, so that ordinary requests never meet it.
    static constexpr std::size_t unchargedBytes = 2 * readBytes;

    // `keepUnterminatedLast`: whether bytes after the last line feed count as a line at the end
    // of input (stdio, where a typed last line may lack it) or are dropped (the socket).
    // `budget`, when given, must outlive the reader.
    RequestLines(int fd, bool keepUnterminatedLast, LineBudget* budget = nullptr)
        : fd_(fd), keepLast_(keepUnterminatedLast), budget_(budget) {}
    ~RequestLines() { charge(0); }
    RequestLines(const RequestLines&) = delete;
    RequestLines& operator=(const RequestLines&) = delete;

    // From now on lines are at most `maxBytes` long, and input ends at `deadline` when one is
    // given, whatever is pending.
    void bound(std::size_t maxBytes, std::optional<std::chrono::steady_clock::time_point> deadline);

    // The next line without its line feed; `tooLong` once for a line past the bound and
    // `overBudget` once for a line the shared budget has no room for, either then skipped to its
    // end without being kept, so memory stays bounded and the following lines are read as they
    // were meant; `end` at the end of input, a read error or the deadline. The text of a line
    // counts against the budget until the following call.
    Next next();

private:
    // Reads more input into `pending_`, dropping what is left of a refused line; false at its end.
    bool fill();
    // Room for one more read, drawn from the budget; false when it has none.
    bool makeRoom();
    // Holds budget for `capacity` bytes of buffer; false, holding what it held, when it has none.
    bool charge(std::size_t capacity);
    Next refuse(Kind kind);

    int fd_;
    bool keepLast_;
    LineBudget* budget_;
    std::size_t charged_ = 0;
    std::size_t maxBytes_ = maxLineBytes;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::string pending_;
    std::size_t head_ = 0;
    bool discarding_ = false;
    bool ended_ = false;
};

}  // namespace kivo
