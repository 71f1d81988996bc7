#pragma once

// Checks every page citation of a model's answer against the page text the assistant sent
// (the `AssistantContext`), rewrites each one it cannot confirm so that the user sees it
// failed, and returns the confirmed ones as claims. Pure text work: it calls nothing, keeps no
// state and never fails.

#include <cstdint>
#include <optional>
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

GroundedAnswer ground(std::string_view text, const AssistantContext& context);

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
