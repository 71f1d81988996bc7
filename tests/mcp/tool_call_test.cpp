// Tool calls end to end against a fake worker on a real socket, in process and
// through the kivo-pdf-mcp program.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/command_json.hpp"
#include "mcp/mcp_server.hpp"
#include "mcp/rendered_page.hpp"
#include "mcp_test_support.hpp"

namespace kivo {
namespace {

using mcptest::FakeWorker;
using mcptest::ScopedEnv;
using mcptest::Session;
using mcptest::SupportDir;
using mcptest::TempDir;
using nlohmann::json;
namespace fs = std::filesystem;

// Every tool, with arguments of the kind a client sends, and the parameters
// that reach the worker (as the command codec writes them).
TEST(ToolCall, EveryToolBecomesItsWorkerCommand) {
    struct Case {
        const char* tool;
        CommandMethod method;
        json arguments;
        json params;
    };
    const json change = {{"expectedRevision", 7}, {"operationId", "op-1"}};
    const auto with = [&](json arguments) {
        arguments.update(change);
        return arguments;
    };
    const json rect = {{"left", 10}, {"bottom", 20}, {"right", 30}, {"top", 40}};
    const json points = json::array({{{"x", 1}, {"y", 2}}, {{"x", 3}, {"y", 4}}});
    const json S = {{"sessionId", "S"}};
    const json SP = {{"sessionId", "S"}, {"pageId", "P"}};
    const auto plus = [](json base, const json& more) {
        base.update(more);
        return base;
    };
    const std::vector<Case> cases = {
        {"list_documents", CommandMethod::listDocuments, json::object(), json::object()},
        {"inspect_document", CommandMethod::inspect, S, S},
        {"extract_text", CommandMethod::extractText, SP, SP},
        {"search_document",
         CommandMethod::search,
         {{"sessionId", "S"}, {"query", "cat"}, {"page_id", "P"}},
         plus(SP, {{"query", "cat"}})},
        {"ask_document", CommandMethod::ask, plus(S, {{"query", "why?"}, {"scope", "document"}}),
         plus(S, {{"query", "why?"}, {"scope", "document"}})},
        {"render_page", CommandMethod::renderPage, plus(SP, {{"scale", 0.5}}), plus(SP, {{"scale", 0.5}})},
        {"add_annotation", CommandMethod::addHighlight, with(plus(SP, {{"rect", rect}, {"contents", "c"}})),
         plus(SP, {{"rect", rect}, {"contents", "c"}})},
        {"add_note", CommandMethod::addNote, with(plus(SP, {{"rect", rect}, {"contents", "n"}})),
         plus(SP, {{"rect", rect}, {"contents", "n"}})},
        {"add_ink", CommandMethod::addInk, with(plus(SP, {{"points", points}})),
         plus(SP, {{"points", points}})},
        {"add_content", CommandMethod::addContent,
         with(plus(SP, {{"kind", "image"}, {"rect", rect}, {"image_path", "/a/b.png"}, {"fontSize", 12}})),
         plus(SP, {{"kind", "image"}, {"rect", rect}, {"imagePath", "/a/b.png"}, {"fontSize", 12}})},
        {"update_annotation", CommandMethod::updateAnnotation,
         with(plus(S, {{"annotationId", "A"}, {"contents", "new"}})),
         plus(S, {{"annotationId", "A"}, {"contents", "new"}})},
        {"remove_annotation", CommandMethod::removeAnnotation, with(plus(S, {{"annotation_id", "A"}})),
         plus(S, {{"annotationId", "A"}})},
        {"fill_form", CommandMethod::fillForm, with(plus(S, {{"fieldName", "name"}, {"value", "Ilse"}})),
         plus(S, {{"fieldName", "name"}, {"value", "Ilse"}})},
        {"organize_pages", CommandMethod::organizePages, with(plus(S, {{"pageIds", {"b", "a"}}})),
         plus(S, {{"pageIds", {"b", "a"}}})},
        {"rotate_pages", CommandMethod::rotatePages, with(plus(S, {{"pageIds", {"a"}}, {"rotation", -90}})),
         plus(S, {{"pageIds", {"a"}}, {"rotation", -90}})},
        {"delete_pages", CommandMethod::deletePages, with(plus(S, {{"page_ids", {"a"}}})),
         plus(S, {{"pageIds", {"a"}}})},
        {"merge_documents", CommandMethod::mergeDocuments,
         with(plus(S, {{"path", "/x.pdf"}, {"session_ids", {"T"}}})),
         plus(S, {{"path", "/x.pdf"}, {"sessionIds", {"T"}}})},
        {"extract_pages", CommandMethod::extractPages,
         with(plus(S, {{"pageIds", {"a"}}, {"destination", "/out.pdf"}})),
         plus(S, {{"pageIds", {"a"}}, {"destination", "/out.pdf"}})},
        {"save_document", CommandMethod::saveDocument,
         with(plus(S, {{"saveMode", "saveCopy"}, {"destination", "/c.pdf"}, {"force", true}})),
         plus(S, {{"saveMode", "saveCopy"}, {"destination", "/c.pdf"}, {"force", true}})},
        {"export_document", CommandMethod::exportDocument, with(plus(S, {{"destination", "/e.pdf"}})),
         plus(S, {{"destination", "/e.pdf"}})},
        {"undo", CommandMethod::undo, with(S), S},
        {"redo", CommandMethod::redo, with({{"document_session_id", "S"}}), S},
    };
    ASSERT_EQ(cases.size(), MCPTools::all().size());

    SupportDir support;
    FakeWorker worker(support.socket(), mcptest::mcpToken, FakeWorker::answering());
    Session session;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.tool);
        const json result = session.call(c.tool, c.arguments);
        EXPECT_EQ(result["isError"], false);
        const auto requests = worker.requests();
        ASSERT_EQ(requests.size(), i + 1);
        const auto& sent = requests.back();
        EXPECT_EQ(sent.method, c.method);
        EXPECT_EQ(sent.channel, CommandChannel::mcp);
        EXPECT_EQ(json::parse(CommandJSON::encodeBody(sent.params)), c.params);
        EXPECT_FALSE(sent.progress);
        const bool mutating = !MCPTools::byName().at(c.tool)->readOnly;
        EXPECT_EQ(sent.expectedRevision, mutating ? std::optional<std::int64_t>(7) : std::nullopt);
        EXPECT_EQ(sent.operationId, mutating ? std::optional<std::string>("op-1") : std::nullopt);
        // The worker's whole response, exactly as the command codec writes it.
        ASSERT_EQ(result["content"].size(), 1u);
        EXPECT_EQ(result["content"][0],
                  (json{{"type", "text"},
                        {"text", CommandJSON::encodeBody(CommandResponse::success(sent.id, {}))}}));
    }
    EXPECT_EQ(worker.connections(), 1) << "one connection serves every call";
}

