// Recovery checkpoints across two workers on the command line: the first leaves checkpoints of
// its edited documents behind, the second lists, restores and discards them.

#include <gtest/gtest.h>

#include <algorithm>

#include "document_worker.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::DocumentWorker;
using testing::makeRequest;
using testing::outcome;
using testing::WorkerMode;

CommandRequest withRecovery(CommandMethod method, std::optional<std::string> recoveryId,
                            CommandChannel channel = CommandChannel::ui) {
    auto r = makeRequest(method, channel);
    r.params.recoveryId = std::move(recoveryId);
    return r;
}

std::vector<RecoveryInfo> recoveries(DocumentWorker& worker) {
    const auto listed = worker.send(makeRequest(CommandMethod::listRecovery));
    EXPECT_TRUE(listed.ok) << outcome(listed);
    return listed.result.value_or(CommandResult{}).recoveries.value_or(std::vector<RecoveryInfo>{});
}

TEST(WorkerRecovery, ALaterWorkerRestoresAndDiscardsCheckpoints) {
    testing::TempDir dir;
    const fs::path recoveryRoot = dir.path() / "support" / "recovery";
    struct Document {
        const char* name;
        fs::path file;
        bool edited;
        std::string sessionId{};
    };
    std::vector<Document> documents{{"kept", dir.path() / "kept.pdf", true},
                                    {"modified", dir.path() / "modified.pdf", true},
                                    {"deleted", dir.path() / "deleted.pdf", true},
                                    {"clean", dir.path() / "clean.pdf", false}};
    {
        DocumentWorker first(WorkerMode::stdio, dir.path());
        for (Document& document : documents) {
            testing::writeFile(document.file, testing::makePdf({testing::TestPage{}, testing::TestPage{}}));
            const auto opened = first.open(document.file);
            document.sessionId = *opened.result->sessionId;
            if (!document.edited) continue;
            auto highlight = makeRequest(CommandMethod::addHighlight);
            highlight.params.sessionId = document.sessionId;
            highlight.params.pageId = opened.result->pages->at(1).id;
            highlight.params.rect = PDFRect{72, 72, 200, 120};
            ASSERT_TRUE(first.send(highlight).ok);
        }
        const auto listed = recoveries(first);
        ASSERT_EQ(listed.size(), 3u);
        for (const RecoveryInfo& info : listed) {
            EXPECT_TRUE(info.dirty);
            EXPECT_EQ(info.revision, 2);
            EXPECT_EQ(info.pageCount, 2);
        }
        EXPECT_EQ(first.stop(), 0);
    }
    testing::writeFile(documents[1].file,
                       testing::makePdf({testing::TestPage{100, 100, "Changed elsewhere"}}));
    fs::remove(documents[2].file);

    DocumentWorker second(WorkerMode::stdio, dir.path());
    EXPECT_EQ(recoveries(second).size(), 3u);

    const std::string changedWarning = "The original file changed. Recovery opened as a copy.";
    struct Restore {
        std::size_t document;
        std::optional<std::string> sourcePath;
        bool warned;
    };
    const Restore restores[] = {
        {0, documents[0].file.string(), false},
        {1, std::nullopt, true},
        {2, documents[2].file.string(), false},
    };
    std::vector<std::string> restored;
    for (const Restore& r : restores) {
        const Document& document = documents[r.document];
        const auto response = second.send(withRecovery(CommandMethod::restoreRecovery, document.sessionId));
        ASSERT_TRUE(response.ok) << document.name << ": " << outcome(response);
        const CommandResult& result = *response.result;
        EXPECT_NE(result.sessionId, document.sessionId) << document.name;
        EXPECT_EQ(result.revision, 1) << document.name;
        EXPECT_EQ(result.saveState, "unsaved") << document.name;
        EXPECT_EQ(result.annotations->size(), 1u) << document.name;
        EXPECT_EQ(result.sourcePath, r.sourcePath) << document.name;
        const auto& warnings = *result.warnings;
        EXPECT_EQ(std::count(warnings.begin(), warnings.end(), changedWarning), r.warned ? 1 : 0)
            << document.name;
        EXPECT_FALSE(fs::exists(recoveryRoot / document.sessionId)) << document.name;
        EXPECT_TRUE(fs::exists(recoveryRoot / *result.sessionId / "checkpoint.pdf")) << document.name;
        restored.push_back(*result.sessionId);
    }
    auto saveDetached = makeRequest(CommandMethod::saveDocument);
    saveDetached.params.sessionId = restored[1];
    EXPECT_EQ(outcome(second.send(saveDetached)),
              "invalid_argument: Save As is required for a document without a path.");

    const std::string badId = "invalid_argument: A recoveryId is the id of a session.";
    struct Case {
        const char* name;
        CommandRequest request;
        std::string expected;
    };
    const Case cases[] = {
        {"restore without an id", withRecovery(CommandMethod::restoreRecovery, std::nullopt),
         "invalid_argument: restore_recovery requires recoveryId."},
        {"restore an empty id", withRecovery(CommandMethod::restoreRecovery, ""), badId},
        {"restore a path", withRecovery(CommandMethod::restoreRecovery, "../" + restored[0]), badId},
        {"restore an id without a folder",
         withRecovery(CommandMethod::restoreRecovery, documents[3].sessionId),
         "not_found: No recovery checkpoint matches that id."},
        {"discard without an id", withRecovery(CommandMethod::discardRecovery, std::nullopt),
         "invalid_argument: discard_recovery requires recoveryId."},
        {"discard an id without a folder",
         withRecovery(CommandMethod::discardRecovery, documents[3].sessionId), "ok"},
        {"discard", withRecovery(CommandMethod::discardRecovery, restored[0]), "ok"},
        {"MCP may not list", withRecovery(CommandMethod::listRecovery, std::nullopt, CommandChannel::mcp),
         "unauthorized: MCP cannot call list_recovery."},
        {"MCP may not discard",
         withRecovery(CommandMethod::discardRecovery, restored[1], CommandChannel::mcp),
         "unauthorized: MCP cannot call discard_recovery."},
    };
    for (const Case& c : cases) {
        const auto response = second.send(c.request);
        EXPECT_EQ(outcome(response), c.expected) << c.name;
        if (response.ok) {
            EXPECT_EQ(response.result, CommandResult{}) << c.name;
        }
    }
    const auto left = recoveries(second);
    std::vector<std::string> ids;
    for (const RecoveryInfo& info : left) ids.push_back(info.recoveryId);
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> expected{restored[1], restored[2]};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
}

}  // namespace
}  // namespace kivo
