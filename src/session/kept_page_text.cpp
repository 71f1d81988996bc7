#include "session/kept_page_text.hpp"

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf.h>

#include <iterator>
#include <set>

namespace kivo {

namespace {

// What a page costs beyond its letters and id: its entry in the map and in the list of ages.
constexpr std::size_t entryOverhead = 128;

}  // namespace

// PDFium's search lower-cases page and query alike, cuts the query into words at its spaces, and takes
// a match where the words follow one another with only spaces, line breaks or no-break spaces between
// them; its text of a page holds the page's characters in order, less some it cannot print and with
// U+FFFE for a hyphen that ends a line. Folding and dropping here go code point by code point, so a
// match's letters are found in a row in the page's letters: white space, punctuation, hyphens and
// whatever cannot be printed are dropped on both sides, and two characters with the same lower case
// keep the same letters (for every character of the Basic Multilingual Plane this build knows, its
// folded letters are those of its lower case: U+0130 folds to an i with a dot above, a mark that is
// dropped, and lower-cases to a plain i). A query beyond that plane is matched against the page's
// characters by full case folding, which these letters keep too.
std::optional<std::string> KeptPageText::comparable(std::u16string_view units) {
    icu::UnicodeString folded(units.data(), static_cast<int32_t>(units.size()));
    folded.foldCase(U_FOLD_CASE_DEFAULT);
    icu::UnicodeString letters;
    for (int32_t i = 0; i < folded.length();) {
        const UChar32 code = folded.char32At(i);
        i += U16_LENGTH(code);
        if (code <= 0xFFFF && u_charType(code) == U_UNASSIGNED && !U_IS_UNICODE_NONCHAR(code))
            return std::nullopt;
        if (u_isalnum(code)) letters.append(code);
    }
    std::string out;
    letters.toUTF8String(out);
    return out;
}

bool KeptPageText::mayHold(const std::string& pageId, const std::optional<std::string>& query) const {
    if (!query || query->empty()) return true;
    const auto page = pages_.find(pageId);
    if (page == pages_.end() || !page->second.letters) return true;
    return page->second.letters->find(*query) != std::string::npos;
}

bool KeptPageText::keep(const std::string& pageId, std::u16string_view units, int pageObject, bool makeRoom) {
    Page page{comparable(units), pageObject, {}};
    const std::size_t size = cost(pageId, page);
    const auto known = pages_.find(pageId);
    const std::size_t replaced = known != pages_.end() ? cost(pageId, known->second) : 0;
    if (!makeRoom && bytes_ - replaced + size > bound_) return false;
    if (known != pages_.end()) erase(known);
    if (size > bound_) return false;
    while (bytes_ + size > bound_ && !ages_.empty()) erase(pages_.find(ages_.front()));
    page.age = ages_.insert(ages_.end(), pageId);
    pages_.emplace(pageId, std::move(page));
    bytes_ += size;
    return true;
}

void KeptPageText::forget(const std::vector<std::string>& pageIds) {
    std::set<int> objects;
    for (const std::string& pageId : pageIds) {
        const auto page = pages_.find(pageId);
        if (page == pages_.end()) continue;
        if (page->second.pageObject != 0) objects.insert(page->second.pageObject);
        erase(page);
    }
    if (objects.empty()) return;
    for (auto page = pages_.begin(); page != pages_.end();) {
        const auto next = std::next(page);
        if (objects.count(page->second.pageObject) != 0) erase(page);
        page = next;
    }
}

void KeptPageText::clear() noexcept {
    pages_.clear();
    ages_.clear();
    bytes_ = 0;
}

std::size_t KeptPageText::cost(const std::string& pageId, const Page& page) {
    return entryOverhead + 2 * pageId.size() + (page.letters ? page.letters->size() : 0);
}

void KeptPageText::erase(std::map<std::string, Page>::iterator page) {
    bytes_ -= cost(page->first, page->second);
    ages_.erase(page->second.age);
    pages_.erase(page);
}

}  // namespace kivo
