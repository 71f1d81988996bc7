// The render stamps of the open document: which rendered images a change made stale, and the page
// refresh that adoption and page changes ask for.

#include "workspace/workspace.hpp"

namespace kivo {

PageVersion Workspace::version(const std::string& pageId) const {
    const auto found = pageVersions_.find(pageId);
    return PageVersion{documentVersion_, found != pageVersions_.end() ? found->second : 0};
}

void Workspace::invalidateRenders(const RenderInvalidation& invalidation) {
    switch (invalidation.kind()) {
        case RenderInvalidation::Kind::none: return;
        case RenderInvalidation::Kind::all:
            ++documentVersion_;
            pageVersions_.clear();
            return;
        case RenderInvalidation::Kind::pages:
            // No cached image is dropped: every lookup compares its stamp with the page's version.
            for (const std::string& pageId : invalidation.pageIds()) ++pageVersions_[pageId];
            return;
    }
}

void Workspace::refreshPage() {
    zoomSettling_ = false;
    if (!sessionId() || !selectedPageId() || !currentPage()) {
        setPageImage(QImage());
        setPageTiles({});
    }
    // The page image itself comes from the worker's render of the page, requested by the render
    // pass; until it answers the canvas keeps the image it has.
}

}  // namespace kivo
