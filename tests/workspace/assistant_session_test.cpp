// The assistant: through the workspace, the worker's planner, a model run against the fake Ollama
// server reading the real worker's document, its draft, its stop and the proposals it makes; alone
// against a fake sender, the model lists, the key, and the guards around all of them.

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <optional>

#include "fake_command_sender.hpp"
#include "fake_ollama.hpp"
#include "workspace/assistant_reader.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::FakeOllama;
using testing::waitUntil;

class AssistantTest : public testing::LaunchedWorkspaceTest {
protected:
    void open(const std::string& name) {
        // Enough letters on the first page that it does not pass for a scan.
        ws().open(testing::writeDocument(scratch_, name,
                                         {testing::TestPage{612, 792, "Hello PDF budget report"},
                                          testing::TestPage{612, 792, "Second page"}}));
        ASSERT_TRUE(waitUntil([&] { return ws().status().starts_with("Opened " + name); })) << ws().status();
    }

    // A launched workspace with "asked.pdf" open, asking the fake Ollama server that answers with `chat`.
    void askOllama(std::vector<FakeOllama::Step> chat) {
        open("asked.pdf");
        if (HasFatalFailure()) return;
        FakeOllama::Script script;
        script.chat = std::move(chat);
        ollama_.setScript(script);
        ws().assistant().setAssistantProvider(AssistantProvider::ollama);
        ws().assistant().setAssistantModel("tiny:1b");
    }

    FakeOllama ollama_;
    testing::ScopedEnv ollamaURL_{"KIVO_PDF_OLLAMA_URL", ollama_.url()};
};

TEST_F(AssistantTest, TheWorkersPlannerAnswersAndAnAnswerForAnotherDocumentIsDropped) {
    open("first.pdf");
    if (HasFatalFailure()) return;
    ws().assistant().setAssistantQuery("  What does the second page say? \n");
    ws().assistant().setAssistantScope(AssistantScope::document);
    ws().assistant().askAssistant();
    ASSERT_TRUE(waitUntil([&] {
        return ws().assistant().assistantAnswer().has_value() || ws().errorMessage();
    })) << ws().errorMessage().value_or("");
    EXPECT_EQ(ws().status(), "Answer uses document evidence only");
    EXPECT_TRUE(ws().assistant().assistantAnswer()->fromDocument);
    EXPECT_FALSE(ws().assistant().assistantRunning()) << "the planner's answer comes in one piece";

    // The next document is opened before the question about this one is answered.
    int answers = 0;
    QObject::connect(&ws().assistant(), &AssistantSession::assistantAnswerChanged, [&] { ++answers; });
    ws().open(testing::writeDocument(scratch_, "second.pdf", {testing::TestPage{}}));
    ws().assistant().askAssistant();
    ws().search("Hello");  // answered after both
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Match 1 of 1" || ws().errorMessage(); }))
        << ws().errorMessage().value_or(ws().status());
    EXPECT_EQ(answers, 0) << "the answer about first.pdf was not shown with second.pdf";
}

