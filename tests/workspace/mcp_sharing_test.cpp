// MCP sharing: the watch that takes in an MCP client's edits, a refused grant and the configuration
// copied for a client, against a fake sender; the grants the worker receives through the workspace
// (the fake worker writes them down) and what an MCP client sees through the real worker.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>

#include <QTimer>

#include "core/ipc_paths.hpp"
#include "core/text.hpp"
#include "fake_command_sender.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::waitUntil;

const std::vector<std::string> allPermissions = {"read", "modify", "export"};

// ---- The part alone, against a fake sender

using McpSharingTest = testing::PartTest<McpSharing>;

// What the watch decided, not when a busy machine let the test see it: a repeating one-second timer, and
// never more asks than seconds gone by (a late tick only slows it).
TEST_F(McpSharingTest, TheChangeWatchAsksOnceASecond) {
    testing::showDocument(parts_.state, 1);
    CommandResult listed;
    listed.documents = std::vector<DocumentSummary>{DocumentSummary{"s1", "a.pdf", 1, 1}};
    parts_.sender.answers[CommandMethod::listDocuments] = listed;
    const auto asked = [&] { return parts_.sender.sent(CommandMethod::listDocuments).size(); };
    const std::size_t before = asked();
    const auto granted = std::chrono::steady_clock::now();
    part_.setMcpAccess(true);
    ASSERT_TRUE(part_.watchingExternalChanges());
    std::vector<QTimer*> watches;
    for (QTimer* timer : part_.findChildren<QTimer*>()) {
        if (timer->isActive()) watches.push_back(timer);
    }
    ASSERT_EQ(watches.size(), 1u);
    EXPECT_EQ(watches[0]->interval(), 1000);
    EXPECT_FALSE(watches[0]->isSingleShot());
    ASSERT_TRUE(waitUntil([&] { return asked() >= before + 3; }, 20));
    const std::chrono::duration<double> gone = std::chrono::steady_clock::now() - granted;
    EXPECT_LE(asked() - before, static_cast<std::size_t>(gone.count()) + 1);
}

TEST_F(McpSharingTest, AGrantTheWorkerRefusesTurnsSharingOff) {
    testing::showDocument(parts_.state, 1);
    part_.setMcpAccess(true);
    EXPECT_TRUE(part_.watchingExternalChanges());
    ASSERT_TRUE(parts_.sender.fail(CommandMethod::setGrants, "internal", "The grants could not be kept."));
    EXPECT_EQ(parts_.state.errorMessage(), "The grants could not be kept.");
    EXPECT_FALSE(part_.mcpAccessGranted());
    EXPECT_FALSE(part_.watchingExternalChanges());
}

