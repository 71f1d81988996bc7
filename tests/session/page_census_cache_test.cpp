#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "failures.hpp"
#include "session/page_census_cache.hpp"
#include "session/running_command.hpp"

namespace kivo {
namespace {

using testing::failureOf;

std::vector<PageInfo> pagesOf(const std::vector<std::string>& ids) {
    std::vector<PageInfo> pages;
    for (const std::string& id : ids) pages.push_back(PageInfo{id, static_cast<std::int64_t>(pages.size())});
    return pages;
}

// A reader that records which pages it read. Page "B" holds nothing; every other page one note
// named after the page and the read, so a page read again shows.
struct Reader {
    std::vector<std::string> reads;
    PageCensusCache::Reader read() {
        return [this](const std::string& pageId) {
            reads.push_back(pageId);
            PageCensusCache::PageCensus page;
            if (pageId == "B") return page;
            page.subtypes["Text"] = 1;
            page.items.push_back(AnnotationInfo{pageId + "/" + std::to_string(reads.size()), "note", pageId});
            return page;
        };
    }
    std::vector<std::string> taken() { return std::exchange(reads, {}); }
};

std::vector<std::string> itemIds(const PageCensusCache::Census& census) {
    std::vector<std::string> ids;
    for (const AnnotationInfo& item : census.items) ids.push_back(item.id);
    return ids;
}

TEST(PageCensusCache, ReadsOnlyThePagesItDoesNotKnow) {
    PageCensusCache cache;
    Reader reader;
    const std::vector<PageInfo> pages = pagesOf({"A", "B", "C"});

    const PageCensusCache::Census first = cache.gather(pages, reader.read());
    EXPECT_EQ(reader.taken(), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(itemIds(first), (std::vector<std::string>{"A/1", "C/3"}));
    // Only pages with annotations have subtypes.
    EXPECT_EQ(first.subtypes->size(), 2u);
    EXPECT_EQ(first.subtypes->count("B"), 0u);

    // Known pages are not read again, in whatever order they now stand.
    EXPECT_EQ(itemIds(cache.gather(pagesOf({"C", "A", "B"}), reader.read())),
              (std::vector<std::string>{"C/3", "A/1"}));
    EXPECT_TRUE(reader.taken().empty());

    // A forgotten page is read again; the others keep what they had.
    cache.forget({"C", "unknown"});
    EXPECT_EQ(itemIds(cache.gather(pages, reader.read())), (std::vector<std::string>{"A/1", "C/1"}));
    EXPECT_EQ(reader.taken(), std::vector<std::string>{"C"});

    // A copy taken back brings back what it knew; a null one changes nothing.
    const auto kept = cache.snapshot();
    cache.clear();
    cache.adopt(nullptr);
    cache.adopt(kept);
    EXPECT_EQ(itemIds(cache.gather(pages, reader.read())), (std::vector<std::string>{"A/1", "C/1"}));
    EXPECT_TRUE(reader.taken().empty());
    cache.clear();
    cache.gather(pages, reader.read());
    EXPECT_EQ(reader.taken().size(), 3u);
}

// A snapshot is the state an undo returns to: whatever the cache does to its own entries after
// the snapshot was taken, the snapshot's pages must read as they did when it was taken.
TEST(PageCensusCache, ASnapshotKeepsItsCountsThroughEveryLaterEdit) {
    // Pages "P" and "Q" share annotation 7, so forgetting one forgets the other through it.
    const PageCensusCache::Reader read = [reads = 0](const std::string& pageId) mutable {
        PageCensusCache::PageCensus page;
        page.subtypes["Text"] = ++reads;
        page.items.push_back(AnnotationInfo{pageId + "/" + std::to_string(reads), "note", pageId});
        if (pageId == "P" || pageId == "Q") page.annotationObjects = {7};
        return page;
    };
    struct Case {
        const char* name;
        std::function<void(PageCensusCache&)> edit;
    };
    const Case cases[] = {
        {"a page kept anew",
         [](PageCensusCache& cache) {
             PageCensusCache::PageCensus changed;
             changed.subtypes["Ink"] = 99;
             cache.keep("P", changed);
         }},
        {"a page forgotten", [](PageCensusCache& cache) { cache.forget({"P"}); }},
        {"a page forgotten with the page sharing its annotation",
         [](PageCensusCache& cache) { cache.forget({"Q"}); }},
        {"everything forgotten", [](PageCensusCache& cache) { cache.clear(); }},
    };
    const std::vector<PageInfo> pages = pagesOf({"P", "Q", "R"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PageCensusCache cache;
        const PageCensusCache::Census before = cache.gather(pages, read);
        const auto kept = cache.snapshot();
        c.edit(cache);
        // The edit reached the cache itself: its next census reads something else.
        EXPECT_NE(*cache.gather(pages, read).subtypes, *before.subtypes);

        cache.adopt(kept);
        Reader untouched;
        const PageCensusCache::Census after = cache.gather(pages, untouched.read());
        EXPECT_TRUE(untouched.taken().empty());
        EXPECT_EQ(*after.subtypes, *before.subtypes);
        EXPECT_EQ(itemIds(after), itemIds(before));
    }
}

// A census stops between pages for a cancel, and when the reader fails; pages read before stay
// known either way.
TEST(PageCensusCache, StopsForACancelOrAFailedRead) {
    PageCensusCache cache;
    Reader reader;
    const std::vector<PageInfo> pages = pagesOf({"A", "B", "C"});
    const PageCensusCache::Reader failingAtC = [&reader](const std::string& pageId) {
        if (pageId == "C") throw std::runtime_error("unreadable");
        return reader.read()(pageId);
    };
    EXPECT_THROW(cache.gather(pages, failingAtC), std::runtime_error);
    EXPECT_EQ(reader.taken(), (std::vector<std::string>{"A", "B"}));

    RunningCommand command("c", CommandChannel::ui, ResourceLimits::unlimited(), nullptr);
    command.requestCancel();
    RunningCommand::Activation active(command);
    EXPECT_EQ(failureOf([&] { cache.gather(pages, reader.read()); }).code, FailureCode::cancelled);
    EXPECT_TRUE(reader.taken().empty());
}

}  // namespace
}  // namespace kivo