TEST(ToolCall, ArgumentsThatAreNoObjectCountAsEmpty) {
    SupportDir support;
    FakeWorker worker(support.socket(), mcptest::mcpToken, FakeWorker::answering());
    Session session;
    for (const char* arguments : {R"([{"sessionId":"S"}])", R"("sessionId")", "null"}) {
        const auto reply =
            session.reply(std::string(R"({"id":9,"method":"tools/call","params":{"name":"undo",)") +
                          R"("arguments":)" + arguments + "}}");
        EXPECT_EQ(reply["result"]["isError"], false) << arguments;
        EXPECT_EQ(worker.requests().back().params, CommandParams{}) << arguments;
    }
}

TEST(ToolCall, WorkerErrorIsAToolResult) {
    SupportDir support;
    FakeWorker worker(support.socket(), mcptest::mcpToken, [](const CommandRequest& request) {
        return CommandResponse::failure(
            request.id, "revision_required",
            "This change needs the document's current revision. Nothing changed.");
    });
    Session session;
    const json result = session.call("fill_form", {{"sessionId", "S"}, {"fieldName", "f"}, {"value", "v"}});
    const auto sent = worker.requests().at(0);
    EXPECT_FALSE(sent.expectedRevision);
    EXPECT_FALSE(sent.operationId);
    EXPECT_EQ(result["isError"], true);
    EXPECT_EQ(result["content"].size(), 1u);
    const auto text = result["content"][0]["text"].get<std::string>();
    EXPECT_EQ(
        CommandJSON::decodeResponse(text),
        CommandResponse::failure(sent.id, "revision_required",
                                 "This change needs the document's current revision. Nothing changed."));
}

