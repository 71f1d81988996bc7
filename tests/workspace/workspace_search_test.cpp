// The editor's search goes through the pages a few at a time so that the first hit shows early: its hits
// must be those of the worker's search of the whole document, in the same order, on the samples, and the
// hit's page must reach the worker ahead of the rest of the search.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/command_json.hpp"
#include "workspace/hit_previews.hpp"

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
        if (c.firstShown > 0) {
            EXPECT_EQ(atFirstReveal->size(), c.firstShown);
        }
        // What showed first is the start of the whole answer, its first hit on show.
        EXPECT_TRUE(std::equal(atFirstReveal->begin(), atFirstReveal->end(), whole.begin()));
        EXPECT_EQ(ws().selectedPageId(), whole.front().pageId);
        EXPECT_EQ(ws().status(), "Match 1 of " + std::to_string(whole.size()));
    }
}

// The order the worker read the requests in: once the request that found the hit is answered, the hit's page
// is rendered after at most the one request already on its way; no page is searched twice or left out.
TEST(SearchOrderTest, TheHitsPageIsRenderedBeforeTheRestOfTheDocumentIsSearched) {
    testing::Scratch scratch;
    testing::TestWorkspace test(testing::fakeWorker(), {{"KIVO_FAKE_WORKER_LOG", scratch.log().string()},
                                                        {"KIVO_FAKE_WORKER_PAGES", "40"},
                                                        {"KIVO_FAKE_WORKER_SEARCH_HITS", "p5,p30"}});
    Workspace& ws = *test;
    ws.launchOnce();
    ASSERT_TRUE(ws.link().workerReady());
    ws.open(scratch.docs() / "a.pdf");
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened a.pdf"; })) << ws.status();
    // The opening's own renders (the first page, the one ahead) are out of the way.
    ASSERT_TRUE(waitUntil([&] {
        return !ws.shownPage().pageChars().empty() && ws.shownPage().renderCacheUse().pages == 2 &&
               !ws.shownPage().decoding();
    }));
    ws.search("anything");
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Match 1 of 2"; })) << ws.status();
    EXPECT_EQ(ws.selectedPageId(), "p5");

    struct Seen {
        bool search = false;
        std::vector<std::string> pages;
    };
    // What the worker read from the search on, once it has read the last page's search and p5's render:
    // a request may still wait in the editor's queue when the first hit shows.
    std::vector<Seen> seen;
    const auto read = [&] {
        seen.clear();
        bool searching = false, last = false, rendered = false;
        for (const std::string& line : testing::fakeLog(scratch.log(), "request ")) {
            const CommandRequest request = CommandJSON::decodeRequest(line);
            searching = searching || request.method == CommandMethod::search;
            if (!searching) continue;
            if (request.method == CommandMethod::search) {
                seen.push_back({true, request.params.pageIds.value_or(std::vector<std::string>{})});
                const auto& pages = seen.back().pages;
                last = last || std::find(pages.begin(), pages.end(), "p40") != pages.end();
            }
            if (request.method == CommandMethod::renderPage && request.params.pageId == "p5") {
                seen.push_back({false, {"p5"}});
                rendered = true;
            }
        }
        return last && rendered;
    };
    ASSERT_TRUE(waitUntil(read)) << "the hit's page was never rendered, or the search never ended";
    std::vector<std::string> searched;
    std::size_t renderAt = seen.size();
    std::size_t hitAt = seen.size();
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i].search) {
            renderAt = std::min(renderAt, i);
            continue;
        }
        EXPECT_FALSE(seen[i].pages.empty());
        EXPECT_LE(seen[i].pages.size(), 8u) << "a hit waits behind a few pages at most";
        if (std::find(seen[i].pages.begin(), seen[i].pages.end(), "p5") != seen[i].pages.end()) hitAt = i;
        searched.insert(searched.end(), seen[i].pages.begin(), seen[i].pages.end());
    }
    std::vector<std::string> all;
    for (int page = 1; page <= 40; ++page) all.push_back("p" + std::to_string(page));
    EXPECT_EQ(searched, all);
    ASSERT_LT(hitAt, seen.size());
    ASSERT_LT(renderAt, seen.size()) << "the hit's page was never rendered";
    ASSERT_GT(renderAt, hitAt);
    EXPECT_LE(seen.front().pages.size(), 2u) << "a hit on the first pages shows after a small first request";
    // Two requests are on their way at a time: only the one asked before the hit was known goes first.
    EXPECT_LE(renderAt - hitAt, 2u);
    EXPECT_LT(renderAt + 2, seen.size()) << "the render waited for the rest of the document";
}

// The sample's math fonts read as control characters next to "Quotiente" on page 9: the hit's row shows
// the words around it with gaps there, never a backspace or a form feed.
TEST_F(SearchTest, AHitsPreviewShowsNoControlCharacterOfThePage) {
    const std::filesystem::path sample = testing::corpus("geotopo.pdf");
    if (sample.empty()) GTEST_SKIP() << "the 117-page sample is not here";
    ws().open(sample);
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened geotopo.pdf"; })) << ws().status();
    ws().search("Quotiente");
    ASSERT_TRUE(waitUntil([&] {
        return !ws().searchHits().empty() && ws().status().starts_with("Match 1 of");
    })) << ws().status();
    const SearchHit hit = ws().searchHits().front();
    std::optional<std::string> shown;
    ASSERT_TRUE(waitUntil([&] {
        shown = ws().hitPreviews().around(hit.pageId, hit.index, hit.count);
        return shown.has_value();
    }));
    EXPECT_NE(shown->find("Quotiente"), std::string::npos) << *shown;
    EXPECT_NE(shown->find("TX"), std::string::npos) << "the words before the math: " << *shown;
    for (const unsigned char c : *shown) EXPECT_FALSE(c < 0x20 || c == 0x7F) << *shown;
}

}  // namespace
}  // namespace kivo
