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

std::optional<std::vector<std::int64_t>> PageCensusCache::Kept::listed(
    const std::vector<PageInfo>& of) const {
    if (!whole) return std::nullopt;
    std::vector<std::int64_t> counts;
    counts.reserve(of.size());
    for (const PageInfo& page : of) {
        const auto known = pages->find(page.id);
        if (known == pages->end()) return std::nullopt;
        counts.push_back(std::max<std::int64_t>(0, known->second->listed));
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
    // The page read for each page object in this census.
    std::map<int, std::string> readFor;
    const auto total = static_cast<std::int64_t>(pages.size());
    for (std::int64_t k = 0; k < total; ++k) {
        RunningCommand::step(CommandPhase::readingAnnotations, k, total);
        const std::string& pageId = pages[static_cast<std::size_t>(k)].id;
        const auto known = pages_->find(pageId);
        const bool place = locate && !(trusted && known != pages_->end());
        const std::optional<Placement> now = place ? std::optional(locate(pageId)) : std::nullopt;
        const PageCensus* entry = known != pages_->end() ? known->second.get() : nullptr;
        if (entry && now && Placement{entry->pageObject, entry->listed} != *now) entry = nullptr;
        if (entry == nullptr) {
            const auto twin = now && now->pageObject != 0 ? readFor.find(now->pageObject) : readFor.end();
            PageCensus fresh = twin != readFor.end()
                                   ? movedTo(*pages_->at(twin->second), twin->second, pageId)
                                   : read(pageId);
            if (now) {
                fresh.pageObject = now->pageObject;
                fresh.listed = now->listed;
            }
            entry = writable()
                        .insert_or_assign(pageId, std::make_shared<const PageCensus>(std::move(fresh)))
                        .first->second.get();
        }
        if (now && now->pageObject != 0) readFor.try_emplace(now->pageObject, pageId);
        const PageCensus& page = *entry;
        if (!page.subtypes.empty()) census.subtypes[pageId] = page.subtypes;
        census.items.insert(census.items.end(), page.items.begin(), page.items.end());
        census.fields.insert(census.fields.end(), page.fields.begin(), page.fields.end());
    }
    current_ = trusted || static_cast<bool>(locate);
    return census;
}

void PageCensusCache::forget(const std::vector<std::string>& pageIds, bool withAnnotations) {
    current_ = false;
    std::set<int> objects;
    std::vector<std::string> named;
    for (const std::string& pageId : pageIds) {
        const auto found = pages_->find(pageId);
        if (found == pages_->end()) {
            forgotten_.try_emplace(pageId, 0);
            continue;
        }
        forgotten_.insert_or_assign(pageId, found->second->pageObject);
        if (found->second->pageObject != 0) objects.insert(found->second->pageObject);
        if (withAnnotations)
            objects.insert(found->second->annotationObjects.begin(), found->second->annotationObjects.end());
        named.push_back(pageId);
    }
    if (named.empty()) return;
    Pages& pages = writable();
    for (const std::string& pageId : named) pages.erase(pageId);
    objects.erase(0);
    if (!objects.empty())
        std::erase_if(pages, [&](const auto& entry) { return sharesAny(*entry.second, objects); });
}

}  // namespace kivo
