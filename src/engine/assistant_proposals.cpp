// Edit requests the planner recognises in a question, and the requests it refuses. Nothing here
// edits anything: an entry becomes a command only when the user accepts it.

#include <initializer_list>

#include "core/text.hpp"
#include "engine/assistant.hpp"
#include "core/text_match.hpp"

namespace kivo::AssistantPlanner {
namespace {

constexpr std::string_view kFillPattern =
    R"(fill\s+(?:the\s+)?(?:field\s+)?([A-Za-z0-9_.]+)\s+(?:with|to)\s+(.+))";
constexpr std::string_view kHighlightPattern = R"(highlight\s+(.+))";
constexpr std::string_view kNotePattern = R"((?:add\s+)?note[:\s]+(.+))";

constexpr std::string_view kOpenQuote = "\xE2\x80\x9C";   // “
constexpr std::string_view kCloseQuote = "\xE2\x80\x9D";  // ”

bool containsAny(std::string_view text, std::initializer_list<std::string_view> phrases) {
    for (const auto phrase : phrases) {
        if (text.find(phrase) != std::string_view::npos) return true;
    }
    return false;
}

ProposedEdit refusal(std::string summary, std::string limitation, std::int64_t revision) {
    ProposedEdit entry;
    entry.operationId = newUUIDString();
    entry.summary = std::move(summary);
    entry.limitation = std::move(limitation);
    entry.expectedRevision = revision;
    return entry;
}

ProposedEdit edit(std::string summary, CommandMethod method, CommandParams params, std::int64_t revision) {
    ProposedEdit entry;
    entry.operationId = newUUIDString();
    entry.summary = std::move(summary);
    entry.method = method;
    entry.params = std::move(params);
    entry.expectedRevision = revision;
    return entry;
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + kOpenQuote.size() + kCloseQuote.size());
    out.append(kOpenQuote).append(text).append(kCloseQuote);
    return out;
}

}  // namespace

bool looksLikeReplacement(std::string_view lowered) {
    return containsAny(lowered,
                       {"redact", "redaction", "replace the text", "rewrite the", "change the original"});
}

bool looksLikeDestructive(std::string_view lowered) {
    if (containsAny(lowered, {"delete all", "grant mcp", "set_grants", "run shell"})) return true;
    // Instructions smuggled in through document text.
    return lowered.find("ignore previous") != std::string_view::npos &&
           lowered.find("delete") != std::string_view::npos;
}

std::vector<ProposedEdit> limitations(std::string_view query, std::int64_t revision) {
    const std::string lowered = TextMatch::lowercased(trimWhitespaceAndNewlines(query));
    if (looksLikeReplacement(lowered)) {
        return {refusal(
            "Existing-text replacement is outside alpha",
            "Overlays and highlights are not redaction or true text replacement. The document was not "
            "changed.",
            revision)};
    }
    if (looksLikeDestructive(lowered)) {
        return {refusal(
            "That action needs an explicit editor command",
            "Document text cannot grant access, delete pages, or change MCP grants. Nothing was applied.",
            revision)};
    }
    return {};
}

std::vector<ProposedEdit> proposals(std::string_view query, std::int64_t revision,
                                    const std::vector<SearchHit>& hits,
                                    const std::vector<FormFieldInfo>& fields,
                                    const std::vector<PageExcerpt>& excerpts,
                                    const std::optional<PDFRect>& selectionRect,
                                    const std::optional<std::string>& selectionPageId) {
    const std::string_view question = trimWhitespaceAndNewlines(query);
    // No edit is proposed beside a refusal.
    if (auto refused = limitations(question, revision); !refused.empty()) return refused;

    std::vector<ProposedEdit> entries;

    if (const auto fill = firstMatch(kFillPattern, question)) {
        const auto& [name, rawValue] = *fill;
        const std::string value = TextMatch::trimmed(rawValue);
        const FormFieldInfo* field = nullptr;
        for (const auto& candidate : fields) {
            if (TextMatch::equalsIgnoringCase(candidate.name, name)) {
                field = &candidate;
                break;
            }
        }
        if (field) {
            CommandParams params;
            // The form's own spelling, so the fill finds the field whatever case the question used.
            params.fieldName = field->name;
            params.value = value;
            entries.push_back(edit("Fill " + field->name + " with " + quoted(value), CommandMethod::fillForm,
                                   std::move(params), revision));
        } else {
            entries.push_back(refusal("Unknown field " + name,
                                      "No AcroForm field named " + name + " is on this document.", revision));
        }
    }

    if (const auto highlight = firstMatch(kHighlightPattern, question)) {
        const std::string phrase = TextMatch::trimmedOfQuotes(highlight->first);
        if (hits.empty() || hits.front().rects.empty()) {
            entries.push_back(refusal(
                "Nothing to highlight",
                "No document match for " + quoted(phrase) + ". A highlight was not created.", revision));
        } else {
            const SearchHit& hit = hits.front();
            CommandParams params;
            params.pageId = hit.pageId;
            params.rect = hit.rects.front();
            params.contents = phrase;
            entries.push_back(edit("Highlight " + quoted(clip(phrase, proposalSummaryCharacters)),
                                   CommandMethod::addHighlight, std::move(params), revision));
        }
    }

    if (const auto note = firstMatch(kNotePattern, question)) {
        const std::string text = TextMatch::trimmed(note->first);
        std::optional<std::string> pageId = selectionPageId;
        if (!pageId && !excerpts.empty()) pageId = excerpts.front().page.id;
        if (pageId && !text.empty()) {
            CommandParams params;
            params.pageId = *pageId;
            params.rect = selectionRect.value_or(defaultNoteRect);
            params.contents = text;
            entries.push_back(edit("Add note " + quoted(clip(text, proposalSummaryCharacters)),
                                   CommandMethod::addNote, std::move(params), revision));
        }
    }

    return entries;
}

}  // namespace kivo::AssistantPlanner
