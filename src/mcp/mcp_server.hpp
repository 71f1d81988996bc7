#pragma once

#include <functional>
#include <istream>
#include <ostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/command_client.hpp"
#include "core/commands.hpp"
#include "mcp/mcp_tools.hpp"

namespace kivo {

// The Model Context Protocol server on one input and one output: JSON-RPC 2.0,
// one message per line. Synchronous and single-threaded: each line is handled,
// including any worker exchange, and its reply written before the next is read.
// It keeps no protocol state; its one piece of state is the cached connection
// to the worker.
class MCPServer {
public:
    // Writes one whole reply line (with its line feed); false when the write
    // failed, which ends the server.
    using Output = std::function<bool(std::string_view line)>;
    // Makes an unconnected client for the worker; may throw (no token file).
    using ClientFactory = std::function<std::unique_ptr<CommandClient>()>;

    static inline constexpr const char* unreachableText =
        "Kivo PDF is not reachable. Open the Kivo PDF editor, open the document, turn on \"Allow MCP on this "
        "document\", then retry. If the editor was restarted, turn the toggle on again.";

    // Lines nested deeper than this are refused as unparsable, so that no
    // reply (which echoes the request's id) has to be written recursively
    // beyond what the stack holds.
    static constexpr int maxNestingDepth = 512;

    explicit MCPServer(Output output, ClientFactory makeClient = workerClientFactory());

    // The connector's exit status when the token file is there but not usable.
    static constexpr int unusableTokenStatus = 1;

    // A client for the worker named by the token file, on the mcp channel. The
    // file is read afresh on every call. A token file that is there but not
    // usable (UnusableTokenFile) ends the connector: one line on standard error,
    // exit status unusableTokenStatus, nothing sent.
    static ClientFactory workerClientFactory();

    // Output to a stream, flushed after every line.
    static Output streamOutput(std::ostream& stream);

    static std::string instructions();

    // Reads lines (any length; CR before LF dropped; invalid UTF-8 repaired)
    // until the input ends or a reply cannot be written.
    void run(std::istream& input);

    // One message without its line ending; writes zero or one reply. Never throws.
    void handle(std::string_view line);

    // True once a reply could not be written.
    bool outputFailed() const noexcept { return outputFailed_; }

private:
    void emit(const nlohmann::json& reply);
    void emitError(const nlohmann::json& id, int code, const std::string& message);
    void dispatch(const std::string& method, const nlohmann::json& id, const nlohmann::json& params);

    nlohmann::json call(const MCPTool& tool, const nlohmann::json& arguments);
    std::optional<CommandResponse> forward(const CommandRequest& request);
    static std::string encode(const CommandResponse& response);

    Output output_;
    ClientFactory makeClient_;
    std::unique_ptr<CommandClient> client_;
    bool outputFailed_ = false;
};

}  // namespace kivo
