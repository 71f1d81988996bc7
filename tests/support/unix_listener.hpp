#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace kivo::testing {

// A listening Unix stream socket at `path` (close-on-exec, backlog 8), for worker
// stand-ins. A test cannot go on without it, so any failure aborts.
inline int listenOnUnixSocket(const std::filesystem::path& path) {
    const std::string text = path.string();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        std::abort();
    }
    return fd;
}

}  // namespace kivo::testing
