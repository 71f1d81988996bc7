#include "assistant/answer_grounding.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <charconv>
#include <functional>
#include <map>
#include <utility>

#include "assistant/plain_text.hpp"
#include "core/text.hpp"
#include "core/text_match.hpp"

namespace kivo::AnswerGrounding {

// The curly quotes U+201C and U+201D stand as ICU escapes, so the source stays plain ASCII.
const std::string_view citationPattern =
    R"re(\[\s*(?:pp?\.?|page)\s*(\d+)\s*(?:[:,]\s*(?:"([^"\]]*)"|\u201C([^\u201D\]]*)\u201D))?\s*\])re";

namespace {

// Applied in this order; the first four are a backslash and a letter as they stand in text.
constexpr std::array<std::pair<std::string_view, std::string_view>, 13> kNormalisation{{
    {"\\r\\n", " "},
    {"\\n", " "},
    {"\\r", " "},
    {"\\t", " "},
    {"\xE2\x80\x9C", "\""},  // “
    {"\xE2\x80\x9D", "\""},  // ”
    {"\xE2\x80\x98", "'"},   // ‘
    {"\xE2\x80\x99", "'"},   // ’
    {"\xE2\x80\x93", "-"},   // en dash
    {"\xE2\x80\x94", "-"},   // em dash
    {"\xE2\x80\xB9", "<"},   // ‹
    {"\xE2\x80\xBA", ">"},   // ›
    {"\xC2\xAD", ""},        // soft hyphen
}};

std::string_view trimmedOfSpacesAndTabs(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

constexpr std::string_view kLeftCurly = "\xE2\x80\x9C";   // “
constexpr std::string_view kRightCurly = "\xE2\x80\x9D";  // ”

// One citation found in an answer: where it stands, its page digits and its quote, if any.
struct FoundCitation {
    std::size_t start = 0;
    std::size_t end = 0;
    std::string_view digits;
    std::optional<std::string_view> quote;
};

// Finds the citations of `citationPattern`, left to right and without overlap, as the pattern
// would, in time linear in the text. The pattern run by a backtracking engine rescans the rest of
// the text from every "[p1:“" that never closes, which on a long reply takes minutes; here the
// scans a failed candidate shares with the next (to a closing quote, over the white space after
// it) are remembered, so no byte is looked at more than a few times.
class CitationScanner {
public:
    explicit CitationScanner(std::string_view text) : text_(text) {}

    // The next citation at or after `from`.
    std::optional<FoundCitation> next(std::size_t from) {
        for (std::size_t at = text_.find('[', from); at != std::string_view::npos;
             at = text_.find('[', at + 1)) {
            if (auto found = citationAt(at)) return found;
        }
        return std::nullopt;
    }

private:
    // The code point at `at` and the position after it; ill-formed bytes are -1 and one byte.
    std::pair<UChar32, std::size_t> decode(std::size_t at) const {
        std::int32_t offset = static_cast<std::int32_t>(at);
        UChar32 c = 0;
        U8_NEXT(text_.data(), offset, static_cast<std::int32_t>(text_.size()), c);
        return {c, static_cast<std::size_t>(offset)};
    }

    // Past the code points from `at` on that `holds` takes (UBool(UChar32), as ICU's properties are).
    std::size_t skipWhile(std::size_t at, UBool (*holds)(UChar32)) const {
        while (at < text_.size()) {
            const auto [c, after] = decode(at);
            if (c < 0 || !holds(c)) break;
            at = after;
        }
        return at;
    }
    // White space as the pattern's \s takes it (the White_Space property), digits as its \d (Nd).
    std::size_t skipSpace(std::size_t at) const { return skipWhile(at, u_isUWhiteSpace); }
    std::size_t skipDigits(std::size_t at) const { return skipWhile(at, u_isdigit); }

    bool isLetter(std::size_t at, char lower) const {
        return at < text_.size() && (text_[at] == lower || text_[at] == lower - ('a' - 'A'));
    }

    // "page", "pp.", "pp", "p." or "p" in any letter case, and the position after it. Taking the
    // longest form is the only choice that can still be followed by the digits.
    std::optional<std::size_t> skipPrefix(std::size_t at) const {
        if (isLetter(at, 'p') && isLetter(at + 1, 'a') && isLetter(at + 2, 'g') && isLetter(at + 3, 'e'))
            return at + 4;
        if (!isLetter(at, 'p')) return std::nullopt;
        ++at;
        if (isLetter(at, 'p')) ++at;
        if (at < text_.size() && text_[at] == '.') ++at;
        return at;
    }

    // The first closing `mark` or ']' at or after `from`; the answer of the last look is reused
    // when `from` lies before it, since nothing between can stop the quote.
    struct StopMemo {
        std::size_t from = std::string_view::npos;
        std::size_t stop = 0;
    };
    std::size_t quoteStop(std::size_t from, std::string_view mark, StopMemo& memo) const {
        if (memo.from != std::string_view::npos && from >= memo.from && from <= memo.stop) return memo.stop;
        std::size_t at = from;
        for (;;) {
            at = text_.find_first_of(mark.size() == 1 ? std::string_view("\"]") : std::string_view("]\xE2"),
                                     at);
            if (at == std::string_view::npos || text_[at] == ']' || text_.substr(at, mark.size()) == mark)
                break;
            ++at;
        }
        memo = {from, at == std::string_view::npos ? text_.size() : at};
        return memo.stop;
    }

    // The end of a quote opened at `at` by `open` and closed by `close`, with its body.
    std::optional<std::pair<std::size_t, std::string_view>> quote(std::size_t at, std::string_view open,
                                                                  std::string_view close,
                                                                  StopMemo& memo) const {
        if (text_.substr(at, open.size()) != open) return std::nullopt;
        const std::size_t body = at + open.size();
        const std::size_t stop = quoteStop(body, close, memo);
        if (stop >= text_.size() || text_[stop] == ']') return std::nullopt;
        return std::pair{stop + close.size(), text_.substr(body, stop - body)};
    }

    std::optional<FoundCitation> citationAt(std::size_t start) {
        std::size_t at = skipSpace(start + 1);
        const auto prefixEnd = skipPrefix(at);
        if (!prefixEnd) return std::nullopt;
        const std::size_t digitsStart = skipSpace(*prefixEnd);
        const std::size_t digitsEnd = skipDigits(digitsStart);
        if (digitsEnd == digitsStart) return std::nullopt;
        FoundCitation found{start, 0, text_.substr(digitsStart, digitsEnd - digitsStart), std::nullopt};
        at = skipSpace(digitsEnd);
        if (at < text_.size() && (text_[at] == ':' || text_[at] == ',')) {
            const std::size_t open = skipSpace(at + 1);
            auto quoted = quote(open, "\"", "\"", straight_);
            if (!quoted) quoted = quote(open, kLeftCurly, kRightCurly, curly_);
            if (!quoted) return std::nullopt;
            found.quote = quoted->second;
            // Candidates that share this closing quote share the white space after it.
            if (afterQuote_.from != quoted->first) afterQuote_ = {quoted->first, skipSpace(quoted->first)};
            at = afterQuote_.stop;
        }
        if (at >= text_.size() || text_[at] != ']') return std::nullopt;
        found.end = at + 1;
        return found;
    }

    std::string_view text_;
    StopMemo straight_;
    StopMemo curly_;
    StopMemo afterQuote_;
};

// ASCII digits within the 64-bit range, else 0 (a page no excerpt has).
std::int64_t pageNumber(const std::string& digits) {
    std::int64_t value = 0;
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) return 0;
    return value;
}

}  // namespace

