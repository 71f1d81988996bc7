#include "mcp/mcp_server.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "mcp_test_support.hpp"

namespace kivo {
namespace {

using mcptest::Session;
using nlohmann::json;

json errorReply(const json& id, int code, const std::string& message) {
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

// No test here reaches a worker: tool calls would only find none. Counts how
// often a connection was tried.
MCPServer::ClientFactory noWorker(int* attempts = nullptr) {
    return [attempts]() -> std::unique_ptr<CommandClient> {
        if (attempts != nullptr) ++*attempts;
        throw std::runtime_error("no worker in this test");
    };
}

TEST(MCPServer, ProtocolErrorsAndSilence) {
    struct Case {
        const char* label;
        std::string line;
        std::optional<json> reply;  // nothing: no reply at all
    };
    const std::vector<Case> cases = {
        {"empty line", "", std::nullopt},
        {"blanks only", " \t  \t", std::nullopt},
        {"unicode blanks only", "\xC2\xA0\xE2\x80\x83 \xE3\x80\x80", std::nullopt},
        {"malformed", "{", errorReply(nullptr, -32700, "Parse error")},
        {"garbage", "hello", errorReply(nullptr, -32700, "Parse error")},
        {"bare number", "42", errorReply(nullptr, -32700, "Parse error")},
        {"bare string", "\"ping\"", errorReply(nullptr, -32700, "Parse error")},
        {"bare true", "true", errorReply(nullptr, -32700, "Parse error")},
        {"bare null", "null", errorReply(nullptr, -32700, "Parse error")},
        {"two values", "{} {}", errorReply(nullptr, -32700, "Parse error")},
        {"too deep", std::string(600, '[') + std::string(600, ']'),
         errorReply(nullptr, -32700, "Parse error")},
        {"batch", R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])",
         errorReply(nullptr, -32600, "Invalid request. Batches are not supported.")},
        {"empty batch", "[]", errorReply(nullptr, -32600, "Invalid request. Batches are not supported.")},
        {"ping without id", R"({"jsonrpc":"2.0","method":"ping"})", std::nullopt},
        {"ping with null id", R"({"jsonrpc":"2.0","id":null,"method":"ping"})", std::nullopt},
        {"unknown notification", R"({"method":"notifications/initialized"})", std::nullopt},
        {"tools/call notification", R"({"method":"tools/call","params":{"name":"undo"}})", std::nullopt},
        {"stray result", R"({"id":3,"result":{}})", std::nullopt},
        {"stray error", R"({"id":3,"error":null})", std::nullopt},
        {"only id", R"({"id":3})", errorReply(3, -32600, "Invalid request")},
        {"numeric method", R"({"id":3,"method":7})", errorReply(3, -32600, "Invalid request")},
        {"only null id", R"({"id":null})", errorReply(nullptr, -32600, "Invalid request")},
        {"empty object", "{}", errorReply(nullptr, -32600, "Invalid request")},
        {"unknown method", R"({"id":"a","method":"resources/list"})",
         errorReply("a", -32601, "Method not found: resources/list")},
        {"capital I", R"({"id":4,"method":"Initialize"})",
         errorReply(4, -32601, "Method not found: Initialize")},
        {"unknown tool", R"({"id":5,"method":"tools/call","params":{"name":"inspect"}})",
         errorReply(5, -32602, "Unknown tool inspect")},
        {"tools/call without params", R"({"id":6,"method":"tools/call"})",
         errorReply(6, -32602, "Unknown tool ")},
        {"tool name not a string", R"({"id":6,"method":"tools/call","params":{"name":5}})",
         errorReply(6, -32602, "Unknown tool ")},
        {"ping without jsonrpc", R"({"id":7,"method":"ping"})",
         json{{"jsonrpc", "2.0"}, {"id", 7}, {"result", json::object()}}},
        {"params as array", R"({"id":8,"method":"ping","params":[1]})",
         json{{"jsonrpc", "2.0"}, {"id", 8}, {"result", json::object()}}},
    };
    int attempts = 0;
    Session session(noWorker(&attempts));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto replies = session.replies(c.line);
        if (!c.reply) {
            EXPECT_TRUE(replies.empty()) << replies.front().dump();
        } else {
            ASSERT_EQ(replies.size(), 1u);
            EXPECT_EQ(replies.front(), *c.reply);
            EXPECT_EQ(session.rawLines().front().back(), '\n');
            EXPECT_EQ(session.rawLines().front().find('\n'), session.rawLines().front().size() - 1);
        }
    }
    EXPECT_EQ(attempts, 0) << "no tool was called";
}

