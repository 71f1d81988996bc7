#pragma once

// Turns the model's tool calls of one turn into edits for the user to review: a proposal that
// carries a ready command, a refusal that says why the change cannot be proposed, or a note
// when the call cannot even be read. Nothing here applies anything, and `build` never fails.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "assistant/model_provider.hpp"
#include "core/assistant_records.hpp"

namespace kivo {

struct ProposalOutcome {
    // Proposals and refusals in call order, at most `ProposalBuilder::maximumProposals`.
    std::vector<ProposedEdit> proposals{};
    // One sentence per ignored call or unknown tool, then one about the cap when calls were
    // dropped.
    std::vector<std::string> notes{};

    bool operator==(const ProposalOutcome&) const = default;
};

namespace ProposalBuilder {

inline constexpr std::size_t maximumProposals = 5;

// The document's search for a text on one page; what it throws counts as no hits.
using Find = std::function<std::vector<SearchHit>(const std::string& text, const std::string& pageId)>;

ProposalOutcome build(const std::vector<ToolCall>& calls, const AssistantContext& context, const Find& find);

ProposedEdit fill(std::string_view name, const std::string& value, const AssistantContext& context);
ProposedEdit highlight(std::int64_t page, const std::string& text, const AssistantContext& context,
                       const Find& find);
ProposedEdit note(std::int64_t page, const std::string& text, const AssistantContext& context);
ProposedEdit refusal(std::string summary, std::string limitation, const AssistantContext& context);

// White space collapsed to single spaces and trimmed; past `limit` characters cut and
// followed by "…".
std::string clip(std::string_view text, std::int64_t limit);

// The page id of a 1-based page number among the pages read or the selection's page; none for
// a number whose index does not exist.
std::optional<std::string> pageId(std::int64_t page, const AssistantContext& context);
std::optional<std::int64_t> pageNumber(const std::string& pageId, const AssistantContext& context);

}  // namespace ProposalBuilder

}  // namespace kivo
