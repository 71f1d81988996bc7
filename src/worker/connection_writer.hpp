#pragma once

// Everything the worker sends on one connection goes through that connection's writer, so that
// nobody who hands it a line waits on a client that does not read. Progress lines come from the
// engine with its document lock held: they are queued for a thread of the writer's own and the
// caller returns at once. A response is written by the connection's own thread, outside the lock,
// after the progress lines before it. A client that lets output wait unread for too long, or that
// would have more unread than it could ever accept as one line, loses its connection; the
// commands it sent keep their effects.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kivo {

// Writes all of `bytes` to `fd`. A socket is written without blocking, waiting for room at most
// `stallSeconds` each time the peer takes nothing (infinity: forever); anything else (standard
// output in stdio mode) is written plainly. False when the peer went away, took nothing for that
// long, or a write failed.
bool writeWithin(int fd, std::string_view bytes, double stallSeconds);

class ConnectionWriter {
public:
    struct Bounds {
        // Output handed over but not yet written; more than this closes the connection.
        std::size_t maxUnreadBytes = std::numeric_limits<std::size_t>::max();
        // How long output may wait for the client to read before the connection is closed.
        double stallSeconds = std::numeric_limits<double>::infinity();
    };

    // Progress lines waiting at once; one more replaces all of them, so a command's newest
    // progress is what a slow client reads next.
    static constexpr std::size_t maxWaitingProgress = 16;

    // Does not own `fd`: whoever accepted the connection closes it after the writer is gone.
    ConnectionWriter(int fd, Bounds bounds);
    // Stops the progress thread; lines still waiting are dropped.
    ~ConnectionWriter();
    ConnectionWriter(const ConnectionWriter&) = delete;
    ConnectionWriter& operator=(const ConnectionWriter&) = delete;

    // Queues a progress line and returns at once, without touching the socket. Dropped after the
    // connection was closed, or when no thread can be started to write it.
    void progress(std::string line);

    // Writes a response on the calling thread once the progress lines before it are written.
    // False, with the connection closed, when that fails or breaks a bound.
    bool respond(std::string_view line);

    // Shuts the connection down in both directions, so that its reader sees its end too. Safe
    // from any thread, and more than once.
    void close();

private:
    void closeLocked();
    void writeProgress();

    const int fd_;
    const Bounds bounds_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::string> waiting_;  // progress lines not yet taken by the thread
    bool writing_ = false;             // the thread holds a line it took
    bool closed_ = false;
    bool stopping_ = false;
    std::thread thread_;  // started with the first progress line
};

}  // namespace kivo
