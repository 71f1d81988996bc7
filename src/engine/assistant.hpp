#pragma once

// The worker's own document assistant: the reading material handed to a model-backed
// assistant (`assistant_context`) and the local question planner behind `ask_document`.
//
// Everything here is pure logic over plain inputs. The command handlers gather the inputs from
// a session and pass them in, either directly (`AssistantPlanner::respond`) or through
// `AssistantSources`, whose callbacks let the reading stop early and report progress.
//
// Lengths and limits are in user-perceived characters (extended grapheme clusters), and every
// cut falls on a character boundary. Failures are thrown as `EngineFailure`; whatever a source
// callback throws passes through unchanged.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/assistant_records.hpp"
#include "core/commands.hpp"
#include "core/document_records.hpp"

namespace kivo {

// One page read for a question: the page and its full extracted text (not trimmed, not cut).
struct PageExcerpt {
    PageInfo page{};
    std::string text{};

    bool operator==(const PageExcerpt&) const = default;
};

// What the handlers take from a session. The callbacks are called only as far as the reading
// goes: pages past an exhausted budget are never extracted.
struct AssistantSources {
    // The document's current revision.
    std::int64_t revision = 0;
    // The session's pages in page order.
    std::vector<PageInfo> pages{};
    // The full extracted text of one page.
    std::function<std::string(const std::string& pageId)> pageText{};
    // Hits of one search, on one page or (no page) the whole document, in page order.
    std::function<std::vector<SearchHit>(const std::string& query, const std::optional<std::string>& pageId)>
        search{};
    // Every form field of the document, in document order.
    std::function<std::vector<FormFieldInfo>()> fields{};
    // Progress and cancellation point between pages; may be empty. What it throws ends the read.
    std::function<void(CommandPhase phase, std::int64_t completed, std::int64_t total)> step{};
};

// Terms to search the document for, in order: a quoted part of the question, else everything
// after "highlight", else the question's words of three or more letters that are not stop words.
std::vector<std::string> searchTerms(std::string_view query);

// The first capture group of the first case-insensitive match of an ICU pattern, with double
// quotes, apostrophes and spaces removed from both ends. No value when the pattern does not
// compile, does not match, or its first group took no part.
std::optional<std::string> firstCapture(std::string_view pattern, std::string_view text);

// What `ask_document` answers: the answer, and the search hits it rests on (the result's
// `matches`).
struct AskOutcome {
    AssistantAnswer answer{};
    std::vector<SearchHit> matches{};

    bool operator==(const AskOutcome&) const = default;
};

// The `ask_document` command after the session lookup: reads `query`, `scope`, `pageId`,
// `contents` and `rect`; reads the pages in scope, searches the first four terms and answers.
// Throws EngineFailure `invalidArgument` for a blank query and `invalidPage` when a single
// page is asked about in a document without pages.
AskOutcome askDocument(const CommandParams& params, const AssistantSources& sources);

// The `assistant_context` command after the session lookup: reads `scope`, `pageId`,
// `contents`, `rect`, `limit` and `query`. Needs `pageText` and `fields`, and `step` for
// progress in scope "document". Throws EngineFailure `invalidArgument` or `invalidPage` for
// a bad scope, a blank selection or an unknown page; no partial context is returned.
AssistantContext buildAssistantContext(const CommandParams& params, const AssistantSources& sources);

namespace AssistantContextBudget {

// The character budget a request obtains: absent gives the default, anything else is clamped
// into [minimumCharacters, maximumCharacters].
std::int64_t resolve(std::optional<std::int64_t> limit) noexcept;

// The first `characters` user-perceived characters of a text (nothing for a count of 0 or
// less), how many that is, and whether anything was left out.
struct Cut {
    std::string_view text{};
    std::int64_t characters = 0;
    bool truncated = false;
};
Cut cut(std::string_view text, std::int64_t characters);

}  // namespace AssistantContextBudget

namespace AssistantPlanner {

inline constexpr std::size_t documentPagesRead = 6;
inline constexpr std::size_t searchedTerms = 4;
inline constexpr std::size_t hitCitations = 8;
inline constexpr std::size_t pageCitations = 4;
inline constexpr std::int64_t previewCharacters = 220;
inline constexpr std::int64_t summaryCharacters = 500;
inline constexpr std::int64_t scanLetterThreshold = 12;
inline constexpr std::int64_t proposalSummaryCharacters = 40;
// Where a note goes when no selection says where.
inline constexpr PDFRect defaultNoteRect{72, 640, 120, 680};

// Everything `respond` answers from.
struct Question {
    // The question, already trimmed.
    std::string query{};
    std::string scope{};
    std::int64_t revision = 0;
    std::vector<PageExcerpt> excerpts{};
    std::vector<SearchHit> hits{};
    std::vector<FormFieldInfo> fields{};
    std::optional<std::string> selection{};
    std::optional<PDFRect> selectionRect{};
    std::optional<std::string> selectionPageId{};
    // The document's pages in page order: where cited pages stand in the document, also for
    // hits beyond the pages read. Hits on pages found neither here nor among the excerpts are
    // not used.
    std::vector<PageInfo> documentPages{};
};

// The answer to a question, composed from fixed sentences, with citations and proposals.
AssistantAnswer respond(const Question& question);

// White space runs become one space, the ends are trimmed, and a text longer than `limit`
// characters keeps its first `limit` characters followed by "…".
std::string clip(std::string_view text, std::int64_t limit);

// The question asks for a summary or an explanation.
bool isSummary(std::string_view query);

// Unicode scalars of the general categories L and M.
std::int64_t letterCount(std::string_view text);

// At most one refusal for a question asking to replace existing text or to do something
// destructive or access-changing.
std::vector<ProposedEdit> limitations(std::string_view query, std::int64_t revision);

// Proposed fill, highlight and note edits for a question, in that order (at most three), or
// the question's refusal alone. Every entry gets a fresh operation id.
std::vector<ProposedEdit> proposals(std::string_view query, std::int64_t revision,
                                    const std::vector<SearchHit>& hits,
                                    const std::vector<FormFieldInfo>& fields,
                                    const std::vector<PageExcerpt>& excerpts,
                                    const std::optional<PDFRect>& selectionRect,
                                    const std::optional<std::string>& selectionPageId);

// Phrase tests over an already lower-cased text.
bool looksLikeReplacement(std::string_view lowered);
bool looksLikeDestructive(std::string_view lowered);

// The first two capture groups of the first case-insensitive match of an ICU pattern,
// untrimmed; the second is empty for a pattern with one group. No value when the pattern does
// not compile, does not match, or its first group took no part.
std::optional<std::pair<std::string, std::string>> firstMatch(std::string_view pattern,
                                                              std::string_view text);

}  // namespace AssistantPlanner

}  // namespace kivo
