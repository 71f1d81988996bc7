#include "fake_http_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace kivo::testing {
namespace {

constexpr std::size_t kMaximumHead = 64 << 10;
constexpr std::size_t kMaximumBody = 16 << 20;
constexpr int kReadTimeoutMs = 5000;

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return std::string(text);
}

// Reads more bytes into `buffer`; false at the end, on an error or after the timeout.
bool readMore(int fd, std::string& buffer) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kReadTimeoutMs) <= 0) return false;
    char chunk[16384];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::optional<RecordedRequest> readRequest(int fd) {
    std::string buffer;
    std::size_t headEnd = std::string::npos;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > kMaximumHead || !readMore(fd, buffer)) return std::nullopt;
    }
    RecordedRequest request;
    std::string_view head(buffer.data(), headEnd);
    const auto lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos) return std::nullopt;
    request.method = std::string(requestLine.substr(0, firstSpace));
    request.target = std::string(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    std::size_t at = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (at < head.size()) {
        const auto end = std::min(head.find("\r\n", at), head.size());
        const std::string_view line = head.substr(at, end - at);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) {
            request.headers.emplace_back(lowered(std::string(line.substr(0, colon))),
                                         trimmed(line.substr(colon + 1)));
        }
        at = end + 2;
    }
    std::size_t length = 0;
    if (const auto declared = request.header("content-length"))
        length = std::strtoull(declared->c_str(), nullptr, 10);
    if (length > kMaximumBody) return std::nullopt;
    std::string rest = buffer.substr(headEnd + 4);
    while (rest.size() < length) {
        if (!readMore(fd, rest)) return std::nullopt;
    }
    request.body = rest.substr(0, length);
    return request;
}

std::string head(int status, const std::vector<std::string>& headers) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + FakeHttpServer::reason(status) + "\r\n";
    for (const auto& header : headers) text += header + "\r\n";
    return text;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    const std::string wanted = lowered(std::string(name));
    for (const auto& [key, value] : headers) {
        if (key == wanted) return value;
    }
    return std::nullopt;
}

void FakeConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool FakeConnection::pause(std::chrono::milliseconds duration) {
    // Wait in short slices, so that a client that hung up frees the server for the next one.
    const auto end = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        if (!server_.wait(std::min(left, std::chrono::milliseconds(20)))) return false;
        pollfd p{fd_, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return false;
    }
}

void FakeConnection::respond(int status, std::string_view body, const std::vector<std::string>& headers) {
    send(head(status, headers) + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n");
    send(body);
}

void FakeConnection::startBody(int status, const std::vector<std::string>& headers) {
    send(head(status, headers) + "Connection: close\r\n\r\n");
}

void FakeConnection::startChunked(int status, const std::vector<std::string>& headers) {
    send(head(status, headers) + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
}

void FakeConnection::chunk(std::string_view data) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    send(std::string(size) + std::string(data) + "\r\n");
}

void FakeConnection::endChunked() { send("0\r\n\r\n"); }

FakeHttpServer::FakeHttpServer(Handler handler, const std::string& host)
    : host_(host), handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t length = sizeof address;
    int pipe[2];
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::abort();
    }
    wakeRead_ = pipe[0];
    wakeWrite_ = pipe[1];
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

FakeHttpServer::~FakeHttpServer() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    const char byte = 0;
    [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
    thread_.join();
    for (const int fd : {listener_, wakeRead_, wakeWrite_}) ::close(fd);
}

void FakeHttpServer::setHandler(Handler handler) {
    std::lock_guard guard(lock_);
    handler_ = std::move(handler);
}

std::string FakeHttpServer::url() const { return "http://" + host_ + ":" + std::to_string(port_); }

std::vector<RecordedRequest> FakeHttpServer::requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

int FakeHttpServer::connections() const {
    std::lock_guard guard(lock_);
    return connections_;
}

std::string FakeHttpServer::reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 307: return "Temporary Redirect";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 429: return "Too Many Requests";
        default: return "Status";
    }
}

bool FakeHttpServer::stopping() const {
    std::lock_guard guard(lock_);
    return stopping_;
}

bool FakeHttpServer::wait(std::chrono::milliseconds duration) {
    std::unique_lock guard(lock_);
    return !changed_.wait_for(guard, duration, [this] { return stopping_; });
}

void FakeHttpServer::serve() {
    while (!stopping()) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN) != 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            std::lock_guard guard(lock_);
            ++connections_;
        }
        handle(fd);
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

void FakeHttpServer::handle(int fd) {
    const auto request = readRequest(fd);
    if (!request) return;
    Handler handler;
    {
        std::lock_guard guard(lock_);
        requests_.push_back(*request);
        handler = handler_;
    }
    FakeConnection connection(*this, fd);
    if (handler) handler(*request, connection);
}

}  // namespace kivo::testing
