#include "engine/replay_table.hpp"
#include "engine/method_kinds.hpp"

#include "core/command_json.hpp"
#include "core/json_writer.hpp"
#include "core/engine_failure.hpp"

namespace kivo {

std::optional<std::string> ReplayTable::key(const CommandRequest& request) {
    if (!isMutatingMethod(request.method) || !request.operationId || request.operationId->empty())
        return std::nullopt;
    return std::string(rawValue(request.channel)) + ":" + *request.operationId;
}

std::string ReplayTable::fingerprint(const CommandRequest& request) {
    try {
        CommandParams params = request.params;
        params.token.reset();
        std::string out;
        JsonWriter writer(out);
        writer.beginObject();
        if (request.expectedRevision) {
            writer.key("expectedRevision");
            writer.integer(*request.expectedRevision);
        }
        writer.key("method");
        writer.string(rawValue(request.method));
        writer.key("params");
        CommandJSON::write(writer, params);
        writer.endObject();
        return out;
    } catch (const std::exception&) {
        return {};
    }
}

std::optional<CommandResponse> ReplayTable::replayed(const CommandRequest& request,
                                                     const std::set<std::string>& mcpSessionGrants) const {
    const auto replayKey = key(request);
    if (!replayKey) return std::nullopt;
    const auto found = entries_.find(*replayKey);
    if (found == entries_.end()) return std::nullopt;
    if (fingerprint(request) != found->second.fingerprint) {
        throw EngineFailure(
            FailureCode::operationConflict,
            "That operationId was already used for a different request. Use a new operationId for a "
            "new change.");
    }
    if (request.channel == CommandChannel::mcp &&
        (!request.params.sessionId || !mcpSessionGrants.contains(*request.params.sessionId))) {
        throw EngineFailure(
            FailureCode::unauthorized,
            "That document has not been granted to MCP. In Kivo PDF, turn on Allow MCP on this document.");
    }
    CommandResponse response = found->second.response;
    response.id = request.id;
    return response;
}

void ReplayTable::remember(const CommandRequest& request, const CommandResponse& response) {
    if (!response.ok) return;
    const auto replayKey = key(request);
    if (!replayKey) return;
    auto [position, inserted] = entries_.insert_or_assign(*replayKey, Entry{fingerprint(request), response});
    if (inserted) order_.push_back(*replayKey);
    while (order_.size() > capacity) {
        entries_.erase(order_.front());
        order_.pop_front();
    }
}

}  // namespace kivo
