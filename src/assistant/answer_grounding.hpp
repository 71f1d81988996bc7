#pragma once

// Checks every page citation of a model's answer against the page text the assistant sent
// (the `AssistantContext`), rewrites each one it cannot confirm so that the user sees it
// failed, and returns the confirmed ones as claims. Pure text work: it calls nothing, keeps no
// state and never fails. Its work is bounded by the reply's length and a fixed number of checks.

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/assistant_records.hpp"

namespace kivo {

struct CitationClaim {
    std::string pageId{};
    // Zero-based: the cited page number minus 1.
    std::int64_t pageIndex = 0;
    // As written, trimmed; absent without a quote or when it was too short to check.
    std::optional<std::string> quote{};

    bool operator==(const CitationClaim&) const = default;
};

struct GroundedAnswer {
    // The answer with every unconfirmed citation replaced; everything else unchanged.
    std::string text{};
    // Confirmed citations in order of first appearance, without duplicates.
    std::vector<CitationClaim> claims{};
    // One sentence per replaced citation, in text order.
    std::vector<std::string> notes{};

    bool operator==(const GroundedAnswer&) const = default;
};

namespace AnswerGrounding {

// The citation form the system prompt asks for, in ICU syntax, matched case-insensitively.
extern const std::string_view citationPattern;

struct Verdict {
    enum class Kind { confirmed, pageNotRead, quoteNotFound };
    Kind kind = Kind::pageNotRead;
    // Set when confirmed.
    std::optional<CitationClaim> claim{};

    bool operator==(const Verdict&) const = default;
};

// Different citations judged per answer, at most; each costs one pass over its page's text and
// one look-up of its quote on the page. Citations past these are marked "not checked" in the
// text (as they are once `stop` is requested) and `uncheckedNote` says so once.
inline constexpr std::size_t maximumCheckedCitations = 20;
static_assert(maximumCheckedCitations == 20, "uncheckedNote names the bound");
inline constexpr std::string_view uncheckedNote =
    "This answer has more citations than the assistant checks (20); those marked \"not checked\" were not "
    "compared with the document.";

// Linear in the text: a reply of any length is scanned once.
GroundedAnswer ground(std::string_view text, const AssistantContext& context, std::stop_token stop = {});

// Judges one citation; `page` is the page number as cited (1-based).
Verdict verify(std::int64_t page, const std::optional<std::string>& quote, const AssistantContext& context);

// Whether the quote occurs in the text after normalisation; "..." and "…" in the quote stand
// for omitted words, so its fragments must occur in order.
bool appears(std::string_view quote, std::string_view text);

// Lower-cased, typographic quotes, dashes and angle quotes made plain, escaped line breaks
// and soft hyphens removed, white space collapsed to single spaces and trimmed.
std::string normalize(std::string_view text);

}  // namespace AnswerGrounding

}  // namespace kivo
