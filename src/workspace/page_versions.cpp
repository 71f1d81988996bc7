#include "workspace/page_versions.hpp"

namespace kivo {

PageVersion PageVersions::of(const std::string& pageId) const {
    const auto found = pages_.find(pageId);
    return PageVersion{document_, found != pages_.end() ? found->second : 0};
}

bool PageVersions::advance(const RenderInvalidation& invalidation) {
    switch (invalidation.kind()) {
        case RenderInvalidation::Kind::none: return false;
        case RenderInvalidation::Kind::all:
            ++document_;
            pages_.clear();
            return true;
        case RenderInvalidation::Kind::pages:
            for (const std::string& pageId : invalidation.pageIds()) ++pages_[pageId];
            return true;
    }
    return false;
}

}  // namespace kivo
