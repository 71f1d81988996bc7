#include "core/line_io.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/command_json.hpp"
#include "core/text.hpp"

namespace kivo {
namespace {

[[noreturn]] void throwErrno(int error, const char* what) {
    throw std::system_error(error != 0 ? error : EIO, std::generic_category(), what);
}

}  // namespace

LineReader::LineReader() : chunk_(std::make_unique<char[]>(chunkSize)) {}

void LineReader::clear() noexcept {
    pending_.clear();
    head_ = 0;
}

std::string LineReader::readLine(int fd) {
    // Offset, from head_, where the search for a line feed resumes: bytes
    // already searched are never searched again, however many reads a long
    // line takes.
    std::size_t searched = 0;
    for (;;) {
        const auto position = pending_.find('\n', head_ + searched);
        if (position != std::string::npos) {
            std::string line = pending_.substr(head_, position - head_);
            head_ = position + 1;
            if (head_ == pending_.size()) clear();
            if (!isValidUTF8(line)) throw CommandCodecError::notUTF8();
            return line;
        }
        searched = pending_.size() - head_;

        const ssize_t n = ::read(fd, chunk_.get(), chunkSize);
        if (n == 0) throw std::system_error(EPIPE, std::generic_category(), "The connection was closed.");
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno(errno, "read");
        }
        if (head_ > 0) {
            pending_.erase(0, head_);
            head_ = 0;
        }
        pending_.append(chunk_.get(), static_cast<std::size_t>(n));
        if (pending_.size() > maxPendingBytes) {
            throw CommandCodecError::lineTooLong(static_cast<std::int64_t>(pending_.size()));
        }
    }
}

void writeAll(int fd, std::string_view bytes) {
    bool isSocket = true;
    while (!bytes.empty()) {
        const ssize_t n = isSocket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                                   : ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOTSOCK && isSocket) {
                isSocket = false;
                continue;
            }
            throwErrno(errno, "write");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace kivo
