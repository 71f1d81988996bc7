// The connector against a real worker started the way the editor starts it, driven by JSON-RPC
// lines and by the official MCP TypeScript SDK's client.

#include <openssl/evp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>

#include "core/command_json.hpp"
#include "core/text.hpp"
#include "core/worker_limits.hpp"
#include "mcp_test_support.hpp"
#include "test_pdfs.hpp"
#include "worker_process.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using mcptest::ChildProgram;
using nlohmann::json;
using testing::SocketConnection;
using testing::WorkerProcess;

std::optional<std::string> base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string bytes(text.size() / 4 * 3, '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    // The block decoder turns padding into zero bytes; they are not part of the data.
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    bytes.resize(static_cast<std::size_t>(n) - padding);
    return bytes;
}

struct PngSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const PngSize&) const = default;
};

// The size in the header chunk, when the bytes start with the PNG signature and an IHDR chunk.
std::optional<PngSize> pngSize(const std::string& bytes) {
    const std::string start("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    if (bytes.size() < 24 || bytes.compare(0, start.size(), start) != 0) return std::nullopt;
    const auto bigEndian = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
        return value;
    };
    return PngSize{bigEndian(16), bigEndian(20)};
}

std::optional<std::string> findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const fs::path candidate = fs::path(rest.substr(0, colon)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        rest = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
    }
    return std::nullopt;
}

std::string errorCode(const CommandResponse& response) {
    return response.error ? response.error->code : "ok";
}

// What one tool call gave: the MCP result and the worker's response carried in its text item.
struct ToolOutcome {
    json result;
    CommandResponse response;
};