std::string normalize(std::string_view text) {
    std::string lowered = TextMatch::lowercased(text);
    for (const auto& [target, replacement] : kNormalisation)
        PlainText::replaceAll(lowered, target, replacement);
    return TextMatch::collapsedWhitespace(lowered);
}

namespace {

// Both sides composed, so canonically equivalent spellings meet byte for byte.
std::string searchable(std::string_view text) { return TextMatch::composed(normalize(text)); }

// The first place of `needle` in `haystack` at or after `from`, in time linear in both (a plain
// search may compare a near miss again at every place of a repetitive page).
std::size_t findFrom(std::string_view haystack, std::string_view needle, std::size_t from) {
    if (needle.empty()) return from <= haystack.size() ? from : std::string_view::npos;
    std::vector<std::size_t> border(needle.size(), 0);
    for (std::size_t i = 1, k = 0; i < needle.size(); ++i) {
        while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
        if (needle[i] == needle[k]) ++k;
        border[i] = k;
    }
    for (std::size_t i = from, k = 0; i < haystack.size(); ++i) {
        while (k > 0 && haystack[i] != needle[k]) k = border[k - 1];
        if (haystack[i] == needle[k]) ++k;
        if (k == needle.size()) return i + 1 - k;
    }
    return std::string_view::npos;
}

// `appears` against a page text already made searchable.
bool appearsIn(std::string_view quote, std::string_view haystack) {
    const auto pieces = PlainText::cutAt(PlainText::cutAt({searchable(quote)}, "..."), "\xE2\x80\xA6");
    std::vector<std::string_view> fragments;
    for (const auto& piece : pieces) {
        const auto fragment = trimmedOfSpacesAndTabs(piece);
        if (!fragment.empty()) fragments.push_back(fragment);
    }
    if (fragments.empty()) return false;
    std::size_t from = 0;
    for (const auto fragment : fragments) {
        const std::size_t at = findFrom(haystack, fragment, from);
        if (at == std::string_view::npos) return false;
        from = at + fragment.size();
    }
    return true;
}

using Searchable = std::function<std::string_view(std::string_view text)>;

Verdict judge(std::int64_t page, const std::optional<std::string>& quote, const AssistantContext& context,
              const Searchable& haystackOf) {
    std::int64_t index = 0;
    if (__builtin_sub_overflow(page, 1, &index)) return {Verdict::Kind::pageNotRead, std::nullopt};
    std::vector<std::string_view> texts;
    std::string pageId;
    for (const auto& contextPage : context.pages) {
        if (contextPage.pageIndex == index) {
            texts.push_back(contextPage.text);
            pageId = contextPage.pageId;
            break;
        }
    }
    if (context.selection && context.selection->pageIndex == index) {
        texts.push_back(context.selection->text);
        pageId = context.selection->pageId;
    }
    if (texts.empty()) return {Verdict::Kind::pageNotRead, std::nullopt};
    const auto confirmed = [&](std::optional<std::string> kept) {
        return Verdict{Verdict::Kind::confirmed, CitationClaim{pageId, index, std::move(kept)}};
    };
    if (!quote) return confirmed(std::nullopt);
    std::string checked = normalize(*quote);
    std::erase(checked, ' ');
    if (graphemeCount(checked) < 3) return confirmed(std::nullopt);
    for (const auto text : texts) {
        if (appearsIn(*quote, haystackOf(text))) return confirmed(*quote);
    }
    return {Verdict::Kind::quoteNotFound, std::nullopt};
}

}  // namespace

