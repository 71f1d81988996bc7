#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "core/commands.hpp"

namespace kivo {

// Remembers the successful answer to each change sent with an operation id, so that a client
// repeating the change (after a lost connection, say) gets the first answer instead of a second
// change. Keys are per channel; the oldest key is forgotten past `capacity`. Used only under the
// engine's document lock, so it has no lock of its own.
class ReplayTable {
public:
    static constexpr std::size_t capacity = 512;

    // The stored answer for a repeat of a remembered change, with the new request's id; nothing
    // when the request is not such a repeat. Throws EngineFailure `operationConflict` when the
    // operation id was used for a different request, and `unauthorized` when an MCP repeat names a
    // session that is no longer in `mcpSessionGrants`.
    std::optional<CommandResponse> replayed(const CommandRequest& request,
                                            const std::set<std::string>& mcpSessionGrants) const;

    // Stores a successful answer to a change that carries an operation id; anything else is ignored.
    void remember(const CommandRequest& request, const CommandResponse& response);

    // The bytes that identify what a request asks for: method, expected revision and parameters
    // without the token, in canonical JSON. Empty when the request cannot be encoded.
    static std::string fingerprint(const CommandRequest& request);

    std::size_t size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        std::string fingerprint;
        CommandResponse response;
    };

    static std::optional<std::string> key(const CommandRequest& request);

    std::unordered_map<std::string, Entry> entries_;
    std::deque<std::string> order_;  // first storage order, oldest first
};

}  // namespace kivo
