// Reading material for a model-backed assistant: a selection, a page or the document from its
// first page on, cut to a character budget, with the form fields on what was read.

#include <algorithm>

#include "core/text.hpp"
#include "engine/assistant.hpp"
#include "core/text_match.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

const PageInfo& lookUpPage(const std::vector<PageInfo>& pages, const std::string& pageId) {
    const auto page = std::find_if(pages.begin(), pages.end(),
                                   [&pageId](const PageInfo& candidate) { return candidate.id == pageId; });
    if (page == pages.end())
        throw EngineFailure(FailureCode::invalidPage, "No page with that id is in the document.");
    return *page;
}

ContextPage contextPage(const PageInfo& page, const AssistantContextBudget::Cut& cut) {
    return ContextPage{page.id, page.index, page.width, page.height, std::string(cut.text), cut.truncated};
}

}  // namespace

AssistantContext buildAssistantContext(const CommandParams& params, const AssistantSources& sources) {
    const std::string scope = params.scope.value_or("page");
    const std::int64_t budget = AssistantContextBudget::resolve(params.limit);

    AssistantContext context;
    context.revision = sources.revision;
    context.scope = scope;
    context.pageCount = static_cast<std::int64_t>(sources.pages.size());

    if (scope == "selection") {
        const std::string_view selected =
            params.contents ? trimWhitespaceAndNewlines(*params.contents) : std::string_view();
        if (selected.empty() || !params.pageId) {
            throw EngineFailure(FailureCode::invalidArgument,
                                "Select text on a page to ask about a selection.");
        }
        const PageInfo& page = lookUpPage(sources.pages, *params.pageId);
        const auto cut = AssistantContextBudget::cut(selected, budget);
        context.selection = ContextSelection{page.id, page.index, std::string(cut.text), params.rect};
        context.truncated = cut.truncated;
        context.characters = cut.characters;
    } else if (scope == "page") {
        std::string pageId;
        if (params.pageId) {
            pageId = *params.pageId;
        } else if (!sources.pages.empty()) {
            pageId = sources.pages.front().id;
        } else {
            throw EngineFailure(FailureCode::invalidPage, "The document has no pages.");
        }
        const PageInfo& page = lookUpPage(sources.pages, pageId);
        const std::string text = sources.pageText(page.id);
        const auto cut = AssistantContextBudget::cut(text, budget);
        context.pages.push_back(contextPage(page, cut));
        context.truncated = cut.truncated;
        context.characters = cut.characters;
    } else if (scope == "document") {
        const auto total = static_cast<std::int64_t>(sources.pages.size());
        std::int64_t used = 0;
        bool cutShort = false;
        for (std::int64_t i = 0; i < total; ++i) {
            if (sources.step) sources.step(CommandPhase::readingText, i, total);
            // Pages after an exhausted budget are left out without being read.
            if (used >= budget) {
                cutShort = true;
                break;
            }
            const PageInfo& page = sources.pages[static_cast<std::size_t>(i)];
            const std::string text = sources.pageText(page.id);
            const auto cut = AssistantContextBudget::cut(text, budget - used);
            used += cut.characters;
            context.pages.push_back(contextPage(page, cut));
            if (cut.truncated) cutShort = true;
        }
        context.truncated = cutShort;
        context.characters = used;
    } else {
        throw EngineFailure(FailureCode::invalidArgument, "scope must be selection, page, or document.");
    }

    const auto isReadPage = [&context](const std::string& pageId) {
        if (context.selection && context.selection->pageId == pageId) return true;
        return std::any_of(context.pages.begin(), context.pages.end(),
                           [&pageId](const ContextPage& page) { return page.pageId == pageId; });
    };
    for (auto& field : sources.fields()) {
        if (isReadPage(field.pageId)) context.fields.push_back(std::move(field));
    }

    std::int64_t letters = context.selection ? AssistantPlanner::letterCount(context.selection->text) : 0;
    for (const auto& page : context.pages) letters += AssistantPlanner::letterCount(page.text);
    context.scan = context.fields.empty() ? letters < AssistantPlanner::scanLetterThreshold : letters == 0;

    context.limitations =
        AssistantPlanner::limitations(params.query.value_or(std::string()), sources.revision);
    return context;
}

}  // namespace kivo