TEST(ToolCall, NoWorkerMeansTwoAttemptsPerCall) {
    SupportDir support;
    int made = 0;
    Session session([&] {
        ++made;
        return MCPServer::workerClientFactory()();
    });
    for (int call = 1; call <= 2; ++call) {
        const json result = session.call("list_documents");
        EXPECT_EQ(result, (json{{"content", {{{"type", "text"}, {"text", MCPServer::unreachableText}}}},
                                {"isError", true}}));
        EXPECT_EQ(made, 2 * call);
    }
}

TEST(ToolCall, MissingOrEmptyTokenIsUnreachable) {
    SupportDir support;
    FakeWorker worker(support.socket(), mcptest::mcpToken, FakeWorker::answering());
    Session session;
    fs::remove(support.root() / "ipc" / "token");
    EXPECT_EQ(session.call("list_documents")["isError"], true);
    support.setToken("  ");
    EXPECT_EQ(session.call("list_documents")["isError"], true);
    EXPECT_EQ(worker.connections(), 0);
    support.setToken(mcptest::mcpToken);
    EXPECT_EQ(session.call("list_documents")["isError"], false);
}

TEST(ToolCall, RejectedTokenIsUnreachable) {
    SupportDir support(mcptest::otherToken);
    FakeWorker worker(support.socket(), mcptest::mcpToken, FakeWorker::answering());
    Session session;
    EXPECT_EQ(session.call("list_documents")["content"][0]["text"], MCPServer::unreachableText);
    EXPECT_EQ(worker.refusedHellos(), 2);
    EXPECT_TRUE(worker.requests().empty());
}

// The editor restarted the worker with a new token: the stale connection fails,
// and the same call reconnects with the token read afresh.
TEST(ToolCall, RestartedWorkerIsReachedWithinTheSameCall) {
    SupportDir support(mcptest::mcpToken);
    FakeWorker worker(support.socket(), mcptest::mcpToken, FakeWorker::answering());
    Session session;
    EXPECT_EQ(session.call("list_documents")["isError"], false);
    support.setToken(mcptest::otherToken);
    worker.setToken(mcptest::otherToken);
    worker.hangUp();
    const json result = session.call("inspect_document", {{"sessionId", "S"}});
    EXPECT_EQ(result["isError"], false);
    EXPECT_EQ(worker.connections(), 2);
    EXPECT_EQ(worker.refusedHellos(), 0);
    ASSERT_EQ(worker.requests().size(), 2u);
    EXPECT_EQ(worker.requests()[1].method, CommandMethod::inspect);
}

TEST(ToolCall, RetrySendsTheIdenticalRequest) {
    SupportDir support;
    int seen = 0;
    const auto dropTheFirst = [&](const CommandRequest& request) -> std::optional<CommandResponse> {
        if (++seen == 1) return std::nullopt;  // read it, then hang up unanswered
        return CommandResponse::success(request.id, {});
    };
    FakeWorker worker(support.socket(), mcptest::mcpToken, dropTheFirst);
    Session session;
    EXPECT_EQ(
        session.call("undo", {{"sessionId", "S"}, {"expectedRevision", 3}, {"operationId", "op"}})["isError"],
        false);
    EXPECT_EQ(
        session.call("undo", {{"sessionId", "S"}, {"expectedRevision", 3}, {"operationId", "op"}})["isError"],
        false);
    const auto lines = worker.requestLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_NE(worker.requests()[1].id, worker.requests()[2].id);
    EXPECT_EQ(worker.connections(), 2);
}

