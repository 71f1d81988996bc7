// The editor's search goes through the pages one request each so that the first hit shows early: its hits
// must be those of the worker's search of the whole document, in the same order, on the samples.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::waitUntil;

class SearchTest : public testing::LaunchedWorkspaceTest {
protected:
    // The worker's own answer to one search of the whole open document.
    std::vector<SearchHit> wholeDocumentHits(const std::string& query) {
        CommandParams params;
        params.sessionId = ws().sessionId();
        params.query = query;
        std::optional<std::vector<SearchHit>> hits;
        ws().link().send(
            WorkerLink::makeRequest(CommandMethod::search, std::move(params)), std::nullopt, false,
            [&](const CommandResult& result) { hits = result.matches.value_or(std::vector<SearchHit>{}); });
        EXPECT_TRUE(waitUntil([&] { return hits.has_value(); }));
        return hits.value_or(std::vector<SearchHit>{});
    }
};

TEST_F(SearchTest, PageByPageFindsWhatOneSearchOfTheWholeDocumentFindsInItsOrder) {
    const std::filesystem::path sample = testing::corpus("geotopo.pdf");
    if (sample.empty()) GTEST_SKIP() << "the 117-page sample is not here";
    ws().open(sample);
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened geotopo.pdf"; })) << ws().status();

    const struct {
        const char* query;
        // Hits at the first reveal, when it is known (0 when not): those of the pages searched so far.
        std::size_t firstShown;
    } cases[] = {
        {"binormalenvektor", 1},  // pages 93 and 115 of 117: the first shows before the last page is searched
        {"e", 0},                 // hits on every page: the worker's cap of 200 ends the search early
        {"Kurve", 0},
        {"no such words at all", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        const std::vector<SearchHit> whole = wholeDocumentHits(c.query);
        std::optional<std::vector<SearchHit>> atFirstReveal;
        const auto watch = QObject::connect(&ws(), &Workspace::revealRequested, [&] {
            if (!atFirstReveal) atFirstReveal = ws().searchHits();
        });
        ws().setStatus("");
        ws().search(c.query);
        const std::string done = std::to_string(whole.size()) + " matches";
        ASSERT_TRUE(waitUntil([&] {
            return ws().status().starts_with("Match 1 of") || ws().status() == done || ws().errorMessage();
        })) << ws().status();
        QObject::disconnect(watch);
        EXPECT_FALSE(ws().errorMessage());
        EXPECT_EQ(ws().searchHits(), whole);
        if (whole.empty()) {
            EXPECT_FALSE(atFirstReveal);
            continue;
        }
        ASSERT_TRUE(atFirstReveal);
        ASSERT_FALSE(atFirstReveal->empty());
        if (c.firstShown > 0) EXPECT_EQ(atFirstReveal->size(), c.firstShown);
        // What showed first is the start of the whole answer, its first hit on show.
        EXPECT_TRUE(std::equal(atFirstReveal->begin(), atFirstReveal->end(), whole.begin()));
        EXPECT_EQ(ws().selectedPageId(), whole.front().pageId);
        EXPECT_EQ(ws().status(), "Match 1 of " + std::to_string(whole.size()));
    }
}

}  // namespace
}  // namespace kivo
