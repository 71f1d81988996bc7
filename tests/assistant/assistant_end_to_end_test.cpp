// One question end to end: the real worker reads the document, the fake Ollama answers with a
// quote and a highlight, and the run checks both against the worker's own text and search.

#include <gtest/gtest.h>

#include "assistant/assistant_run.hpp"
#include "assistant/ollama_provider.hpp"
#include "document_worker.hpp"
#include "fake_ollama.hpp"

namespace kivo {
namespace {

using testing::FakeOllama;

// The editor's adapter, in small: the worker's assistant_context and search commands.
class WorkerDocument : public AssistantDocument {
public:
    explicit WorkerDocument(const testing::OpenedDocument& document) : document_(document) {}

    AssistantContext context(const AssistantQuestion& question, std::int64_t limit,
                             std::stop_token) override {
        auto request = document_.on(CommandMethod::assistantContext);
        request.params.scope = question.scope;
        request.params.pageId = question.pageId;
        request.params.contents = question.selection;
        request.params.rect = question.selectionRect;
        request.params.query = question.text;
        request.params.limit = limit;
        const auto response = document_.worker->send(request);
        if (!response.ok || !response.result || !response.result->assistantContext) {
            throw std::runtime_error("assistant_context failed: " + testing::outcome(response));
        }
        return *response.result->assistantContext;
    }

    std::vector<SearchHit> find(const std::string& text, const std::string& pageId,
                                std::stop_token) override {
        auto request = document_.on(CommandMethod::search);
        request.params.query = text;
        request.params.pageId = pageId;
        const auto response = document_.worker->send(request);
        if (!response.ok || !response.result)
            throw std::runtime_error("search failed: " + testing::outcome(response));
        return response.result->matches.value_or(std::vector<SearchHit>{});
    }

private:
    const testing::OpenedDocument& document_;
};

TEST(AssistantEndToEnd, ModelAnswerIsGroundedInTheWorkersText) {
    testing::OpenedDocument document;
    document.start(testing::WorkerMode::stdio);
    ASSERT_EQ(document.pages.size(), 2u);

    FakeOllama server;
    FakeOllama::Script script;
    script.chat = {{FakeOllama::content("The second page reads ")},
                   {FakeOllama::content("[p. 2: \"Second page\"] and [p. 2: \"Third page\"].")},
                   {FakeOllama::toolCall("add_highlight", R"({"page": 2, "text": "Second page"})")},
                   {FakeOllama::done()}};
    server.setScript(script);
    auto provider = OllamaProvider::fromEnvironment({{"KIVO_PDF_OLLAMA_URL", server.url()}});
    WorkerDocument adapter(document);

    const AssistantAnswer answer =
        AssistantRun::ask({"What does page two say?", "document", {}, {}, {}},
                          {"tiny:1b", 24000, ChatLimits::standard()}, *provider, adapter, {}, {}, "en_US");

    const auto hits = adapter.find("Second page", document.pages[1], {});
    ASSERT_FALSE(hits.empty());
    ASSERT_FALSE(hits.front().rects.empty());
    EXPECT_EQ(answer.text,
              "The second page reads [p. 2: \"Second page\"] and [p. 2: quote not found on that page].");
    ASSERT_EQ(answer.citations.size(), 1u);
    EXPECT_EQ(answer.citations[0].pageId, document.pages[1]);
    EXPECT_EQ(answer.citations[0].rects, hits.front().rects);
    ASSERT_EQ(answer.proposals.size(), 1u);
    EXPECT_EQ(answer.proposals[0].method, CommandMethod::addHighlight);
    EXPECT_EQ(answer.proposals[0].params.pageId, document.pages[1]);
    EXPECT_EQ(answer.proposals[0].params.rect, hits.front().rects.front());
    EXPECT_TRUE(answer.fromDocument);
    EXPECT_EQ(answer.usage, (AnswerUsage{12, 3, 2.5}));

    // The page text went to the model inside its tag.
    const auto chat = server.requests().back();
    EXPECT_EQ(chat.target, "/api/chat");
    EXPECT_NE(chat.body.find(R"(<page number=\"2\">\nSecond page)"), std::string::npos) << chat.body;
}

}  // namespace
}  // namespace kivo
