#include "assistant/assistant_run.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

#include "assistant/provider_error.hpp"
#include "core/text.hpp"

namespace kivo {
namespace {

// A provider that plays one scripted reply per chat and records what it was sent.
class ScriptedProvider : public ModelProvider {
public:
    using Reply = std::function<ChatOutcome(const ChatEventHandler&)>;

    ModelCapabilities capabilities_{true, true, true};
    std::deque<Reply> replies;
    std::vector<ChatLimits> limitsSent;
    std::vector<std::size_t> toolCountsSent;
    std::vector<std::vector<ChatMessage>> messagesSent;
    int capabilityCalls = 0;

    std::string name() const override { return "Scripted"; }
    ProviderStatus status(std::stop_token) override { return ProviderStatus::unavailable("scripted"); }
    ModelCapabilities capabilities(const std::string&, std::stop_token) override {
        ++capabilityCalls;
        return capabilities_;
    }
    ChatOutcome chat(const std::string&, const std::vector<ChatMessage>& messages,
                     const std::vector<ToolDefinition>& tools, const ChatLimits& limits,
                     const ChatEventHandler& onEvent, std::stop_token stop) override {
        if (stop.stop_requested()) throw ProviderError::cancelled({});
        messagesSent.push_back(messages);
        toolCountsSent.push_back(tools.size());
        limitsSent.push_back(limits);
        Reply reply = std::move(replies.front());
        replies.pop_front();
        return reply(onEvent);
    }
};

// Streams the pieces, then answers with the outcome.
ScriptedProvider::Reply streams(std::vector<std::string> pieces, std::vector<ToolCall> calls = {},
                                FinishReason finish = FinishReason::stop()) {
    return [=](const ChatEventHandler& onEvent) {
        ChatOutcome outcome;
        for (const auto& piece : pieces) {
            onEvent(ChatEvent::textPiece(piece));
            onEvent(ChatEvent::thinking());
            outcome.text += piece;
        }
        outcome.toolCalls = calls;
        outcome.finish = finish;
        outcome.usage = AnswerUsage{120, 30, 1.5};
        return outcome;
    };
}

ScriptedProvider::Reply fails(ProviderError error, std::vector<std::string> pieces = {}) {
    return [=](const ChatEventHandler& onEvent) -> ChatOutcome {
        for (const auto& piece : pieces) onEvent(ChatEvent::textPiece(piece));
        throw error;
    };
}

class FakeDocument : public AssistantDocument {
public:
    AssistantContext context_;
    bool findThrows = false;
    std::vector<std::pair<std::string, std::string>> finds;
    int contextCalls = 0;
    std::int64_t limitAsked = 0;

    AssistantContext context(const AssistantQuestion&, std::int64_t limit, std::stop_token) override {
        ++contextCalls;
        limitAsked = limit;
        return context_;
    }
    std::vector<SearchHit> find(const std::string& text, const std::string& pageId,
                                std::stop_token) override {
        finds.emplace_back(text, pageId);
        if (findThrows) throw std::runtime_error("search failed");
        return {{pageId, 0, 1, {{1, 2, 3, 4}, {5, 6, 7, 8}}, text}};
    }
};

AssistantContext twoPages() {
    AssistantContext context;
    context.revision = 4;
    context.scope = "document";
    context.pageCount = 2;
    context.characters = 1234;
    context.pages = {{"p1", 0, 612, 792, "Revenue rose to 4.2 million.\nCosts   fell.", false},
                     {"p2", 1, 612, 792, "Apples and pears.", false}};
    ProposedEdit refusal;
    refusal.operationId = "limit-1";
    refusal.summary = "Ready-made refusal";
    refusal.limitation = "Not here.";
    refusal.expectedRevision = 4;
    context.limitations = {refusal};
    return context;
}

const AssistantSettings kSettings{"model-x", 24000, ChatLimits::hosted()};
const std::string kNoTools = "model-x cannot propose edits, so this answer has none.";
const std::string kUnverified = "No citation in this answer matches the document, so treat it as unverified.";

struct Asking {
    ScriptedProvider provider;
    FakeDocument document;
    std::vector<std::string> drafts;
    std::stop_source stop;
    AssistantSettings settings = kSettings;

    Asking() { document.context_ = twoPages(); }