TEST_F(AssistantTest, AModelRunStreamsItsDraftAndItsProposalIsAppliedOnceToItsOwnDocument) {
    askOllama({{FakeOllama::content("The first page says ")},
               {"", std::chrono::milliseconds(300)},
               {FakeOllama::content("[p. 1: \"Hello PDF\"].")},
               {FakeOllama::toolCall("add_highlight", R"({"page": 1, "text": "Hello PDF"})")},
               {FakeOllama::done()}});
    if (HasFatalFailure()) return;

    std::vector<std::string> drafts;
    bool offThread = false;
    QObject::connect(&ws().assistant(), &AssistantSession::assistantDraftChanged, [&] {
        offThread = offThread || QThread::currentThread() != QCoreApplication::instance()->thread();
        if (ws().assistant().assistantDraft()) drafts.push_back(*ws().assistant().assistantDraft());
    });
    ws().assistant().setAssistantQuery("What does page one say?");
    ws().assistant().askAssistant();
    EXPECT_EQ(ws().status(), "Asking tiny:1b…");
    EXPECT_TRUE(ws().assistant().assistantRunning());
    ws().assistant().askAssistant();  // one run at a time
    ASSERT_TRUE(waitUntil([&] { return !ws().assistant().assistantRunning(); })) << ws().status();
    ASSERT_TRUE(ws().assistant().assistantAnswer()) << ws().errorMessage().value_or(ws().status());
    EXPECT_EQ(ws().status(), "Answered by tiny:1b");
    EXPECT_FALSE(offThread);
    ASSERT_FALSE(drafts.empty());
    EXPECT_EQ(drafts.front(), "");
    EXPECT_EQ(drafts.back(), "The first page says [p. 1: \"Hello PDF\"].");
    EXPECT_EQ(ws().assistant().assistantDraft(), std::nullopt);
    ASSERT_FALSE(ws().assistant().assistantAnswer()->citations.empty());
    ASSERT_FALSE(ws().assistant().assistantAnswer()->citations.front().rects.empty());
    EXPECT_EQ(ws().selection(), ws().assistant().assistantAnswer()->citations.front().rects.front())
        << "the citation is shown";

    ASSERT_EQ(ws().assistant().assistantAnswer()->proposals.size(), 1u);
    const ProposedEdit proposal = ws().assistant().assistantAnswer()->proposals.front();
    ProposedEdit forbidden = proposal;
    forbidden.method = CommandMethod::deletePages;
    ws().assistant().applyProposal(forbidden);
    EXPECT_EQ(ws().errorMessage(),
              "The assistant may only fill fields, highlight and add notes. Nothing changed.");

    const std::int64_t revision = *ws().inspect()->revision;
    ws().assistant().applyProposal(proposal);
    ASSERT_TRUE(waitUntil([&] { return ws().status() == proposal.summary || ws().errorMessage(); }))
        << ws().errorMessage().value_or("");
    EXPECT_EQ(ws().inspect()->revision, revision + 1);
    EXPECT_EQ(ws().inspect()->annotations->size(), 1u);
    EXPECT_TRUE(ws().assistant().assistantAnswer()->proposals.empty());
    ws().assistant().applyProposal(
        proposal);  // the same operation id: the worker replays instead of applying twice
    ws().history(CommandMethod::redo, "barrier");
    waitUntil([&] { return ws().status() == "barrier" || ws().errorMessage(); });
    EXPECT_EQ(ws().inspect()->annotations->size(), 1u);

    open("other.pdf");
    if (HasFatalFailure()) return;
    ws().assistant().applyProposal(proposal);
    EXPECT_EQ(ws().errorMessage(), "This suggestion was made for another document. Ask again.");
}

TEST_F(AssistantTest, StopEndsAModelRunAtOnceAndAnotherDocumentEndsItToo) {
    askOllama({{FakeOllama::content("Partial words")}, {"", std::chrono::seconds(60)}, {FakeOllama::done()}});
    if (HasFatalFailure()) return;
    ws().assistant().setAssistantQuery("Summarise the page.");

    ws().assistant().askAssistant();
    ASSERT_TRUE(waitUntil([&] { return ws().assistant().assistantDraft() == "Partial words"; }))
        << ws().status();
    ws().assistant().stopAssistant();
    ASSERT_TRUE(waitUntil([&] { return !ws().assistant().assistantRunning(); }, 5));
    // The model was still in its minute of silence: the run hung up on it rather than waiting it out.
    ASSERT_TRUE(waitUntil([&] { return ollama_.chatHungUpAfter().has_value(); }, 5));
    EXPECT_EQ(ollama_.chatHungUpAfter(), 1u) << "a stop must not wait for the model";
    EXPECT_EQ(ws().assistant().assistantDraft(), std::nullopt);
    EXPECT_EQ(ws().status(), "The answer stopped early");
    EXPECT_TRUE(ws().assistant().assistantAnswer()->text.starts_with("Partial words"))
        << ws().assistant().assistantAnswer()->text;

    ws().assistant().askAssistant();
    ASSERT_TRUE(waitUntil([&] { return ws().assistant().assistantDraft() == "Partial words"; }))
        << ws().status();
    open("next.pdf");
    if (HasFatalFailure()) return;
    ASSERT_TRUE(waitUntil([&] { return !ws().assistant().assistantRunning(); }, 5));
    EXPECT_EQ(ws().assistant().assistantAnswer(), std::nullopt) << "the answer about asked.pdf is not shown";
    EXPECT_EQ(ws().status(), "Opened next.pdf");
}

