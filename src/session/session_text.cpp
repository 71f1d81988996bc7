#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <utility>

#include "core/text.hpp"
#include "session/running_command.hpp"
#include "session/session.hpp"
#include "session/session_internal.hpp"
#include "session/wide_string.hpp"

namespace kivo {

using namespace pdfium;

namespace {

std::string decodeUnits(const std::u16string& units) {
    return WideString::decode({reinterpret_cast<const uint16_t*>(units.data()), units.size()});
}

// A search stops collecting here; the rest of the pages still report progress.
constexpr std::size_t maxSearchHits = 200;

// Where a query occurs on a page, as PDFium's character index and count of each match, at most `limit`.
using Matches = std::vector<std::pair<int, int>>;

bool outsideBasicPlane(const std::u16string& units) {
    return std::any_of(units.begin(), units.end(),
                       [](char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; });
}

char16_t keptUnit(unsigned int code) { return static_cast<char16_t>(code <= 0xFFFF ? code : 0xFFFD); }

Matches pdfiumMatches(FPDF_TEXTPAGE textPage, const std::u16string& what, std::size_t limit) {
    Matches out;
    ScopedSearch handle(FPDFText_FindStart(textPage, what, 0, 0));
    if (!handle) return out;
    while (out.size() < limit && FPDFText_FindNext(handle.get())) {
        const int count = FPDFText_GetSchCount(handle.get());
        if (count <= 0) break;  // a match of nothing would be found again and again
        out.emplace_back(FPDFText_GetSchResultIndex(handle.get()), count);
    }
    return out;
}

// The page's characters as PDFium reports them, one UTF-16 unit each: a character beyond the Basic
// Multilingual Plane reported whole becomes U+FFFD.
std::u16string pageUnits(FPDF_TEXTPAGE textPage) {
    const int count = std::max(0, FPDFText_CountChars(textPage));
    std::u16string units;
    units.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) units += keptUnit(FPDFText_GetUnicode(textPage, i));
    return units;
}

// PDFium keeps a character outside the Basic Multilingual Plane as two characters, one per surrogate, yet
// reads the query's pair as one character, so its search never finds one. Such a query is matched here
// against the page's characters (see pageUnits), ignoring case as PDFium's search does.
Matches unitMatches(const std::u16string& units, const std::u16string& what, std::size_t limit) {
    Matches out;
    const icu::UnicodeString page(units.data(), static_cast<int32_t>(units.size()));
    const icu::UnicodeString query(what.data(), static_cast<int32_t>(what.size()));
    const int count = page.length();
    const int length = query.length();
    for (int start = 0; start + length <= count && out.size() < limit;) {
        if (page.caseCompare(start, length, query, U_FOLD_CASE_DEFAULT) == 0) {
            out.emplace_back(start, length);
            start += length;
        } else {
            ++start;
        }
    }
    return out;
}

// The query trimmed, or the failure a blank one or one holding U+0000 gets.
std::string_view checkedQuery(std::string_view query) {
    const std::string_view trimmed = trimWhitespaceAndNewlines(query);
    if (trimmed.empty()) throw EngineFailure(FailureCode::invalidArgument, "search requires a query.");
    // PDFium takes the query up to its first U+0000, and an empty one never finishes.
    if (trimmed.find('\0') != std::string_view::npos) {
        throw EngineFailure(FailureCode::invalidArgument, "A search query cannot hold the character U+0000.");
    }
    return trimmed;
}

}  // namespace

namespace session_detail {

std::u16string utf16Units(std::uint32_t code) {
    if (code >= 0x10000 && code <= 0x10FFFF) {
        const std::uint32_t v = code - 0x10000;
        return {static_cast<char16_t>(0xD800 + (v >> 10)), static_cast<char16_t>(0xDC00 + (v & 0x3FF))};
    }
    if (code > 0x10FFFF) return std::u16string(1, u'\uFFFD');
    // Surrogate values pass through as they are; decoding turns a lone one into U+FFFD.
    return std::u16string(1, static_cast<char16_t>(code));
}

}  // namespace session_detail