    AssistantAnswer ask() {
        return AssistantRun::ask(
            {"What rose?", "document", std::nullopt, std::nullopt, std::nullopt}, settings, provider,
            document, [this](const std::string& draft) { drafts.push_back(draft); }, stop.get_token(),
            "en_US");
    }
};

TEST(AssistantRun, AnswersWithCitationsProposalsAndDrafts) {
    Asking run;
    run.provider.replies.push_back(streams(
        {"It rose [p. 1: \"4.2 million\"]", " and [p. 2]. [p. 7]"},
        {{"add_highlight", JSONValue::decode(R"({"page":2,"text":"pears"})")}, {"bogus", JSONValue()}}));
    const AssistantAnswer answer = run.ask();

    EXPECT_EQ(run.document.limitAsked, 24000);
    EXPECT_EQ(run.drafts, (std::vector<std::string>{"It rose [p. 1: \"4.2 million\"]",
                                                    "It rose [p. 1: \"4.2 million\"] and [p. 2]. [p. 7]"}));
    ASSERT_EQ(run.provider.limitsSent.size(), 1u);
    EXPECT_EQ(run.provider.limitsSent[0].think, false);  // the model can think: the setting is sent off
    EXPECT_EQ(run.provider.limitsSent[0].contextTokens, 8192);
    EXPECT_EQ(run.provider.toolCountsSent[0], 3u);
    EXPECT_EQ(run.provider.messagesSent[0][1].content.substr(0, 20), "Question: What rose?");

    EXPECT_EQ(answer.text,
              "It rose [p. 1: \"4.2 million\"] and [p. 2]. [p. 7: not in the text the assistant read]");
    ASSERT_EQ(answer.citations.size(), 2u);
    EXPECT_EQ(answer.citations[0],
              (Citation{"p1", 0, 4, "4.2 million", {{1, 2, 3, 4}, {5, 6, 7, 8}}, "document"}));
    EXPECT_EQ(answer.citations[1], (Citation{"p2", 1, 4, "Apples and pears.", {}, "document"}));
    EXPECT_EQ(run.document.finds,
              (std::vector<std::pair<std::string, std::string>>{{"4.2 million", "p1"}, {"pears", "p2"}}));
    ASSERT_EQ(answer.proposals.size(), 2u);
    EXPECT_EQ(answer.proposals[0].operationId, "limit-1");
    EXPECT_EQ(answer.proposals[1].method, CommandMethod::addHighlight);
    EXPECT_EQ(answer.proposals[1].params.rect, (PDFRect{1, 2, 3, 4}));
    EXPECT_EQ(answer.notes, (std::vector<std::string>{
                                "Removed a citation to page 7, which is not in the text the assistant read.",
                                "The model asked for \xE2\x80\x9C"
                                "bogus\xE2\x80\x9D, which the assistant cannot do. "
                                "Nothing was changed."}));
    EXPECT_TRUE(answer.fromDocument);
    EXPECT_FALSE(answer.scan);
    EXPECT_EQ(answer.scope, "document");
    EXPECT_EQ(answer.revision, 4);
    EXPECT_EQ(answer.model, "model-x");
    EXPECT_EQ(answer.usage, (AnswerUsage{120, 30, 1.5}));
    EXPECT_EQ(answer.incomplete, std::nullopt);
    EXPECT_EQ(answer.read,
              "Read pages 1\xE2\x80\x93"
              "2, 1,234 characters.");
}

TEST(AssistantRun, ScanIsRefusedWithoutAskingTheModel) {
    Asking run;
    run.document.context_.scan = true;
    const AssistantAnswer answer = run.ask();
    EXPECT_EQ(answer.text,
              "This looks like a scan or has no extractable text. OCR is not available in alpha, so nothing "
              "was sent "
              "to the model.");
    EXPECT_TRUE(answer.scan);
    EXPECT_EQ(answer.proposals, run.document.context_.limitations);
    EXPECT_EQ(answer.notes, std::nullopt);
    EXPECT_EQ(answer.usage, std::nullopt);
    EXPECT_EQ(answer.read, std::nullopt);
    EXPECT_EQ(run.provider.capabilityCalls, 0);
    EXPECT_TRUE(run.drafts.empty());
}

TEST(AssistantRun, RetriesWithoutToolsThenWithoutThinking) {
    Asking run;
    run.settings.limits.think = true;
    run.provider.replies = {fails(ProviderError::toolsUnsupported(), {"draft one"}),
                            fails(ProviderError::thinkingUnsupported()),
                            streams({"Costs fell [p. 1: \"costs fell\"]."},
                                    {{"add_note", JSONValue::decode(R"({"page":1,"text":"n"})")}})};
    const AssistantAnswer answer = run.ask();
    EXPECT_EQ(run.provider.toolCountsSent, (std::vector<std::size_t>{3, 0, 0}));
    EXPECT_EQ(run.provider.limitsSent[0].think, true);
    EXPECT_EQ(run.provider.limitsSent[1].think, true);
    EXPECT_EQ(run.provider.limitsSent[2].think, std::nullopt);
    EXPECT_EQ(run.drafts,
              (std::vector<std::string>{"draft one", "", "", "Costs fell [p. 1: \"costs fell\"]."}));
    EXPECT_EQ(answer.notes, std::vector<std::string>{kNoTools});
    EXPECT_EQ(answer.proposals.size(), 1u);  // the context's refusal only: tools were not sent
    EXPECT_EQ(answer.citations.size(), 1u);
}

TEST(AssistantRun, RejectionsWithNothingLeftToDropAreThrown) {
    Asking thinking;
    thinking.provider.capabilities_ = {false, false, true};
    thinking.provider.replies = {fails(ProviderError::thinkingUnsupported())};
    EXPECT_THROW(thinking.ask(), ProviderError);
    EXPECT_EQ(thinking.provider.limitsSent[0].think, std::nullopt);
    EXPECT_EQ(thinking.provider.toolCountsSent[0], 0u);

    Asking tools;
    tools.provider.capabilities_ = {false, false, true};
    tools.provider.replies = {fails(ProviderError::toolsUnsupported())};
    EXPECT_THROW(tools.ask(), ProviderError);

    Asking server;
    server.provider.replies = {fails(ProviderError::server(500, "boom"))};
    try {
        server.ask();
        FAIL() << "no error";
    } catch (const ProviderError& error) {
        EXPECT_EQ(error, ProviderError::server(500, "boom"));
    }
}

TEST(AssistantRun, PartialAnswers) {
    const std::string suffix = " An unfinished answer proposes no edits.";
    struct Case {
        ProviderError error;
        std::string incomplete;
        std::string text;
        std::size_t citations;
        std::string lastNote;
    };
    const Case cases[] = {
        {ProviderError::timedOut(" Rose [p. 1: \"4.2 million\"] and [p. 2: \"kiwis\"] "), "timed_out",
         "Rose [p. 1: \"4.2 million\"] and [p. 2: quote not found on that page]", 1,
         "The model took too long to answer." + suffix},
        {ProviderError::cancelled(""), "cancelled", "", 0, "Stopped." + suffix},
        {ProviderError::disconnected("Half"), "disconnected", "Half", 0,
         "The model stopped answering partway." + suffix},
    };
    for (const auto& c : cases) {
        Asking run;
        run.provider.capabilities_ = {false, false, true};
        run.provider.replies = {fails(c.error)};
        const AssistantAnswer answer = run.ask();
        EXPECT_EQ(answer.text, c.text);
        EXPECT_EQ(answer.incomplete, c.incomplete);
        ASSERT_EQ(answer.citations.size(), c.citations);
        for (const auto& citation : answer.citations) EXPECT_TRUE(citation.rects.empty());
        EXPECT_TRUE(run.document.finds.empty());
        ASSERT_TRUE(answer.notes);
        EXPECT_EQ(answer.notes->front(), kNoTools);
        EXPECT_EQ(answer.notes->back(), c.lastNote);
        EXPECT_EQ(answer.proposals, run.document.context_.limitations);
        EXPECT_EQ(answer.usage, std::nullopt);
        EXPECT_EQ(answer.fromDocument, c.citations > 0);
        EXPECT_EQ(answer.read,
                  "Read pages 1\xE2\x80\x93"
                  "2, 1,234 characters.");
    }
}

TEST(AssistantRun, AStopEndsTheRunWithTheCancelledAnswer) {
    // A stop during the first attempt arrives as the provider's cancellation...
    Asking during;
    during.provider.replies = {[&](const ChatEventHandler& onEvent) -> ChatOutcome {
        onEvent(ChatEvent::textPiece("So far"));
        during.stop.request_stop();
        throw ProviderError::cancelled("So far");
    }};
    EXPECT_EQ(during.ask().text, "So far");

    // ...and a stop between attempts never starts the second one.
    Asking between;
    between.provider.replies = {[&](const ChatEventHandler&) -> ChatOutcome {
        between.stop.request_stop();
        throw ProviderError::toolsUnsupported();
    }};
    const AssistantAnswer answer = between.ask();
    EXPECT_EQ(answer.incomplete, "cancelled");
    EXPECT_EQ(answer.text, "");
    EXPECT_EQ(between.provider.limitsSent.size(), 1u);
}

TEST(AssistantRun, EmptyAnswersLengthAndTruncation) {
    struct Case {
        std::string text;
        std::vector<ToolCall> calls;
        FinishReason finish;
        bool truncated;
        std::string answer;
        std::vector<std::string> notes;
        std::optional<std::string> incomplete;
    };
    const ToolCall note{"add_note", JSONValue::decode(R"({"page":2,"text":"n"})")};
    const std::string truncation =
        "The text was longer than 24000 characters, so the model read only the first part.";
    const std::string length = "The answer reached the limit of 4096 tokens and may be cut off.";
    const Case cases[] = {
        {" \n ", {}, FinishReason::stop(), false, "The model gave no answer.", {}, std::nullopt},
        {"",
         {note},
         FinishReason::other("pause"),
         false,
         "The model proposed changes. Review them below before applying anything.",
         {},
         std::nullopt},
        {"Unsupported claim.",
         {},
         FinishReason::length(),
         true,
         "Unsupported claim.",
         {truncation, length, kUnverified},
         "length"},
    };
    for (const auto& c : cases) {
        Asking run;
        run.document.context_.truncated = c.truncated;
        run.provider.replies = {streams({c.text}, c.calls, c.finish)};
        const AssistantAnswer answer = run.ask();
        EXPECT_EQ(answer.text, c.answer);
        EXPECT_EQ(answer.notes, c.notes);
        EXPECT_EQ(answer.incomplete, c.incomplete);
        EXPECT_FALSE(answer.fromDocument);
        if (c.truncated) {
            EXPECT_EQ(answer.read,
                      "Read pages 1\xE2\x80\x93"
                      "2, 1,234 characters, cut to fit.");
        }
    }
}

TEST(AssistantRun, AFailedFindCostsOnlyTheRectangles) {
    Asking run;
    run.document.findThrows = true;
    run.provider.replies = {streams({"Fell [p. 1: \"Costs\\nfell\"]."})};
    const AssistantAnswer answer = run.ask();
    ASSERT_EQ(answer.citations.size(), 1u);
    EXPECT_EQ(answer.citations[0].preview, "Costs\\nfell");
    EXPECT_TRUE(answer.citations[0].rects.empty());
    EXPECT_EQ(run.document.finds[0].first, "Costs");
}

TEST(AssistantRun, RefusesAbsurdLimitsBeforeAnyRequest) {
    Asking run;
    run.settings.limits.totalSeconds = std::numeric_limits<double>::infinity();
    EXPECT_THROW(run.ask(), std::invalid_argument);
    EXPECT_EQ(run.document.contextCalls, 0);
}

TEST(AssistantRun, SearchTextSummaryAndPreview) {
    const std::pair<std::string, std::string> quotes[] = {
        {"the total \xE2\x80\xA6 was 4.2 million", "was 4.2 million"},
        {"short...a much longer fragment", "a much longer fragment"},
        {"abc...xyz", "abc"},
        {"two\\nlines", "lines"},
        {"  spread\t out  words ", "spread out words"},
        {"one\r\ntwo\\r\\nthree", "three"},
    };
    for (const auto& [quote, text] : quotes) EXPECT_EQ(AssistantRun::searchText(quote), text) << quote;

    AssistantContext selection = twoPages();
    selection.selection = ContextSelection{"p3", 2, std::string(200, 'x') + " tail", std::nullopt};
    EXPECT_EQ(AssistantRun::summary(selection, "en_US"), "Read the selection on page 3, 1,234 characters.");
    EXPECT_EQ(AssistantRun::summary(AssistantContext{}, "en_US"), "Read no pages, 0 characters.");
    EXPECT_EQ(AssistantRun::summary(selection, "de_DE"), "Read the selection on page 3, 1.234 characters.");

    const Citation onSelection = AssistantRun::citation({"p3", 2, std::nullopt}, {}, selection);
    EXPECT_EQ(onSelection.preview, std::string(160, 'x'));
    const Citation onPage = AssistantRun::citation({"p1", 0, std::nullopt}, {}, selection);
    EXPECT_EQ(onPage.preview, "Revenue rose to 4.2 million. Costs fell.");
}

// A reply that floods: thousands of different citations, thousands of calls of an unknown tool and
// more text than an answer holds. The answer stays small, the document is searched a bounded number
// of times, and a stop during the checks after the chat ends the run as a stop during it would.
TEST(AssistantRun, AFloodingReplyGivesABoundedAnswer) {
    struct Case {
        std::string name;
        bool stopDuringChecks;
    };
    for (const Case& c : {Case{"checked", false}, Case{"stopped while checking", true}}) {
        Asking run;
        std::string page;
        for (int i = 0; i < 3000; ++i) page += "w" + std::to_string(i) + " ";
        run.document.context_.pages[0].text = page;
        std::vector<std::string> pieces;
        for (int i = 0; i < 3000; ++i)
            pieces.push_back("[p. 1: \"w" + std::to_string(i) + " w" + std::to_string(i + 1) + "\"] ");
        std::vector<ToolCall> calls(3000, ToolCall{"frobnicate", JSONValue()});
        run.provider.replies.push_back(streams(pieces, calls));
        if (c.stopDuringChecks) {
            run.document.findThrows = true;
            run.document.context_.pages[1].text = "Apples.";
        }
        struct StoppingDocument : AssistantDocument {
            FakeDocument& inner;
            std::stop_source& stop;
            bool stopFirst;
            StoppingDocument(FakeDocument& d, std::stop_source& s, bool f)
                : inner(d), stop(s), stopFirst(f) {}
            AssistantContext context(const AssistantQuestion& q, std::int64_t limit,
                                     std::stop_token t) override {
                return inner.context(q, limit, t);
            }
            std::vector<SearchHit> find(const std::string& text, const std::string& pageId,
                                        std::stop_token t) override {
                if (stopFirst) stop.request_stop();
                return inner.find(text, pageId, t);
            }
        } document(run.document, run.stop, c.stopDuringChecks);
        const AssistantAnswer answer = AssistantRun::ask(
            {"Cite.", "document", std::nullopt, std::nullopt, std::nullopt}, run.settings, run.provider,
            document, [&](const std::string& draft) { run.drafts.push_back(draft); }, run.stop.get_token(),
            "en_US");

        EXPECT_LE(graphemeCount(run.drafts.back()),
                  static_cast<std::int64_t>(AssistantRun::maximumAnswerCharacters))
            << c.name;
        EXPECT_LE(run.drafts.size(), pieces.size()) << c.name << ": nothing is reported past the bound";
        const auto& notes = *answer.notes;
        if (c.stopDuringChecks) {
            EXPECT_EQ(answer.incomplete, "cancelled") << c.name;
            EXPECT_EQ(run.document.finds.size(), 1u) << c.name;
            EXPECT_TRUE(answer.proposals.size() == 1u) << c.name << ": only the context's refusal";
        } else {
            EXPECT_FALSE(answer.incomplete) << c.name;
            EXPECT_EQ(answer.citations.size(), AnswerGrounding::maximumCheckedCitations) << c.name;
            EXPECT_EQ(run.document.finds.size(), AnswerGrounding::maximumCheckedCitations) << c.name;
            EXPECT_NE(std::find(notes.begin(), notes.end(), "And 2995 more like these."), notes.end())
                << c.name;
        }
        EXPECT_LE(answer.text.size(), 2 * AssistantRun::maximumAnswerCharacters) << c.name;
        EXPECT_LE(notes.size(), 3 * AssistantRun::maximumNotesOfAKind) << c.name;
        EXPECT_NE(std::find(notes.begin(), notes.end(), std::string(AnswerGrounding::uncheckedNote)),
                  notes.end())
            << c.name;
        EXPECT_NE(std::find(notes.begin(), notes.end(),
                            "The answer ran past 32768 characters; the rest is not shown."),
                  notes.end())
            << c.name;
    }
}

}  // namespace
}  // namespace kivo