// Counts the queued calls that reach one object, as a window counts what it must handle.
class QueuedCalls : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (counting && event->type() == QEvent::MetaCall) ++calls;
        return false;
    }

    bool counting = false;
    int calls = 0;
};

// A model that floods: its answer in tens of thousands of tiny pieces, as fast as the socket takes
// them, for longer than the user waits. The window keeps answering because the run hands the GUI
// thread one wake at a time and a draft at most every 33 ms, whatever the number of pieces; so the
// test counts what reaches the GUI thread during the flood instead of timing it. Stop must end the
// run at once however much is still arriving: the run hangs up before the model has sent as much again
// as it sent before Stop, a yardstick a busy machine stretches as it stretches the run. (That the
// reader sees a stop before the next line of a read is the transport's own test.)
TEST_F(AssistantTest, AFloodOfTinyPiecesKeepsTheWindowAnsweringAndStopEndsItAtOnce) {
    constexpr int piecesPerWrite = 100;
    std::vector<FakeOllama::Step> chat;
    for (int step = 0; step < 600; ++step) {
        std::string lines;
        for (int i = 0; i < piecesPerWrite; ++i)
            lines += FakeOllama::content(i % 10 == 0 ? "[p. 1: \"Hello PDF\"] " : "ab ") + "\n";
        lines.pop_back();
        chat.push_back({lines});
        chat.push_back({"", std::chrono::milliseconds(5)});
    }
    // A model that has written all it will is still there: a busy machine may let the model run ahead of the
    // reader, and a stop then hangs up on its silence, not on the flood.
    chat.push_back({"", std::chrono::seconds(60)});
    chat.push_back({FakeOllama::done()});
    askOllama(chat);
    if (HasFatalFailure()) return;
    // What the model list and the key store post back would pass for the run's wakes.
    ASSERT_TRUE(
        waitUntil([&] { return !ws().assistant().modelsPending() && !ws().assistant().keyPending(); }));

    using Clock = std::chrono::steady_clock;
    // The flood as the GUI thread meets it: from the first draft with text to Stop. Asking (the prompt,
    // the page's text) is the question's own work and comes before.
    QueuedCalls wakes;
    ws().assistant().installEventFilter(&wakes);
    int drafts = 0;
    bool began = false;
    Clock::time_point firstDraft;
    std::size_t writesAtFirstDraft = 0;
    QObject::connect(&ws().assistant(), &AssistantSession::assistantDraftChanged, [&] {
        if (wakes.counting) {
            ++drafts;
        } else if (!began && !ws().assistant().assistantDraft().value_or("").empty()) {
            began = wakes.counting = true;
            firstDraft = Clock::now();
            writesAtFirstDraft = ollama_.chatLinesSent();
        }
    });

    ws().assistant().setAssistantQuery("Summarise the page.");
    ws().assistant().askAssistant();
    ASSERT_TRUE(waitUntil([&] { return wakes.counting; })) << ws().status();
    // Let it flood for a second, then press Stop while the pieces still pour in.
    waitUntil([] { return false; }, 1);
    ASSERT_TRUE(ws().assistant().assistantRunning()) << "the flood lasts longer than the wait";
    wakes.counting = false;
    const double flooded = std::chrono::duration<double>(Clock::now() - firstDraft).count();
    const int draftsWhileFlooding = drafts;
    const std::size_t beforeStop = ollama_.chatLinesSent();
    ws().assistant().stopAssistant();
    ASSERT_TRUE(waitUntil([&] { return !ws().assistant().assistantRunning(); }, 10));
    ASSERT_TRUE(waitUntil([&] { return ollama_.chatHungUpAfter().has_value(); }, 10))
        << "the flood ran to its end";
    const std::size_t afterStop = *ollama_.chatHungUpAfter() - beforeStop;
    std::cerr << "note: " << draftsWhileFlooding << " drafts and " << wakes.calls << " wakes for "
              << piecesPerWrite * (beforeStop - writesAtFirstDraft) << " pieces in " << flooded
              << " s of flood; " << beforeStop << " writes of the model before Stop, " << afterStop
              << " after\n";

    EXPECT_GE(draftsWhileFlooding, 1) << "the draft grows while the model writes";
    // 33 ms between drafts at least: a busy machine only spreads them further.
    EXPECT_LE(draftsWhileFlooding, flooded / 0.033 + 1) << "about 30 drafts a second at most";
    // Each wake ends in a draft before the next is sent; the last may still be on its way at Stop.
    EXPECT_LE(wakes.calls, draftsWhileFlooding + 1)
        << "the GUI thread is woken once a draft, not once a piece";
    EXPECT_LT(afterStop, beforeStop);
    ASSERT_TRUE(ws().assistant().assistantAnswer());
    EXPECT_EQ(ws().status(), "The answer stopped early");
    EXPECT_TRUE(ws().assistant().assistantAnswer()->text.starts_with("[p. 1: \"Hello PDF\"] ab ab"));
    EXPECT_EQ(ws().assistant().assistantAnswer()->citations.size(), 1u)
        << "one citation, written again and again";
}

