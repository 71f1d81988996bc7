#pragma once

// What each page of a session's document says, as far as a search can tell, kept after the page's
// text was read once: a second search then reads only the pages that may hold its query, instead of
// loading every page of a long document again. It only ever rules pages out; every page that may
// hold the query is searched by PDFium as before, so what a search finds stays the same.
//
// A page is kept as its comparable letters (see comparable): PDFium's search matches a query
// word for word, case-insensitively, with only white space between the words; its matches read the
// same once case is folded and everything but letters and digits is dropped, so a page whose
// letters do not hold the query's cannot match. PDFium lower-cases with its own copy of Unicode's
// tables, which may be newer than this build's: a page holding a character of the Basic Multilingual
// Plane this build does not know is never ruled out, and a query holding one rules out no page.
//
// Kept text is bounded in bytes; past the bound the page kept longest ago goes first.

#include <cstddef>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

class KeptPageText {
public:
    // About a thousand pages of dense prose per document; the 117 pages of mathematics of the shared
    // sample keep 115 KiB.
    static constexpr std::size_t defaultBound = 4 * 1024 * 1024;

    explicit KeptPageText(std::size_t bound = defaultBound) : bound_(bound) {}

    // The letters and digits of `units` (UTF-16, lone surrogates allowed) with case folded and
    // everything else dropped, as UTF-8; nothing when a code point of the Basic Multilingual Plane
    // is not one this build of Unicode knows.
    static std::optional<std::string> comparable(std::u16string_view units);

    // Whether the page may hold a query whose comparable letters are `query`: true for a page not
    // kept, a query without letters or digits, and a query of unknown letters (nothing).
    bool mayHold(const std::string& pageId, const std::optional<std::string>& query) const;
    bool knows(const std::string& pageId) const { return pages_.count(pageId) != 0; }

    // Keeps the page's text as PDFium reported it, one unit per character (see comparable), with
    // the number of its page object (0 when unknown). A page larger than the bound is not kept, and
    // without `makeRoom` neither is one that would make another page go. Answers whether it was kept.
    bool keep(const std::string& pageId, std::u16string_view units, int pageObject, bool makeRoom = true);
    // Forgets these pages and every page kept from the same page object as one of them.
    void forget(const std::vector<std::string>& pageIds);
    void clear() noexcept;

    std::size_t bytes() const { return bytes_; }
    std::size_t bound() const { return bound_; }

private:
    struct Page {
        // Nothing when the page may hold anything.
        std::optional<std::string> letters;
        int pageObject = 0;
        std::list<std::string>::iterator age;
    };

    static std::size_t cost(const std::string& pageId, const Page& page);
    void erase(std::map<std::string, Page>::iterator page);

    std::size_t bound_;
    std::size_t bytes_ = 0;
    std::map<std::string, Page> pages_;
    // Page ids, kept longest ago first.
    std::list<std::string> ages_;
};

}  // namespace kivo
