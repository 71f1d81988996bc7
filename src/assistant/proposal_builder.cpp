#include "assistant/proposal_builder.hpp"

#include "core/text.hpp"
#include "core/text_match.hpp"

namespace kivo::ProposalBuilder {
namespace {

constexpr double kNoteSize = 24;
constexpr std::string_view kArrow = " \xE2\x86\x92 ";  // →

std::string quoted(std::string_view text) { return "\xE2\x80\x9C" + std::string(text) + "\xE2\x80\x9D"; }

ProposedEdit proposal(std::string summary, CommandMethod method, CommandParams params,
                      const AssistantContext& context) {
    ProposedEdit edit;
    edit.operationId = newUUIDString();
    edit.summary = std::move(summary);
    edit.method = method;
    edit.params = std::move(params);
    edit.expectedRevision = context.revision;
    return edit;
}

ProposedEdit pageNotRead(std::int64_t page, const AssistantContext& context) {
    const std::string n = std::to_string(page);
    return refusal("Page " + n + " was not read",
                   "Page " + n + " is not in the text the assistant read. Nothing was changed.", context);
}

// A page number and a text, as add_highlight and add_note take them; none when either is
// missing or the text is blank.
std::optional<std::pair<std::int64_t, std::string>> pageAndText(const JSONValue& arguments) {
    const auto* members = arguments.object();
    if (members == nullptr || members->empty()) return std::nullopt;
    const JSONValue* page = arguments["page"];
    const JSONValue* text = arguments["text"];
    if (page == nullptr || text == nullptr) return std::nullopt;
    const auto number = page->intValue();
    const auto words = text->textValue();
    if (!number || !words) return std::nullopt;
    std::string trimmed = TextMatch::trimmed(*words);
    if (trimmed.empty()) return std::nullopt;
    return std::pair{*number, std::move(trimmed)};
}

std::optional<std::int64_t> indexOf(std::int64_t page) {
    std::int64_t index = 0;
    if (__builtin_sub_overflow(page, 1, &index)) return std::nullopt;
    return index;
}

const ContextPage* pageAt(std::int64_t index, const AssistantContext& context) {
    for (const auto& page : context.pages) {
        if (page.pageIndex == index) return &page;
    }
    return nullptr;
}

}  // namespace

std::string clip(std::string_view text, std::int64_t limit) { return TextMatch::clipped(text, limit); }

std::optional<std::string> pageId(std::int64_t page, const AssistantContext& context) {
    const auto index = indexOf(page);
    if (!index) return std::nullopt;
    if (const auto* found = pageAt(*index, context)) return found->pageId;
    if (context.selection && context.selection->pageIndex == *index) return context.selection->pageId;
    return std::nullopt;
}

std::optional<std::int64_t> pageNumber(const std::string& pageId, const AssistantContext& context) {
    for (const auto& page : context.pages) {
        if (page.pageId == pageId) return page.pageIndex + 1;
    }
    if (context.selection && context.selection->pageId == pageId) return context.selection->pageIndex + 1;
    return std::nullopt;
}

ProposedEdit refusal(std::string summary, std::string limitation, const AssistantContext& context) {
    ProposedEdit edit;
    edit.operationId = newUUIDString();
    edit.summary = std::move(summary);
    edit.limitation = std::move(limitation);
    edit.expectedRevision = context.revision;
    return edit;
}

ProposedEdit fill(std::string_view name, const std::string& value, const AssistantContext& context) {
    const FormFieldInfo* field = nullptr;
    for (const auto& candidate : context.fields) {
        if (TextMatch::equalsIgnoringCase(candidate.name, name)) {
            field = &candidate;
            break;
        }
    }
    if (field == nullptr) {
        const std::string shown = quoted(clip(name, 40));
        return refusal(
            "No field named " + shown,
            "No form field named " + shown + " is on the pages the assistant read. Nothing was changed.",
            context);
    }
    if (field->readOnly) {
        return refusal(quoted(field->name) + " is read-only",
                       "The form marks " + quoted(field->name) + " read-only. Nothing was changed.", context);
    }
    std::string newValue = value;
    if (!field->options.empty() && field->type != "checkbox") {
        const std::string* option = nullptr;
        for (const auto& candidate : field->options) {
            if (TextMatch::equalsIgnoringCase(candidate, value)) {
                option = &candidate;
                break;
            }
        }
        if (option == nullptr) {
            std::string all;
            for (const auto& candidate : field->options) all += (all.empty() ? "" : ", ") + candidate;
            return refusal(quoted(clip(value, 40)) + " is not an option of " + quoted(field->name),
                           quoted(field->name) + " accepts only: " + all + ". Nothing was changed.", context);
        }
        newValue = *option;
    }
    std::string pageLabel;
    if (const auto number = pageNumber(field->pageId, context))
        pageLabel = " on page " + std::to_string(*number);
    CommandParams params;
    params.fieldName = field->name;
    params.value = newValue;
    return proposal("Fill " + quoted(field->name) + pageLabel + ": " + quoted(clip(field->value, 60)) +
                        std::string(kArrow) + quoted(clip(newValue, 60)),
                    CommandMethod::fillForm, std::move(params), context);
}

ProposedEdit highlight(std::int64_t page, const std::string& text, const AssistantContext& context,
                       const Find& find) {
    const auto id = pageId(page, context);
    if (!id) return pageNotRead(page, context);
    std::vector<SearchHit> hits;
    try {
        hits = find(text, *id);
    } catch (...) {
        // A failed search is a search without hits.
        hits.clear();
    }
    const std::string n = std::to_string(page);
    if (hits.empty() || hits.front().rects.empty()) {
        return refusal("Nothing to highlight",
                       quoted(clip(text, 60)) + " is not on page " + n + ", so no highlight was proposed.",
                       context);
    }
    std::string label;
    if (hits.size() > 1) label = ", the first of " + std::to_string(hits.size()) + " matches";
    CommandParams params;
    params.pageId = *id;
    params.rect = hits.front().rects.front();
    params.contents = text;
    return proposal("Highlight " + quoted(clip(text, 40)) + " on page " + n + label,
                    CommandMethod::addHighlight, std::move(params), context);
}

ProposedEdit note(std::int64_t page, const std::string& text, const AssistantContext& context) {
    const auto index = indexOf(page);
    CommandParams params;
    if (index && context.selection && context.selection->pageIndex == *index) {
        params.pageId = context.selection->pageId;
        if (const auto& selected = context.selection->rect) {
            const double left = std::max(0.0, selected->left - 28);
            params.rect = PDFRect{left, selected->top - kNoteSize, left + kNoteSize, selected->top};
        } else {
            params.rect = PDFRect{44, 700, 68, 724};
        }
    } else if (const ContextPage* found = index ? pageAt(*index, context) : nullptr) {
        params.pageId = found->pageId;
        params.rect = PDFRect{36, found->height - 60, 60, found->height - 36};
    } else {
        return pageNotRead(page, context);
    }
    params.contents = text;
    return proposal("Add a note on page " + std::to_string(page) + ": " + quoted(clip(text, 60)),
                    CommandMethod::addNote, std::move(params), context);
}

ProposalOutcome build(const std::vector<ToolCall>& calls, const AssistantContext& context, const Find& find) {
    ProposalOutcome outcome;
    std::size_t dropped = 0;
    for (const auto& call : calls) {
        if (outcome.proposals.size() >= maximumProposals) {
            ++dropped;
            continue;
        }
        if (call.name == "fill_form") {
            const auto* members = call.arguments.object();
            const JSONValue* field = call.arguments["field"];
            const JSONValue* value = call.arguments["value"];
            const auto name = field ? field->textValue() : std::nullopt;
            const auto newValue = value ? value->textValue() : std::nullopt;
            if (members && !members->empty() && name && !TextMatch::trimmed(*name).empty() && newValue) {
                outcome.proposals.push_back(
                    ProposalBuilder::fill(TextMatch::trimmed(*name), *newValue, context));
            } else {
                outcome.notes.emplace_back(
                    "The model called fill_form without a field name and a value, so that call was ignored.");
            }
        } else if (call.name == "add_highlight" || call.name == "add_note") {
            const bool isHighlight = call.name == "add_highlight";
            if (const auto read = pageAndText(call.arguments)) {
                outcome.proposals.push_back(isHighlight ? highlight(read->first, read->second, context, find)
                                                        : note(read->first, read->second, context));
            } else {
                outcome.notes.push_back("The model called " + call.name +
                                        " without a page and text, so that call was ignored.");
            }
        } else {
            outcome.notes.push_back("The model asked for " + quoted(clip(call.name, 40)) +
                                    ", which the assistant cannot do. Nothing was changed.");
        }
    }
    if (dropped > 0) {
        const std::string cap = std::to_string(maximumProposals);
        outcome.notes.push_back("The model proposed more than " + cap + " changes. Only the first " + cap +
                                " are shown.");
    }
    return outcome;
}

}  // namespace kivo::ProposalBuilder
