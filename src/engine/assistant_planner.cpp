// The local question planner: answers a question from the page text alone, with fixed
// sentences and citations that point at text the pages really hold. No model is involved.

#include <unicode/unistr.h>

#include <algorithm>
#include <array>

#include "core/text.hpp"
#include "engine/assistant.hpp"
#include "core/text_match.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

constexpr std::array<std::string_view, 29> kStopWords = {
    "where",  "what",  "whats",    "this",  "that", "page", "pages", "summarize", "summary", "explain",
    "please", "about", "document", "which", "does", "have", "from",  "with",      "fill",    "field",
    "the",    "and",   "for",      "are",   "was",  "how",  "find",  "show",      "tell",
};

bool isStopWord(std::string_view lowered) {
    return std::find(kStopWords.begin(), kStopWords.end(), lowered) != kStopWords.end();
}

bool hasLetter(std::string_view text) { return AssistantPlanner::letterCount(text) > 0; }

// Where pages stand in the document. The session's page list is the source; the excerpts
// stand in for a caller that passes none.
class PagePositions {
public:
    PagePositions(const std::vector<PageInfo>& documentPages, const std::vector<PageExcerpt>& excerpts)
        : documentPages_(documentPages), excerpts_(excerpts) {}

    std::optional<std::int64_t> indexOf(const std::string& pageId) const {
        for (const auto& page : documentPages_) {
            if (page.id == pageId) return page.index;
        }
        for (const auto& excerpt : excerpts_) {
            if (excerpt.page.id == pageId) return excerpt.page.index;
        }
        return std::nullopt;
    }

private:
    const std::vector<PageInfo>& documentPages_;
    const std::vector<PageExcerpt>& excerpts_;
};

// A hit on a page the document does not hold cannot be cited or highlighted truthfully.
std::vector<SearchHit> hitsOnKnownPages(const std::vector<SearchHit>& hits, const PagePositions& positions) {
    std::vector<SearchHit> kept;
    kept.reserve(hits.size());
    for (const auto& hit : hits) {
        if (positions.indexOf(hit.pageId)) kept.push_back(hit);
    }
    return kept;
}

Citation citation(std::string pageId, std::int64_t pageIndex, std::int64_t revision, std::string preview,
                  std::vector<PDFRect> rects) {
    return Citation{std::move(pageId), pageIndex, revision, std::move(preview), std::move(rects), "document"};
}

}  // namespace

std::vector<std::string> searchTerms(std::string_view query) {
    if (auto quoted = firstCapture(R"(["']([^"']+)["'])", query)) return {std::move(*quoted)};
    if (auto highlighted = firstCapture(R"(highlight\s+(.+))", query)) return {std::move(*highlighted)};

    std::vector<std::string> terms;
    const auto keep = [&terms](const icu::UnicodeString& word) {
        if (word.isEmpty()) return;
        std::string utf8;
        word.toUTF8String(utf8);
        if (graphemeCount(utf8) < 3) return;
        if (isStopWord(TextMatch::lowercased(utf8))) return;
        terms.push_back(std::move(utf8));
    };
    const auto text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(query.data(), static_cast<std::int32_t>(query.size())));
    icu::UnicodeString word;
    for (std::int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const UChar32 c = text.char32At(i);
        if (TextMatch::isLetter(c)) {
            word.append(c);
        } else {
            keep(word);
            word.remove();
        }
    }
    keep(word);
    return terms;
}

