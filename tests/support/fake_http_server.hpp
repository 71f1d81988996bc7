#pragma once

// A scriptable HTTP/1.1 server on a loopback address (port 0) for tests of HTTP clients: the
// model providers, the update checker, anything over kivo::Http. It records every request and
// lets a handler write the reply byte by byte, with pauses, so that tests can split lines
// across writes, trickle, stall, cut a reply or stay silent.
//
// Connections are served one at a time on the server's own thread and closed after the
// handler returns. The destructor wakes any handler that is pausing and joins the thread, so
// a test never hangs on it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kivo::testing {

struct RecordedRequest {
    std::string method;
    // The request target: path and query.
    std::string target;
    // Names lower-cased, in arrival order.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::optional<std::string> header(std::string_view name) const;
};

class FakeHttpServer;

// The reply side of one connection, for handlers.
class FakeConnection {
public:
    // Writes the bytes as they stand; a client that went away makes this a no-op.
    void send(std::string_view bytes);
    // Waits, but returns false at once when the server is stopping or the client hung up.
    bool pause(std::chrono::milliseconds duration);

    // A whole reply with Content-Length.
    void respond(int status, std::string_view body, const std::vector<std::string>& headers = {});
    // The head of a reply whose body runs until the connection closes.
    void startBody(int status, const std::vector<std::string>& headers = {});
    // The head of a chunked reply, its chunks and its end.
    void startChunked(int status, const std::vector<std::string>& headers = {});
    void chunk(std::string_view data);
    void endChunked();

private:
    friend class FakeHttpServer;
    FakeConnection(FakeHttpServer& server, int fd) : server_(server), fd_(fd) {}

    FakeHttpServer& server_;
    int fd_;
};

class FakeHttpServer {
public:
    using Handler = std::function<void(const RecordedRequest&, FakeConnection&)>;

    // Listens on `host` (a loopback IPv4 address) at a free port. Aborts when it cannot.
    explicit FakeHttpServer(Handler handler, const std::string& host = "127.0.0.1");
    ~FakeHttpServer();
    FakeHttpServer(const FakeHttpServer&) = delete;
    FakeHttpServer& operator=(const FakeHttpServer&) = delete;

    void setHandler(Handler handler);

    std::uint16_t port() const noexcept { return port_; }
    // "http://<host>:<port>"
    std::string url() const;
    std::vector<RecordedRequest> requests() const;
    // Connections accepted so far, with or without a whole request.
    int connections() const;

    // The status line's reason phrase for the few statuses tests use.
    static std::string reason(int status);

private:
    friend class FakeConnection;

    void serve();
    void handle(int fd);
    bool stopping() const;
    bool wait(std::chrono::milliseconds duration);

    std::string host_;
    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    Handler handler_;
    std::vector<RecordedRequest> requests_;
    int connections_ = 0;
    std::thread thread_;
};

}  // namespace kivo::testing
