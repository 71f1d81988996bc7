#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace kivo::testing {

// Both ends of a connected local stream socket. A test cannot go on without it, so a failure
// aborts.
struct SocketPair {
    int reader = -1;
    int writer = -1;
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        reader = fds[0];
        writer = fds[1];
    }
    ~SocketPair() {
        closeWriter();
        if (reader >= 0) ::close(reader);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    void closeWriter() {
        if (writer >= 0) ::close(writer);
        writer = -1;
    }
};

}  // namespace kivo::testing
