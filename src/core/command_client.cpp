#include "core/command_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>
#include <variant>

#include "core/command_json.hpp"
#include "core/text.hpp"

namespace kivo {
namespace {

[[noreturn]] void throwErrno(int error, int fallback, const char* what) {
    throw std::system_error(error != 0 ? error : fallback, std::generic_category(), what);
}

// A connect interrupted by a signal goes on in the background; wait for its outcome.
int finishInterruptedConnect(int fd) {
    for (;;) {
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
        return error;
    }
}

}  // namespace

CommandClientError CommandClientError::rejected(const std::string& message) {
    return CommandClientError(Kind::rejected, message);
}

CommandClientError CommandClientError::notConnected() {
    return CommandClientError(Kind::notConnected, "Not connected to the Kivo PDF worker.");
}

CommandClient::CommandClient(std::string socketPath, std::string token, CommandChannel channel)
    : socketPath_(std::move(socketPath)), token_(std::move(token)), channel_(channel) {}

CommandClient::~CommandClient() {
    // The last owner is going away; nobody else can hold the lock.
    if (fd_ >= 0) ::close(fd_);
}

bool CommandClient::isConnected() const {
    std::lock_guard guard(lock_);
    return fd_ >= 0;
}

void CommandClient::dropConnection() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    reader_.clear();
}

void CommandClient::close() noexcept {
    std::lock_guard guard(lock_);
    dropConnection();
}

void CommandClient::writeRequest(const CommandRequest& request) {
    writeAll(fd_, CommandJSON::encode(request));
}

CommandResponse CommandClient::readResponse(const ProgressHandler* progress) {
    for (;;) {
        auto reply = CommandJSON::decodeReply(reader_.readLine(fd_), memo_);
        if (auto* response = std::get_if<CommandResponse>(&reply)) return std::move(*response);
        if (progress != nullptr && *progress) (*progress)(std::get<CommandProgress>(reply));
    }
}

void CommandClient::connect() {
    std::lock_guard guard(lock_);
    dropConnection();

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throwErrno(errno, EIO, "socket");

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    static_assert(sizeof(address.sun_path) > maxSocketPathBytes);
    if (socketPath_.size() > maxSocketPathBytes) {
        ::close(fd);
        throw std::system_error(ENAMETOOLONG, std::generic_category(),
                                "The worker's socket path is too long.");
    }
    if (socketPath_.find('\0') != std::string::npos) {
        // It would silently name a different, shorter path.
        ::close(fd);
        throw std::system_error(EINVAL, std::generic_category(),
                                "The worker's socket path holds a zero byte.");
    }
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        if (error == EINTR) error = finishInterruptedConnect(fd);
        if (error != 0) {
            ::close(fd);
            throwErrno(error, ECONNREFUSED, "connect");
        }
    }
    fd_ = fd;

    CommandRequest hello;
    hello.id = newUUIDString();
    hello.method = CommandMethod::hello;
    hello.params.token = token_;
    hello.channel = channel_;

    CommandResponse response;
    try {
        writeRequest(hello);
        response = readResponse(nullptr);
    } catch (...) {
        dropConnection();
        throw;
    }
    if (response.ok) return;
    dropConnection();
    throw CommandClientError::rejected(response.error ? response.error->message
                                                      : "Kivo PDF rejected this connection.");
}

CommandResponse CommandClient::send(const CommandRequest& request, const ProgressHandler& progress) {
    std::lock_guard guard(lock_);
    if (fd_ < 0) throw CommandClientError::notConnected();

    CommandRequest copy = request;
    copy.channel = channel_;
    // The token authenticates the connection once; it never travels again.
    copy.params.token.reset();
    if (progress) copy.progress = true;

    try {
        writeRequest(copy);
        return readResponse(&progress);
    } catch (...) {
        dropConnection();
        throw;
    }
}

}  // namespace kivo
