// Finding text in the open document: the worker matches, the workspace keeps the hits and walks
// through them, wrapping around at both ends.

#include "core/text.hpp"
#include "workspace/workspace.hpp"

namespace kivo {

void Workspace::search() {
    if (!sessionId()) return;
    const std::string query(trimWhitespaceAndNewlines(searchQuery()));
    if (query.empty()) {
        setSearchHits({});
        return;
    }
    CommandParams params;
    params.sessionId = sessionId();
    params.query = query;
    send(makeRequest(CommandMethod::search, std::move(params)), "Searching for “" + query + "”", true,
         [this](const CommandResult& result) {
             setSearchHits(result.matches.value_or(std::vector<SearchHit>{}));
             setSearchHitIndex(0);
             setStatus(std::to_string(searchHits().size()) + " matches");
             revealSearchHit();
         });
}

void Workspace::findNext() { stepSearch(1); }

void Workspace::findPrevious() { stepSearch(-1); }

void Workspace::stepSearch(std::int64_t delta) {
    const auto count = static_cast<std::int64_t>(searchHits().size());
    if (count == 0) {
        search();
        return;
    }
    setSearchHitIndex((searchHitIndex() + delta + count) % count);
    revealSearchHit();
}

void Workspace::requestFind() { emit findRequested(); }

void Workspace::revealCitation(const std::string& pageId, const std::optional<PDFRect>& rect) {
    select(pageId);
    setSelection(rect);
    emit revealRequested();
}

void Workspace::revealSearchHit() {
    const auto count = static_cast<std::int64_t>(searchHits().size());
    const std::int64_t index = searchHitIndex();
    if (index < 0 || index >= count) return;
    const SearchHit hit = searchHits()[static_cast<std::size_t>(index)];
    select(hit.pageId);
    setSelection(hit.rects.empty() ? std::nullopt : std::optional(hit.rects.front()));
    emit revealRequested();
    setStatus("Match " + std::to_string(index + 1) + " of " + std::to_string(count));
}

}  // namespace kivo
