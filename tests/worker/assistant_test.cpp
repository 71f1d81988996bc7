#include <gtest/gtest.h>

#include <map>

#include "core/command_json.hpp"
#include "core/text.hpp"
#include "test_pdfs.hpp"
#include "worker_process.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::WorkerProcess;

// Whitespace runs folded to one space and a trailing ellipsis dropped: previews are clipped and
// laid out from the same characters the page text holds.
std::string folded(std::string text) {
    for (const std::string ellipsis : {"\xE2\x80\xA6", "..."})
        if (text.size() >= ellipsis.size() &&
            text.compare(text.size() - ellipsis.size(), ellipsis.size(), ellipsis) == 0)
            text.erase(text.size() - ellipsis.size());
    std::string out;
    bool space = false;
    for (unsigned char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            space = !out.empty();
            continue;
        }
        if (space) out.push_back(' ');
        space = false;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

class AssistantThroughWorker : public ::testing::Test {
protected:
    void SetUp() override {
        worker = std::make_unique<WorkerProcess>(
            std::vector<std::string>{},
            std::map<std::string, std::string>{{"KIVO_PDF_SUPPORT_DIR", (dir.path() / "support").string()},
                                               {"TMPDIR", dir.path().string()},
                                               {"KIVO_PDF_WORKER_SANDBOX", "off"}});
    }

    CommandResponse send(CommandMethod method, CommandParams params) {
        CommandRequest request;
        request.id = std::to_string(++next);
        request.method = method;
        request.params = std::move(params);
        worker->write(testing::requestLine(request));
        auto exchange = testing::readExchange(*worker, 120);
        EXPECT_TRUE(exchange.response.has_value());
        return exchange.response.value_or(CommandResponse{});
    }

    std::string open(const fs::path& pdf) {
        CommandParams params;
        params.path = pdf.string();
        const CommandResponse response = send(CommandMethod::open, params);
        EXPECT_TRUE(response.ok) << (response.error ? response.error->message : "");
        pages = response.result && response.result->pages ? *response.result->pages : std::vector<PageInfo>{};
        return response.result ? response.result->sessionId.value_or("") : "";
    }

    std::string pageText(const std::string& session, const std::string& pageId) {
        CommandParams params;
        params.sessionId = session;
        params.pageId = pageId;
        const CommandResponse response = send(CommandMethod::extractText, params);
        return response.result ? response.result->text.value_or("") : "";
    }

    // Every citation names a real page at its real position, and its preview stands in that
    // page's text.
    void expectCitationsHold(const std::string& session, const AssistantAnswer& answer) {
        for (const Citation& citation : answer.citations) {
            const auto page = std::find_if(pages.begin(), pages.end(),
                                           [&](const PageInfo& p) { return p.id == citation.pageId; });
            ASSERT_NE(page, pages.end()) << citation.pageId;
            EXPECT_EQ(citation.pageIndex, page->index);
            const std::string preview = folded(citation.preview);
            EXPECT_FALSE(preview.empty());
            EXPECT_NE(folded(pageText(session, citation.pageId)).find(preview), std::string::npos)
                << "page " << page->index << " does not hold: " << preview;
        }
    }

    testing::TempDir dir;
    std::unique_ptr<WorkerProcess> worker;
    std::vector<PageInfo> pages;
    int next = 0;
};

TEST_F(AssistantThroughWorker, AnswersFromTheLongSampleWithRealCitations) {
    const fs::path pdf = testing::corpus("geotopo.pdf");
    if (pdf.empty()) GTEST_SKIP() << "sample documents absent";
    const std::string session = open(pdf);
    ASSERT_EQ(pages.size(), 117u);

    for (const char* question :
         {"Where is the Torus defined?", "What is \"Homotopie\"?", "Summarize this document"}) {
        CommandParams params;
        params.sessionId = session;
        params.query = question;
        params.scope = "document";
        const CommandResponse response = send(CommandMethod::ask, params);
        ASSERT_TRUE(response.ok) << question << ": " << (response.error ? response.error->message : "");
        ASSERT_TRUE(response.result && response.result->answer) << question;
        const AssistantAnswer& answer = *response.result->answer;
        EXPECT_FALSE(answer.text.empty()) << question;
        EXPECT_FALSE(answer.citations.empty()) << question;
        expectCitationsHold(session, answer);
    }
}

TEST_F(AssistantThroughWorker, AnswersAboutAFormAndProposesAFill) {
    const fs::path pdf = testing::corpus("pdflatex-forms.pdf");
    if (pdf.empty()) GTEST_SKIP() << "sample documents absent";
    const std::string session = open(pdf);

    CommandParams params;
    params.sessionId = session;
    params.scope = "document";
    params.query = "What does this form ask for?";
    CommandResponse response = send(CommandMethod::ask, params);
    ASSERT_TRUE(response.ok);
    expectCitationsHold(session, *response.result->answer);

    params.query = "Fill Name with Ada";
    response = send(CommandMethod::ask, params);
    ASSERT_TRUE(response.ok);
    const auto& proposals = response.result->answer->proposals;
    ASSERT_FALSE(proposals.empty());
    EXPECT_EQ(proposals.front().method, CommandMethod::fillForm);
}

// The context of the whole document stays within the requested budget of user-perceived characters.
TEST_F(AssistantThroughWorker, ContextRespectsItsLimit) {
    const fs::path pdf = testing::corpus("geotopo.pdf");
    if (pdf.empty()) GTEST_SKIP() << "sample documents absent";
    const std::string session = open(pdf);
    for (std::int64_t limit : {1000, 5000}) {
        CommandParams params;
        params.sessionId = session;
        params.scope = "document";
        params.limit = limit;
        const CommandResponse response = send(CommandMethod::assistantContext, params);
        ASSERT_TRUE(response.ok) << (response.error ? response.error->message : "");
        ASSERT_TRUE(response.result->assistantContext);
        const AssistantContext& context = *response.result->assistantContext;
        std::int64_t characters = 0;
        for (const ContextPage& page : context.pages) characters += graphemeCount(page.text);
        EXPECT_LE(characters, limit);
        EXPECT_LE(context.characters, limit);
        EXPECT_TRUE(context.truncated);
        EXPECT_LT(context.pages.size(), pages.size());
    }
}

}  // namespace
}  // namespace kivo