TEST(ToolCall, UndecodableReplyCostsAnAttempt) {
    SupportDir support;
    FakeWorker worker(support.socket(), mcptest::mcpToken, FakeWorker::answering());
    worker.garbleNextReply(R"({"id":"x","ok":"yes"})");
    Session session;
    EXPECT_EQ(session.call("list_documents")["isError"], false);
    EXPECT_EQ(worker.connections(), 2);
    const auto requests = worker.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], requests[1]);
}

CommandResult renderedAt(const std::string& path) {
    CommandResult result;
    result.pngPath = path;
    result.width = 10;
    result.height = 10;
    return result;
}

// Only a file the worker could legitimately have rendered is attached.
TEST(ToolCall, RenderPageAttachesOnlyASafeImage) {
    TempDir temp;
    SupportDir support;
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const fs::path folder = testing::renderFolderIn(support.root());
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    const std::string png("\x89PNG\r\n\x1a\n-page-bytes", 19);
    mcptest::writeFile(folder / "page.png", png);
    mcptest::writeFile(temp.path() / "secret.png", "secret");
    mcptest::writeFile(folder / "page.txt", "\x89PNG\r\n\x1a\n but not named .png");
    fs::create_symlink(temp.path() / "secret.png", folder / "link.png");

    struct Case {
        const char* label;
        const char* tool;
        std::string path;
        bool ok;
        bool image;
    };
    const std::vector<Case> cases = {
        {"inside the folder", "render_page", (folder / "page.png").string(), true, true},
        {"outside the folder", "render_page", (temp.path() / "secret.png").string(), true, false},
        {"link pointing outside", "render_page", (folder / "link.png").string(), true, false},
        {"not a png", "render_page", (folder / "page.txt").string(), true, false},
        {"already gone", "render_page", (folder / "gone.png").string(), true, false},
        {"failed render", "render_page", (folder / "page.png").string(), false, false},
        {"another tool", "inspect_document", (folder / "page.png").string(), true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FakeWorker worker(support.socket(), mcptest::mcpToken, [&](const CommandRequest& request) {
            CommandResponse response = CommandResponse::success(request.id, renderedAt(c.path));
            if (!c.ok) response.ok = false, response.error = CommandErrorPayload{"render_failed", "No page."};
            return response;
        });
        Session session;
        const json result = session.call(c.tool, {{"sessionId", "S"}, {"pageId", "P"}});
        fs::remove(support.socket());
        EXPECT_EQ(result["isError"], !c.ok);
        const json& content = result["content"];
        ASSERT_EQ(content.size(), c.image ? 2u : 1u);
        EXPECT_EQ(content[0]["type"], "text");
        // The path stays visible, written as the command codec writes it.
        std::string escaped;
        for (const char ch : c.path) escaped += ch == '/' ? std::string("\\/") : std::string(1, ch);
        EXPECT_NE(content[0]["text"].get<std::string>().find(escaped), std::string::npos);
        if (c.image) {
            EXPECT_EQ(content[1],
                      (json{{"type", "image"}, {"data", base64Encode(png)}, {"mimeType", "image/png"}}));
        }
    }
    EXPECT_TRUE(fs::exists(folder / "page.png")) << "the render stays where the worker wrote it";
}

// The program itself, as a client starts it.
class Child : public mcptest::ChildProgram {
public:
    explicit Child(bool keepOutput = true)
        : ChildProgram(std::string(KIVO_BIN_DIR) + "/kivo-pdf-mcp", {}, {}, keepOutput) {}
};

TEST(MCPProgram, ServesAClientOverStandardIO) {
    SupportDir support;
    CommandResult listed;
    listed.documents = std::vector<DocumentSummary>{{"S1", "/home/u/a.pdf", 3, 2, false}};
    FakeWorker worker(support.socket(), mcptest::mcpToken, FakeWorker::answering(listed));
    Child child;
    child.write(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})"
                "\n");
    const json init = json::parse(child.readLine());
    EXPECT_EQ(init["result"]["protocolVersion"], "2025-06-18");
    child.write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                "\r\n");
    child.write(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
                "\r\n");
    EXPECT_EQ(json::parse(child.readLine())["result"]["tools"].size(), 22u);
    child.write(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"list_documents"}})");
    child.closeInput();
    const json call = json::parse(child.readLine());
    EXPECT_EQ(call["id"], 3);
    EXPECT_EQ(call["result"]["isError"], false);
    const auto response =
        CommandJSON::decodeResponse(call["result"]["content"][0]["text"].get<std::string>());
    EXPECT_EQ(response.result->documents, listed.documents);
    EXPECT_EQ(child.readLine(), "") << "nothing after the last reply";
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(worker.requests().size(), 1u);
}