// The editor's part, done as the editor does it: the ipc folder (0700) holds the socket and the
// MCP token file (0600), the worker gets both tokens on standard input, and the editor opens two
// documents and allows MCP on the first only. HOME and the temporary folder are the test's own
// and lie apart, so the worker runs inside its sandbox wherever the system offers one.
class ConnectorEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* folder : {"support/ipc", "tmp", "home", "docs"})
            fs::create_directories(dir_.path() / folder);
        fs::permissions(ipc(), fs::perms::owner_all, fs::perm_options::replace);
        testing::writeFile(ipc() / "token", mcpToken_ + "\n");
        fs::permissions(ipc() / "token", fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace);
        testing::writeFile(
            dir_.path() / "docs" / "shared.pdf",
            testing::makePdf({testing::TestPage{}, testing::TestPage{300, 400, "Second page"}}));
        testing::writeFile(dir_.path() / "docs" / "private.pdf", testing::makePdf());

        if (!startWorker(true)) {
            ASSERT_EQ(worker_->wait(), WorkerExit::sandboxFailed) << worker_->errorOutput();
            // No sandbox on this system: the connector's road is the same without it.
            std::cerr << "note: the worker runs without its sandbox here: " << worker_->errorOutput();
            ASSERT_TRUE(startWorker(false)) << worker_->errorOutput();
        }
        editor_ = std::make_unique<SocketConnection>(ipc() / "commands.sock");
        auto hello = editorRequest(CommandMethod::hello);
        hello.params.token = uiToken_;
        ASSERT_TRUE(editor(hello).ok);

        const std::pair<const char*, CommandResult*> documents[] = {{"shared.pdf", &shared_},
                                                                    {"private.pdf", &private_}};
        for (const auto& [name, opened] : documents) {
            auto open = editorRequest(CommandMethod::open);
            open.params.path = (dir_.path() / "docs" / name).string();
            const auto response = editor(open);
            ASSERT_TRUE(response.ok) << errorCode(response);
            *opened = *response.result;
        }
        auto grants = editorRequest(CommandMethod::setGrants);
        grants.params.sessionIds = std::vector<std::string>{*shared_.sessionId};
        grants.params.permissions = std::vector<std::string>{"read", "modify", "export"};
        ASSERT_TRUE(editor(grants).ok);
    }

    fs::path ipc() const { return dir_.path() / "support" / "ipc"; }

    std::map<std::string, std::string> environment() const {
        return {{"KIVO_PDF_SUPPORT_DIR", (dir_.path() / "support").string()},
                {"TMPDIR", (dir_.path() / "tmp").string()},
                {"XDG_RUNTIME_DIR", ""}};
    }

    // True once the worker listens; false when it stopped first or stayed silent.
    bool startWorker(bool sandbox) {
        auto environment = this->environment();
        environment["HOME"] = (dir_.path() / "home").string();
        environment["KIVO_PDF_WORKER_SANDBOX"] = sandbox ? "on" : "off";
        const auto socket = (ipc() / "commands.sock").string();
        worker_ = std::make_unique<WorkerProcess>(
            std::vector<std::string>{"--socket", socket, "--token-stdin"}, environment);
        worker_->write(uiToken_ + "\n" + mcpToken_ + "\n");
        worker_->closeInput();
        for (int i = 0; i < 1000; ++i) {
            const std::string said = worker_->errorOutput();
            if (said.find("kivo-pdf-worker listening on " + socket) != std::string::npos) return true;
            if (said.find("kivo-pdf-worker: ") != std::string::npos &&
                said.find("sandbox off") == std::string::npos) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    CommandRequest editorRequest(CommandMethod method) {
        CommandRequest request;
        request.id = newUUIDString();
        request.method = method;
        request.channel = CommandChannel::ui;
        return request;
    }

    CommandResponse editor(const CommandRequest& request) {
        editor_->write(testing::requestLine(request));
        return testing::readExchange(*editor_).response.value_or(
            CommandResponse::failure(request.id, "no_answer", "The worker did not answer."));
    }

    std::unique_ptr<ChildProgram> startConnector() {
        return std::make_unique<ChildProgram>(std::string(KIVO_BIN_DIR) + "/kivo-pdf-mcp",
                                              std::vector<std::string>{}, environment());
    }

    // One JSON-RPC request and its reply.
    json rpc(ChildProgram& connector, const std::string& method, const json& params = json::object()) {
        const int id = ++lastId_;
        connector.write(json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump() +
                        "\n");
        const std::string line = connector.readLine(30);
        const json reply = json::parse(line, nullptr, false);
        EXPECT_TRUE(reply.is_object() && reply.contains("result") && reply["id"] == id)
            << method << ": " << line;
        return reply.is_object() ? reply.value("result", json::object()) : json::object();
    }

    ToolOutcome call(ChildProgram& connector, const std::string& tool, const json& arguments) {
        ToolOutcome outcome;
        outcome.result = rpc(connector, "tools/call", {{"name", tool}, {"arguments", arguments}});
        try {
            const json& text = outcome.result.at("content").at(0).at("text");
            outcome.response = CommandJSON::decodeResponse(text.get<std::string>());
        } catch (const std::exception& error) {
            ADD_FAILURE() << tool << ": no worker response in " << outcome.result.dump() << " ("
                          << error.what() << ")";
        }
        EXPECT_EQ(outcome.result.value("isError", true), !outcome.response.ok) << tool;
        return outcome;
    }

    json shared(json arguments = json::object()) const {
        arguments["sessionId"] = *shared_.sessionId;
        return arguments;
    }
    std::string pageId(std::size_t index) const { return shared_.pages->at(index).id; }

    testing::TempDir dir_;
    std::string uiToken_ = newUUIDString();
    std::string mcpToken_ = newUUIDString();
    std::unique_ptr<WorkerProcess> worker_;
    std::unique_ptr<SocketConnection> editor_;
    CommandResult shared_;
    CommandResult private_;
    int lastId_ = 0;
};

TEST_F(ConnectorEndToEnd, ReadsTheSharedDocumentAndNothingElse) {
    auto connector = startConnector();
    const json init = rpc(*connector, "initialize",
                          {{"protocolVersion", "2025-06-18"},
                           {"capabilities", json::object()},
                           {"clientInfo", {{"name", "end-to-end"}, {"version", "1"}}}});
    EXPECT_EQ(init["protocolVersion"], "2025-06-18");
    EXPECT_EQ(init["serverInfo"]["name"], "kivo-pdf");
    connector->write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                     "\n");
    EXPECT_EQ(rpc(*connector, "tools/list")["tools"].size(), 22u);

    const auto listed = call(*connector, "list_documents", json::object());
    ASSERT_TRUE(listed.response.ok) << errorCode(listed.response);
    ASSERT_EQ(listed.response.result->documents->size(), 1u) << "only the document MCP is allowed on";
    const DocumentSummary& summary = listed.response.result->documents->front();
    EXPECT_EQ(summary.sessionId, *shared_.sessionId);
    EXPECT_EQ(summary.pageCount, 2);
    EXPECT_EQ(summary.revision, 1);

    const auto inspected = call(*connector, "inspect_document", shared());
    ASSERT_TRUE(inspected.response.ok) << errorCode(inspected.response);
    EXPECT_EQ(inspected.response.result->pages, shared_.pages);

    const auto text = call(*connector, "extract_text", shared({{"pageId", pageId(1)}}));
    ASSERT_TRUE(text.response.ok) << errorCode(text.response);
    EXPECT_NE(text.response.result->text->find("Second page"), std::string::npos);

    const auto found = call(*connector, "search_document", shared({{"query", "second"}}));
    ASSERT_TRUE(found.response.ok) << errorCode(found.response);
    ASSERT_EQ(found.response.result->matches->size(), 1u);
    EXPECT_EQ(found.response.result->matches->front().pageId, pageId(1));

    const auto rendered = call(*connector, "render_page", shared({{"pageId", pageId(0)}, {"scale", 1}}));
    ASSERT_TRUE(rendered.response.ok) << errorCode(rendered.response);
    ASSERT_EQ(rendered.result["content"].size(), 2u);
    const json& image = rendered.result["content"][1];
    EXPECT_EQ(image["type"], "image");
    EXPECT_EQ(image["mimeType"], "image/png");
    const auto png = base64Decode(image.value("data", ""));
    ASSERT_TRUE(png.has_value());
    EXPECT_EQ(pngSize(*png), (PngSize{612, 792}));
    EXPECT_EQ(*png, testing::readFile(*rendered.response.result->pngPath))
        << "the render stays where it was written";

    const auto asked = call(*connector, "ask_document",
                            shared({{"query", "What does this page say?"}, {"pageId", pageId(1)}}));
    ASSERT_TRUE(asked.response.ok) << errorCode(asked.response);
    const AssistantAnswer& answer = *asked.response.result->answer;
    EXPECT_TRUE(answer.fromDocument);
    ASSERT_FALSE(answer.citations.empty());
    EXPECT_EQ(answer.citations.front().pageId, pageId(1));

    // Open in the editor, but MCP was never allowed on it.
    for (const char* tool : {"inspect_document", "extract_text", "render_page"}) {
        const auto refused = call(*connector, tool,
                                  {{"sessionId", *private_.sessionId}, {"pageId", private_.pages->at(0).id}});
        EXPECT_EQ(refused.result["isError"], true) << tool;
        EXPECT_EQ(errorCode(refused.response), "unauthorized") << tool;
        EXPECT_EQ(refused.result["content"].size(), 1u) << tool;
    }

    connector->closeInput();
    EXPECT_EQ(connector->wait(), 0);
}

