// Changes to the page structure of the open document (order, rotation, deletion, merging) and
// taking a page out into a new file. Pages are named by their stable ids, never by number.

#include <algorithm>
#include <set>

#include "workspace/workspace.hpp"
#include "workspace/workspace_private.hpp"

namespace kivo {
namespace {

std::vector<std::string> pageIds(const std::vector<PageInfo>& pages) {
    std::vector<std::string> ids;
    ids.reserve(pages.size());
    for (const PageInfo& page : pages) ids.push_back(page.id);
    return ids;
}

}  // namespace

void Workspace::movePage(const std::vector<std::int64_t>& from, std::int64_t to) {
    if (!inspect() || !inspect()->pages) return;
    const std::vector<std::string> ids = pageIds(*inspect()->pages);
    const auto count = static_cast<std::int64_t>(ids.size());
    // A drop report may name rows that are gone by now: those are left out, and the destination
    // stays inside the list.
    std::set<std::int64_t> moving;
    for (const std::int64_t position : from) {
        if (position >= 0 && position < count) moving.insert(position);
    }
    if (moving.empty()) return;
    to = std::clamp<std::int64_t>(to, 0, count);

    std::vector<std::string> moved;
    std::vector<std::string> staying;
    std::size_t insertAt = 0;
    for (std::int64_t position = 0; position < count; ++position) {
        const std::string& id = ids[static_cast<std::size_t>(position)];
        if (moving.contains(position)) {
            moved.push_back(id);
            continue;
        }
        staying.push_back(id);
        if (position < to) insertAt = staying.size();
    }
    staying.insert(staying.begin() + static_cast<std::ptrdiff_t>(insertAt), moved.begin(), moved.end());

    CommandParams params;
    params.sessionId = sessionId();
    params.pageIds = std::move(staying);
    mutate(CommandMethod::organizePages, std::move(params), "Pages reordered");
}

void Workspace::moveSelectedPage(std::int64_t by) {
    if (!inspect() || !inspect()->pages || !selectedPageId()) return;
    std::vector<std::string> ids = pageIds(*inspect()->pages);
    const auto found = std::find(ids.begin(), ids.end(), *selectedPageId());
    if (found == ids.end()) return;
    const std::int64_t position = found - ids.begin();
    const std::int64_t target = position + by;
    if (target < 0 || target >= static_cast<std::int64_t>(ids.size())) return;
    std::swap(ids[static_cast<std::size_t>(position)], ids[static_cast<std::size_t>(target)]);
    CommandParams params;
    params.sessionId = sessionId();
    params.pageIds = std::move(ids);
    mutate(CommandMethod::organizePages, std::move(params),
           "Page moved to position " + std::to_string(target + 1));
}

void Workspace::rotateSelected(std::int64_t degrees) {
    if (!selectedPageId()) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.pageIds = std::vector<std::string>{*selectedPageId()};
    params.rotation = degrees;
    mutate(CommandMethod::rotatePages, std::move(params), "Page rotated");
}

void Workspace::deleteSelectedPage() {
    if (!selectedPageId()) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.pageIds = std::vector<std::string>{*selectedPageId()};
    mutate(CommandMethod::deletePages, std::move(params), "Page deleted");
}

void Workspace::mergePanel() {
    const auto path = d_->services_.fileDialogs->chooseOpenPdf("Merge PDF");
    if (!path) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.path = path->string();
    mutate(CommandMethod::mergeDocuments, std::move(params), "Merged " + path->filename().string());
}

void Workspace::extractPanel() {
    if (!selectedPageId()) return;
    const auto destination =
        d_->services_.fileDialogs->chooseSavePdf("Extract Page", "Extracted pages.pdf", documentFolder());
    if (!destination) return;
    CommandParams params;
    params.sessionId = sessionId();
    params.pageIds = std::vector<std::string>{*selectedPageId()};
    params.destination = destination->string();
    CommandRequest request = makeRequest(CommandMethod::extractPages, std::move(params));
    request.expectedRevision = inspect() ? inspect()->revision : std::nullopt;
    // The open document stays as it is: the answer is not adopted.
    send(std::move(request), "Extracting pages", true,
         [this, name = destination->filename().string()](const CommandResult&) {
             setStatus("Extracted page to " + name);
         });
}

}  // namespace kivo
