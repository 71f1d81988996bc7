// Moving between pages by position: the go-to-page field and the previous and next page commands.
// Pages are known by their ids; a position is only where an id stands in the adopted page list. The page
// list's thumbnails are reached from here too.

#include <algorithm>

#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {
namespace {

// The id `step` places away from `pageId` in the pages, without wrapping at either end.
std::optional<std::string> neighbour(const std::optional<CommandResult>& document,
                                     const std::optional<std::string>& pageId, std::ptrdiff_t step) {
    if (!document || !document->pages || !pageId) return std::nullopt;
    const std::vector<PageInfo>& pages = *document->pages;
    const auto found =
        std::find_if(pages.begin(), pages.end(), [&](const PageInfo& page) { return page.id == *pageId; });
    if (found == pages.end()) return std::nullopt;
    const std::ptrdiff_t target = (found - pages.begin()) + step;
    if (target < 0 || target >= static_cast<std::ptrdiff_t>(pages.size())) return std::nullopt;
    return pages[static_cast<std::size_t>(target)].id;
}

}  // namespace

ThumbnailQueue& Workspace::thumbnails() { return *d_->thumbnails_; }
const ThumbnailQueue& Workspace::thumbnails() const { return *d_->thumbnails_; }

bool Workspace::jumpToPage(std::int64_t position) {
    if (!inspect() || !inspect()->pages) return false;
    const std::vector<PageInfo>& pages = *inspect()->pages;
    if (position < 1 || static_cast<std::uint64_t>(position) > pages.size()) return false;
    select(pages[static_cast<std::size_t>(position - 1)].id);
    return true;
}

void Workspace::previousPage() {
    if (const auto id = neighbour(inspect(), selectedPageId(), -1)) select(*id);
}

void Workspace::nextPage() {
    if (const auto id = neighbour(inspect(), selectedPageId(), 1)) select(*id);
}

}  // namespace kivo