TEST_F(ConnectorEndToEnd, AHighlightIsAppliedOnceAndItsRetryReplayed) {
    auto connector = startConnector();
    const json highlight = shared({{"pageId", pageId(0)},
                                   {"rect", {{"left", 72}, {"bottom", 680}, {"right", 200}, {"top", 710}}},
                                   {"contents", "check this"},
                                   {"expectedRevision", 1},
                                   {"operationId", newUUIDString()}});
    const auto first = call(*connector, "add_annotation", highlight);
    if (errorCode(first.response) == "unsupported") {
        GTEST_SKIP() << "the worker cannot add highlights yet: " << first.response.error->message;
    }
    ASSERT_TRUE(first.response.ok) << errorCode(first.response);
    EXPECT_EQ(first.response.result->revision, 2);

    // A client that lost the answer sends the very same call again.
    const auto again = call(*connector, "add_annotation", highlight);
    ASSERT_TRUE(again.response.ok) << errorCode(again.response);
    EXPECT_EQ(again.response.result, first.response.result);

    // A new change written against the old revision is refused.
    json stale = highlight;
    stale["operationId"] = newUUIDString();
    EXPECT_EQ(errorCode(call(*connector, "add_annotation", stale).response), "stale_revision");

    const auto inspected = call(*connector, "inspect_document", shared());
    ASSERT_TRUE(inspected.response.ok) << errorCode(inspected.response);
    EXPECT_EQ(inspected.response.result->revision, 2);
    ASSERT_EQ(inspected.response.result->annotations->size(), 1u);
    EXPECT_EQ(inspected.response.result->annotations->front().contents, "check this");
}

// The official SDK's client starts the connector itself and speaks to it over standard input
// and output; tests/mcp/sdk/client.mjs prints what it found as one JSON line.
TEST_F(ConnectorEndToEnd, OfficialSdkClientWorksWithTheConnector) {
    const auto node = findOnPath("node");
    if (!node) GTEST_SKIP() << "Node.js is not installed";
    const fs::path sdk = KIVO_MCP_SDK_DIR;
    ASSERT_TRUE(fs::exists(sdk / "node_modules" / "@modelcontextprotocol" / "sdk" / "package.json"))
        << "the pinned SDK is missing: run scripts/setup.sh";
    ChildProgram client(*node, {(sdk / "client.mjs").string(), std::string(KIVO_BIN_DIR) + "/kivo-pdf-mcp"},
                        environment());
    const std::string line = client.readLine(120);
    ASSERT_EQ(client.wait(30), 0) << line;
    const json seen = json::parse(line, nullptr, false);
    ASSERT_TRUE(seen.is_object()) << line;
    EXPECT_EQ(seen["server"], "kivo-pdf");
    EXPECT_EQ(seen["tools"], 22);
    EXPECT_EQ(seen["sessionIds"], json::array({*shared_.sessionId}));
    EXPECT_EQ(seen["pageId"], pageId(0));
    EXPECT_EQ(seen["png"], (json{{"width", 918}, {"height", 1188}})) << "rendered at the default scale 1.5";
}

}  // namespace
}  // namespace kivo
