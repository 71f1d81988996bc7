#include "core/render_cache.hpp"

#include <gtest/gtest.h>

#include "core/page_tiles.hpp"

namespace kivo {
namespace {

using Cache = BoundedCache<std::string, int>;

TEST(BoundedCache, LimitsAndRecency) {
    Cache floor(0, -5);
    EXPECT_EQ(floor.countLimit(), 1);
    EXPECT_EQ(floor.costLimit(), 1);

    for (const bool touch : {true, false}) {
        Cache cache(2, 1000);
        cache.insert(1, "A", 1);
        cache.insert(2, "B", 1);
        if (touch) {
            EXPECT_EQ(cache.value("A"), 1);
        } else {
            EXPECT_EQ(cache.peek("A"), 1);
        }
        cache.insert(3, "C", 1);
        EXPECT_EQ(cache.count(), 2);
        EXPECT_EQ(cache.peek("A").has_value(), touch);
        EXPECT_EQ(cache.peek("B").has_value(), !touch);
    }
}

TEST(BoundedCache, Cost) {
    Cache cache(100, 10);
    cache.insert(1, "A", 6);
    cache.insert(2, "B", 6);
    EXPECT_FALSE(cache.peek("A"));
    EXPECT_EQ(cache.totalCost(), 6);
    cache.insert(3, "C", 50);  // alone above the limit, still kept
    EXPECT_FALSE(cache.peek("B"));
    EXPECT_EQ(cache.peek("C"), 3);
    EXPECT_EQ(cache.totalCost(), 50);

    Cache replace(3, 100);
    replace.insert(1, "A", 5);
    replace.insert(2, "B", -7);
    EXPECT_EQ(replace.totalCost(), 5);
    replace.insert(10, "A", 8);
    EXPECT_EQ(replace.totalCost(), 8);
    EXPECT_EQ(replace.count(), 2);
    replace.insert(3, "C", 0);
    replace.insert(4, "D", 0);  // B is now the oldest, not A
    EXPECT_EQ(replace.peek("A"), 10);
    EXPECT_FALSE(replace.peek("B"));
    replace.removeValue("A");
    EXPECT_EQ(replace.totalCost(), 0);
    replace.removeAll();
    EXPECT_EQ(replace.count(), 0);
    EXPECT_EQ(replace.totalCost(), 0);

    BoundedCache<TileIndex, int> tiles(4, 4);
    tiles.insert(7, TileIndex{1, 2}, 1);
    EXPECT_EQ(tiles.value(TileIndex{1, 2}), 7);
}

TEST(RenderQueue, OneInFlight) {
    RenderQueue<int> queue;
    queue.request(1);
    queue.request(2);
    queue.request(1);
    EXPECT_EQ(queue.next(), 1);
    EXPECT_EQ(queue.next(), std::nullopt);
    queue.request(1);  // in flight: not queued again
    queue.cancel(1);   // does not touch the one in flight
    queue.finish(7);
    EXPECT_EQ(queue.inFlight(), 1);
    EXPECT_FALSE(queue.isIdle());
    queue.finish(1);
    EXPECT_EQ(queue.next(), 2);
    queue.finish(2);
    EXPECT_TRUE(queue.isIdle());

    queue.request(3);
    queue.request(4);
    queue.cancel(3);
    queue.request(1);
    EXPECT_EQ(queue.next(), 4);
    queue.removeAll();
    EXPECT_TRUE(queue.isIdle());
    EXPECT_EQ(queue.next(), std::nullopt);
}

TEST(RenderInvalidation, AfterCommands) {
    const std::vector<std::string> two{"P1", "P2"};
    struct Case {
        CommandMethod method;
        std::optional<std::vector<std::string>> affected;
        RenderInvalidation expected;
    };
    const Case cases[] = {
        {CommandMethod::fillForm, std::vector<std::string>{}, RenderInvalidation::pages({})},
        {CommandMethod::fillForm, std::nullopt, RenderInvalidation::all()},
        {CommandMethod::addInk, two, RenderInvalidation::pages({"P2", "P1"})},
        {CommandMethod::deletePages, two, RenderInvalidation::none()},
        {CommandMethod::saveDocument, std::nullopt, RenderInvalidation::none()},
        {CommandMethod::undo, two, RenderInvalidation::all()},
        {CommandMethod::ask, std::nullopt, RenderInvalidation::all()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RenderInvalidation::after(c.method, c.affected), c.expected) << rawValue(c.method);
    }
    EXPECT_NE(RenderInvalidation::pages({}), RenderInvalidation::none());
    EXPECT_NE(RenderInvalidation::pages({"P1"}), RenderInvalidation::pages({"P2"}));
}

}  // namespace
}  // namespace kivo
