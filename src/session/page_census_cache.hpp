#pragma once

// What the census found on each page of a session's document, kept until something changes that
// page: after an edit to one page of a long document, the next census reads one page instead of
// all of them. The cache does not read pages itself; the session hands it the reader.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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
    };
    using Pages = std::map<std::string, PageCensus>;

    // The census of a whole document, in page order; subtypes only for pages that have any.
    struct Census {
        std::vector<AnnotationInfo> items;
        std::map<std::string, std::map<std::string, std::int64_t>> subtypes;
        std::vector<FormFieldInfo> fields;
    };

    using Reader = std::function<PageCensus(const std::string& pageId)>;

    // The census of `pages` in their order, reading with `read` (and keeping) each page the cache
    // does not know. Reports the readingAnnotations phase before each page, so a cancel or the
    // memory stop fails it there; the pages read until then stay known. Fails with what `read`
    // fails with.
    Census gather(const std::vector<PageInfo>& pages, const Reader& read);

    // Keeps what a page holds now, read by the caller.
    void keep(const std::string& pageId, PageCensus census) { pages_.insert_or_assign(pageId, std::move(census)); }
    // Forgets these pages, so that the next census reads them again.
    void forget(const std::vector<std::string>& pageIds);
    void clear() { pages_.clear(); }

    // A copy of what the cache knows, to keep with a state of the history, and such a copy taken
    // back when the history returns to that state (a null copy changes nothing).
    std::shared_ptr<const Pages> snapshot() const { return std::make_shared<const Pages>(pages_); }
    void adopt(const std::shared_ptr<const Pages>& pages) {
        if (pages) pages_ = *pages;
    }

private:
    Pages pages_;
};

}  // namespace kivo
