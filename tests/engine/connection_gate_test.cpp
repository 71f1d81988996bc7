#include <gtest/gtest.h>

#include "engine/connection_gate.hpp"

namespace kivo {
namespace {

CommandRequest request(CommandMethod method, std::optional<std::string> token = std::nullopt,
                       CommandChannel channel = CommandChannel::cli) {
    CommandRequest r;
    r.id = "R";
    r.method = method;
    r.channel = channel;
    r.params.token = std::move(token);
    return r;
}

TEST(ConnectionGate, FirstRequest) {
    struct Case {
        const char* name;
        CommandRequest request;
        bool closes;
        std::optional<CommandChannel> channel;
        std::string code;  // empty for success
        std::string message;
    };
    const std::string mismatch = "The Kivo PDF token did not match. Reopen the editor and reconnect.";
    const Case cases[] = {
        {"editor token", request(CommandMethod::hello, "ui-token"), false, CommandChannel::ui, "", ""},
        {"mcp token", request(CommandMethod::hello, "mcp-token"), false, CommandChannel::mcp, "", ""},
        {"one byte off", request(CommandMethod::hello, "ui-tokem"), true, std::nullopt, "unauthorized",
         mismatch},
        {"prefix", request(CommandMethod::hello, "ui-toke"), true, std::nullopt, "unauthorized", mismatch},
        {"extra bytes", request(CommandMethod::hello, "ui-token!"), true, std::nullopt, "unauthorized",
         mismatch},
        {"empty token", request(CommandMethod::hello, ""), true, std::nullopt, "unauthorized", mismatch},
        {"no token", request(CommandMethod::hello), true, std::nullopt, "unauthorized", mismatch},
        {"not hello", request(CommandMethod::ping, "ui-token"), true, std::nullopt, "unauthorized",
         "Send hello with the Kivo PDF token before other commands."},
    };
    for (const Case& c : cases) {
        ConnectionGate gate("ui-token", "mcp-token");
        const auto decision = gate.admit(c.request);
        ASSERT_NE(decision.response(), nullptr) << c.name;
        EXPECT_EQ(decision.request(), nullptr) << c.name;
        EXPECT_EQ(decision.closesConnection(), c.closes) << c.name;
        EXPECT_EQ(gate.channel(), c.channel) << c.name;
        EXPECT_EQ(decision.response()->id, "R") << c.name;
        EXPECT_EQ(decision.response()->ok, c.code.empty()) << c.name;
        if (c.code.empty()) {
            EXPECT_EQ(decision.response()->result->pong, true) << c.name;
        } else {
            EXPECT_EQ(decision.response()->error, (CommandErrorPayload{c.code, c.message})) << c.name;
        }
    }
}

TEST(ConnectionGate, AuthenticatedConnectionStampsItsChannel) {
    ConnectionGate gate("ui-token", "mcp-token");
    ASSERT_FALSE(gate.admit(request(CommandMethod::hello, "mcp-token")).closesConnection());

    auto claimed = request(CommandMethod::inspect, "ui-token", CommandChannel::ui);
    claimed.operationId = "op";
    claimed.expectedRevision = 3;
    claimed.progress = true;
    const auto decision = gate.admit(claimed);
    ASSERT_NE(decision.request(), nullptr);
    EXPECT_EQ(decision.response(), nullptr);
    EXPECT_FALSE(decision.closesConnection());
    auto expected = claimed;
    expected.channel = CommandChannel::mcp;
    expected.params.token.reset();
    EXPECT_EQ(*decision.request(), expected);

    const auto second = gate.admit(request(CommandMethod::hello, "ui-token"));
    EXPECT_FALSE(second.closesConnection());
    EXPECT_EQ(second.response()->error,
              (CommandErrorPayload{"invalid_argument", "This connection is already authenticated as mcp."}));
    EXPECT_EQ(gate.channel(), CommandChannel::mcp);
}

TEST(ConnectionGate, TokenComparison) {
    EXPECT_TRUE(ConnectionGate::matches("abc", "abc"));
    EXPECT_FALSE(ConnectionGate::matches("", ""));
    EXPECT_FALSE(ConnectionGate::matches("abc", ""));
    EXPECT_FALSE(ConnectionGate::matches("ab", "abc"));
    EXPECT_FALSE(ConnectionGate::matches(std::string("abc\0", 4), "abc"));
    EXPECT_FALSE(ConnectionGate::matches("xbc", "abc"));
}

}  // namespace
}  // namespace kivo
