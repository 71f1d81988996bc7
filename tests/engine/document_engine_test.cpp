#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <functional>
#include <future>
#include <set>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/descriptor.hpp"
#include "core/ipc_paths.hpp"
#include "engine/document_engine.hpp"
#include "engine/method_kinds.hpp"
#include "session/pdfium_runtime.hpp"
#include "engine/recovery_store.hpp"
#include "session/session.hpp"
#include "command_requests.hpp"
#include "test_pdfs.hpp"
#include "engine_testing.hpp"

namespace kivo {
namespace {

using testing::request;

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
            EXPECT_EQ(response, CommandResponse::success("p", expected))
                << rawValue(method) << rawValue(channel);
        }
    }
}

TEST(DocumentEngine, MCPAllowList) {
    DocumentEngine engine(ResourceLimits::unlimited());
    const std::set<std::string_view> allowed = {"ping",
                                                "inspect",
                                                "render_page",
                                                "extract_text",
                                                "search",
                                                "list_annotations",
                                                "ask_document",
                                                "add_highlight",
                                                "add_note",
                                                "add_ink",
                                                "add_content",
                                                "update_annotation",
                                                "remove_annotation",
                                                "fill_form",
                                                "organize_pages",
                                                "rotate_pages",
                                                "delete_pages",
                                                "merge_documents",
                                                "extract_pages",
                                                "save_document",
                                                "export_document",
                                                "undo",
                                                "redo",
                                                "list_documents"};
    EXPECT_EQ(allowed.size(), 24u);
    for (std::size_t i = 0; i < commandMethodWireNames.size(); ++i) {
        const auto method = static_cast<CommandMethod>(i);
        const std::string name(rawValue(method));
        EXPECT_EQ(isMCPAllowedMethod(method), allowed.contains(name)) << name;
        if (method == CommandMethod::hello) continue;  // answered like ping wherever it reaches the engine
        const auto response = engine.handle(request("m", method, CommandChannel::mcp));
        const bool refused =
            response.error &&
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
         with(request("1", CommandMethod::addHighlight, CommandChannel::mcp),
              [](auto& r) { r.operationId = "op"; }),
         "invalid_argument", "MCP mutations require expectedRevision."},
        {"mcp edit with empty operationId",
         with(request("2", CommandMethod::undo, CommandChannel::mcp),
              [](auto& r) {
                  r.expectedRevision = 1;
                  r.operationId = "";
              }),
         "invalid_argument", "MCP mutations require operationId for deduplication."},
        {"mcp edit, unknown session",
         with(request("3", CommandMethod::redo, CommandChannel::mcp),
              [](auto& r) {
                  r.expectedRevision = 1;
                  r.operationId = "op";
                  r.params.sessionId = "nope";
              }),
         "not_found", notFound},
        {"ui edit without revision, unknown session",
         request("4", CommandMethod::addNote, CommandChannel::ui), "not_found", notFound},
        {"inspect, no session id", request("5", CommandMethod::inspect), "not_found", notFound},
        {"close, unknown session",
         with(request("6", CommandMethod::close), [](auto& r) { r.params.sessionId = "x"; }), "not_found",
         notFound},
        {"open without path", request("7", CommandMethod::open), "invalid_argument",
         "open requires a file path."},
        {"cancel on mcp", request("8", CommandMethod::cancel, CommandChannel::mcp), "unauthorized",
         "MCP cannot call cancel."},
        {"cancel without requestId", request("9", CommandMethod::cancel), "invalid_argument",
         "cancel requires requestId."},
        {"cancel with empty requestId",
         with(request("10", CommandMethod::cancel), [](auto& r) { r.params.requestId = ""; }),
         "invalid_argument", "cancel requires requestId."},
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
    EXPECT_EQ(*response, CommandResponse::failure("target", FailureCode::cancelled,
                                                  "Cancelled before it finished. Nothing changed."));
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

namespace {

namespace fs = std::filesystem;

// Waits up to 10 s for a hidden file of `name` to appear in `folder` and exchanges it with `mine`
// in one step; answers whether the exchange happened, which it cannot once the file was renamed.
bool tradeHiddenFile(int watch, const fs::path& folder, const std::string& name, const fs::path& mine) {
    const std::string prefix = "." + name + ".";
    for (;;) {
        pollfd ready{watch, POLLIN, 0};
        if (::poll(&ready, 1, 10'000) != 1) return false;
        alignas(inotify_event) std::array<char, 4096> buffer{};
        const ssize_t got = ::read(watch, buffer.data(), buffer.size());
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            const std::string created = event->len > 0 ? event->name : "";
            if (created.starts_with(prefix)) {
                return ::renameat2(AT_FDCWD, mine.c_str(), AT_FDCWD, (folder / created).c_str(),
                                   RENAME_EXCHANGE) == 0;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

// An engine with one open two-page document; support and temporary folders are private to the test.
class EngineWithDocument : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KIVO_PDF_SUPPORT_DIR", (dir.path() / "support").c_str(), 1);
        ::setenv("TMPDIR", dir.path().c_str(), 1);
        ::unsetenv("XDG_RUNTIME_DIR");
        pdf = dir.path() / "doc.pdf";
        testing::writeFile(
            pdf, testing::makePdf({testing::TestPage{}, testing::TestPage{300, 400, "Second page"}}));
        engine = std::make_unique<DocumentEngine>(ResourceLimits::unlimited());
        const auto opened = openDocument();
        sessionId = *opened.result->sessionId;
        pageId = opened.result->pages->at(0).id;
    }
    void TearDown() override {
        engine.reset();
        ::unsetenv("KIVO_PDF_SUPPORT_DIR");
        ::unsetenv("TMPDIR");
    }

    CommandResponse openDocument() {
        auto r = request("open", CommandMethod::open, CommandChannel::ui);
        r.params.path = pdf.string();
        auto response = engine->handle(r);
        EXPECT_TRUE(response.ok) << codeOf(response);
        return response;
    }

    CommandRequest onDocument(std::string id, CommandMethod method,
                              CommandChannel channel = CommandChannel::ui) {
        auto r = request(std::move(id), method, channel);
        r.params.sessionId = sessionId;
        if (channel == CommandChannel::mcp && isMutatingMethod(method)) {
            r.expectedRevision = 1;
            r.operationId = newOperation();
        }
        return r;
    }

    std::string newOperation() { return "op-" + std::to_string(++operations); }

    void grant(std::vector<std::string> permissions, std::vector<std::string> paths = {}) {
        auto r = request("g", CommandMethod::setGrants, CommandChannel::ui);
        r.params.sessionIds = std::vector<std::string>{sessionId};
        if (!permissions.empty()) r.params.permissions = std::move(permissions);
        r.params.paths = std::move(paths);
        ASSERT_TRUE(engine->handle(r).ok);
    }

    testing::TempDir dir;
    fs::path pdf;
    std::unique_ptr<DocumentEngine> engine;
    std::string sessionId;
    std::string pageId;
    int operations = 0;
};

TEST_F(EngineWithDocument, GrantsAndPermissionWordsForMCP) {
    const std::string notGranted =
        "That document has not been granted to MCP. In Kivo PDF, turn on Allow MCP on this document.";
    const auto outcome = [&](CommandRequest r) {
        const auto response = engine->handle(r);
        return response.ok ? std::string("ok") : response.error->code + ": " + response.error->message;
    };
    auto renderWithoutPage = onDocument("r", CommandMethod::renderPage, CommandChannel::mcp);
    EXPECT_EQ(outcome(renderWithoutPage), "unauthorized: " + notGranted);  // the grant comes before pageId
    EXPECT_EQ(outcome(onDocument("i", CommandMethod::inspect, CommandChannel::mcp)),
              "unauthorized: " + notGranted);

    grant({});  // no permissions given: read only
    const std::string sourceLink = (dir.path() / "link.pdf").string();
    fs::create_symlink(pdf, sourceLink);
    auto exportToSource = onDocument("e", CommandMethod::exportDocument, CommandChannel::mcp);
    exportToSource.params.destination = sourceLink;
    auto extractInPlace = onDocument("x", CommandMethod::extractPages, CommandChannel::mcp);
    auto extractToFile = onDocument("x", CommandMethod::extractPages, CommandChannel::mcp);
    extractToFile.params.destination = (dir.path() / "out.pdf").string();
    extractInPlace.params.pageIds = extractToFile.params.pageIds = std::vector<std::string>{pageId};
    auto exportElsewhere = onDocument("e", CommandMethod::exportDocument, CommandChannel::ui);
    exportElsewhere.params.destination = (dir.path() / "ungranted" / "copy.pdf").string();

    struct Case {
        const char* name;
        std::vector<std::string> permissions;
        CommandRequest request;
        std::string expected;
    };
    const Case cases[] = {
        {"read: inspect", {}, onDocument("i", CommandMethod::inspect, CommandChannel::mcp), "ok"},
        {"read: edit",
         {},
         onDocument("a", CommandMethod::addHighlight, CommandChannel::mcp),
         "unauthorized: MCP is not allowed to modify this document."},
        {"read: save",
         {},
         onDocument("s", CommandMethod::saveDocument, CommandChannel::mcp),
         "unauthorized: MCP is not allowed to export this document."},
        {"read: extract to a file",
         {},
         extractToFile,
         "unauthorized: MCP is not allowed to export this document."},
        {"read: extract in place",
         {},
         extractInPlace,
         "unauthorized: MCP is not allowed to modify this document."},
        {"modify: edit passes the guards",
         {"read", "modify"},
         onDocument("a", CommandMethod::addHighlight, CommandChannel::mcp),
         "invalid_argument: add_highlight requires pageId and rect."},
        {"export: ungranted path",
         {"read", "export"},
         extractToFile,
         "unauthorized: That path has not been granted to MCP."},
        // The grant check and the write must see the same file, which a link could change between them.
        {"export: source through a link",
         {"read", "export"},
         exportToSource,
         "permission_denied: MCP cannot write through the symbolic link " + sourceLink +
             ". Nothing changed."},
        {"editor is never checked", {}, exportElsewhere, "ok"},
    };
    for (const Case& c : cases) {
        grant(c.permissions);
        EXPECT_EQ(outcome(c.request), c.expected) << c.name;
    }

    grant({"export"}, {(dir.path() / "out.pdf").string()});
    extractToFile.operationId = newOperation();
    EXPECT_EQ(outcome(extractToFile), "ok");
    EXPECT_TRUE(fs::exists(dir.path() / "out.pdf"));
}

// Only the editor's print file repeats a page or leaves a blank between pages; every other
// channel gets the sentence for a bad page list, and no file.
TEST_F(EngineWithDocument, OnlyTheEditorsPrintFileRepeatsPagesOrLeavesBlanks) {
    const fs::path out = dir.path() / "out.pdf";
    grant({"read", "export"}, {out.string()});
    const std::string second =
        engine->handle(onDocument("i", CommandMethod::inspect)).result->pages->at(1).id;
    using Ids = std::vector<std::string>;
    const struct {
        CommandChannel channel;
        Ids ids;
        std::string expected;
    } cases[] = {
        {CommandChannel::ui, {pageId, pageId}, "ok"},
        {CommandChannel::ui, {pageId, "", second}, "ok"},
        {CommandChannel::mcp, {pageId, pageId}, "invalid_argument: Page list contains duplicates."},
        {CommandChannel::mcp, {pageId, "", second}, "invalid_page: Unknown page id."},
        {CommandChannel::cli, {pageId, pageId}, "invalid_argument: Page list contains duplicates."},
        {CommandChannel::cli, {pageId, "", second}, "invalid_page: Unknown page id."},
        {CommandChannel::mcp, {second, pageId}, "ok"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.channel));
        fs::remove(out);
        auto r = onDocument("x", CommandMethod::extractPages, c.channel);
        r.params.destination = out.string();
        r.params.pageIds = c.ids;
        const auto response = engine->handle(r);
        EXPECT_EQ(response.ok ? "ok" : response.error->code + ": " + response.error->message, c.expected);
        EXPECT_EQ(fs::exists(out), c.expected == "ok");
    }
}

// The worker warms up while it waits for its first document; a client must never see it.
TEST_F(EngineWithDocument, WarmingUpLeavesNothingBehindAndWaitsForNoCommand) {
    const auto listing = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            names.insert(entry.path().filename().string());
        return names;
    };
    const std::set<std::string> before = listing();
    const auto inspected = engine->handle(onDocument("i", CommandMethod::inspect));

    // A command holds PDFium: the warm-up gives way at once rather than queue behind it.
    std::promise<void> holding;
    std::promise<void> release;
    std::thread command([&] {
        std::lock_guard guard(PdfiumRuntime::lock());
        holding.set_value();
        release.get_future().wait();
    });
    holding.get_future().wait();
    auto warming = std::async(std::launch::async, [&] { return engine->warmUp(); });
    const bool gaveWay = warming.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    // A client's command that finds PDFium taken says it waits, so a warm-up under way would stop.
    EXPECT_FALSE(PdfiumRuntime::commandWaiting());
    auto queued = std::async(std::launch::async,
                             [&] { return engine->handle(onDocument("q", CommandMethod::inspect)); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!PdfiumRuntime::commandWaiting() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(PdfiumRuntime::commandWaiting());
    release.set_value();
    command.join();
    EXPECT_TRUE(queued.get().ok);
    EXPECT_FALSE(PdfiumRuntime::commandWaiting());
    ASSERT_TRUE(gaveWay);
    EXPECT_EQ(warming.get(), 0);
    {
        // One waits for PDFium: no further step is taken.
        const PdfiumRuntime::Waiting waiting;
        EXPECT_EQ(engine->warmUp(), 0);
    }

    EXPECT_EQ(engine->warmUp(), 4);
    EXPECT_EQ(listing(), before);
    const auto listed = engine->handle(request("l", CommandMethod::listDocuments, CommandChannel::ui));
    ASSERT_TRUE(listed.ok);
    ASSERT_EQ(listed.result->documents->size(), 1u);
    EXPECT_EQ(listed.result->documents->front().sessionId, sessionId);
    EXPECT_EQ(engine->handle(onDocument("i", CommandMethod::inspect)), inspected);
    auto render = onDocument("r", CommandMethod::renderPage);
    render.params.pageId = pageId;
    render.params.pngPath = (dir.path() / "after.png").string();
    EXPECT_TRUE(engine->handle(render).ok);
}

TEST_F(EngineWithDocument, ListsDocumentsPerChannelAndForgetsClosedOnes) {
    const std::string second = *openDocument().result->sessionId;
    EXPECT_NE(second, sessionId);
    const auto listed = [&](CommandChannel channel) {
        std::set<std::string> ids;
        const auto response = engine->handle(request("l", CommandMethod::listDocuments, channel));
        for (const auto& d : *response.result->documents) {
            EXPECT_EQ(d.path, pdf.string());
            EXPECT_EQ(d.pageCount, 2);
            ids.insert(d.sessionId);
        }
        return ids;
    };
    EXPECT_EQ(listed(CommandChannel::ui), (std::set<std::string>{sessionId, second}));
    EXPECT_TRUE(listed(CommandChannel::mcp).empty());
    grant({});
    EXPECT_EQ(listed(CommandChannel::mcp), std::set<std::string>{sessionId});

    auto staleClose = onDocument("c", CommandMethod::close);
    staleClose.expectedRevision = 5;
    EXPECT_EQ(engine->handle(staleClose).error,
              (CommandErrorPayload{"stale_revision", "Document is at revision 1, not 5."}));
    const auto closed = engine->handle(onDocument("c", CommandMethod::close));
    EXPECT_EQ(closed, CommandResponse::success("c", CommandResult{}));
    EXPECT_TRUE(listed(CommandChannel::mcp).empty());
    EXPECT_EQ(codeOf(engine->handle(onDocument("i", CommandMethod::inspect))), "not_found");
}

TEST_F(EngineWithDocument, ReadingCommands) {
    auto stale = onDocument("s", CommandMethod::inspect, CommandChannel::cli);
    stale.expectedRevision = 5;
    EXPECT_EQ(engine->handle(stale).error,
              (CommandErrorPayload{"stale_revision", "Document is at revision 1, not 5."}));

    auto text = onDocument("t", CommandMethod::extractText);
    EXPECT_EQ(engine->handle(text).error,
              (CommandErrorPayload{"invalid_argument", "extract_text requires pageId."}));
    text.params.pageId = pageId;
    const auto extracted = engine->handle(text);
    ASSERT_TRUE(extracted.ok) << codeOf(extracted);
    EXPECT_NE(extracted.result->text->find("Hello PDF"), std::string::npos);
    EXPECT_EQ(extracted.result->revision, 1);

    auto find = onDocument("f", CommandMethod::search);
    EXPECT_EQ(engine->handle(find).error,
              (CommandErrorPayload{"invalid_argument", "search requires query."}));
    find.params.query = "second";
    const auto found = engine->handle(find);
    ASSERT_TRUE(found.ok) << codeOf(found);
    ASSERT_EQ(found.result->matches->size(), 1u);
    EXPECT_NE(found.result->matches->at(0).pageId, pageId);

    const auto annotations = engine->handle(onDocument("a", CommandMethod::listAnnotations));
    ASSERT_TRUE(annotations.ok);
    EXPECT_EQ(annotations.result->sessionId, sessionId);
}

TEST_F(EngineWithDocument, AssistantCommandsReadTheSession) {
    grant({});
    auto ask = onDocument("q", CommandMethod::ask, CommandChannel::mcp);
    ask.params.query = "Where does it say \"Second page\"?";
    ask.params.scope = "document";
    const auto answered = engine->handle(ask);
    ASSERT_TRUE(answered.ok) << codeOf(answered);
    ASSERT_TRUE(answered.result->answer.has_value());
    EXPECT_EQ(answered.result->answer->revision, 1);
    ASSERT_EQ(answered.result->matches->size(), 1u);
    EXPECT_EQ(answered.result->sessionId, sessionId);

    auto blank = onDocument("b", CommandMethod::ask);
    blank.params.query = "  ";
    EXPECT_EQ(codeOf(engine->handle(blank)), "invalid_argument");

    auto context = onDocument("c", CommandMethod::assistantContext);
    context.params.scope = "document";
    const auto read = engine->handle(context);
    ASSERT_TRUE(read.ok) << codeOf(read);
    EXPECT_EQ(read.result->assistantContext->pageCount, 2);
    EXPECT_EQ(read.result->assistantContext->pages.size(), 2u);
}

TEST_F(EngineWithDocument, RendersWholePagesAndTiles) {
    const fs::path folder = IPCPaths::renderDirectory();
    const auto render = [&](CommandChannel channel, auto change) {
        auto r = onDocument("r", CommandMethod::renderPage, channel);
        r.params.pageId = pageId;
        change(r);
        return engine->handle(r);
    };
    grant({});
    const std::string ownFile = (dir.path() / "mine.png").string();
    struct Case {
        const char* name;
        CommandChannel channel;
        std::function<void(CommandRequest&)> change;
        std::int64_t width;  // 0: expect a failure
        std::string pngPath;
    };
    const std::string inFolder = (folder / (sessionId + "-" + pageId + "-1.png")).string();
    const auto tile = [&](int n) {
        return std::vector<RenderTile>(n, RenderTile{0, 0, 8, 8, (dir.path() / "tile.png").string()});
    };
    const Case cases[] = {
        {"default scale", CommandChannel::ui, [](auto&) {}, 918, inFolder},
        {"editor path", CommandChannel::ui, [&](auto& r) { r.params.pngPath = ownFile; }, 918, ownFile},
        {"mcp scale 10 is 2", CommandChannel::mcp, [](auto& r) { r.params.scale = 10; }, 1224, inFolder},
        {"mcp scale 0.1 is 0.25", CommandChannel::mcp, [](auto& r) { r.params.scale = 0.1; }, 153, inFolder},
        {"mcp ignores path and tiles", CommandChannel::mcp,
         [&](auto& r) {
             r.params.pngPath = ownFile;
             r.params.tiles = tile(0);
         },
         918, inFolder},
        {"64 tiles", CommandChannel::ui, [&](auto& r) { r.params.tiles = tile(64); }, 918, ""},
    };
    for (const Case& c : cases) {
        fs::remove(c.pngPath.empty() ? dir.path() / "tile.png" : fs::path(c.pngPath));
        const auto response = render(c.channel, c.change);
        ASSERT_TRUE(response.ok) << c.name << ": " << codeOf(response);
        EXPECT_EQ(response.result->width, c.width) << c.name;
        EXPECT_EQ(response.result->pngPath.value_or(""), c.pngPath) << c.name;
        const fs::path written = c.pngPath.empty() ? dir.path() / "tile.png" : fs::path(c.pngPath);
        EXPECT_TRUE(fs::is_regular_file(written)) << c.name;
    }
    for (int count : {0, 65}) {
        const auto response = render(CommandChannel::ui, [&](auto& r) { r.params.tiles = tile(count); });
        EXPECT_EQ(response.error,
                  (CommandErrorPayload{"invalid_argument", "render_page takes 1 to 64 tiles."}))
            << count;
    }
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);

    // PNGs are compressed and written after the engine lets the PDFium lock go, yet a file that
    // cannot be made still fails the render that asked for it, whole page or tile.
    fs::create_directory(dir.path() / "folder.png");
    const std::string folderPath = (dir.path() / "folder.png").string();
    const CommandErrorPayload cannotCreate{"render_failed", "Could not create PNG writer."};
    EXPECT_EQ(render(CommandChannel::ui, [&](auto& r) { r.params.pngPath = folderPath; }).error,
              cannotCreate);
    EXPECT_EQ(render(CommandChannel::ui,
                     [&](auto& r) {
                         r.params.tiles = {RenderTile{0, 0, 8, 8, folderPath}};
                     })
                  .error,
              cannotCreate);

    // A file-system error is the user's business, not the engine's, and answers in a sentence.
    testing::writeFile(dir.path() / "plain", "x");
    const auto blocked = render(
        CommandChannel::ui, [&](auto& r) { r.params.pngPath = (dir.path() / "plain" / "p.png").string(); });
    ASSERT_TRUE(blocked.error.has_value());
    EXPECT_EQ(blocked.error->code, "file");
    EXPECT_EQ(blocked.error->message.rfind("Kivo PDF could not use ", 0), 0u) << blocked.error->message;
    EXPECT_EQ(blocked.error->message.back(), '.');
}

// Single requests that once hung the worker, broke a session for good, or wrote somewhere else
// than they named: each is answered with a plain refusal and leaves the document as it was.
TEST_F(EngineWithDocument, HostileSingleRequestsAreRefusedAndChangeNothing) {
    ASSERT_EQ(::mkfifo((dir.path() / "pipe.pdf").c_str(), 0600), 0);
    fs::create_directory(dir.path() / "folder.pdf");
    const std::string nul("\0", 1);
    const auto with = [&](CommandMethod method, auto change) {
        auto r = onDocument("h", method);
        change(r.params);
        return r;
    };
    const auto highlightAt = [&](PDFRect rect) {
        return with(CommandMethod::addHighlight, [&](CommandParams& p) {
            p.pageId = pageId;
            p.rect = rect;
        });
    };
    const auto saveCopyTo = [&](std::string destination) {
        return with(CommandMethod::saveDocument, [&](CommandParams& p) {
            p.saveMode = "saveCopy";
            p.destination = std::move(destination);
        });
    };
    struct Case {
        const char* name;
        CommandRequest request;
        std::string code;
    };
    const Case cases[] = {
        {"a query starting with U+0000",
         with(CommandMethod::search, [&](CommandParams& p) { p.query = nul + "Second"; }),
         "invalid_argument"},
        {"a page list with a page twice",
         with(CommandMethod::search,
              [&](CommandParams& p) {
                  p.query = "Second";
                  p.pageIds = std::vector<std::string>{pageId, pageId};
              }),
         "invalid_argument"},
        {"an empty page list",
         with(CommandMethod::search,
              [&](CommandParams& p) {
                  p.query = "Second";
                  p.pageIds = std::vector<std::string>{};
              }),
         "invalid_argument"},
        {"a page list naming no page",
         with(CommandMethod::search,
              [&](CommandParams& p) {
                  p.query = "Second";
                  p.pageIds = std::vector<std::string>{"nope"};
              }),
         "invalid_page"},
        {"a page and a page list",
         with(CommandMethod::search,
              [&](CommandParams& p) {
                  p.query = "Second";
                  p.pageId = pageId;
                  p.pageIds = std::vector<std::string>{pageId};
              }),
         "invalid_argument"},
        {"a FIFO",
         with(CommandMethod::open, [&](CommandParams& p) { p.path = (dir.path() / "pipe.pdf").string(); }),
         "file"},
        {"a FIFO to merge",
         with(CommandMethod::mergeDocuments,
              [&](CommandParams& p) { p.path = (dir.path() / "pipe.pdf").string(); }),
         "file"},
        {"beyond a double", highlightAt(PDFRect{0, 0, 1e308, 10}), "invalid_argument"},
        {"beyond a float", highlightAt(PDFRect{0, 0, 3.4e38, 10}), "invalid_argument"},
        {"far below", highlightAt(PDFRect{-1e308, 0, 10, 10}), "invalid_argument"},
        {"not finite", highlightAt(PDFRect{0, std::nan(""), 10, 10}), "invalid_argument"},
        {"an ink point beyond a float",
         with(CommandMethod::addInk,
              [&](CommandParams& p) {
                  p.pageId = pageId;
                  p.points = std::vector<PDFPoint>{{0, 0}, {1e39, 5}};
              }),
         "invalid_argument"},
        {"a path cut at U+0000",
         with(CommandMethod::open, [&](CommandParams& p) { p.path = pdf.string() + nul + "junk"; }),
         "invalid_argument"},
        {"a destination cut at U+0000", saveCopyTo((dir.path() / "c.pdf").string() + nul + ".txt"),
         "invalid_argument"},
        {"a destination ending in a slash", saveCopyTo(dir.path().string() + "/"), "invalid_argument"},
        {"a destination that is a folder", saveCopyTo((dir.path() / "folder.pdf").string()), "file"},
        {"a name too long", saveCopyTo((dir.path() / std::string(5000, 'n')).string() + ".pdf"), "file"},
    };
    for (const Case& c : cases) {
        const auto response = engine->handle(c.request);
        EXPECT_EQ(codeOf(response), c.code) << c.name;
        if (response.error) {
            EXPECT_EQ(response.error->message.back(), '.') << c.name << ": " << response.error->message;
        }
        const auto inspected = engine->handle(onDocument("i", CommandMethod::inspect));
        ASSERT_TRUE(inspected.ok) << c.name << ": " << codeOf(inspected);
        EXPECT_EQ(inspected.result->revision, 1) << c.name;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "c.pdf"));
    for (const CommandMethod method : {CommandMethod::undo, CommandMethod::redo}) {
        EXPECT_EQ(codeOf(engine->handle(onDocument("u", method))), "empty_history");
    }
    EXPECT_TRUE(engine->handle(saveCopyTo((dir.path() / "copy.pdf").string())).ok);
}

// Another user who may write a shared folder plants a link where the user saves, to a file of the
// user's elsewhere: only the user's own links are followed, however many lead there.
TEST_F(EngineWithDocument, WritesThroughALinkOnlyWhenItIsTheUsersOwn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a link of another user";
    const uid_t me = ::geteuid();
    const uid_t other = 65534;
    const fs::path shared = dir.path() / "shared";
    fs::create_directory(shared);
    const fs::path victim = dir.path() / "secret.txt";
    const fs::path link = shared / "report.pdf";
    const fs::path hop = shared / "hop";
    const std::string refused =
        "permission_denied: report.pdf is a link made by another user, so nothing was written.";
    struct Case {
        const char* name;
        std::string mode;           // a save mode, or "" to export
        std::vector<uid_t> owners;  // of the links from report.pdf on, the last one naming the victim
        std::string expected;
    };
    const Case cases[] = {
        {"Save As", "saveAs", {other}, refused},
        {"a copy", "saveCopy", {other}, refused},
        {"an export", "", {other}, refused},
        {"a link of the user's to one of another user",
         "saveCopy",
         {me, other},
         "permission_denied: hop is a link made by another user, so nothing was written."},
        {"the user's own link", "saveCopy", {me}, "ok"},
        {"the user's own links", "saveAs", {me, me}, "ok"},
    };
    for (const Case& c : cases) {
        testing::writeFile(victim, "secret");
        fs::remove(link);
        fs::remove(hop);
        fs::create_symlink(c.owners.size() == 1 ? victim : hop, link);
        ASSERT_EQ(::lchown(link.c_str(), c.owners[0], c.owners[0]), 0);
        if (c.owners.size() == 2) {
            fs::create_symlink(victim, hop);
            ASSERT_EQ(::lchown(hop.c_str(), c.owners[1], c.owners[1]), 0);
        }

        auto r =
            onDocument("w", c.mode.empty() ? CommandMethod::exportDocument : CommandMethod::saveDocument);
        if (!c.mode.empty()) r.params.saveMode = c.mode;
        r.params.destination = link.string();
        r.params.force = true;
        const auto response = engine->handle(r);
        EXPECT_EQ(response.ok ? "ok" : response.error->code + ": " + response.error->message, c.expected)
            << c.name;
        EXPECT_EQ(testing::readFile(victim).rfind(response.ok ? "%PDF" : "secret", 0), 0u) << c.name;
        EXPECT_TRUE(fs::is_symlink(link)) << c.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(shared), fs::directory_iterator()),
                  std::ssize(c.owners))
            << c.name << ": no hidden file is left";
    }
}

// Another writer of a shared folder trades the save's hidden file for one of its own before the
// rename; what then lands under the name is not what was saved, and the save must not say so.
TEST_F(EngineWithDocument, ASaveWhoseHiddenFileWasTradedIsNotReportedAsSaved) {
    const fs::path shared = dir.path() / "shared";
    fs::create_directory(shared);
    const fs::path planted = shared / "planted";
    const Descriptor watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    ASSERT_TRUE(watch);
    ASSERT_GE(::inotify_add_watch(watch.get(), shared.c_str(), IN_CREATE), 0);
    // The hidden file lives for a moment only, so the trade can come too late; try again then.
    bool traded = false;
    for (int attempt = 0; attempt < 50 && !traded; ++attempt) {
        for (const auto& entry : fs::directory_iterator(shared)) fs::remove(entry.path());
        testing::writeFile(planted, "planted");
        const auto bound = engine->handle(onDocument("i", CommandMethod::inspect)).result->sourcePath;
        std::thread intruder([&] { traded = tradeHiddenFile(watch.get(), shared, "report.pdf", planted); });
        auto r = onDocument("s", CommandMethod::saveDocument);
        r.params.saveMode = "saveAs";
        r.params.destination = (shared / "report.pdf").string();
        r.params.force = true;
        const auto response = engine->handle(r);
        intruder.join();
        if (!traded) continue;
        EXPECT_EQ(response.ok ? "ok" : response.error->code + ": " + response.error->message,
                  "file: Something else took the place of report.pdf while it was being written, so it was "
                  "not saved.");
        const auto inspected = engine->handle(onDocument("i", CommandMethod::inspect));
        EXPECT_EQ(inspected.result->sourcePath, bound) << "the document stays bound to its former file";
    }
    ASSERT_TRUE(traded) << "the hidden file was never traded in time";
}

// A path that leaves a granted folder and comes back passes the grant only as the file it names;
// nothing named on the way is made.
TEST_F(EngineWithDocument, AnMCPDestinationIsResolvedBeforeAnythingIsCreated) {
    grant({"read", "export"}, {(dir.path() / "out.pdf").string()});
    auto exported = onDocument("e", CommandMethod::exportDocument, CommandChannel::mcp);
    exported.params.destination = (dir.path() / "new" / "x" / ".." / ".." / "out.pdf").string();
    const auto response = engine->handle(exported);
    EXPECT_TRUE(response.ok) << codeOf(response);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "out.pdf"));
    EXPECT_FALSE(fs::exists(dir.path() / "new"));

    // A granted name in a folder that does not exist is not made for MCP either.
    grant({"read", "export"}, {(dir.path() / "missing" / "out.pdf").string()});
    exported.params.destination = (dir.path() / "missing" / "out.pdf").string();
    exported.operationId = newOperation();
    EXPECT_EQ(codeOf(engine->handle(exported)), "file");
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

