#include <gtest/gtest.h>

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