// A new worker and another document both end sharing; the grants go out only when the worker does
// not hold them yet: a new worker is sent the approved paths, another document all the grants.
TEST_F(McpSharingTest, ANewWorkerOrAnotherDocumentTurnsSharingOff) {
    const struct {
        const char* what;
        bool sharing;
        bool approved;
        bool anotherDocument;
        std::size_t grantsSent;
    } cases[] = {
        {"a new worker while sharing", true, false, false, 0},
        {"a new worker with approved paths", false, true, false, 1},
        {"a new worker while sharing, with approved paths", true, true, false, 1},
        {"another document while sharing", true, true, true, 1},
        {"another document, not shared", false, true, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::PartFixture parts;
        McpSharing sharing(parts.state, parts.sender, parts.services);
        testing::showDocument(parts.state, 1);
        const std::vector<std::string> paths =
            c.approved ? std::vector<std::string>{"/srv/a"} : std::vector<std::string>{};
        if (c.approved) {
            parts.dialogs->paths = {"/srv/a"};
            sharing.approveMcpPath(FileDialogs::PathKind::files);
        }
        sharing.setMcpAccess(c.sharing);
        const std::size_t before = parts.sender.sent(CommandMethod::setGrants).size();

        if (c.anotherDocument) {
            EXPECT_EQ(sharing.documentReplaced(), c.sharing);
        } else {
            sharing.workerRestarted();
            EXPECT_EQ(sharing.restartNote(),
                      c.sharing ? std::optional<std::string>("MCP access is off until you turn it on again.")
                                : std::nullopt);
        }
        EXPECT_FALSE(sharing.mcpAccessGranted());
        EXPECT_FALSE(sharing.watchingExternalChanges());
        const auto sent = parts.sender.sent(CommandMethod::setGrants);
        ASSERT_EQ(sent.size() - before, c.grantsSent);
        if (c.grantsSent == 0) continue;
        EXPECT_EQ(sent.back().params.sessionIds, std::vector<std::string>{});
        EXPECT_EQ(sent.back().params.permissions, std::vector<std::string>{});
        EXPECT_EQ(sent.back().params.paths, paths);
    }
}

TEST_F(McpSharingTest, PutsTheConfigurationOnTheClipboardAndQuotesTheCommandLine) {
    struct Case {
        std::string path;
        std::string word;
    };
    for (const Case& c : std::vector<Case>{
             {"/opt/kivo/bin/kivo-pdf-mcp", "/opt/kivo/bin/kivo-pdf-mcp"},
             {"/home/ann/Kivo PDF/it's/kivo-pdf-mcp", "'/home/ann/Kivo PDF/it'\\''s/kivo-pdf-mcp'"}}) {
        parts_.host->connector = std::filesystem::path(c.path);
        part_.copyMcpSetup();
        EXPECT_EQ(parts_.clipboard->text,
                  "{\n  \"mcpServers\": {\n    \"kivo-pdf\": {\n      \"command\": \"" + c.path +
                      "\"\n    }\n  }\n}");
        EXPECT_EQ(parts_.state.status(),
                  "Copied MCP config for Claude Desktop or Cursor. Claude Code: claude mcp add --scope user "
                  "kivo-pdf -- " +
                      c.word);
    }
    parts_.host->connector.reset();  // the tests' own folder holds the real one
    part_.copyMcpSetup();
    EXPECT_NE(parts_.clipboard->text.find((std::filesystem::path(KIVO_BIN_DIR) / "kivo-pdf-mcp").string()),
              std::string::npos);

    parts_.host->connector = std::optional<std::filesystem::path>();
    parts_.clipboard->text = "kept";
    part_.copyMcpSetup();
    EXPECT_EQ(parts_.state.errorMessage().value_or(""),
              "kivo-pdf-mcp was not found next to the editor. Build the project with scripts/build.sh, then "
              "copy the "
              "config again.");
    EXPECT_EQ(parts_.clipboard->text, "kept");
}

// ---- Through the workspace: the grants the fake worker writes down

class SharingWireTest : public ::testing::Test {
protected:
    void start(std::map<std::string, std::string> extra = {}) {
        extra["KIVO_FAKE_WORKER_LOG"] = scratch_.log().string();
        test_ = std::make_unique<testing::TestWorkspace>(testing::fakeWorker(), std::move(extra));
        ws().launchOnce();
        ASSERT_TRUE(ws().link().workerReady());
    }

    Workspace& ws() { return **test_; }

    // The last grants the worker received, once `count` of them arrived.
    CommandParams grants(std::size_t count) {
        waitUntil(
            [&] { return testing::sentRequests(scratch_.log(), CommandMethod::setGrants).size() >= count; });
        const auto sent = testing::sentRequests(scratch_.log(), CommandMethod::setGrants);
        EXPECT_EQ(sent.size(), count);
        return sent.empty() ? CommandParams{} : sent.back().params;
    }

    void open(const std::string& name) {
        ws().open(scratch_.docs() / name);
        ASSERT_TRUE(waitUntil([&] { return ws().status().starts_with("Opened " + name); })) << ws().status();
    }

    testing::Scratch scratch_;
    std::unique_ptr<testing::TestWorkspace> test_;
};

TEST_F(SharingWireTest, EachChangeSendsTheWholeGrantStateAndSaveAsSendsTheNewPath) {
    start();
    test_->dialogs->paths = {"/srv/a", "/srv/b"};
    ws().sharing().approveMcpPath(FileDialogs::PathKind::files);
    EXPECT_EQ(test_->dialogs->messages.back(), "MCP may only read or write these approved paths.");
    EXPECT_EQ(ws().status(),
              "Approved 2 path(s). Turn on Allow MCP on this document to share the document itself.");
    CommandParams sent = grants(1);
    EXPECT_EQ(sent.sessionIds, std::vector<std::string>{});
    EXPECT_EQ(sent.permissions, std::vector<std::string>{});
    EXPECT_EQ(sent.paths, (std::vector<std::string>{"/srv/a", "/srv/b"}));

    ws().sharing().setMcpAccess(true);  // sharing with no document: permissions but no session, and no watch
    EXPECT_EQ(grants(2).sessionIds, std::vector<std::string>{});
    EXPECT_FALSE(ws().sharing().watchingExternalChanges());
    testing::arrange(ws().sharing(), "mcpAccessGranted", false);

    open("shared.pdf");
    if (HasFatalFailure()) return;
    const std::string document = (scratch_.docs() / "shared.pdf").string();
    ws().sharing().setMcpAccess(true);
    sent = grants(3);
    EXPECT_EQ(sent.sessionIds, std::vector<std::string>{*ws().sessionId()});
    EXPECT_EQ(sent.permissions, allPermissions);
    EXPECT_EQ(sent.paths, (std::vector<std::string>{"/srv/a", "/srv/b", document}));
    EXPECT_TRUE(ws().sharing().watchingExternalChanges());

    test_->dialogs->paths = {"/srv/b"};
    ws().sharing().approveMcpPath(FileDialogs::PathKind::folders);
    EXPECT_EQ(ws().status(), "Approved 1 path(s) for MCP.");
    EXPECT_EQ(test_->dialogs->kinds,
              (std::vector{FileDialogs::PathKind::files, FileDialogs::PathKind::folders}));
    EXPECT_EQ(grants(4).paths, (std::vector<std::string>{"/srv/a", "/srv/b", document}));

    const std::string renamed = (scratch_.docs() / "renamed.pdf").string();
    test_->dialogs->savePdf = renamed;
    ws().saveAs();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Saved"; })) << ws().errorMessage().value_or("");
    EXPECT_EQ(grants(5).paths, (std::vector<std::string>{"/srv/a", "/srv/b", renamed}));
    ws().save();  // the same path again: no new grants
    ASSERT_TRUE(waitUntil([&] { return rawValue(ws().savePhase()) == "saved"; }));

    open("other.pdf");
    if (HasFatalFailure()) return;
    EXPECT_FALSE(ws().sharing().mcpAccessGranted());
    EXPECT_EQ(ws().status(),
              "Opened other.pdf. MCP access is per document; turn it on again to share this one.");
    sent = grants(6);
    EXPECT_EQ(sent.sessionIds, std::vector<std::string>{});
    EXPECT_EQ(sent.paths, (std::vector<std::string>{"/srv/a", "/srv/b"}));
    EXPECT_FALSE(ws().sharing().watchingExternalChanges());

    // A new worker holds no grants: the approved paths are sent to it again, the document is not.
    ws().sharing().setMcpAccess(true);
    grants(7);
    const qint64 pid = ws().link().workerProcessId();
    ::kill(static_cast<pid_t>(pid), SIGUSR1);
    ASSERT_TRUE(waitUntil([&] { return ws().link().workerProcessId() != pid && ws().link().workerReady(); }));
    sent = grants(8);
    EXPECT_FALSE(ws().sharing().mcpAccessGranted());
    EXPECT_EQ(sent.sessionIds, std::vector<std::string>{});
    EXPECT_EQ(sent.permissions, std::vector<std::string>{});
    EXPECT_EQ(sent.paths, (std::vector<std::string>{"/srv/a", "/srv/b"}));
}

// ---- What an MCP client sees through the real worker

TEST(SharingTest, AnMCPClientSeesOnlyTheSharedDocumentAndItsEditIsTakenIn) {
    const testing::Scratch scratch;
    const auto test = testing::launchedRealWorker(scratch);
    ASSERT_TRUE(test);
    Workspace& ws = **test;
    ws.open(testing::writeDocument(scratch, "shared.pdf", {testing::TestPage{}}));
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened shared.pdf"; })) << ws.status();

    const IPCToken ipc = loadIPCToken();
    CommandClient mcp(ipc.socket, ipc.token, CommandChannel::mcp);
    mcp.connect();
    const auto listed = [&] {
        CommandRequest request;
        request.id = newUUIDString();
        request.method = CommandMethod::listDocuments;
        const CommandResponse response = mcp.send(request);
        EXPECT_TRUE(response.ok) << (response.error ? response.error->message : "");
        return response.result ? response.result->documents.value_or(std::vector<DocumentSummary>{})
                               : std::vector<DocumentSummary>{};
    };
    EXPECT_TRUE(listed().empty()) << "nothing is shared yet";

    ws.sharing().setMcpAccess(true);
    ASSERT_TRUE(waitUntil([&] { return listed().size() == 1; }));
    const DocumentSummary shared = listed().front();
    EXPECT_EQ(shared.sessionId, ws.sessionId());

    CommandRequest note;
    note.id = newUUIDString();
    note.method = CommandMethod::addNote;
    note.params.sessionId = shared.sessionId;
    note.params.pageId = ws.selectedPageId();
    note.params.rect = PDFRect{100, 100, 124, 124};
    note.params.contents = "From the MCP client";
    note.expectedRevision = shared.revision;
    note.operationId = newUUIDString();
    const CommandResponse added = mcp.send(note);
    ASSERT_TRUE(added.ok) << (added.error ? added.error->message : "");
    const std::string expected = "Updated by an MCP client · revision " + std::to_string(shared.revision + 1);
    ASSERT_TRUE(waitUntil([&] { return ws.status() == expected; }, 10)) << ws.status();
    ASSERT_EQ(ws.inspect()->annotations->size(), 1u);
    EXPECT_EQ(ws.inspect()->annotations->front().contents, "From the MCP client");

    ws.sharing().setMcpAccess(false);
    EXPECT_FALSE(ws.sharing().watchingExternalChanges());
    EXPECT_TRUE(waitUntil([&] { return listed().empty(); }));
}

}  // namespace
}  // namespace kivo
