#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kivo {

// Cuts the byte stream of one connection into lines. Owned by whoever owns the
// connection and used by one thread at a time.
class LineReader {
public:
    static constexpr std::size_t chunkSize = 65'536;
    // A peer that never ends its line costs at most this much memory.
    static constexpr std::size_t maxPendingBytes = 67'108'864;

    LineReader();

    // The next line without its line feed (a carriage return before it stays).
    // Throws std::system_error with EPIPE at the end of the stream, with the
    // read's errno on a failed read, and CommandCodecError when the line is not
    // UTF-8 (the bad line is consumed) or pending bytes pass maxPendingBytes.
    std::string readLine(int fd);

    // Drops whatever was read but not yet returned.
    void clear() noexcept;

    // Bytes read but not yet returned as a line.
    std::size_t pendingSize() const noexcept { return pending_.size() - head_; }

private:
    std::string pending_;
    std::size_t head_ = 0;  // start of unreturned bytes in pending_
    std::unique_ptr<char[]> chunk_;
};

// Writes all bytes to a socket, retrying on EINTR. Uses send with
// MSG_NOSIGNAL, so a closed peer gives EPIPE instead of killing the process;
// a descriptor that is not a socket (a pipe in stdio mode) is written plainly.
// Throws std::system_error with the failing call's errno.
void writeAll(int fd, std::string_view bytes);

}  // namespace kivo
