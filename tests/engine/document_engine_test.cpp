#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/document_engine.hpp"
#include "engine/pdfium_runtime.hpp"

namespace kivo {
namespace {

CommandRequest request(std::string id, CommandMethod method, CommandChannel channel = CommandChannel::cli) {
    CommandRequest r;
    r.id = std::move(id);
    r.method = method;
    r.channel = channel;
    return r;
}

std::string codeOf(const CommandResponse& response) { return response.error ? response.error->code : "ok"; }

// Collects progress lines from another thread and lets the test wait for the n-th.
class ProgressLog {
public:
    DocumentEngine::ProgressFunction function() {
        return [this](const CommandProgress& line) {
            std::lock_guard guard(lock_);
            lines_.push_back(line);
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return lines_.size() >= count; });
    }
    std::vector<CommandPhase> phases() {
        std::lock_guard guard(lock_);
        std::vector<CommandPhase> out;
        for (const auto& line : lines_) out.push_back(line.phase);
        return out;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<CommandProgress> lines_;
};

TEST(DocumentEngine, PingAndHelloAnswerPongOnly) {
    DocumentEngine engine(ResourceLimits::unlimited());
    for (const auto method : {CommandMethod::ping, CommandMethod::hello}) {
        for (const auto channel : {CommandChannel::ui, CommandChannel::mcp, CommandChannel::cli}) {
            const auto response = engine.handle(request("p", method, channel));
            CommandResult expected;
            expected.pong = true;
            EXPECT_EQ(response, CommandResponse::success("p", expected)) << rawValue(method) << rawValue(channel);
        }
    }
}

TEST(DocumentEngine, MCPAllowList) {
    DocumentEngine engine(ResourceLimits::unlimited());
    const std::set<std::string_view> allowed = {
        "ping",         "inspect",           "render_page",       "extract_text",   "search",
        "list_annotations", "ask_document",  "add_highlight",     "add_note",       "add_ink",
        "add_content",  "update_annotation", "remove_annotation", "fill_form",      "organize_pages",
        "rotate_pages", "delete_pages",      "merge_documents",   "extract_pages",  "save_document",
        "export_document", "undo",           "redo",              "list_documents"};
    EXPECT_EQ(allowed.size(), 24u);
    for (std::size_t i = 0; i < commandMethodWireNames.size(); ++i) {
        const auto method = static_cast<CommandMethod>(i);
        const std::string name(rawValue(method));
        EXPECT_EQ(isMCPAllowedMethod(method), allowed.contains(name)) << name;
        if (method == CommandMethod::hello) continue;  // answered like ping wherever it reaches the engine
        const auto response = engine.handle(request("m", method, CommandChannel::mcp));
        const bool refused = response.error &&
                             *response.error == CommandErrorPayload{"unauthorized", "MCP cannot call " + name + "."};
        EXPECT_EQ(refused, !allowed.contains(name)) << name << ": " << codeOf(response);
    }
}

TEST(DocumentEngine, GuardsBeforeAnyDocument) {
    DocumentEngine engine(ResourceLimits::unlimited());
    struct Case {
        const char* name;
        CommandRequest request;
        std::string code;
        std::string message;
    };
    const auto with = [](CommandRequest r, auto change) {
        change(r);
        return r;
    };
    const std::string notFound = "No open document matches that session.";
    const Case cases[] = {
        {"mcp edit without expectedRevision",
         with(request("1", CommandMethod::addHighlight, CommandChannel::mcp), [](auto& r) { r.operationId = "op"; }),
         "invalid_argument", "MCP mutations require expectedRevision."},
        {"mcp edit with empty operationId", with(request("2", CommandMethod::undo, CommandChannel::mcp), [](auto& r) {
             r.expectedRevision = 1;
             r.operationId = "";
         }),
         "invalid_argument", "MCP mutations require operationId for deduplication."},
        {"mcp edit, unknown session", with(request("3", CommandMethod::redo, CommandChannel::mcp), [](auto& r) {
             r.expectedRevision = 1;
             r.operationId = "op";
             r.params.sessionId = "nope";
         }),
         "not_found", notFound},
        {"ui edit without revision, unknown session", request("4", CommandMethod::addNote, CommandChannel::ui),
         "not_found", notFound},
        {"inspect, no session id", request("5", CommandMethod::inspect), "not_found", notFound},
        {"close, unknown session",
         with(request("6", CommandMethod::close), [](auto& r) { r.params.sessionId = "x"; }), "not_found", notFound},
        {"open without path", request("7", CommandMethod::open), "invalid_argument", "open requires a file path."},
        {"cancel on mcp", request("8", CommandMethod::cancel, CommandChannel::mcp), "unauthorized",
         "MCP cannot call cancel."},
        {"cancel without requestId", request("9", CommandMethod::cancel), "invalid_argument",
         "cancel requires requestId."},
        {"cancel with empty requestId",
         with(request("10", CommandMethod::cancel), [](auto& r) { r.params.requestId = ""; }), "invalid_argument",
         "cancel requires requestId."},
        {"set_grants on mcp", request("11", CommandMethod::setGrants, CommandChannel::mcp), "unauthorized",
         "MCP cannot call set_grants."},
    };
    for (const Case& c : cases) {
        const auto response = engine.handle(c.request);
        EXPECT_EQ(response.id, c.request.id) << c.name;
        EXPECT_EQ(response.error, (CommandErrorPayload{c.code, c.message})) << c.name;
        EXPECT_FALSE(response.result.has_value()) << c.name;
    }

    auto cancel = request("c", CommandMethod::cancel);
    cancel.params.requestId = "not-running";
    const auto answer = engine.handle(cancel);
    ASSERT_TRUE(answer.ok);
    EXPECT_EQ(answer.result->cancelled, false);
}

TEST(DocumentEngine, ProgressLinesComeInOrderAndOnlyWhenAsked) {
    DocumentEngine engine(ResourceLimits::unlimited());
    ProgressLog log;
    std::unique_lock held(PdfiumRuntime::lock());
    std::optional<CommandResponse> response;
    std::thread waiting([&] {
        auto r = request("slow", CommandMethod::ping);
        r.progress = true;
        response = engine.handle(r, log.function());
    });
    ASSERT_TRUE(log.waitFor(1));
    held.unlock();
    waiting.join();
    EXPECT_EQ(log.phases(), (std::vector<CommandPhase>{CommandPhase::waiting, CommandPhase::started}));
    EXPECT_TRUE(response && response->ok);

    ProgressLog silent;
    EXPECT_TRUE(engine.handle(request("quiet", CommandMethod::ping), silent.function()).ok);
    EXPECT_TRUE(silent.phases().empty());
}

TEST(DocumentEngine, CancelReachesAWaitingCommandOnItsOwnChannelOnly) {
    DocumentEngine engine(ResourceLimits::unlimited());
    ProgressLog log;
    std::unique_lock held(PdfiumRuntime::lock());
    std::optional<CommandResponse> response;
    std::thread waiting([&] {
        auto r = request("target", CommandMethod::listDocuments, CommandChannel::ui);
        r.progress = true;
        response = engine.handle(r, log.function());
    });
    ASSERT_TRUE(log.waitFor(1));

    // Answered at once although the engine lock is taken.
    const auto cancelFrom = [&](CommandChannel channel) {
        auto cancel = request("c", CommandMethod::cancel, channel);
        cancel.params.requestId = "target";
        return engine.handle(cancel);
    };
    EXPECT_EQ(cancelFrom(CommandChannel::cli).result->cancelled, false);
    EXPECT_EQ(cancelFrom(CommandChannel::ui).result->cancelled, true);
    EXPECT_EQ(cancelFrom(CommandChannel::ui).result->cancelled, true);
    waiting.join();  // gives up within a slice, while the lock is still held
    held.unlock();

    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(*response, CommandResponse::failure("target", "cancelled", "Cancelled before it finished. Nothing changed."));
    EXPECT_EQ(log.phases(), std::vector<CommandPhase>{CommandPhase::waiting});
    EXPECT_EQ(cancelFrom(CommandChannel::ui).result->cancelled, false);  // no longer registered
}

TEST(DocumentEngine, ACancelledCommandStopsAtItsNextStep) {
    DocumentEngine engine(ResourceLimits::unlimited());
    std::unique_lock held(PdfiumRuntime::lock());
    std::optional<CommandResponse> response;
    ProgressLog log;
    std::thread waiting([&] {
        auto r = request("x", CommandMethod::ping);
        r.progress = true;
        response = engine.handle(r, log.function());
    });
    ASSERT_TRUE(log.waitFor(1));
    auto cancel = request("c", CommandMethod::cancel);
    cancel.params.requestId = "x";
    EXPECT_EQ(engine.handle(cancel).result->cancelled, true);
    // Released before the waiter notices: it then takes the lock and stops at its start step.
    held.unlock();
    waiting.join();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(codeOf(*response), "cancelled");
}

}  // namespace
}  // namespace kivo
