#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/command_types.hpp"
#include "core/commands.hpp"

namespace kivo {

// One tool offered to MCP clients; each call of it becomes one worker command.
struct MCPTool {
    std::string name;
    std::string title;
    std::string description;
    CommandMethod method = CommandMethod::ping;
    // Property name to JSON Schema fragment.
    nlohmann::json::object_t properties;
    std::vector<std::string> required;
    bool readOnly = false;
    bool destructive = false;

    // The tool as MCP lists it. A mutating tool also shows expectedRevision and
    // operationId, which it needs for every change; the record itself stays as it is.
    nlohmann::json definition() const;
};

namespace MCPTools {

// The 22 tools, in the order clients see them.
const std::vector<MCPTool>& all();

// Exact, case-sensitive lookup by tool name.
const std::map<std::string, const MCPTool*, std::less<>>& byName();

// Builds the worker command for one call. Arguments are carried over without
// validation (the worker decides what is acceptable): for each parameter, the
// first of its argument keys that holds a value of the right type wins, and
// ill-typed or unknown arguments are ignored. The request's id is a fresh UUID;
// expectedRevision and operationId come only from the arguments.
CommandRequest request(const MCPTool& tool, const nlohmann::json& arguments);

}  // namespace MCPTools
}  // namespace kivo