Session::ExtractedText Session::extractText(std::string_view pageId) const {
    const OpenPage& page = readPage(pageId);
    ScopedTextPage textPage(FPDFText_LoadPage(page.get()));
    ExtractedText result;
    if (!textPage) return result;
    const int count = std::max(0, FPDFText_CountChars(textPage.get()));
    result.chars.reserve(static_cast<size_t>(count));
    std::u16string text;
    std::u16string units;
    units.reserve(static_cast<size_t>(count));
    // PDFium hands out a character beyond the Basic Multilingual Plane as two characters, one per
    // surrogate. The first of them carries the whole character and the second an empty text, so
    // runs keep PDFium's indexes and still join into the page text.
    unsigned int code = count > 0 ? FPDFText_GetUnicode(textPage.get(), 0) : 0;
    bool lowHalf = false;
    for (int i = 0; i < count; ++i) {
        const unsigned int next = i + 1 < count ? FPDFText_GetUnicode(textPage.get(), i + 1) : 0;
        double left = 0, right = 0, bottom = 0, top = 0;
        if (!FPDFText_GetCharBox(textPage.get(), i, &left, &right, &bottom, &top))
            left = right = bottom = top = 0;
        const std::u16string own = session_detail::utf16Units(code);
        units += keptUnit(code);
        TextRun run;
        run.index = i;
        const bool pairStart = code >= 0xD800 && code <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF;
        if (code != 0) {
            text += own;
            if (pairStart) {
                run.unicode = decodeUnits(own + session_detail::utf16Units(next));
            } else if (!lowHalf) {
                run.unicode = decodeUnits(own);
            }
        } else {
            // Kept as a run so that indexes stay PDFium's, but it adds nothing to the text.
            run.unicode = std::string(1, '\0');
        }
        run.left = session_detail::finiteOrZero(left);
        run.bottom = session_detail::finiteOrZero(bottom);
        run.right = session_detail::finiteOrZero(right);
        run.top = session_detail::finiteOrZero(top);
        result.chars.push_back(std::move(run));
        lowHalf = pairStart;
        code = next;
    }
    result.text = decodeUnits(text);
    keepText(std::string(pageId), units);
    return result;
}

bool Session::keepText(const std::string& pageId, std::u16string_view units, bool makeRoom) const {
    const PageInfo& info = pageEntry(pageId);
    return keptText_.keep(pageId, units,
                          EPDFDoc_GetPageObjectNumberByIndex(document_.get(), static_cast<int>(info.index)),
                          makeRoom);
}

ScopedPage Session::textPageSource(int index) const {
    if (backingBytes_ != loadedBytes_) {
        stopReadingAhead();
        return ScopedPage(FPDF_LoadPage(document_.get(), index));
    }
    // Opened again every few pages, so that it never holds much of what pages load.
    constexpr int pagesPerDocument = 32;
    if (!readingDocument_ || readingBytes_ != loadedBytes_ || readingPages_ >= pagesPerDocument) {
        stopReadingAhead();
        if (reader_ != nullptr) reader_->stopReadingAhead();
        readingDocument_ = Document::load(loadedBytes_->data(), loadedBytes_, secretFor(std::nullopt));
        if (!readingDocument_) return ScopedPage(FPDF_LoadPage(document_.get(), index));
        readingBytes_ = loadedBytes_;
        reader_ = this;
    }
    ++readingPages_;
    return ScopedPage(FPDF_LoadPage(readingDocument_.get(), index));
}

