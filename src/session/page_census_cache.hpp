#pragma once

// What the census found on each page of a session's document, kept until something changes that
// page: after an edit to one page of a long document, the next census reads one page instead of
// all of them. The cache does not read pages itself; the session hands it the reader.
//
// Pages can share what the census reads: a page tree may list one page object twice, and pages
// may share one annotation list or list the same annotation. An edit to one of them changes all of
// them, so the cache forgets them together, and a page object listed twice is read once.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/document_records.hpp"

namespace kivo {

class PageCensusCache {
public:
    // What the census found on one page.
    struct PageCensus {
        std::map<std::string, std::int64_t> subtypes;
        std::vector<AnnotationInfo> items;
        std::vector<FormFieldInfo> fields;
        // Where the page stood when it was read (see Placement), and the object numbers of the
        // annotations read: a page sharing any of them with an edited page is read again.
        int pageObject = 0;
        std::int64_t listed = 0;
        std::set<int> annotationObjects;
    };
    using Pages = std::map<std::string, PageCensus>;

    // The census of a whole document, in page order; subtypes only for pages that have any.
    struct Census {
        std::vector<AnnotationInfo> items;
        std::map<std::string, std::map<std::string, std::int64_t>> subtypes;
        std::vector<FormFieldInfo> fields;
    };

    // What can be told of a page without reading its annotations: its page object's number (0 when
    // unknown) and how many entries its annotation list has now.
    struct Placement {
        int pageObject = 0;
        std::int64_t listed = 0;
        bool operator==(const Placement&) const = default;
    };

    using Reader = std::function<PageCensus(const std::string& pageId)>;
    using Locate = std::function<Placement(const std::string& pageId)>;

    // The census of `pages` in their order, reading with `read` (and keeping) each page the cache
    // does not know. With `locate`, a known page whose placement changed (an annotation added to a
    // list it shares with an edited page) is read again, and a page whose page object was read
    // for an earlier page of this census is copied from it rather than read. Reports the
    // readingAnnotations phase before each page, so a cancel or the memory stop fails it there; the
    // pages read until then stay known. Fails with what `read` and `locate` fail with.
    Census gather(const std::vector<PageInfo>& pages, const Reader& read, const Locate& locate = nullptr);

    // Keeps what a page holds now, read by the caller.
    void keep(const std::string& pageId, PageCensus census) {
        pages_.insert_or_assign(pageId, std::move(census));
        whole_ = trusted_ = false;
    }
    // Forgets these pages and every known page that shares its page object or an annotation with
    // one of them, so that the next census reads them again.
    void forget(const std::vector<std::string>& pageIds);
    void clear() {
        pages_.clear();
        whole_ = trusted_ = false;
    }

    // What the cache knows, kept with a state of the history.
    struct Kept {
        Pages pages;
        // The last census read or placed every page of the state and nothing changed since: the
        // entries are what that state's bytes read, so returning to them needs no page placed again.
        bool whole = false;
        // How many annotations each of `pages` lists, as the census placed them, for the limit on
        // what one document may list; nothing unless the census is whole and knows every page.
        std::optional<std::vector<std::int64_t>> listed(const std::vector<PageInfo>& pages) const;
    };

    // A copy of what the cache knows, and such a copy taken back when the history returns to that
    // state (a null copy changes nothing). After a whole copy is taken back, the next census takes
    // every known page as it stands instead of placing it again: on a long document placing every
    // page was most of what an undo cost.
    std::shared_ptr<const Kept> snapshot() const {
        return std::make_shared<const Kept>(Kept{pages_, whole_});
    }
    void adopt(const std::shared_ptr<const Kept>& kept) {
        if (!kept) return;
        pages_ = kept->pages;
        whole_ = kept->whole;
        trusted_ = kept->whole;
    }

private:
    Pages pages_;
    bool whole_ = false;
    bool trusted_ = false;
};

}  // namespace kivo
