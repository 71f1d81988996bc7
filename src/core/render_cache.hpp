#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/command_types.hpp"

namespace kivo {

// A least-recently-used cache bounded by entry count and by total cost (for
// instance bytes of decoded images). A plain value: no locks, no threads.
template <class Key, class Value, class Hash = std::hash<Key>>
class BoundedCache {
public:
    BoundedCache(std::int64_t countLimit, std::int64_t costLimit)
        : countLimit_(std::max<std::int64_t>(countLimit, 1)),
          costLimit_(std::max<std::int64_t>(costLimit, 1)) {}

    std::int64_t countLimit() const noexcept { return countLimit_; }
    std::int64_t costLimit() const noexcept { return costLimit_; }
    std::int64_t totalCost() const noexcept { return totalCost_; }
    std::int64_t count() const noexcept { return static_cast<std::int64_t>(entries_.size()); }

    // Looks a key up without making it more recent.
    std::optional<Value> peek(const Key& key) const {
        const auto found = entries_.find(key);
        if (found == entries_.end()) return std::nullopt;
        return found->second.value;
    }

    // Calls visit(key, value) for every entry, in no order, without making any more recent.
    template <class Visit>
    void forEach(Visit&& visit) const {
        for (const auto& [key, entry] : entries_) visit(key, entry.value);
    }

    // Looks a key up and marks it as just used.
    std::optional<Value> value(const Key& key) {
        const auto found = entries_.find(key);
        if (found == entries_.end()) return std::nullopt;
        found->second.lastUse = ++clock_;
        return found->second.value;
    }

    // Stores the value as the most recent entry, replacing any entry of the
    // key, then evicts the least recently used entries while there are too
    // many, or while the cost is over the limit and more than one is left.
    void insert(Value value, const Key& key, std::int64_t cost) {
        ++clock_;
        cost = std::max<std::int64_t>(cost, 0);
        if (const auto found = entries_.find(key); found != entries_.end()) {
            totalCost_ -= found->second.cost;
            found->second = Entry{std::move(value), cost, clock_};
        } else {
            entries_.emplace(key, Entry{std::move(value), cost, clock_});
        }
        totalCost_ += cost;
        for (;;) {
            if (count() > countLimit_) {
                evictOldest();
            } else if (totalCost_ <= costLimit_ || count() < 2) {
                break;
            } else {
                evictOldest();
            }
        }
    }

    // Gives an entry another value of the same cost, keeping its place in the order of use; nothing
    // without one.
    void replaceValue(const Key& key, Value value) {
        const auto found = entries_.find(key);
        if (found != entries_.end()) found->second.value = std::move(value);
    }

    void removeValue(const Key& key) {
        const auto found = entries_.find(key);
        if (found == entries_.end()) return;
        totalCost_ -= found->second.cost;
        entries_.erase(found);
    }

    void removeAll() noexcept {
        entries_.clear();
        totalCost_ = 0;
    }

private:
    struct Entry {
        Value value;
        std::int64_t cost;
        std::uint64_t lastUse;
    };

    // A linear scan; caches here hold tens of entries, not thousands.
    void evictOldest() {
        auto oldest = entries_.begin();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.lastUse < oldest->second.lastUse) oldest = it;
        }
        totalCost_ -= oldest->second.cost;
        entries_.erase(oldest);
    }

    std::int64_t countLimit_;
    std::int64_t costLimit_;
    std::int64_t totalCost_ = 0;
    std::unordered_map<Key, Entry, Hash> entries_;
    std::uint64_t clock_ = 0;
};

// First-in first-out render requests without duplicates, handing out one
// request at a time. A plain value: no locks, no threads.
template <class Element, class Hash = std::hash<Element>>
class RenderQueue {
public:
    // Queues the element unless it is already waiting or in flight; a repeat
    // keeps the place of the first request.
    void request(const Element& element) {
        if (inFlight_ && *inFlight_ == element) return;
        if (queued_.insert(element).second) pending_.push_back(element);
    }

    // Withdraws a waiting element; the one in flight is not affected.
    void cancel(const Element& element) {
        if (queued_.erase(element) == 0) return;
        pending_.erase(std::remove(pending_.begin(), pending_.end(), element), pending_.end());
    }

    // The oldest waiting element, now in flight; absent while one is in flight.
    std::optional<Element> next() {
        if (inFlight_ || pending_.empty()) return std::nullopt;
        Element element = std::move(pending_.front());
        pending_.pop_front();
        queued_.erase(element);
        inFlight_ = element;
        return element;
    }

    // Ends the element in flight when it is this one, whatever the render's outcome.
    void finish(const Element& element) {
        if (inFlight_ && *inFlight_ == element) inFlight_.reset();
    }

    void removeAll() {
        pending_.clear();
        queued_.clear();
        inFlight_.reset();
    }

    bool isIdle() const noexcept { return !inFlight_ && pending_.empty(); }
    const std::optional<Element>& inFlight() const noexcept { return inFlight_; }

private:
    std::deque<Element> pending_;
    std::unordered_set<Element, Hash> queued_;
    std::optional<Element> inFlight_;
};

// Which rendered pages a successful command made stale.
class RenderInvalidation {
public:
    enum class Kind { pages, none, all };

    static RenderInvalidation pages(std::unordered_set<std::string> pageIds) {
        return RenderInvalidation(Kind::pages, std::move(pageIds));
    }
    static RenderInvalidation none() { return RenderInvalidation(Kind::none, {}); }
    static RenderInvalidation all() { return RenderInvalidation(Kind::all, {}); }

    static RenderInvalidation after(CommandMethod method,
                                    const std::optional<std::vector<std::string>>& affectedPages);

    Kind kind() const noexcept { return kind_; }
    // The stale page ids of a `pages` invalidation; empty for the other kinds.
    const std::unordered_set<std::string>& pageIds() const noexcept { return pageIds_; }

    bool operator==(const RenderInvalidation&) const = default;

private:
    RenderInvalidation(Kind kind, std::unordered_set<std::string> pageIds)
        : kind_(kind), pageIds_(std::move(pageIds)) {}

    Kind kind_;
    std::unordered_set<std::string> pageIds_;
};

}  // namespace kivo
