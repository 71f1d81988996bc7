#include "assistant/proposal_builder.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kivo {
namespace {

const std::string kOpen = "\xE2\x80\x9C";
const std::string kClose = "\xE2\x80\x9D";
std::string q(const std::string& text) { return kOpen + text + kClose; }

AssistantContext formContext() {
    AssistantContext context;
    context.revision = 9;
    context.pages = {{"p1", 0, 612, 792, "one", false}, {"p2", 1, 300, 400, "two", false}};
    context.fields = {
        {"Name", "text", "Old", false, "p1", {}, std::nullopt, false},
        {"Size", "choice", "S", false, "p2", {"Small", "Large"}, std::nullopt, false},
        {"Agree", "checkbox", "Off", false, "p9", {"Yes"}, false, false},
        {"Locked", "text", "", true, "p1", {}, std::nullopt, false},
    };
    return context;
}

ToolCall call(std::string name, const char* json) { return {std::move(name), JSONValue::decode(json)}; }

std::vector<SearchHit> hits(int count) {
    std::vector<SearchHit> found;
    for (int i = 0; i < count; ++i)
        found.push_back({"p2", i, count, {{10.0 + i, 20, 30, 40}, {1, 2, 3, 4}}, ""});
    return found;
}

TEST(ProposalBuilder, FillsFields) {
    struct Case {
        const char* arguments;
        std::string summary;
        std::optional<std::string> limitation;
        std::optional<std::string> value;
    };
    const std::string arrow = " \xE2\x86\x92 ";
    const Case cases[] = {
        {R"({"field":"name","value":"  New\nline "})",
         "Fill " + q("Name") + " on page 1: " + q("Old") + arrow + q("New line"), std::nullopt,
         "  New\nline "},
        {R"({"field":"Size","value":"large"})",
         "Fill " + q("Size") + " on page 2: " + q("S") + arrow + q("Large"), std::nullopt, "Large"},
        {R"({"field":"Agree","value":true})", "Fill " + q("Agree") + ": " + q("Off") + arrow + q("true"),
         std::nullopt, "true"},
        {R"({"field":"Name","value":2.5})",
         "Fill " + q("Name") + " on page 1: " + q("Old") + arrow + q("2.5"), std::nullopt, "2.5"},
        {R"({"field":"Name","value":""})", "Fill " + q("Name") + " on page 1: " + q("Old") + arrow + q(""),
         std::nullopt, ""},
        {R"({"field":"Size","value":"Medium"})", q("Medium") + " is not an option of " + q("Size"),
         q("Size") + " accepts only: Small, Large. Nothing was changed.", std::nullopt},
        {R"({"field":"Locked","value":"x"})", q("Locked") + " is read-only",
         "The form marks " + q("Locked") + " read-only. Nothing was changed.", std::nullopt},
        {R"({"field":"Nope","value":"x"})", "No field named " + q("Nope"),
         "No form field named " + q("Nope") + " is on the pages the assistant read. Nothing was changed.",
         std::nullopt},
    };
    for (const auto& c : cases) {
        const auto outcome = ProposalBuilder::build({call("fill_form", c.arguments)}, formContext(), {});
        ASSERT_EQ(outcome.proposals.size(), 1u) << c.arguments;
        const auto& edit = outcome.proposals[0];
        EXPECT_EQ(edit.summary, c.summary);
        EXPECT_EQ(edit.limitation, c.limitation);
        EXPECT_EQ(edit.params.value, c.value);
        EXPECT_EQ(edit.method.has_value(), !c.limitation.has_value());
        EXPECT_EQ(edit.expectedRevision, 9);
        EXPECT_EQ(edit.operationId.size(), 36u);
    }
}

TEST(ProposalBuilder, IgnoresUnreadableCallsAndCaps) {
    const std::string fillNote =
        "The model called fill_form without a field name and a value, so that call was ignored.";
    const std::string highlightNote =
        "The model called add_highlight without a page and text, so that call was ignored.";
    std::vector<ToolCall> calls{
        call("fill_form", "{}"),
        call("fill_form", R"({"field":"Name"})"),
        call("fill_form", R"({"field":"  ","value":"x"})"),
        call("fill_form", R"({"field":"Name","value":null})"),
        call("add_highlight", R"({"page":1,"text":"  "})"),
        call("Fill_Form", "{}"),
        call(std::string("a very long\nname ") + std::string(40, 'x'), "{}"),
    };
    for (int i = 0; i < 7; ++i) calls.push_back(call("add_note", R"({"page":9,"text":"n"})"));  // refusals
    calls.push_back(call("unknown_after_cap", "{}"));
    const auto outcome = ProposalBuilder::build(calls, formContext(), {});
    EXPECT_EQ(outcome.proposals.size(), 5u);
    for (const auto& edit : outcome.proposals) EXPECT_EQ(edit.summary, "Page 9 was not read");
    const std::vector<std::string> expected{
        fillNote,
        fillNote,
        fillNote,
        fillNote,
        highlightNote,
        "The model asked for " + q("Fill_Form") + ", which the assistant cannot do. Nothing was changed.",
        "The model asked for " + q("a very long name " + std::string(23, 'x') + "\xE2\x80\xA6") +
            ", which the assistant cannot do. Nothing was changed.",
        "The model proposed more than 5 changes. Only the first 5 are shown.",
    };
    EXPECT_EQ(outcome.notes, expected);
    EXPECT_EQ(ProposalBuilder::build({}, formContext(), {}), ProposalOutcome{});
}

TEST(ProposalBuilder, HighlightsTheFirstHit) {
    AssistantContext context = formContext();
    std::vector<std::pair<std::string, std::string>> searched;
    int found = 3;
    const ProposalBuilder::Find find = [&](const std::string& text, const std::string& pageId) {
        searched.emplace_back(text, pageId);
        if (found < 0) throw std::runtime_error("search failed");
        return hits(found);
    };
    auto edit = ProposalBuilder::highlight(2, "pears", context, find);
    EXPECT_EQ(edit.summary, "Highlight " + q("pears") + " on page 2, the first of 3 matches");
    EXPECT_EQ(edit.params.rect, (PDFRect{10, 20, 30, 40}));
    EXPECT_EQ(edit.params.pageId, "p2");
    EXPECT_EQ(edit.params.contents, "pears");
    EXPECT_EQ(searched, (std::vector<std::pair<std::string, std::string>>{{"pears", "p2"}}));

    found = 1;
    EXPECT_EQ(ProposalBuilder::highlight(2, "pears", context, find).summary,
              "Highlight " + q("pears") + " on page 2");
    for (const int failing : {0, -1}) {
        found = failing;
        edit = ProposalBuilder::highlight(2, "pears", context, find);
        EXPECT_EQ(edit.summary, "Nothing to highlight");
        EXPECT_EQ(edit.limitation, q("pears") + " is not on page 2, so no highlight was proposed.");
    }
    for (const std::int64_t page : {std::int64_t{0}, std::int64_t{3}, INT64_MIN}) {
        edit = ProposalBuilder::highlight(page, "pears", context, find);
        EXPECT_EQ(edit.summary, "Page " + std::to_string(page) + " was not read");
        EXPECT_EQ(edit.limitation, "Page " + std::to_string(page) +
                                       " is not in the text the assistant read. Nothing was changed.");
    }
}

TEST(ProposalBuilder, PlacesNotes) {
    AssistantContext context = formContext();
    context.selection = ContextSelection{"p2", 1, "sel", PDFRect{10, 100, 200, 150}};
    auto edit = ProposalBuilder::note(2, "Check\nthis", context);
    EXPECT_EQ(edit.params.rect, (PDFRect{0, 126, 24, 150}));
    EXPECT_EQ(edit.params.contents, "Check\nthis");
    EXPECT_EQ(edit.summary, "Add a note on page 2: " + q("Check this"));

    context.selection->rect.reset();
    EXPECT_EQ(ProposalBuilder::note(2, "n", context).params.rect, (PDFRect{44, 700, 68, 724}));
    EXPECT_EQ(ProposalBuilder::note(1, "n", context).params.rect, (PDFRect{36, 732, 60, 756}));
    EXPECT_EQ(ProposalBuilder::note(1, "n", context).params.pageId, "p1");
    EXPECT_EQ(ProposalBuilder::note(INT64_MIN, "n", context).summary,
              "Page -9223372036854775808 was not read");
}

}  // namespace
}  // namespace kivo
