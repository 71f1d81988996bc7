#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/commands.hpp"

namespace kivo {

// Authenticates one socket connection with hello and one of the worker's two tokens, then stamps
// the channel the token stands for on every request, so a client cannot claim another channel.
// One copy per connection, used by that connection's thread only.
class ConnectionGate {
public:
    struct Reply {
        CommandResponse response;
    };
    struct Dispatch {
        CommandRequest request;
    };
    struct Reject {
        CommandResponse response;
    };

    // What the connection does with one request: answer and go on, hand it to the engine, or
    // answer and close.
    class Decision {
    public:
        Decision(Reply value) : value_(std::move(value)) {}
        Decision(Dispatch value) : value_(std::move(value)) {}
        Decision(Reject value) : value_(std::move(value)) {}

        const CommandResponse* response() const noexcept;
        const CommandRequest* request() const noexcept;
        bool closesConnection() const noexcept { return std::holds_alternative<Reject>(value_); }

    private:
        std::variant<Reply, Dispatch, Reject> value_;
    };

    ConnectionGate(std::string uiToken, std::string mcpToken);

    Decision admit(const CommandRequest& request);

    std::optional<CommandChannel> channel() const noexcept { return channel_; }

    // Token comparison whose time does not depend on where the first difference lies. An empty
    // stored token matches nothing.
    static bool matches(std::string_view candidate, std::string_view stored) noexcept;

private:
    std::optional<CommandChannel> channel_;
    std::string uiToken_;
    std::string mcpToken_;
};

}  // namespace kivo