namespace AssistantPlanner {

bool isSummary(std::string_view query) {
    const std::string lowered = TextMatch::lowercased(query);
    for (const std::string_view phrase : {"summar", "what's on", "what is on", "explain"}) {
        if (lowered.find(phrase) != std::string::npos) return true;
    }
    return lowered == "what is this";
}

AssistantAnswer respond(const Question& question) {
    const PagePositions positions(question.documentPages, question.excerpts);
    const std::vector<SearchHit> hits = hitsOnKnownPages(question.hits, positions);
    const std::int64_t revision = question.revision;
    const auto& excerpts = question.excerpts;

    // Scan test: a page with form fields on it is real even with very little text.
    std::int64_t letters = question.selection ? letterCount(*question.selection) : 0;
    for (const auto& excerpt : excerpts) letters += letterCount(excerpt.text);
    const bool fieldOnPagesRead =
        std::any_of(question.fields.begin(), question.fields.end(), [&](const auto& field) {
            return std::any_of(excerpts.begin(), excerpts.end(),
                               [&](const auto& excerpt) { return excerpt.page.id == field.pageId; });
        });
    const bool scan = fieldOnPagesRead ? letters == 0 : letters < scanLetterThreshold;

    std::vector<Citation> citations;

    // The selection is cited on the page it lies on; the first page read stands in only when
    // the question names no page.
    if (question.selection && !trimWhitespaceAndNewlines(*question.selection).empty() && !excerpts.empty()) {
        std::optional<std::pair<std::string, std::int64_t>> page;
        if (question.selectionPageId) {
            if (const auto index = positions.indexOf(*question.selectionPageId)) {
                page.emplace(*question.selectionPageId, *index);
            }
        } else {
            page.emplace(excerpts.front().page.id, excerpts.front().page.index);
        }
        if (page) {
            std::vector<PDFRect> rects;
            if (question.selectionRect) rects.push_back(*question.selectionRect);
            citations.push_back(citation(page->first, page->second, revision,
                                         clip(*question.selection, previewCharacters), std::move(rects)));
        }
    }

    for (std::size_t i = 0; i < hits.size() && i < hitCitations; ++i) {
        const auto& hit = hits[i];
        citations.push_back(citation(hit.pageId, *positions.indexOf(hit.pageId), revision,
                                     clip(hit.preview, previewCharacters), hit.rects));
    }

    if (citations.empty()) {
        for (std::size_t i = 0; i < excerpts.size() && i < pageCitations; ++i) {
            const auto& excerpt = excerpts[i];
            if (!hasLetter(excerpt.text)) continue;
            citations.push_back(citation(excerpt.page.id, excerpt.page.index, revision,
                                         clip(excerpt.text, previewCharacters), {}));
        }
    }

    const bool summary = isSummary(question.query);
    const std::string revisionText = std::to_string(revision);
    std::optional<std::string> text;
    if (citations.empty() && scan) {
        text =
            "This page looks like a scan or has no extractable text. OCR is not available in alpha. No page "
            "citations were invented.";
    }
    if (!text && !excerpts.empty() && summary) {
        const auto first = std::find_if(excerpts.begin(), excerpts.end(),
                                        [](const auto& excerpt) { return hasLetter(excerpt.text); });
        if (first != excerpts.end()) {
            text = "From the document (revision " + revisionText + ", page " +
                   std::to_string(first->page.index + 1) + "):\n" + clip(first->text, summaryCharacters);
        }
    }
    if (!text && !hits.empty()) {
        const auto& hit = hits.front();
        text = "Found " + std::to_string(hits.size()) + " match(es) in the document at revision " +
               revisionText + ". First hit is on page " + std::to_string(*positions.indexOf(hit.pageId) + 1) +
               ": " + clip(hit.preview, previewCharacters);
    }
    if (!text && !citations.empty()) {
        if (summary) {
            std::string joined = "From the document at revision " + revisionText + ":";
            for (const auto& cited : citations) joined.append("\n").append(cited.preview);
            text = std::move(joined);
        } else {
            text =
                "No match for that question in the selected scope. The cited passages are the available "
                "document "
                "evidence. I will not invent a page reference.";
        }
    }
    if (!text) text = "No document text was available in this scope, so no citation can be given.";

    AssistantAnswer answer;
    answer.text = std::move(*text);
    answer.proposals = proposals(question.query, revision, hits, question.fields, excerpts,
                                 question.selectionRect, question.selectionPageId);
    answer.fromDocument = !citations.empty();
    answer.citations = std::move(citations);
    answer.scan = scan;
    answer.scope = question.scope;
    answer.revision = revision;
    return answer;
}

}  // namespace AssistantPlanner

AskOutcome askDocument(const CommandParams& params, const AssistantSources& sources) {
    const std::string query = TextMatch::trimmed(params.query.value_or(std::string()));
    if (query.empty()) throw EngineFailure(FailureCode::invalidArgument, "ask_document requires query.");
    const std::string scope = params.scope.value_or("page");

    std::vector<std::string> pageIds;
    if (scope == "document") {
        const std::size_t count = std::min(sources.pages.size(), AssistantPlanner::documentPagesRead);
        for (std::size_t i = 0; i < count; ++i) pageIds.push_back(sources.pages[i].id);
    } else if (params.pageId) {
        pageIds.push_back(*params.pageId);
    } else if (!sources.pages.empty()) {
        pageIds.push_back(sources.pages.front().id);
    } else {
        throw EngineFailure(FailureCode::invalidPage, "ask_document requires a page.");
    }

    AssistantPlanner::Question question;
    question.query = query;
    question.scope = scope;
    question.revision = sources.revision;
    question.documentPages = sources.pages;
    for (const auto& id : pageIds) {
        const auto page = std::find_if(sources.pages.begin(), sources.pages.end(),
                                       [&id](const PageInfo& candidate) { return candidate.id == id; });
        if (page == sources.pages.end()) continue;
        question.excerpts.push_back({*page, sources.pageText(page->id)});
    }

    // A page id the document does not hold is still searched, so that its search reports it.
    std::optional<std::string> searchPage;
    if (scope != "document") searchPage = pageIds.front();
    const auto terms = searchTerms(query);
    std::vector<SearchHit> hits;
    for (std::size_t i = 0; i < terms.size() && i < AssistantPlanner::searchedTerms; ++i) {
        auto found = sources.search(terms[i], searchPage);
        hits.insert(hits.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
    }
    question.hits = hitsOnKnownPages(hits, PagePositions(question.documentPages, question.excerpts));
    question.fields = sources.fields();
    question.selection = params.contents;
    question.selectionRect = params.rect;
    question.selectionPageId = params.pageId;

    AskOutcome outcome;
    outcome.answer = AssistantPlanner::respond(question);
    outcome.matches = std::move(question.hits);
    return outcome;
}

}  // namespace kivo
