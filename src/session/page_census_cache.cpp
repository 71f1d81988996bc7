#include "session/page_census_cache.hpp"

#include <algorithm>
#include <optional>

#include "session/running_command.hpp"

namespace kivo {

namespace {

// What another page of the same page object holds, as this page lists it.
PageCensusCache::PageCensus movedTo(PageCensusCache::PageCensus census, const std::string& from,
                                    const std::string& to) {
    const std::string unnamed = from + "#";
    for (AnnotationInfo& item : census.items) {
        item.pageId = to;
        if (item.id.starts_with(unnamed)) item.id = to + item.id.substr(from.size());
    }
    for (FormFieldInfo& field : census.fields) field.pageId = to;
    return census;
}

bool sharesAny(const PageCensusCache::PageCensus& page, const std::set<int>& objects) {
    if (objects.count(page.pageObject) != 0) return true;
    return std::any_of(page.annotationObjects.begin(), page.annotationObjects.end(),
                       [&](int object) { return objects.count(object) != 0; });
}

}  // namespace

const PageCensusCache::Pages::Entry* PageCensusCache::Pages::find(const std::string& pageId) const {
    const std::shared_ptr<Bucket>& bucket = buckets_[bucketOf(pageId)];
    if (!bucket) return nullptr;
    const auto found = bucket->find(pageId);
    return found == bucket->end() ? nullptr : &found->second;
}

const PageCensusCache::PageCensus& PageCensusCache::Pages::set(const std::string& pageId, Entry entry) {
    return *writable(bucketOf(pageId)).insert_or_assign(pageId, std::move(entry)).first->second;
}

void PageCensusCache::Pages::erase(const std::string& pageId) {
    const std::size_t bucket = bucketOf(pageId);
    if (buckets_[bucket] && buckets_[bucket]->count(pageId) != 0) writable(bucket).erase(pageId);
}

void PageCensusCache::Pages::eraseIf(const std::function<bool(const PageCensus&)>& drop) {
    for (std::size_t bucket = 0; bucket < bucketCount; ++bucket) {
        if (!buckets_[bucket]) continue;
        const auto matches = [&](const auto& entry) { return drop(*entry.second); };
        if (std::none_of(buckets_[bucket]->begin(), buckets_[bucket]->end(), matches)) continue;
        std::erase_if(writable(bucket), matches);
    }
}

PageCensusCache::Pages::Bucket& PageCensusCache::Pages::writable(std::size_t bucket) {
    std::shared_ptr<Bucket>& held = buckets_[bucket];
    if (!held) {
        held = std::make_shared<Bucket>();
    } else if (held.use_count() > 1) {
        held = std::make_shared<Bucket>(*held);
    }
    return *held;
}

std::optional<std::vector<std::int64_t>> PageCensusCache::Kept::listed(
    const std::vector<PageInfo>& of) const {
    if (!whole) return std::nullopt;
    std::vector<std::int64_t> counts;
    counts.reserve(of.size());
    for (const PageInfo& page : of) {
        const Pages::Entry* known = pages->find(page.id);
        if (known == nullptr) return std::nullopt;
        counts.push_back(std::max<std::int64_t>(0, (*known)->listed));
    }
    return counts;
}

PageCensusCache::Census PageCensusCache::gather(const std::vector<PageInfo>& pages, const Reader& read,
                                                const Locate& locate) {
    // Current entries are those of the document's bytes: placing a known page again would find it
    // where it was. A page the cache does not know is placed as ever.
    const bool trusted = current_;
    current_ = standing_ = false;
    forgotten_.clear();
    Census census;
    // The last counts are taken, not shared: a census that fails part way leaves none to build on.
    const bool samePages =
        last_.counts && last_.pageIds.size() == pages.size() &&
        std::equal(last_.pageIds.begin(), last_.pageIds.end(), pages.begin(),
                   [](const std::string& id, const PageInfo& page) { return id == page.id; });
    if (samePages) {
        census.subtypes = std::move(last_.counts);
        last_.counts.reset();
    } else {
        census.subtypes = std::map<std::string, std::map<std::string, std::int64_t>>{};
        last_.counts.reset();
        last_.pageIds.clear();
        for (const PageInfo& page : pages) last_.pageIds.push_back(page.id);
        last_.entries.assign(pages.size(), nullptr);
    }
    // The page read for each page object in this census.
    std::map<int, std::string> readFor;
    const auto total = static_cast<std::int64_t>(pages.size());
    for (std::int64_t k = 0; k < total; ++k) {
        RunningCommand::step(CommandPhase::readingAnnotations, k, total);
        const std::string& pageId = pages[static_cast<std::size_t>(k)].id;
        const Pages::Entry* known = pages_->find(pageId);
        const bool place = locate && !(trusted && known != nullptr);
        const std::optional<Placement> now = place ? std::optional(locate(pageId)) : std::nullopt;
        const PageCensus* entry = known != nullptr ? known->get() : nullptr;
        if (entry && now && Placement{entry->pageObject, entry->listed} != *now) entry = nullptr;
        if (entry == nullptr) {
            const auto twin = now && now->pageObject != 0 ? readFor.find(now->pageObject) : readFor.end();
            const Pages::Entry* twinEntry = twin != readFor.end() ? pages_->find(twin->second) : nullptr;
            PageCensus fresh =
                twinEntry != nullptr ? movedTo(**twinEntry, twin->second, pageId) : read(pageId);
            if (now) {
                fresh.pageObject = now->pageObject;
                fresh.listed = now->listed;
            }
            entry = &writable().set(pageId, std::make_shared<const PageCensus>(std::move(fresh)));
        }
        if (now && now->pageObject != 0) readFor.try_emplace(now->pageObject, pageId);
        const PageCensus& page = *entry;
        Pages::Entry& counted = last_.entries[static_cast<std::size_t>(k)];
        if (counted.get() != entry) {
            counted = *pages_->find(pageId);
            if (page.subtypes.empty()) {
                census.subtypes->erase(pageId);
            } else {
                (*census.subtypes)[pageId] = page.subtypes;
            }
        }
        census.items.insert(census.items.end(), page.items.begin(), page.items.end());
        census.fields.insert(census.fields.end(), page.fields.begin(), page.fields.end());
    }
    current_ = trusted || static_cast<bool>(locate);
    last_.counts = census.subtypes;
    return census;
}

void PageCensusCache::forget(const std::vector<std::string>& pageIds, bool withAnnotations) {
    current_ = false;
    std::set<int> objects;
    std::vector<std::string> named;
    for (const std::string& pageId : pageIds) {
        const Pages::Entry* found = pages_->find(pageId);
        if (found == nullptr) {
            forgotten_.try_emplace(pageId, 0);
            continue;
        }
        const PageCensus& page = **found;
        forgotten_.insert_or_assign(pageId, page.pageObject);
        if (page.pageObject != 0) objects.insert(page.pageObject);
        if (withAnnotations) objects.insert(page.annotationObjects.begin(), page.annotationObjects.end());
        named.push_back(pageId);
    }
    if (named.empty()) return;
    Pages& pages = writable();
    for (const std::string& pageId : named) pages.erase(pageId);
    objects.erase(0);
    if (!objects.empty()) pages.eraseIf([&](const PageCensus& page) { return sharesAny(page, objects); });
}

}  // namespace kivo
