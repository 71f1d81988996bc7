#include "session/page_census_cache.hpp"

#include "session/running_command.hpp"

namespace kivo {

PageCensusCache::Census PageCensusCache::gather(const std::vector<PageInfo>& pages, const Reader& read) {
    Census census;
    const auto total = static_cast<std::int64_t>(pages.size());
    for (std::int64_t k = 0; k < total; ++k) {
        RunningCommand::step(CommandPhase::readingAnnotations, k, total);
        const std::string& pageId = pages[static_cast<std::size_t>(k)].id;
        auto known = pages_.find(pageId);
        if (known == pages_.end()) known = pages_.emplace(pageId, read(pageId)).first;
        const PageCensus& page = known->second;
        if (!page.subtypes.empty()) census.subtypes[pageId] = page.subtypes;
        census.items.insert(census.items.end(), page.items.begin(), page.items.end());
        census.fields.insert(census.fields.end(), page.fields.begin(), page.fields.end());
    }
    return census;
}

void PageCensusCache::forget(const std::vector<std::string>& pageIds) {
    for (const std::string& pageId : pageIds) pages_.erase(pageId);
}

}  // namespace kivo
