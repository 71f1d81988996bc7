#pragma once

// What the census found on each page of a session's document, kept until something changes that
// page: after an edit to one page of a long document, the next census reads one page instead of
// all of them. The cache does not read pages itself; the session hands it the reader.
//
// Pages can share what the census reads: a page tree may list one page object twice, and pages
// may share one annotation list or list the same annotation. An edit to one of them changes all of
// them, so the cache forgets them together, and a page object listed twice is read once.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/document_records.hpp"
#include "core/shared_value.hpp"

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
    // What is known of each page, shared with the copies snapshots keep. The entries are held in
    // buckets that copies share too: a copy of a long document's census copies a pointer per bucket,
    // and a change to one page copies its bucket only, not a thousand entries with their page ids.
    class Pages {
    public:
        using Entry = std::shared_ptr<const PageCensus>;

        // The entry of `pageId`, or null.
        const Entry* find(const std::string& pageId) const;
        // Sets the entry of `pageId` and answers what it now holds.
        const PageCensus& set(const std::string& pageId, Entry entry);
        void erase(const std::string& pageId);
        // Erases every entry `drop` answers true for.
        void eraseIf(const std::function<bool(const PageCensus&)>& drop);

    private:
        using Bucket = std::unordered_map<std::string, Entry>;
        static constexpr std::size_t bucketCount = 64;
        static std::size_t bucketOf(const std::string& pageId) {
            return std::hash<std::string>{}(pageId) % bucketCount;
        }
        // The bucket, copied first while another copy shares it.
        Bucket& writable(std::size_t bucket);

        std::array<std::shared_ptr<Bucket>, bucketCount> buckets_{};
    };

    // The census of a whole document, in page order; subtypes only for pages that have any.
    struct Census {
        std::vector<AnnotationInfo> items;
        SharedValue<std::map<std::string, std::map<std::string, std::int64_t>>> subtypes;
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
        writable().set(pageId, std::make_shared<const PageCensus>(std::move(census)));
        current_ = false;
    }
    // Forgets these pages and every known page that shares its page object or an annotation with
    // one of them, so that the next census reads them again.
    void forget(const std::vector<std::string>& pageIds) { forget(pageIds, true); }
    // The same for a page whose list is only added to: pages that list an annotation it lists read
    // as they did, as none of those annotations changed.
    void forgetAddedTo(std::string_view pageId) { forget({std::string(pageId)}, false); }
    void clear() {
        pages_ = std::make_shared<Pages>();
        current_ = standing_ = false;
        forgotten_.clear();
        last_ = {};
    }

    // An edit begins. What it changes may reach pages it does not name (an annotation list two pages
    // share), so until the session vouches for it no known entry is taken as it stands.
    void beginEdit() {
        standing_ = current_;
        current_ = false;
        forgotten_.clear();
    }
    // The pages this edit forgot by name, each with the page object it was read from (0 when it was
    // not known): the pages whose annotation lists the session may vouch for.
    const std::map<std::string, int>& forgottenByName() const { return forgotten_; }
    // The session vouches that the edit changed nothing but the annotation lists of the pages it
    // forgot by name, each list its page object's own: every other entry stands as before the edit.
    void editStayedOnItsPages() {
        if (!forgotten_.empty()) current_ = standing_;
    }

    // What the cache knows, kept with a state of the history.
    struct Kept {
        std::shared_ptr<const Pages> pages;
        // Every known entry is what that state's bytes read (the last census placed every page, and
        // nothing changed since but what was forgotten), so returning to them needs no page placed again.
        bool whole = false;
        // How many annotations each of `pages` lists, as the census placed them, for the limit on
        // what one document may list; nothing unless the census is whole and knows every page.
        std::optional<std::vector<std::int64_t>> listed(const std::vector<PageInfo>& pages) const;
    };

    // A copy of what the cache knows, and such a copy taken back when the history returns to that
    // state (a null copy changes nothing). While the known entries are current (a whole copy taken
    // back, a census since which nothing changed, an edit the session vouched for), the next census
    // takes every known page as it stands instead of placing it again: on a long document placing
    // every page was most of what an undo or an edit cost. Copy and cache share the entries until
    // one of them changes, so neither a copy nor a return copies a long document's census.
    std::shared_ptr<const Kept> snapshot() const {
        return std::make_shared<const Kept>(Kept{pages_, current_});
    }
    void adopt(const std::shared_ptr<const Kept>& kept) {
        if (!kept) return;
        // Never changed in place while shared: see writable.
        pages_ = std::const_pointer_cast<Pages>(kept->pages);
        current_ = kept->whole;
        standing_ = false;
        forgotten_.clear();
    }

private:
    void forget(const std::vector<std::string>& pageIds, bool withAnnotations);
    // The entries, copied first when a snapshot shares them.
    Pages& writable() {
        if (pages_.use_count() > 1) pages_ = std::make_shared<Pages>(*pages_);
        return *pages_;
    }

    std::shared_ptr<Pages> pages_ = std::make_shared<Pages>();
    // The counts by page of the last census, the pages it was of, in their order, and the entry each
    // page's counts came from. A census of the same pages changes only the counts of the entries
    // replaced since, in place where nothing else holds them any more: on a long document, writing
    // out every page's counts was most of what the census of an edit cost.
    struct LastCounts {
        std::vector<std::string> pageIds;
        std::vector<Pages::Entry> entries;
        SharedValue<std::map<std::string, std::map<std::string, std::int64_t>>> counts;
    };
    LastCounts last_;
    // Every known entry is what the document reads now.
    bool current_ = false;
    // Whether they were as the edit under way began.
    bool standing_ = false;
    std::map<std::string, int> forgotten_;
};

}  // namespace kivo