// ---- The session alone, against a fake sender

// The session over the published state, the test services and a fake sender; its threads end before it does.
struct AssistantAlone {
    ~AssistantAlone() { assistant.stopThreads(); }

    testing::PartFixture parts;
    AssistantSession assistant{parts.state, parts.sender, parts.services};
};

TEST(AssistantPlannerTest, AsksAboutTheOpenDocumentAndShowsOnlyItsAnswer) {
    const testing::Scratch scratch;
    AssistantAlone test;
    test.assistant.setAssistantProvider(AssistantProvider::local);
    testing::showDocument(test.parts.state, 2);
    test.assistant.setAssistantQuery("  What does the second page say? \n");
    test.assistant.setAssistantScope(AssistantScope::page);
    test.assistant.askAssistant();
    auto asked = test.parts.sender.sent(CommandMethod::ask);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].params.query, "What does the second page say?");
    EXPECT_EQ(asked[0].params.scope, "page");
    EXPECT_EQ(asked[0].params.sessionId, "s1");
    EXPECT_EQ(asked[0].params.pageId, "p1");
    CommandResult answered;
    answered.answer = AssistantAnswer{.text = "It says hello.", .fromDocument = true};
    ASSERT_TRUE(test.parts.sender.succeed(CommandMethod::ask, answered));
    EXPECT_EQ(test.parts.state.status(), "Answer uses document evidence only");
    ASSERT_TRUE(test.assistant.assistantAnswer());
    EXPECT_EQ(test.assistant.assistantAnswer()->text, "It says hello.");
    EXPECT_FALSE(test.assistant.assistantRunning()) << "the planner's answer comes in one piece";

    // Another document was opened before the answer about this one came.
    test.assistant.askAssistant();
    testing::arrange(test.parts.state, "sessionId", std::optional<std::string>("s2"));
    test.parts.state.setStatus("Opened second.pdf");
    answered.answer->text = "About the first document.";
    ASSERT_TRUE(test.parts.sender.succeed(CommandMethod::ask, answered));
    EXPECT_EQ(test.assistant.assistantAnswer()->text, "It says hello.");
    EXPECT_EQ(test.parts.state.status(), "Opened second.pdf");

    test.assistant.setAssistantQuery(" \n ");
    test.assistant.askAssistant();
    EXPECT_EQ(test.parts.sender.sent(CommandMethod::ask).size(), 2u) << "a blank question is not asked";
}