TEST(MCPProgram, ClosedOutputEndsQuietly) {
    Child child(false);
    child.write(R"({"id":1,"method":"ping"})"
                "\n");
    EXPECT_EQ(child.wait(), 0);
}

// The token is the connector's proof of who it is, and a worker taken over can put anything at its
// name: a link to a private key, a FIFO, a file too long to be a token, one that others could have
// written, another user's. The connector reads none of them, says so in one line and ends, and the
// worker hears nothing, not even a hello.
TEST(MCPProgram, AnUnusableTokenFileEndsTheConnectorAndSendsNothing) {
    const std::string token = mcptest::mcpToken + "\n";
    const auto privately = [](const fs::path& path, const std::string& text, fs::perms mode) {
        mcptest::writeFile(path, text);
        fs::permissions(path, mode, fs::perm_options::replace);
    };
    const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    struct Case {
        const char* name;
        std::function<void(const fs::path& file)> plant;
        bool needsRoot = false;
    };
    const std::vector<Case> cases = {
        {"a link to a private file",
         [&](const fs::path& file) {
             privately(file.parent_path().parent_path() / "id_ed25519", token, ownerOnly);
             fs::remove(file);
             fs::create_symlink("../id_ed25519", file);
         }},
        {"a FIFO",
         [](const fs::path& file) {
             fs::remove(file);
             ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
         }},
        {"too long",
         [&](const fs::path& file) { privately(file, token + std::string(200, ' '), ownerOnly); }},
        {"readable by the group",
         [&](const fs::path& file) { privately(file, token, ownerOnly | fs::perms::group_read); }},
        {"writable by others",
         [&](const fs::path& file) { privately(file, token, ownerOnly | fs::perms::others_write); }},
        {"not a token of the editor",
         [&](const fs::path& file) { privately(file, "mcp-token\n", ownerOnly); }},
        {"another user's",
         [&](const fs::path& file) {
             privately(file, token, ownerOnly);
             ASSERT_EQ(::lchown(file.c_str(), 65534, 65534), 0);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) continue;
        SupportDir support;
        FakeWorker worker(support.socket(), mcptest::mcpToken, FakeWorker::answering());
        c.plant(support.root() / "ipc" / "token");
        const fs::path errors = support.root() / "errors.txt";
        mcptest::ChildProgram child(std::string(KIVO_BIN_DIR) + "/kivo-pdf-mcp", {}, {}, true, errors);
        child.write(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"list_documents"}})"
                    "\n");
        child.closeInput();
        EXPECT_EQ(child.readLine(), "");
        EXPECT_EQ(child.wait(), MCPServer::unusableTokenStatus);
        const std::string said = testing::readFile(errors);
        EXPECT_EQ(said,
                  "kivo-pdf-mcp: The MCP token file " + (support.root() / "ipc" / "token").string() +
                      " is not usable (it must be a private file of this user holding the editor's token), "
                      "so nothing was sent.\n");
        EXPECT_EQ(worker.connections(), 0);
    }
}

}  // namespace
}  // namespace kivo