// Without a runtime folder the renders stay in the support folder: another user who made the name
// a shared /tmp offered first ("kivo-pdf-render-" and the user id) cannot stop them for good.
TEST_F(EngineWithDocument, RendersWithoutARuntimeFolderStayInTheSupportFolder) {
    testing::writeFile(dir.path() / "kivo-pdf-render", "made by someone else");
    testing::writeFile(dir.path() / ("kivo-pdf-render-" + std::to_string(::geteuid())),
                       "made by someone else");
    auto r = onDocument("r", CommandMethod::renderPage);
    r.params.pageId = pageId;
    const auto response = engine->handle(r);
    ASSERT_TRUE(response.ok) << codeOf(response);
    EXPECT_TRUE(fs::is_regular_file(*response.result->pngPath));
    EXPECT_EQ(fs::path(*response.result->pngPath).parent_path(), dir.path() / "support" / "renders");
}

// Whatever stands at the render folder's name and is not this user's private folder is set aside,
// never written into, and the page is rendered in a fresh folder.
TEST_F(EngineWithDocument, SetsAsideARenderFolderItDoesNotOwnPrivately) {
    const fs::path support = dir.path() / "support";
    const fs::path folder = support / "renders";
    // Only this test's own folder is ever emptied below.
    ASSERT_EQ(IPCPaths::renderDirectory(), folder);
    const fs::path elsewhere = dir.path() / "elsewhere";
    fs::create_directory(elsewhere);
    struct Case {
        const char* name;
        std::function<void()> prepare;
        bool setAside;
    };
    const Case cases[] = {
        {"open to others",
         [&] {
             fs::create_directories(folder);
             fs::permissions(folder, fs::perms::all);
         },
         true},
        {"group readable",
         [&] {
             fs::create_directories(folder);
             fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
         },
         false},
        {"a link to a folder", [&] { fs::create_directory_symlink(elsewhere, folder); }, true},
        {"a file", [&] { testing::writeFile(folder, "x"); }, true},
        {"another user's folder",
         [&] {
             fs::create_directories(folder);
             fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
             ASSERT_EQ(::lchown(folder.c_str(), 65534, 65534), 0);
         },
         true},
    };
    const auto setAside = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(support)) {
            count += entry.path().filename().string().starts_with("renders.not-ours-") ? 1 : 0;
        }
        return count;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string_view(c.name) == "another user's folder" && ::geteuid() != 0)
            continue;  // needs lchown
        fs::remove_all(support);
        fs::create_directories(support);
        c.prepare();
        auto r = onDocument("r", CommandMethod::renderPage);
        r.params.pageId = pageId;
        const auto response = engine->handle(r);
        ASSERT_TRUE(response.ok) << codeOf(response);
        EXPECT_EQ(fs::path(*response.result->pngPath).parent_path(), folder);
        struct stat status {};
        ASSERT_EQ(::lstat(folder.c_str(), &status), 0);
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0700u);
        EXPECT_EQ(setAside(), c.setAside ? 1 : 0);
        EXPECT_TRUE(fs::is_empty(elsewhere));
    }
}