TEST(AssistantModelsTest, TheModelListKeepsAChoiceItStillHoldsAndDropsAStaleReply) {
    const testing::Scratch scratch;
    AssistantAlone test;
    FakeOllama ollama;
    const testing::ScopedEnv url("KIVO_PDF_OLLAMA_URL", ollama.url());
    test.assistant.setAssistantModel("gone:7b");
    test.assistant.setAssistantProvider(AssistantProvider::ollama);  // choosing it fetches its models
    ASSERT_TRUE(waitUntil([&] { return test.assistant.providerStatus().has_value(); }));
    EXPECT_TRUE(test.assistant.providerStatus()->ready);
    EXPECT_EQ(test.assistant.assistantModel(), "tiny:1b")
        << "the vanished model gives way to one that proposes edits";
    const std::size_t asked = ollama.requests().size();
    test.assistant.setAssistantProvider(AssistantProvider::ollama);
    EXPECT_EQ(ollama.requests().size(), asked) << "the same provider again fetches nothing";

    // A slow server answers after the user chose the worker's planner: its list is no answer.
    ollama.server().setHandler(
        [](const testing::RecordedRequest& request, testing::FakeConnection& connection) {
            connection.pause(std::chrono::milliseconds(500));
            connection.respond(
                200, request.target == "/api/version" ? R"({"version":"0.9.0"})" : R"({"models":[]})");
        });
    test.assistant.setAssistantProvider(AssistantProvider::anthropic);
    test.assistant.setAssistantProvider(AssistantProvider::ollama);
    test.assistant.setAssistantProvider(AssistantProvider::local);
    waitUntil([&] { return false; }, 2);
    EXPECT_EQ(test.assistant.providerStatus(), std::nullopt);
    EXPECT_EQ(test.assistant.assistantModel(), "tiny:1b");
}

TEST(AssistantKeyTest, TheKeyIsSavedAndRemovedAndItsAbsenceExplained) {
    const testing::Scratch scratch;
    // The model list fetched with a saved key comes from here, not from the hosted service.
    testing::FakeHttpServer hosted([](const testing::RecordedRequest&, testing::FakeConnection& connection) {
        connection.respond(404, R"({"type":"error","error":{"type":"not_found_error","message":"none"}})");
    });
    const testing::ScopedEnv url("KIVO_PDF_ANTHROPIC_URL", hosted.url());
    AssistantAlone test;
    testing::arrange(test.parts.state, "sessionId", std::optional<std::string>("s1"));
    test.assistant.setAssistantModel("claude-opus-5");
    test.assistant.setAssistantQuery("Anything?");
    test.assistant.setAssistantProvider(AssistantProvider::anthropic);
    const std::string missing = "Anthropic answers with your own key. Add one in the Assistant panel.";
    EXPECT_EQ(test.assistant.providerStatus(), ProviderStatus::unavailable(missing));
    const std::string status = test.parts.state.status();
    test.assistant.askAssistant();
    EXPECT_EQ(test.parts.state.errorMessage(), missing);
    EXPECT_EQ(test.parts.state.status(), status);
    EXPECT_FALSE(test.assistant.assistantRunning());

    // The store answers off the GUI thread.
    const auto statusBecomes = [&](const std::string& expected) {
        return waitUntil([&] { return test.parts.state.status() == expected; }, 5);
    };
    test.assistant.saveAssistantKey("sk-test");
    EXPECT_TRUE(statusBecomes("Anthropic key saved in your keyring."));
    EXPECT_TRUE(test.assistant.assistantKeyStored());
    EXPECT_EQ(test.parts.keys->keys.at("anthropic"), "sk-test");
    test.parts.keys->place = KeychainKey::Place::file;
    test.assistant.saveAssistantKey("sk-test");
    EXPECT_TRUE(statusBecomes("Anthropic key saved in a file only you can read."));

    test.assistant.removeAssistantKey();
    // Said of where the key was kept.
    EXPECT_TRUE(statusBecomes("Anthropic key removed from the file only you can read."));
    EXPECT_FALSE(test.assistant.assistantKeyStored());
    EXPECT_EQ(test.assistant.providerStatus(), ProviderStatus::unavailable(missing))
        << "the provider says what is missing";

    test.parts.keys->failure = "The keyring is locked.";
    test.assistant.saveAssistantKey("sk-other");
    EXPECT_TRUE(waitUntil([&] { return test.parts.state.errorMessage() == "The keyring is locked."; }, 5));
    EXPECT_FALSE(test.assistant.assistantKeyStored());
}

TEST(AssistantReaderTest, RefusesToWaitOnTheGUIThread) {
    const testing::Scratch scratch;
    AssistantAlone test;
    AssistantReader document(test.assistant, "s1");
    EXPECT_THROW(document.perform(CommandMethod::search, {}, {}), std::logic_error);
}

}  // namespace
}  // namespace kivo
