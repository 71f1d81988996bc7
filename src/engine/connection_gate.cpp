#include "engine/connection_gate.hpp"

namespace kivo {

const CommandResponse* ConnectionGate::Decision::response() const noexcept {
    if (const auto* reply = std::get_if<Reply>(&value_)) return &reply->response;
    if (const auto* reject = std::get_if<Reject>(&value_)) return &reject->response;
    return nullptr;
}

const CommandRequest* ConnectionGate::Decision::request() const noexcept {
    if (const auto* dispatch = std::get_if<Dispatch>(&value_)) return &dispatch->request;
    return nullptr;
}

ConnectionGate::ConnectionGate(std::string uiToken, std::string mcpToken)
    : uiToken_(std::move(uiToken)), mcpToken_(std::move(mcpToken)) {}

bool ConnectionGate::matches(std::string_view candidate, std::string_view stored) noexcept {
    if (stored.empty()) return false;
    // volatile keeps the compiler from turning the loop into an early exit.
    volatile unsigned difference = static_cast<unsigned>(candidate.size() ^ stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const unsigned char mine = static_cast<unsigned char>(stored[i]);
        const unsigned char theirs = i < candidate.size() ? static_cast<unsigned char>(candidate[i]) : 0;
        difference = difference | static_cast<unsigned>(mine ^ theirs);
    }
    return difference == 0;
}

ConnectionGate::Decision ConnectionGate::admit(const CommandRequest& request) {
    if (request.method == CommandMethod::hello) {
        if (channel_) {
            return Reply{CommandResponse::failure(
                request.id, FailureCode::invalidArgument,
                "This connection is already authenticated as " + std::string(rawValue(*channel_)) + ".")};
        }
        const std::string token = request.params.token.value_or("");
        // Both comparisons always run, so timing tells nothing about which token was close.
        const bool isUI = matches(token, uiToken_);
        const bool isMCP = matches(token, mcpToken_);
        if (isUI) {
            channel_ = CommandChannel::ui;
        } else if (isMCP) {
            channel_ = CommandChannel::mcp;
        } else {
            return Reject{CommandResponse::failure(
                request.id, FailureCode::unauthorized,
                "The Kivo PDF token did not match. Reopen the editor and reconnect.")};
        }
        CommandResult result;
        result.pong = true;
        return Reply{CommandResponse::success(request.id, std::move(result))};
    }
    if (!channel_) {
        return Reject{CommandResponse::failure(request.id, FailureCode::unauthorized,
                                               "Send hello with the Kivo PDF token before other commands.")};
    }
    CommandRequest stamped = request;
    stamped.channel = *channel_;
    stamped.params.token.reset();
    return Dispatch{std::move(stamped)};
}

}  // namespace kivo