bool appears(std::string_view quote, std::string_view text) { return appearsIn(quote, searchable(text)); }

Verdict verify(std::int64_t page, const std::optional<std::string>& quote, const AssistantContext& context) {
    std::string haystack;
    return judge(page, quote, context, [&](std::string_view text) -> std::string_view {
        haystack = searchable(text);
        return haystack;
    });
}

GroundedAnswer ground(std::string_view text, const AssistantContext& context, std::stop_token stop) {
    // Each page text is made searchable once per answer, however many citations quote it.
    std::map<const char*, std::string> haystacks;
    const Searchable haystackOf = [&](std::string_view page) -> std::string_view {
        auto found = haystacks.find(page.data());
        if (found == haystacks.end()) found = haystacks.emplace(page.data(), searchable(page)).first;
        return found->second;
    };
    // A citation written again is judged once, and counts once against the bound.
    std::map<std::pair<std::int64_t, std::optional<std::string>>, Verdict> judged;
    bool unchecked = false;

    GroundedAnswer answer;
    CitationScanner scanner(text);
    std::size_t cursor = 0;
    while (const auto found = scanner.next(cursor)) {
        answer.text.append(text.substr(cursor, found->start - cursor));
        cursor = found->end;
        const std::int64_t page = pageNumber(std::string(found->digits));
        std::optional<std::string> quote;
        if (found->quote) quote = TextMatch::trimmed(*found->quote);
        const std::string number = std::to_string(page);
        auto verdict = judged.find({page, quote});
        if (verdict == judged.end()) {
            if (judged.size() >= maximumCheckedCitations || stop.stop_requested()) {
                unchecked = true;
                answer.text += "[p. " + number + ": not checked]";
                continue;
            }
            verdict = judged.emplace(std::pair{page, quote}, judge(page, quote, context, haystackOf)).first;
        }
        switch (verdict->second.kind) {
            case Verdict::Kind::pageNotRead:
                answer.notes.push_back("Removed a citation to page " + number +
                                       ", which is not in the text the assistant read.");
                answer.text += "[p. " + number + ": not in the text the assistant read]";
                break;
            case Verdict::Kind::quoteNotFound:
                answer.notes.push_back("Removed a citation to page " + number +
                                       ": its quote is not on that page.");
                answer.text += "[p. " + number + ": quote not found on that page]";
                break;
            case Verdict::Kind::confirmed: {
                const CitationClaim& claim = *verdict->second.claim;
                if (std::find(answer.claims.begin(), answer.claims.end(), claim) == answer.claims.end()) {
                    answer.claims.push_back(claim);
                }
                answer.text.append(text.substr(found->start, found->end - found->start));
                break;
            }
        }
    }
    answer.text.append(text.substr(cursor));
    if (unchecked) answer.notes.emplace_back(uncheckedNote);
    return answer;
}

}  // namespace kivo::AnswerGrounding
