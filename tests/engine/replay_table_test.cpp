#include <gtest/gtest.h>

#include "engine/replay_table.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

CommandRequest highlight(std::string id, std::string operationId,
                         CommandChannel channel = CommandChannel::ui) {
    CommandRequest request;
    request.id = std::move(id);
    request.method = CommandMethod::addHighlight;
    request.channel = channel;
    request.operationId = std::move(operationId);
    request.expectedRevision = 3;
    request.params.sessionId = "S1";
    request.params.pageId = "P1";
    request.params.rect = PDFRect{1, 2, 3, 4};
    return request;
}

CommandResponse answer(std::string id, std::int64_t revision) {
    CommandResult result;
    result.revision = revision;
    return CommandResponse::success(std::move(id), result);
}

std::string codeOf(const ReplayTable& table, const CommandRequest& request,
                   const std::set<std::string>& grants = {}) {
    try {
        const auto response = table.replayed(request, grants);
        return response ? "replayed" : "runs";
    } catch (const EngineFailure& failure) {
        return std::string(rawValue(failure.code));
    }
}

TEST(ReplayTable, DecidesPerRequest) {
    ReplayTable table;
    table.remember(highlight("r1", "op"), answer("r1", 4));
    table.remember(highlight("r2", "mcp-op", CommandChannel::mcp), answer("r2", 5));

    struct Case {
        const char* name;
        CommandRequest request;
        std::set<std::string> grants;
        std::string expected;
    };
    auto otherPage = highlight("x", "op");
    otherPage.params.pageId = "P2";
    auto otherRevision = highlight("x", "op");
    otherRevision.expectedRevision = 4;
    auto otherSession = highlight("x", "op");
    otherSession.params.sessionId = "S2";
    auto withToken = highlight("x", "op");
    withToken.params.token = "secret";
    auto withProgress = highlight("x", "op");
    withProgress.progress = true;
    auto readOnly = highlight("x", "op");
    readOnly.method = CommandMethod::inspect;
    auto emptyOperation = highlight("x", "");
    auto noOperation = highlight("x", "");
    noOperation.operationId.reset();

    const Case cases[] = {
        {"same request, new id", highlight("x", "op"), {}, "replayed"},
        {"other page", otherPage, {}, "operation_conflict"},
        {"other expected revision", otherRevision, {}, "operation_conflict"},
        {"other session", otherSession, {}, "operation_conflict"},
        {"differs only in token", withToken, {}, "replayed"},
        {"differs only in progress", withProgress, {}, "replayed"},
        {"same id on another channel", highlight("x", "op", CommandChannel::cli), {}, "runs"},
        {"unknown operation id", highlight("x", "new"), {}, "runs"},
        {"reading method is never replayed", readOnly, {}, "runs"},
        {"empty operation id", emptyOperation, {}, "runs"},
        {"no operation id", noOperation, {}, "runs"},
        {"mcp repeat with grant", highlight("x", "mcp-op", CommandChannel::mcp), {"S1"}, "replayed"},
        {"mcp repeat after grant withdrawn",
         highlight("x", "mcp-op", CommandChannel::mcp),
         {},
         "unauthorized"},
    };
    for (const Case& c : cases) EXPECT_EQ(codeOf(table, c.request, c.grants), c.expected) << c.name;

    const auto replay = table.replayed(highlight("again", "op"), {});
    ASSERT_TRUE(replay.has_value());
    EXPECT_EQ(*replay, answer("again", 4));
}

TEST(ReplayTable, StoresOnlySuccessfulChanges) {
    ReplayTable table;
    table.remember(highlight("r1", "failed"),
                   CommandResponse::failure("r1", FailureCode::staleRevision, "x"));
    auto inspect = highlight("r2", "read");
    inspect.method = CommandMethod::inspect;
    table.remember(inspect, answer("r2", 1));
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(codeOf(table, highlight("r3", "failed")), "runs");
}

TEST(ReplayTable, ForgetsTheOldestKeyPastCapacity) {
    ReplayTable table;
    for (std::size_t i = 0; i <= ReplayTable::capacity; ++i) {
        table.remember(highlight("r", "op" + std::to_string(i)), answer("r", static_cast<std::int64_t>(i)));
        if (i == 1) table.remember(highlight("r", "op0"), answer("r", 99));  // a rewrite keeps its place
    }
    EXPECT_EQ(table.size(), ReplayTable::capacity);
    EXPECT_EQ(codeOf(table, highlight("x", "op0")), "runs");
    EXPECT_EQ(codeOf(table, highlight("x", "op1")), "replayed");
    EXPECT_EQ(codeOf(table, highlight("x", "op512")), "replayed");
}

TEST(ReplayTable, FingerprintIsCanonical) {
    auto request = highlight("a", "op");
    request.params.token = "t";
    EXPECT_EQ(
        ReplayTable::fingerprint(request),
        R"({"expectedRevision":3,"method":"add_highlight","params":{"pageId":"P1","rect":{"bottom":2,"left":1,)"
        R"("right":3,"top":4},"sessionId":"S1"}})");
}

}  // namespace
}  // namespace kivo
