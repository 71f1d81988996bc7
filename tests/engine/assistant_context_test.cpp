#include <gtest/gtest.h>

#include <map>

#include "core/text.hpp"
#include "engine/assistant.hpp"
#include "core/engine_failure.hpp"

namespace kivo {
namespace {

// A document as plain page texts, recording what the reader asked of it.
struct FakeDocument {
    std::vector<PageInfo> pages;
    std::map<std::string, std::string> texts;
    std::vector<FormFieldInfo> fields;
    std::vector<std::string> extracted;
    std::vector<std::pair<std::int64_t, std::int64_t>> steps;
    std::optional<std::int64_t> cancelAtStep;

    explicit FakeDocument(const std::vector<std::string>& pageTexts) {
        for (std::size_t i = 0; i < pageTexts.size(); ++i) {
            const std::string id = "PAGE-" + std::to_string(i + 1);
            pages.push_back({id, static_cast<std::int64_t>(i), 612, 792, 0});
            texts[id] = pageTexts[i];
        }
    }

    AssistantSources sources() {
        AssistantSources sources;
        sources.revision = 4;
        sources.pages = pages;
        sources.pageText = [this](const std::string& id) {
            extracted.push_back(id);
            return texts.at(id);
        };
        sources.fields = [this] { return fields; };
        sources.step = [this](CommandPhase phase, std::int64_t completed, std::int64_t total) {
            EXPECT_EQ(phase, CommandPhase::readingText);
            steps.emplace_back(completed, total);
            if (cancelAtStep && completed == *cancelAtStep) {
                throw EngineFailure(FailureCode::cancelled, "Cancelled. Nothing changed.");
            }
        };
        return sources;
    }
};

CommandParams scoped(std::optional<std::string> scope, std::optional<std::int64_t> limit = {}) {
    CommandParams params;
    params.scope = std::move(scope);
    params.limit = limit;
    return params;
}

std::int64_t includedCharacters(const AssistantContext& context) {
    std::int64_t sum = context.selection ? graphemeCount(context.selection->text) : 0;
    for (const auto& page : context.pages) sum += graphemeCount(page.text);
    return sum;
}

void expectFailure(const CommandParams& params, FakeDocument& document, const std::string& code,
                   const std::string& message) {
    try {
        buildAssistantContext(params, document.sources());
        ADD_FAILURE() << "expected " << code;
    } catch (const EngineFailure& failure) {
        EXPECT_EQ(rawValue(failure.code), code);
        EXPECT_EQ(failure.message, message);
    }
}

TEST(AssistantContext, Budget) {
    const std::pair<std::optional<std::int64_t>, std::int64_t> cases[] = {
        {std::nullopt, 24000}, {-5, 1000},     {0, 1000},        {1, 1000},        {1000, 1000},
        {1001, 1001},          {99999, 99999}, {100000, 100000}, {100001, 100000}, {10'000'000, 100000},
    };
    for (const auto& [limit, budget] : cases) EXPECT_EQ(AssistantContextBudget::resolve(limit), budget);
}

TEST(AssistantContext, CutsAtCharacterBoundaries) {
    const std::string thumbs = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // thumbs up + skin tone modifier
    const std::string family =
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";  // joined by ZWJ
    const std::string accented = "e\xCC\x81";                                        // e + combining acute
    struct Case {
        std::string text;
        std::int64_t characters;
        std::string kept;
        bool truncated;
    };
    const Case cases[] = {
        {thumbs + "a", 1, thumbs, true},
        {family + "x", 1, family, true},
        {accented + "x", 1, accented, true},
        {"ab" + accented, 3, "ab" + accented, false},
        {"\r\nz", 1, "\r\n", true},
        {"abc", 5, "abc", false},
        {"abc", 0, "", true},
        {"", 3, "", false},
    };
    for (const auto& c : cases) {
        const auto cut = AssistantContextBudget::cut(c.text, c.characters);
        EXPECT_EQ(cut.text, c.kept) << c.text;
        EXPECT_EQ(cut.truncated, c.truncated) << c.text;
        EXPECT_EQ(cut.characters, graphemeCount(c.kept)) << c.text;
    }

    // The budget's last character is a modified emoji or an accented letter: it stays whole.
    for (const std::string& last : {thumbs, accented, family}) {
        FakeDocument document({std::string(999, 'a') + last + "tail"});
        const auto context = buildAssistantContext(scoped("page", 1000), document.sources());
        ASSERT_EQ(context.pages.size(), 1u);
        EXPECT_EQ(context.pages[0].text, std::string(999, 'a') + last);
        EXPECT_TRUE(context.pages[0].truncated);
        EXPECT_EQ(context.characters, 1000);
    }
}

TEST(AssistantContext, DocumentScopeSpendsTheBudgetInPageOrder) {
    struct Case {
        std::string label;
        std::vector<std::size_t> lengths;
        std::vector<std::size_t> included;  // lengths of the pages returned
        std::vector<bool> pageTruncated;
        bool truncated;
        std::size_t extractedPages;
    };
    const Case cases[] = {
        {"first page alone is over budget", {1500, 10, 10}, {1000}, {true}, true, 1},
        {"pages fit exactly and one follows", {400, 600, 300}, {400, 600}, {false, false}, true, 2},
        {"budget runs out inside a page", {400, 700, 300}, {400, 600}, {false, true}, true, 2},
        {"everything fits", {100, 200, 300}, {100, 200, 300}, {false, false, false}, false, 3},
        {"empty pages", {0, 0}, {0, 0}, {false, false}, false, 2},
        {"no pages", {}, {}, {}, false, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> texts;
        for (const auto length : c.lengths) texts.push_back(std::string(length, 'w'));
        FakeDocument document(texts);
        const auto context = buildAssistantContext(scoped("document", 1000), document.sources());
        ASSERT_EQ(context.pages.size(), c.included.size()) << c.label;
        std::size_t sum = 0;
        for (std::size_t i = 0; i < c.included.size(); ++i) {
            EXPECT_EQ(context.pages[i].text.size(), c.included[i]) << c.label;
            EXPECT_EQ(context.pages[i].truncated, c.pageTruncated[i]) << c.label;
            EXPECT_EQ(context.pages[i].pageIndex, static_cast<std::int64_t>(i)) << c.label;
            EXPECT_EQ(context.pages[i].width, 612) << c.label;
            sum += c.included[i];
        }
        EXPECT_EQ(context.truncated, c.truncated) << c.label;
        EXPECT_EQ(context.characters, static_cast<std::int64_t>(sum)) << c.label;
        EXPECT_EQ(context.characters, includedCharacters(context)) << c.label;
        EXPECT_EQ(context.pageCount, static_cast<std::int64_t>(c.lengths.size())) << c.label;
        // Pages after an exhausted budget are never extracted.
        EXPECT_EQ(document.extracted.size(), c.extractedPages) << c.label;
        EXPECT_FALSE(context.selection) << c.label;
    }
}

TEST(AssistantContext, DocumentScopeReportsProgressAndStopsOnCancel) {
    FakeDocument document({"one", "two", "three"});
    buildAssistantContext(scoped("document"), document.sources());
    const std::vector<std::pair<std::int64_t, std::int64_t>> expected = {{0, 3}, {1, 3}, {2, 3}};
    EXPECT_EQ(document.steps, expected);

    FakeDocument cancelled({"one", "two", "three"});
    cancelled.cancelAtStep = 1;
    EXPECT_THROW(buildAssistantContext(scoped("document"), cancelled.sources()), EngineFailure);
    EXPECT_EQ(cancelled.extracted, std::vector<std::string>{"PAGE-1"});
}

TEST(AssistantContext, SelectionAndPageScopes) {
    FakeDocument document({"First page text.", "  Second page, kept as extracted \n"});
    const PDFRect rect{1, 2, 3, 4};

    CommandParams selection = scoped("selection");
    selection.contents = "\n  the chosen words \t";
    selection.pageId = "PAGE-2";
    selection.rect = rect;
    auto context = buildAssistantContext(selection, document.sources());
    ASSERT_TRUE(context.selection);
    EXPECT_EQ(*context.selection, (ContextSelection{"PAGE-2", 1, "the chosen words", rect}));
    EXPECT_TRUE(context.pages.empty());
    EXPECT_EQ(context.characters, 16);
    EXPECT_FALSE(context.truncated);
    EXPECT_TRUE(document.extracted.empty());

    selection.contents = std::string(1200, 'x');
    selection.rect.reset();
    selection.limit = 1000;
    context = buildAssistantContext(selection, document.sources());
    EXPECT_EQ(context.selection->text, std::string(1000, 'x'));
    EXPECT_FALSE(context.selection->rect);
    EXPECT_TRUE(context.truncated);

    // The page is read as extracted, not trimmed; no page id means the first page.
    context = buildAssistantContext(scoped("page"), document.sources());
    ASSERT_EQ(context.pages.size(), 1u);
    EXPECT_EQ(context.pages[0].pageId, "PAGE-1");
    context = buildAssistantContext(CommandParams{.pageId = "PAGE-2"}, document.sources());
    EXPECT_EQ(context.scope, "page");
    EXPECT_EQ(context.pages[0].text, "  Second page, kept as extracted \n");
    EXPECT_EQ(context.characters, graphemeCount(context.pages[0].text));
    EXPECT_EQ(context.revision, 4);
    EXPECT_EQ(context.pageCount, 2);
}

TEST(AssistantContext, Refusals) {
    FakeDocument document({"Some text here."});
    FakeDocument empty({});
    const std::string selectMessage = "Select text on a page to ask about a selection.";

    CommandParams blank = scoped("selection");
    blank.contents = " \n\t ";
    blank.pageId = "PAGE-1";
    expectFailure(blank, document, "invalid_argument", selectMessage);
    expectFailure(scoped("selection"), document, "invalid_argument", selectMessage);
    CommandParams noPage = scoped("selection");
    noPage.contents = "words";
    expectFailure(noPage, document, "invalid_argument", selectMessage);
    noPage.pageId = "NOPE";
    expectFailure(noPage, document, "invalid_page", "No page with that id is in the document.");

    expectFailure(scoped("page"), empty, "invalid_page", "The document has no pages.");
    CommandParams unknown = scoped("page");
    unknown.pageId = "NOPE";
    expectFailure(unknown, document, "invalid_page", "No page with that id is in the document.");
    expectFailure(scoped("Page"), document, "invalid_argument",
                  "scope must be selection, page, or document.");
    expectFailure(scoped(""), document, "invalid_argument", "scope must be selection, page, or document.");
}

TEST(AssistantContext, FieldsScanAndLimitations) {
    // 11 letters: too few for real text, unless a form field is on the page.
    FakeDocument document({"Abcdefghijk 123 456", "Other page"});
    auto context = buildAssistantContext(scoped("page"), document.sources());
    EXPECT_TRUE(context.scan);
    EXPECT_TRUE(context.fields.empty());

    document.fields = {{.name = "b", .pageId = "PAGE-2"},
                       {.name = "a1", .pageId = "PAGE-1"},
                       {.name = "a2", .pageId = "PAGE-1"}};
    context = buildAssistantContext(scoped("page"), document.sources());
    EXPECT_FALSE(context.scan);
    ASSERT_EQ(context.fields.size(), 2u);
    EXPECT_EQ(context.fields[0].name, "a1");
    EXPECT_EQ(context.fields[1].name, "a2");

    // With a field on the page only a page without any letter is a scan.
    FakeDocument digits({"12 34 56"});
    digits.fields = {{.name = "n", .pageId = "PAGE-1"}};
    EXPECT_TRUE(buildAssistantContext(scoped("page"), digits.sources()).scan);

    // Combining marks count as letters.
    FakeDocument marks(
        {"e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81"
         "e\xCC\x81"});
    EXPECT_FALSE(buildAssistantContext(scoped("page"), marks.sources()).scan);

    // A selection keeps the fields of its page.
    CommandParams selection = scoped("selection");
    selection.contents = "Other page words";
    selection.pageId = "PAGE-2";
    context = buildAssistantContext(selection, document.sources());
    ASSERT_EQ(context.fields.size(), 1u);
    EXPECT_EQ(context.fields[0].name, "b");

    // A refused question still gets its reading material.
    CommandParams refused = scoped("document");
    refused.query = "Please redact the names";
    context = buildAssistantContext(refused, document.sources());
    ASSERT_EQ(context.limitations.size(), 1u);
    EXPECT_EQ(context.limitations[0].summary, "Existing-text replacement is outside alpha");
    EXPECT_EQ(context.limitations[0].expectedRevision, 4);
    EXPECT_EQ(context.pages.size(), 2u);
    EXPECT_FALSE(context.truncated);
    EXPECT_EQ(context.fields.size(), 3u);
}

}  // namespace
}  // namespace kivo