TEST(MCPServer, IdsAreEchoedAsSent) {
    Session session(noWorker());
    for (const char* id :
         {R"("abc")", "12", "-3", "1.5", "1.0", "true", R"({"k":[1,"x"]})", "[]", "18446744073709551615"}) {
        const auto reply = session.reply(std::string(R"({"method":"ping","id":)") + id + "}");
        EXPECT_EQ(reply["id"], json::parse(id)) << id;
        // Written back as the same JSON text, not only an equal number.
        EXPECT_NE(session.rawLines().front().find(std::string("\"id\":") + id), std::string::npos)
            << session.rawLines().front();
    }
}

TEST(MCPServer, InitializeNegotiatesTheVersion) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"protocolVersion":"2025-03-26"})", "2025-03-26"},
        {R"({"protocolVersion":"2024-11-05"})", "2024-11-05"},
        {R"({"protocolVersion":"2025-06-18","capabilities":{}})", "2025-06-18"},
        {R"({"protocolVersion":"2025-11-25"})", "2025-11-25"},
        {R"({"protocolVersion":"2023-01-01"})", "2025-11-25"},
        {R"({"protocolVersion":20250326})", "2025-11-25"},
        {R"({})", "2025-11-25"},
        {R"(null)", "2025-11-25"},
    };
    Session session(noWorker());
    for (const auto& [params, version] : cases) {
        const auto reply =
            session.reply(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":)" + params + "}");
        EXPECT_EQ(reply["result"]["protocolVersion"], version) << params;
    }
    const auto reply = session.reply(R"({"id":1,"method":"initialize"})");
    const json& result = reply["result"];
    EXPECT_EQ(result.size(), 4u);
    EXPECT_EQ(result["protocolVersion"], "2025-11-25");
    EXPECT_EQ(result["capabilities"], (json{{"tools", {{"listChanged", false}}}}));
    EXPECT_EQ(result["serverInfo"],
              (json{{"name", "kivo-pdf"}, {"title", "Kivo PDF"}, {"version", "0.2.0"}}));
    const auto instructions = result["instructions"].get<std::string>();
    EXPECT_EQ(instructions.size(), 699u);
    EXPECT_EQ(std::count(instructions.begin(), instructions.end(), '\n'), 3);
    EXPECT_TRUE(
        instructions.starts_with("Kivo PDF shares only the documents the user turned on with \"Allow MCP"));
    EXPECT_TRUE(instructions.ends_with("Text overlays do not redact anything."));
    EXPECT_EQ(std::string(MCPServer::unreachableText).size(), 176u);
}

TEST(MCPServer, ToolsListNeedsNoInitialize) {
    Session session(noWorker());
    const auto reply =
        session.reply(R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{"cursor":"x"}})");
    const json& result = reply["result"];
    EXPECT_EQ(result.size(), 1u) << "no cursor for a next page";
    const json& tools = result["tools"];
    ASSERT_EQ(tools.size(), 22u);
    EXPECT_EQ(tools.front()["name"], "list_documents");
    EXPECT_EQ(tools.back()["name"], "redo");
    for (std::size_t i = 0; i < tools.size(); ++i) EXPECT_EQ(tools[i], MCPTools::all()[i].definition());
}

TEST(MCPServer, RunReadsLinesAndRepairsThem) {
    std::ostringstream output;
    MCPServer server(MCPServer::streamOutput(output), noWorker());
    // CR LF endings, a blank line, invalid UTF-8 inside a string id, and a last line without its line feed.
    std::istringstream input(
        "{\"id\":1,\"method\":\"ping\"}\r\n\n{\"id\":\"a\xff\",\"method\":\"ping\"}\n"
        "{\"id\":3,\"method\":\"ping\"}");
    server.run(input);
    std::vector<std::string> out;
    std::istringstream lines(output.str());
    for (std::string line; std::getline(lines, line);) out.push_back(line);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(json::parse(out[0])["id"], 1);
    EXPECT_EQ(json::parse(out[1])["id"], "a\xEF\xBF\xBD");
    EXPECT_EQ(json::parse(out[2])["id"], 3);
}

TEST(MCPServer, FailedWriteEndsTheLoop) {
    int writes = 0;
    MCPServer server(
        [&](std::string_view) {
            ++writes;
            return false;
        },
        noWorker());
    std::istringstream input("{\"id\":1,\"method\":\"ping\"}\n{\"id\":2,\"method\":\"ping\"}\n");
    server.run(input);
    EXPECT_EQ(writes, 1);
    EXPECT_TRUE(server.outputFailed());
}

TEST(MCPServer, SlashesAreWrittenPlain) {
    Session session(noWorker());
    session.reply(R"({"id":"/tmp/a.png","method":"ping"})");
    EXPECT_EQ(session.rawLines().front(), R"({"id":"/tmp/a.png","jsonrpc":"2.0","result":{}})"
                                          "\n");
}

}  // namespace
}  // namespace kivo
