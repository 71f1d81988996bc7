// The workspace against the fake worker program, which exits, crashes, stalls or answers badly on
// cue and writes down everything it was sent.

#include <signal.h>
#include <sys/stat.h>

#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>

#include <fstream>
#include <numeric>

#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::fakeLog;
using testing::waitUntil;

constexpr const char* restartedSentence = "Kivo PDF started it again.";

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class FakeWorkerTest : public ::testing::Test {
protected:
    testing::TestWorkspace& start(std::map<std::string, std::string> extra = {},
                                  std::optional<std::filesystem::path> program = testing::fakeWorker()) {
        extra["KIVO_FAKE_WORKER_LOG"] = scratch_.log().string();
        workspace_ = std::make_unique<testing::TestWorkspace>(std::move(program), std::move(extra));
        (*workspace_)->launchOnce();
        return *workspace_;
    }

    Workspace& ws() { return **workspace_; }

    // The requests the fake worker received, of one method.
    std::vector<CommandRequest> sent(CommandMethod method) const {
        return testing::sentRequests(scratch_.log(), method);
    }

    void openDocument(const std::string& name) {
        ws().open(scratch_.docs() / name);
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened " + name; })) << ws().status();
    }

    // Ends the running fake worker with `signal` and waits for the workspace to handle it.
    void stopWorker(int signal = SIGUSR1) {
        const qint64 pid = ws().link().workerProcessId();
        ASSERT_GT(pid, 0);
        ::kill(static_cast<pid_t>(pid), signal);
        ASSERT_TRUE(waitUntil([&] { return ws().link().workerProcessId() != pid && ws().workerNotice(); }));
        ASSERT_TRUE(waitUntil(
            [&] { return !ws().link().activity() && ws().status() != "Restarting the PDF worker…"; }));
    }

    std::string noticeText() { return ws().workerNotice() ? ws().workerNotice()->message : "(no notice)"; }

    testing::Scratch scratch_;
    std::unique_ptr<testing::TestWorkspace> workspace_;
};

