#pragma once

// The stamps that tell a render of the open document's pages stale: one number for the whole document
// and one for each page, moved on by the changes. A cached page, tile or thumbnail keeps the stamp it
// was asked at and counts as current only while the page's stamp is still that one, so nothing cached
// has to be dropped when the document changes. A plain value; nothing here fails.

#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/render_cache.hpp"
#include "workspace/workspace_types.hpp"

namespace kivo {

class PageVersions {
public:
    // The page's stamp now; a page no change named yet has 0 beside the document's number.
    PageVersion of(const std::string& pageId) const;
    // The renders `invalidation` names are stale from now on; false, changing nothing, for
    // RenderInvalidation::none().
    bool advance(const RenderInvalidation& invalidation);

private:
    std::int64_t document_ = 0;
    std::unordered_map<std::string, std::int64_t> pages_;
};

}  // namespace kivo