bool Session::readTextAhead() const {
    // After an edit that only appended to the bytes, the document holds what they do not.
    if (!document_ || backingBytes_ != loadedBytes_) return false;
    while (readAheadFrom_ < pages_.size()) {
        const PageInfo& info = pages_[readAheadFrom_++];
        if (keptText_.knows(info.id)) continue;
        const ScopedPage page = textPageSource(static_cast<int>(info.index));
        if (!page) return true;
        const ScopedTextPage textPage(FPDFText_LoadPage(page.get()));
        // A page without a text page is searched as one whose text was never kept.
        if (!textPage) return true;
        return keepText(info.id, pageUnits(textPage.get()), false);
    }
    return false;
}

void Session::stopReadingAhead() const noexcept {
    readingDocument_.close();
    readingBytes_.reset();
    readingPages_ = 0;
    if (reader_ == this) reader_ = nullptr;
}

std::vector<SearchHit> Session::search(std::string_view query,
                                       const std::optional<std::string>& pageId) const {
    const std::string_view trimmed = checkedQuery(query);
    std::vector<std::string> ids;
    if (pageId) {
        ids.push_back(*pageId);
    } else {
        for (const PageInfo& page : pages_) ids.push_back(page.id);
    }
    return searchPages(trimmed, ids);
}

std::vector<SearchHit> Session::search(std::string_view query,
                                       const std::vector<std::string>& pageIds) const {
    const std::string_view trimmed = checkedQuery(query);
    return searchPages(trimmed, uniqueExisting(pageIds));
}

std::vector<SearchHit> Session::searchPages(std::string_view trimmed,
                                            const std::vector<std::string>& ids) const {
    const std::u16string what = session_detail::toUtf16(trimmed);
    const bool unitWise = outsideBasicPlane(what);
    const std::optional<std::string> letters = KeptPageText::comparable(what);
    std::vector<SearchHit> hits;
    const auto total = static_cast<std::int64_t>(ids.size());
    for (std::int64_t k = 0; k < total; ++k) {
        RunningCommand::step(CommandPhase::searching, k, total);
        // Once the cap is reached the remaining pages still take their progress steps, so a
        // cancel keeps working, but add nothing.
        if (hits.size() >= maxSearchHits) continue;
        const std::string& id = ids[static_cast<size_t>(k)];
        // A page whose text was read before is read again only when it may hold the query.
        if (!keptText_.mayHold(id, letters)) continue;
        // Text comes from the page's content alone: the form environment, which loading for an edit
        // or a render needs, would only add each page's widgets and links to what is thrown away.
        const ScopedPage page = textPageSource(static_cast<int>(pageEntry(id).index));
        ScopedTextPage textPage(FPDFText_LoadPage(page.get()));
        if (!textPage) continue;
        const bool known = keptText_.knows(id);
        const std::u16string units = unitWise || !known ? pageUnits(textPage.get()) : std::u16string();
        if (!known) keepText(id, units);
        const std::size_t room = maxSearchHits - hits.size();
        const Matches matches =
            unitWise ? unitMatches(units, what, room) : pdfiumMatches(textPage.get(), what, room);
        for (const auto& [start, count] : matches) {
            SearchHit hit;
            hit.pageId = id;
            hit.index = start;
            hit.count = count;
            const int rects = FPDFText_CountRects(textPage.get(), start, count);
            for (int r = 0; r < rects; ++r) {
                double left = 0, top = 0, right = 0, bottom = 0;
                FPDFText_GetRect(textPage.get(), r, &left, &top, &right, &bottom);
                hit.rects.push_back(
                    PDFRect{session_detail::finiteOrZero(left), session_detail::finiteOrZero(bottom),
                            session_detail::finiteOrZero(right), session_detail::finiteOrZero(top)});
            }
            std::vector<uint16_t> buffer(count < 1 ? 1 : static_cast<size_t>(count) + 1, 0);
            FPDFText_GetText(textPage.get(), start, count, buffer);
            hit.preview = controlsAsSpaces(WideString::decode(buffer));
            hits.push_back(std::move(hit));
        }
    }
    return hits;
}

}  // namespace kivo
