#include "assistant/answer_grounding.hpp"

#include <array>
#include <charconv>
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
    for (const auto& [target, replacement] : kNormalisation) PlainText::replaceAll(lowered, target, replacement);
    return TextMatch::collapsedWhitespace(lowered);
}

bool appears(std::string_view quote, std::string_view text) {
    // Both sides composed, so canonically equivalent spellings meet byte for byte.
    const std::string haystack = TextMatch::composed(normalize(text));
    const auto pieces =
        PlainText::cutAt(PlainText::cutAt({TextMatch::composed(normalize(quote))}, "..."), "\xE2\x80\xA6");
    std::vector<std::string_view> fragments;
    for (const auto& piece : pieces) {
        const auto fragment = trimmedOfSpacesAndTabs(piece);
        if (!fragment.empty()) fragments.push_back(fragment);
    }
    if (fragments.empty()) return false;
    std::size_t from = 0;
    for (const auto fragment : fragments) {
        const std::size_t at = haystack.find(fragment, from);
        if (at == std::string::npos) return false;
        from = at + fragment.size();
    }
    return true;
}

Verdict verify(std::int64_t page, const std::optional<std::string>& quote, const AssistantContext& context) {
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
        if (appears(*quote, text)) return confirmed(*quote);
    }
    return {Verdict::Kind::quoteNotFound, std::nullopt};
}

GroundedAnswer ground(std::string_view text, const AssistantContext& context) {
    const auto split = TextMatch::splitAtMatches(citationPattern, text);
    if (!split) return {std::string(text), {}, {}};
    GroundedAnswer answer;
    for (const auto& match : split->matches) {
        answer.text += match.before;
        const std::int64_t page = match.groups[0] ? pageNumber(*match.groups[0]) : 0;
        std::optional<std::string> quote = match.groups[1] ? match.groups[1] : match.groups[2];
        if (quote) quote = TextMatch::trimmed(*quote);
        const std::string number = std::to_string(page);
        const Verdict verdict = verify(page, quote, context);
        switch (verdict.kind) {
            case Verdict::Kind::pageNotRead:
                answer.notes.push_back("Removed a citation to page " + number +
                                       ", which is not in the text the assistant read.");
                answer.text += "[p. " + number + ": not in the text the assistant read]";
                break;
            case Verdict::Kind::quoteNotFound:
                answer.notes.push_back("Removed a citation to page " + number + ": its quote is not on that page.");
                answer.text += "[p. " + number + ": quote not found on that page]";
                break;
            case Verdict::Kind::confirmed:
                if (std::find(answer.claims.begin(), answer.claims.end(), *verdict.claim) == answer.claims.end()) {
                    answer.claims.push_back(*verdict.claim);
                }
                answer.text += match.matched;
                break;
        }
    }
    answer.text += split->rest;
    return answer;
}

}  // namespace kivo::AnswerGrounding