TEST_F(FakeWorkerTest, HandsTheWorkerItsCommandLineAndTokensAndANewMCPTokenAtEachStart) {
    std::filesystem::create_directories(scratch_.socket().parent_path());
    std::ofstream(scratch_.socket()) << "left over from an earlier run";
    start();
    ASSERT_TRUE(ws().link().workerReady()) << ws().errorMessage().value_or("");
    EXPECT_EQ(ws().status(), "Worker ready. PDFium 154.0.8035 isolated from the UI.");
    EXPECT_TRUE(ws().sharing().mcpEnabled());

    const std::string arguments = "--socket " + scratch_.socket().string() + " --token-stdin";
    const std::string firstToken = readAll(scratch_.token());
    EXPECT_EQ(fakeLog(scratch_.log(), "argv "), std::vector<std::string>{arguments});
    EXPECT_EQ(fakeLog(scratch_.log(), "stdin "),
              (std::vector<std::string>{ws().link().uiToken(), firstToken, "closed"}));
    struct stat info {};
    ASSERT_EQ(::stat(scratch_.token().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(firstToken.size(), 36u);
    EXPECT_TRUE(waitUntil([&] { return sent(CommandMethod::listRecovery).size() == 1; }));

    ws().restartWorker();  // a worker and its connection stand: nothing to do
    EXPECT_EQ(fakeLog(scratch_.log(), "argv ").size(), 1u);

    stopWorker();
    EXPECT_TRUE(ws().link().workerReady());
    const std::string secondToken = readAll(scratch_.token());
    EXPECT_NE(secondToken, firstToken);
    EXPECT_EQ(fakeLog(scratch_.log(), "argv "), (std::vector<std::string>{arguments, arguments}));
    EXPECT_EQ(fakeLog(scratch_.log(), "stdin "),
              (std::vector<std::string>{ws().link().uiToken(), firstToken, "closed", ws().link().uiToken(),
                                        secondToken, "closed"}));
}

// The launch looks for the socket 40 times, 50 ms apart, then tries to connect 20 times. It lasts at least
// so long, however fast the machine; at most, it waits so long, however slow the machine makes each wait.
TEST_F(FakeWorkerTest, TheLaunchWaitsTwoSecondsForTheSocketAndOneMoreToConnect) {
    const struct {
        const char* start;
        bool ready;
        double least, most;  // seconds the launch takes, and its waits for the worker add up to
    } cases[] = {
        {"late:1400", true, 1.3, 2.6},
        {"silent", false, 2.85, 4.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        workspace_.reset();
        const auto begun = std::chrono::steady_clock::now();
        start({{"KIVO_FAKE_WORKER_START", c.start}});
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begun;
        const std::vector<int> waits = workspace_->host->waitsRunOut();
        const double waited = std::accumulate(waits.begin(), waits.end(), 0) / 1000.0;
        EXPECT_EQ(ws().link().workerReady(), c.ready) << ws().errorMessage().value_or("");
        EXPECT_GE(took.count(), c.least);
        EXPECT_LE(waited, c.most) << waits.size() << " waits, " << took.count() << " s";
    }
}

// The activity card shows a command that is still running 0.25 s after it was sent, not before. How late
// the event loop turns is the machine's: a control timer of half a second, started as the command began,
// fires after the card is shown however late both come.
TEST_F(FakeWorkerTest, AnActivityIsShownAQuarterSecondAfterItBegan) {
    start({{"KIVO_FAKE_WORKER_SCRIPT", "search=stall"}});
    openDocument("a.pdf");
    std::optional<std::chrono::steady_clock::time_point> begun, shown;
    std::optional<bool> shownByControl;
    QObject control;
    QObject::connect(&ws().link(), &WorkerLink::activityChanged, [&] {
        const auto now = std::chrono::steady_clock::now();
        if (ws().link().activity() && !begun) {
            begun = now;
            QTimer::singleShot(500, Qt::PreciseTimer, &control, [&] { shownByControl = shown.has_value(); });
        }
        if (ws().link().activity() && ws().link().activity()->visible && !shown) shown = now;
    });
    ws().search("anything");
    ASSERT_TRUE(waitUntil([&] { return shown.has_value() && shownByControl.has_value(); }, 5));
    ASSERT_TRUE(begun);
    const std::chrono::duration<double> delay = *shown - *begun;
    EXPECT_GE(delay.count(), 0.24);
    EXPECT_TRUE(*shownByControl) << "shown " << delay.count() << " s after it began, after the control";
}

// A worker that ends at its start is a stop like any later one: told in the notice and started again until
// the third stop within a minute. A launch that fails without the worker's end says why where errors go.
TEST_F(FakeWorkerTest, ALaunchThatFailsSaysWhy) {
    const std::string givenUp = " It stopped 3 times within a minute, so Kivo PDF stopped restarting it.";
    const struct {
        const char* start;
        bool program;
        std::string message;
        bool notice;
        std::size_t starts;
    } cases[] = {
        {"exit:73", true,
         "The PDF worker stopped because the system would not apply its sandbox, and it does not open "
         "documents "
         "without one.",
         true, 1},
        // The signal number of a crash reaches the sentence.
        {"signal:11", true, "The PDF worker crashed (Segmentation fault)." + givenUp, true, 3},
        {"exit:72", true,
         "The PDF worker stopped because a command made no progress for 60 seconds." + givenUp, true, 3},
        {"silent", true, "connect: No such file or directory", false, 1},
        {"serve", false,
         "Could not find kivo-pdf-worker next to the editor. Build it and start the editor with "
         "scripts/run.sh from "
         "the repository root.",
         false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        std::filesystem::remove(scratch_.log());
        std::filesystem::create_directories(scratch_.socket().parent_path());
        std::ofstream(scratch_.socket()) << "stale";
        workspace_.reset();
        start({{"KIVO_FAKE_WORKER_START", c.start}},
              c.program ? std::optional(testing::fakeWorker()) : std::nullopt);
        EXPECT_EQ(c.notice ? noticeText() : ws().errorMessage().value_or(""), c.message);
        EXPECT_EQ(fakeLog(scratch_.log(), "argv ").size(), c.starts);
        EXPECT_FALSE(ws().link().workerReady());
        EXPECT_EQ(ws().link().workerProcessId(), 0);
        // The failed worker's own exit report is stale and changes nothing.
        waitUntil([] { return false; }, 0.3);
        EXPECT_EQ(fakeLog(scratch_.log(), "argv ").size(), c.starts);
        EXPECT_EQ(ws().workerNotice().has_value(), c.notice);
        if (c.notice) {
            EXPECT_TRUE(ws().workerNotice()->offersRestart);
            EXPECT_FALSE(ws().errorMessage());
        }
        EXPECT_EQ(ws().status(), c.notice ? "The PDF worker stopped"
                                          : "Open a PDF to start. Editing stays on this computer.");
        // The token file is written and the stale socket gone before the worker is looked for.
        EXPECT_EQ(readAll(scratch_.token()).size(), 36u);
        if (!c.program) {
            EXPECT_FALSE(std::filesystem::exists(scratch_.socket()));
        }
    }
}

// The editor's own road: its worker comes up while the window is built, and here it is lost before the
// launch reaches it. A new one is started, the loss told, and the file named at launch opens.
TEST_F(FakeWorkerTest, AWorkerLostBeforeTheEditorReachedItIsStartedAgainAndTheLaunchFileOpens) {
    const std::filesystem::path document = scratch_.docs() / "minimal-document.pdf";
    std::filesystem::copy_file(testing::corpus("minimal-document.pdf"), document);
    workspace_ = std::make_unique<testing::TestWorkspace>(
        testing::fakeWorker(),
        std::map<std::string, std::string>{{"KIVO_FAKE_WORKER_LOG", scratch_.log().string()}});
    ws().link().startEarly();
    const qint64 early = ws().link().workerProcessId();
    ASSERT_GT(early, 0);
    ::kill(static_cast<pid_t>(early), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return ws().link().workerEnded(0); }));

    ws().launchOnce();
    ws().openLaunchFiles({document.string()}, 8);
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened minimal-document.pdf"; })) << ws().status();
    EXPECT_EQ(noticeText(),
              "The PDF worker was killed (Killed). The system does this when memory runs out, and another "
              "program can "
              "too. Kivo PDF started it again.");
    EXPECT_FALSE(ws().errorMessage());
    EXPECT_TRUE(ws().link().workerReady());
    EXPECT_NE(ws().link().workerProcessId(), early);
    // The one lost (if it lived to write down its start) and the one started in its place.
    EXPECT_LE(fakeLog(scratch_.log(), "argv ").size(), 2u);
    // The launch still offers what was left unsaved last time.
    EXPECT_TRUE(waitUntil([&] { return sent(CommandMethod::listRecovery).size() == 1; }));
}

TEST_F(FakeWorkerTest, EveryStopIsToldAndRestarted) {
    const struct {
        const char* usr1;
        int signal;
        std::map<std::string, std::string> environment;
        bool sharing;
        std::string notice;
    } cases[] = {
        {"exit:71",
         SIGUSR1,
         {{"KIVO_PDF_WORKER_MEMORY_HARD_LIMIT_MB", "3000"}},
         false,
         "The PDF worker stopped because a document took its memory past 3000 MB. Kivo PDF started it "
         "again."},
        {"exit:72",
         SIGUSR1,
         {{"KIVO_PDF_WORKER_STALL_LIMIT_S", "2.5"}},
         false,
         "The PDF worker stopped because a command made no progress for 2.5 seconds. Kivo PDF started it "
         "again."},
        {"signal:11",
         SIGUSR1,
         {},
         false,
         "The PDF worker crashed (Segmentation fault). Kivo PDF started it again."},
        {"exit:3",
         SIGUSR1,
         {},
         true,
         "The PDF worker exited unexpectedly with status 3. Kivo PDF started it again. MCP access is off "
         "until you "
         "turn it on again."},
        {"",
         SIGKILL,
         {},
         false,
         "The PDF worker was killed (Killed). The system does this when memory runs out, and another program "
         "can "
         "too. Kivo PDF started it again."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.notice);
        workspace_.reset();
        auto environment = c.environment;
        environment["KIVO_FAKE_WORKER_USR1"] = c.usr1;
        start(environment);
        ASSERT_TRUE(ws().link().workerReady());
        testing::arrange(ws().sharing(), "mcpAccessGranted", c.sharing);
        stopWorker(c.signal);
        EXPECT_EQ(noticeText(), c.notice);
        EXPECT_FALSE(ws().workerNotice()->offersRestart);
        EXPECT_EQ(ws().status(), "PDF worker restarted");
        EXPECT_TRUE(ws().link().workerReady());
        EXPECT_FALSE(ws().sharing().mcpAccessGranted());
    }
}

TEST_F(FakeWorkerTest, TheThirdStopWithinAMinuteIsNotRestartedAndTheButtonBringsTheDocumentBack) {
    auto& test = start();
    stopWorker();
    test.clock->advance(30);
    stopWorker();
    EXPECT_TRUE(ws().link().workerReady());

    openDocument("a.pdf");
    CommandParams note;
    note.sessionId = ws().sessionId();
    note.pageId = "p2";
    ws().mutate(CommandMethod::addNote, note, "Note added");
    ASSERT_TRUE(waitUntil([&] { return rawValue(ws().savePhase()) == "unsaved"; }));
    ws().select("p3");

    test.clock->advance(20);
    stopWorker();
    const std::string cause = "The PDF worker stopped because a document took its memory past ";
    EXPECT_TRUE(noticeText().starts_with(cause)) << noticeText();
    EXPECT_TRUE(
        noticeText().ends_with(" MB. It stopped 3 times within a minute, so Kivo PDF stopped restarting it. "
                               "Unsaved changes stay in their "
                               "recovery checkpoint."))
        << noticeText();
    EXPECT_TRUE(ws().workerNotice()->offersRestart);
    EXPECT_EQ(ws().status(), "The PDF worker stopped");
    EXPECT_FALSE(ws().link().workerReady() || ws().sessionId() || ws().inspect());
    EXPECT_FALSE(ws().sharing().mcpEnabled()) << "no MCP client can reach a worker that is not running";
    ASSERT_TRUE(ws().lostDocument());
    EXPECT_EQ(ws().lostDocument()->pageIndex, 2);

    // Commands now say what to do.
    ws().checkpoints().refresh();
    EXPECT_EQ(ws().errorMessage().value_or(""),
              "The PDF worker is not running. Use Restart Worker in the inspector.");

    ws().restartWorker();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened a.pdf again"; })) << ws().status();
    EXPECT_TRUE(ws().sharing().mcpEnabled());
    EXPECT_TRUE(
        noticeText().ends_with("Kivo PDF started it again and opened a.pdf from its file. Its unsaved "
                               "changes had no recovery checkpoint "
                               "and are lost."))
        << noticeText();
    EXPECT_EQ(ws().selectedPageId(), "p3");
    EXPECT_EQ(ws().pageJump(), "3");
    EXPECT_FALSE(ws().lostDocument());
}

// The window drops what was typed for a document when the user brings another in its place, and keeps
// it while a restart brings the same one back, from its checkpoint or from its file.
TEST_F(FakeWorkerTest, SaysAnotherDocumentReplacedTheOpenOneOnlyWhenTheUserBroughtIt) {
    for (const char* checkpoint : {"", "s1"}) {
        SCOPED_TRACE(std::string("checkpoint ") + checkpoint);
        workspace_.reset();
        std::filesystem::remove(scratch_.log());
        start({{"KIVO_FAKE_WORKER_RECOVERIES", checkpoint}});
        int replaced = 0;
        QObject::connect(&ws(), &Workspace::documentReplaced, [&] { ++replaced; });
        openDocument("a.pdf");
        EXPECT_EQ(replaced, 1);
        stopWorker();
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened a.pdf again"; })) << ws().status();
        EXPECT_EQ(replaced, 1) << "the same document came back";
        openDocument("b.pdf");
        EXPECT_EQ(replaced, 2);
        ws().restoreRecovery("s1");
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Restored unsaved work"; })) << ws().status();
        EXPECT_EQ(replaced, 3);
    }
}

TEST_F(FakeWorkerTest, ASandboxStopIsNeverRestarted) {
    start({{"KIVO_FAKE_WORKER_USR1", "exit:73"}});
    testing::arrange(ws().sharing(), "mcpAccessGranted", true);
    stopWorker();
    EXPECT_EQ(noticeText(),
              "The PDF worker stopped because the system would not apply its sandbox, and it does not open "
              "documents without one.");
    EXPECT_TRUE(ws().workerNotice()->offersRestart);
    EXPECT_FALSE(ws().sharing().mcpAccessGranted() || ws().link().workerReady());
    EXPECT_EQ(ws().link().workerProcessId(), 0);
}

TEST_F(FakeWorkerTest, AWorkerThatStopsWhileRestoringIsRestartedOnceAndTheDocumentGivenUp) {
    start({{"KIVO_FAKE_WORKER_RECOVERIES", "s1"}, {"KIVO_FAKE_WORKER_SCRIPT", "restore_recovery=exit:72"}});
    openDocument("a.pdf");
    stopWorker();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Could not open a.pdf again"; })) << ws().status();
    EXPECT_EQ(noticeText(),
              "The PDF worker stopped because a command made no progress for 60 seconds. Kivo PDF started it "
              "again, "
              "but could not open a.pdf: the PDF worker stopped again while opening it.");
    EXPECT_TRUE(ws().link().workerReady());
    EXPECT_EQ(sent(CommandMethod::restoreRecovery).size(), 1u);
    EXPECT_EQ(fakeLog(scratch_.log(), "argv ").size(), 3u);
    // The checkpoint stays and is offered.
    ASSERT_TRUE(waitUntil([&] { return ws().checkpoints().showRecovery(); }));
    EXPECT_EQ(ws().checkpoints().recoveries().at(0).recoveryId, "s1");
}

TEST_F(FakeWorkerTest, ACancelledRestoreGivesUpAndOffersTheCheckpoint) {
    start({{"KIVO_FAKE_WORKER_RECOVERIES", "s1"},
           {"KIVO_FAKE_WORKER_SCRIPT",
            "restore_recovery=error:cancelled:The command was cancelled. Nothing changed."}});
    openDocument("a.pdf");
    stopWorker();
    ASSERT_TRUE(waitUntil([&] { return ws().checkpoints().showRecovery(); }));
    EXPECT_TRUE(noticeText().ends_with(
        "Kivo PDF started it again, but could not open a.pdf: the restore was cancelled."))
        << noticeText();
    EXPECT_EQ(ws().status(), "Could not open a.pdf again");
    EXPECT_FALSE(ws().lostDocument());
}

TEST_F(FakeWorkerTest, ADocumentOpenedWhileTheLostOneIsOnItsWayStaysOpen) {
    start({{"KIVO_FAKE_WORKER_RECOVERIES", "s1"}, {"KIVO_FAKE_WORKER_SCRIPT", "list_recovery=sleep:300"}});
    openDocument("a.pdf");
    const qint64 first = ws().link().workerProcessId();
    ::kill(static_cast<pid_t>(first), SIGUSR1);
    ASSERT_TRUE(waitUntil(
        [&] { return ws().link().workerProcessId() != first && ws().link().workerProcessId() != 0; }));
    // The restore is sent only after this open, whose answer ends the wait for the lost document.
    openDocument("b.pdf");
    ASSERT_TRUE(waitUntil([&] { return sent(CommandMethod::restoreRecovery).size() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return sent(CommandMethod::close).size() == 1; }));
    EXPECT_EQ(sent(CommandMethod::close)[0].params.sessionId, "r2") << "the restored copy is closed, unseen";
    EXPECT_EQ(ws().status(), "Opened b.pdf");
    EXPECT_EQ(ws().inspect()->sourcePath, (scratch_.docs() / "b.pdf").string());
    EXPECT_FALSE(ws().lostDocument());
}

TEST_F(FakeWorkerTest, ALostEncryptedDocumentAsksForItsPasswordAgain) {
    auto& test = start();
    test.prompts->passwords = {"secret"};
    openDocument("locked.pdf");
    test.prompts->asked.clear();
    test.prompts->passwords = {"wrong", std::nullopt};
    stopWorker();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Could not open locked.pdf again"; }))
        << ws().status();
    ASSERT_EQ(test.prompts->asked.size(), 2u);
    EXPECT_EQ(test.prompts->asked[0].title, "Password required");
    EXPECT_EQ(test.prompts->asked[1].title, "That password did not open locked.pdf");
    EXPECT_EQ(test.prompts->asked[1].detail,
              "Enter the password for locked.pdf to open it again after the PDF worker stopped. The password "
              "is not "
              "stored or logged.");
    EXPECT_TRUE(noticeText().ends_with("could not open locked.pdf: no password was entered."))
        << noticeText();
}

TEST_F(FakeWorkerTest, ASaveFailureStaysWithItsDocument) {
    start({{"KIVO_FAKE_WORKER_SCRIPT", "save_document=error:write_failed:The file could not be written."}});
    openDocument("a.pdf");
    ws().save();
    ASSERT_TRUE(waitUntil([&] { return ws().errorMessage().has_value(); }));
    EXPECT_EQ(ws().saveLabel(), "Save failed");
    openDocument("b.pdf");
    EXPECT_EQ(rawValue(ws().savePhase()), "saved");
    EXPECT_EQ(ws().saveLabel(), "Saved");
}

TEST_F(FakeWorkerTest, AWrongPasswordIsSaidToBeWrongAndAskedForAgain) {
    auto& test = start();
    test.prompts->passwords = {"wrong", "also wrong", "secret"};
    ws().open(scratch_.docs() / "locked.pdf");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened locked.pdf"; })) << ws().status();
    ASSERT_EQ(test.prompts->asked.size(), 3u);
    EXPECT_EQ(test.prompts->asked[0].title, "Password required");
    EXPECT_EQ(test.prompts->asked[1].title, "That password did not open locked.pdf");
    EXPECT_EQ(test.prompts->asked[2].title, "That password did not open locked.pdf");
    EXPECT_FALSE(ws().errorMessage());
}

TEST_F(FakeWorkerTest, AnUnreadableReplyReconnectsAndReadsTheDocumentAgain) {
    start({{"KIVO_FAKE_WORKER_SCRIPT", "search=garbage"}});
    openDocument("a.pdf");
    ws().search("anything");
    ASSERT_TRUE(waitUntil([&] { return ws().errorMessage().has_value(); }));

    CommandParams note;
    note.sessionId = ws().sessionId();
    note.pageId = "p1";
    ws().mutate(CommandMethod::addNote, note, "Note added");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Note added"; })) << ws().errorMessage().value_or("");
    EXPECT_FALSE(ws().errorMessage());
    // The page rendered ahead may read it once more after the reconnect; what matters is that it was read.
    EXPECT_GE(sent(CommandMethod::inspect).size(), 1u)
        << "the document is read again before the next command";
    EXPECT_EQ(ws().inspect()->revision, 2);
}

TEST_F(FakeWorkerTest, ChangesCarryTheirRevisionAndAFreshOperationId) {
    auto& test = start();
    // With no document open, these have nothing to act on.
    ws().history(CommandMethod::undo, "Undo");
    ws().fill("name", "Ada");
    ws().search("budget");
    EXPECT_FALSE(ws().errorMessage());

    openDocument("a.pdf");
    testing::arrange(ws(), "searchHits", std::vector<SearchHit>({SearchHit{"p1", 0, 1, {}, "budget"}}));
    CommandParams params;
    params.sessionId = ws().sessionId();
    ws().mutate(CommandMethod::rotatePages, params, "Page rotated");
    ws().mutate(CommandMethod::rotatePages, params, "Page rotated");
    ASSERT_TRUE(waitUntil([&] { return ws().inspect()->revision == 3; }));
    ws().history(CommandMethod::undo, "Undo");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Undo"; }));

    const auto rotations = sent(CommandMethod::rotatePages);
    ASSERT_EQ(rotations.size(), 2u);
    // Both were made against revision 1; the second goes with the revision the first produced.
    EXPECT_EQ(rotations[0].expectedRevision, 1);
    EXPECT_EQ(rotations[1].expectedRevision, 2);
    for (const auto& rotation : rotations) {
        EXPECT_EQ(rotation.operationId.value_or("").size(), 36u);
        EXPECT_EQ(rotation.channel, CommandChannel::ui);
    }
    EXPECT_NE(rotations[0].operationId, rotations[1].operationId);
    const auto undo = sent(CommandMethod::undo);
    ASSERT_EQ(undo.size(), 1u);
    EXPECT_EQ(undo[0].expectedRevision, 3);
    EXPECT_FALSE(undo[0].operationId);
    EXPECT_EQ(undo[0].params.sessionId, ws().sessionId());
    EXPECT_TRUE(sent(CommandMethod::search).empty());
    EXPECT_TRUE(sent(CommandMethod::fillForm).empty());
    EXPECT_EQ(ws().searchHits().size(), 1u) << "the same session keeps its hits";

    // The worker answering an open with the open session keeps it open; another document closes it.
    openDocument("a.pdf");
    EXPECT_TRUE(sent(CommandMethod::close).empty());
    const auto first = ws().sessionId();
    openDocument("b.pdf");
    ASSERT_TRUE(waitUntil([&] { return sent(CommandMethod::close).size() == 1; }));
    EXPECT_EQ(sent(CommandMethod::close)[0].params.sessionId, first);
    EXPECT_TRUE(ws().searchHits().empty()) << "hits of another document are gone";
    EXPECT_TRUE(test.prompts->asked.empty());
}

TEST_F(FakeWorkerTest, AnEncryptedCheckpointOpensWithThePasswordAndReplacesTheOpenDocument) {
    auto& test = start({{"KIVO_FAKE_WORKER_RECOVERIES", "locked-1"}});
    ASSERT_TRUE(waitUntil([&] { return ws().checkpoints().showRecovery(); }));
    openDocument("a.pdf");
    const auto opened = ws().sessionId();
    test.prompts->passwords = {"wrong", "secret"};
    ws().restoreRecovery("locked-1");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Restored unsaved work"; })) << ws().status();
    EXPECT_EQ(test.prompts->asked.size(), 2u);
    EXPECT_EQ(test.prompts->asked.at(0).title, "Password required");
    EXPECT_EQ(test.prompts->asked.at(1).title, "That password did not open this PDF");
    EXPECT_EQ(test.prompts->asked.at(1).detail,
              "This PDF is encrypted. The password is not stored or logged.");
    EXPECT_FALSE(ws().checkpoints().showRecovery());
    ASSERT_TRUE(waitUntil([&] { return sent(CommandMethod::close).size() == 1; }));
    EXPECT_EQ(sent(CommandMethod::close)[0].params.sessionId, opened);
}

TEST_F(FakeWorkerTest, OpensTheFirstReadablePdfNamedAtLaunchOnceTheWorkerIsReady) {
    for (const char* name : {"notes.txt", "B.PDF", "c.pdf"}) std::ofstream(scratch_.docs() / name) << "x";
    const std::vector<std::string> arguments = {
        (scratch_.docs() / "missing.pdf").string(), (scratch_.docs() / "notes.txt").string(),
        (scratch_.docs() / "B.PDF").string(), (scratch_.docs() / "c.pdf").string()};
    workspace_ = std::make_unique<testing::TestWorkspace>(
        testing::fakeWorker(),
        std::map<std::string, std::string>{{"KIVO_FAKE_WORKER_LOG", scratch_.log().string()}});
    ws().openLaunchFiles(arguments, 8);
    ws().launchOnce();
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened B.PDF"; })) << ws().status();
    EXPECT_EQ(sent(CommandMethod::open).size(), 1u);
}

TEST_F(FakeWorkerTest, QuittingNeverWaitsForAStalledCommandOrAWorkerThatIgnoresSIGTERM) {
    start({{"KIVO_FAKE_WORKER_SCRIPT", "search=stall"}, {"KIVO_FAKE_WORKER_IGNORE_TERM", "1"}});
    openDocument("a.pdf");
    ws().search("anything");
    ASSERT_TRUE(waitUntil([&] { return ws().link().activity().has_value(); }));
    const auto pid = static_cast<pid_t>(ws().link().workerProcessId());

    workspace_->host->forgetWaits();
    ws().shutdownWorker();
    // One grace period for SIGTERM ran out, then the kill: nothing waited on the stalled command.
    EXPECT_EQ(workspace_->host->waitsRunOut(), std::vector<int>{2000});
    EXPECT_NE(::kill(pid, 0), 0) << "the worker is gone";
    ASSERT_TRUE(waitUntil([&] { return ws().errorMessage().has_value(); }));
    EXPECT_EQ(*ws().errorMessage(), "The PDF worker stopped before this finished.");
    EXPECT_FALSE(ws().workerNotice()) << "quitting is no worker stop";
}

}  // namespace
}  // namespace kivo
