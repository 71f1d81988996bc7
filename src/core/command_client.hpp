#pragma once

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include "core/command_json.hpp"
#include "core/commands.hpp"
#include "core/line_io.hpp"

namespace kivo {

class CommandClientError : public std::runtime_error {
public:
    enum class Kind { rejected, notConnected };

    // The worker refused hello; carries the worker's own message.
    static CommandClientError rejected(const std::string& message);
    static CommandClientError notConnected();

    Kind kind() const noexcept { return kind_; }

private:
    CommandClientError(Kind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}

    Kind kind_;
};

// Blocking client of the worker's Unix socket: connects, proves itself with
// hello, then carries one request at a time. All operations take one lock, and
// send holds it for the whole exchange, so threads sharing a client take turns.
// Every failure of an exchange leaves the client not connected.
class CommandClient {
public:
    using ProgressHandler = std::function<void(const CommandProgress&)>;

    // Paths of this many bytes or more are refused, whatever the platform's
    // limit, so clients and the worker agree on which paths work.
    static constexpr std::size_t maxSocketPathBytes = 102;

    CommandClient(std::string socketPath, std::string token, CommandChannel channel);
    ~CommandClient();

    CommandClient(const CommandClient&) = delete;
    CommandClient& operator=(const CommandClient&) = delete;

    const std::string& socketPath() const noexcept { return socketPath_; }
    CommandChannel channel() const noexcept { return channel_; }

    bool isConnected() const;

    // Drops any current connection, connects and sends hello. Throws
    // std::system_error (ENAMETOOLONG for an overlong path, the connect error
    // otherwise), CommandClientError::rejected when hello is refused, or the
    // error of the failing write, read or decode.
    void connect();

    // Sends a copy of the request stamped with this client's channel and
    // without params.token (progress set when a handler is given), and returns
    // the response, also when it is not ok. Progress lines go to the handler on
    // this thread while the lock is held: the handler must not use this client.
    CommandResponse send(const CommandRequest& request, const ProgressHandler& progress = nullptr);

    // Closes the connection; waits for a running exchange. Never fails.
    void close() noexcept;

private:
    void dropConnection() noexcept;
    void writeRequest(const CommandRequest& request);
    CommandResponse readResponse(const ProgressHandler* progress);

    const std::string socketPath_;
    const std::string token_;
    const CommandChannel channel_;

    mutable std::mutex lock_;
    int fd_ = -1;
    LineReader reader_;
    // Answers of one session repeat its pages; they are read once per connection.
    CommandJSON::ReplyMemo memo_;
};

}  // namespace kivo