// A cancel that arrives half-way through an edit, after pages were already appended, leaves
// the document exactly as it was; the rollback itself cannot be cut short.
TEST_F(EngineWithDocument, ACancelledEditIsRolledBackWhole) {
    const CommandResult before = engine->handle(onDocument("i", CommandMethod::inspect)).result.value();
    auto merge = onDocument("merge", CommandMethod::mergeDocuments);
    merge.params.path = pdf.string();
    merge.progress = true;
    std::vector<CommandPhase> phases;
    const auto response = engine->handle(merge, [&](const CommandProgress& line) {
        phases.push_back(line.phase);
        if (line.phase != CommandPhase::loadingPages) return;
        auto cancel = request("stop", CommandMethod::cancel, CommandChannel::ui);
        cancel.params.requestId = "merge";
        EXPECT_EQ(engine->handle(cancel).result->cancelled, true);
    });
    EXPECT_EQ(codeOf(response), "cancelled");
    EXPECT_NE(std::find(phases.begin(), phases.end(), CommandPhase::loadingPages), phases.end());
    EXPECT_EQ(engine->handle(onDocument("i", CommandMethod::inspect)).result, before);
    EXPECT_TRUE(RecoveryStore::list().empty());

    merge.progress.reset();
    const auto merged = engine->handle(merge);
    ASSERT_TRUE(merged.ok) << codeOf(merged);
    EXPECT_EQ(merged.result->revision, 2);
    EXPECT_EQ(merged.result->pageCount, 4);
    EXPECT_EQ(merged.result->affectedPages->size(), 2u);
}

TEST_F(EngineWithDocument, TeardownCheckpointsOnlyUnsavedDocuments) {
    const std::string clean = *openDocument().result->sessionId;
    {
        std::lock_guard held(PdfiumRuntime::lock());
        Session& session = DocumentEngineTesting::session(*engine, sessionId);
        session.checkpoint();
        session.addHighlight(pageId, PDFRect{72, 72, 200, 100}, "note");
        session.refreshBacking();
        session.commitCheckpoint();
    }
    engine.reset();
    const auto recoveries = RecoveryStore::list();
    ASSERT_EQ(recoveries.size(), 1u);
    EXPECT_EQ(recoveries[0].recoveryId, sessionId);
    EXPECT_TRUE(recoveries[0].dirty);
    EXPECT_EQ(recoveries[0].sourcePath, pdf.string());
    EXPECT_EQ(recoveries[0].pageCount, 2);
    const auto checkpoint = RecoveryStore::load(sessionId);
    EXPECT_GT(checkpoint.bytes->count(), 0);
    (void)clean;
}

}  // namespace
}  // namespace kivo
