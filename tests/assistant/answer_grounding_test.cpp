#include "assistant/answer_grounding.hpp"

#include <gtest/gtest.h>

namespace kivo {
namespace {

AssistantContext readContext() {
    AssistantContext context;
    context.pages = {
        {"id-1", 0, 612, 792, "The total revenue was 4.2 million in \"2023\" - a record.\nSecond line here.", false},
        {"id-2", 1, 612, 792, "Page two speaks of apples, then later of pears.", false},
    };
    context.selection = ContextSelection{"sel-5", 4, "Selected words on five", std::nullopt};
    return context;
}

TEST(AnswerGrounding, VerifiesQuotes) {
    using Kind = AnswerGrounding::Verdict::Kind;
    struct Case {
        std::int64_t page;
        std::optional<std::string> quote;
        Kind kind;
        std::optional<std::string> keptQuote;
        std::string pageId;
    };
    const Case cases[] = {
        {1, std::nullopt, Kind::confirmed, std::nullopt, "id-1"},
        {1, "ok", Kind::confirmed, std::nullopt, "id-1"},  // too short to check
        {1, "  TOTAL   revenue\nwas  ", Kind::confirmed, "  TOTAL   revenue\nwas  ", "id-1"},
        {1,
         "in \xE2\x80\x9C"
         "2023\xE2\x80\x9D \xE2\x80\x94 a re\xC2\xAD"
         "cord",
         Kind::confirmed,
         "in \xE2\x80\x9C"
         "2023\xE2\x80\x9D \xE2\x80\x94 a re\xC2\xAD"
         "cord",
         "id-1"},
        {1, "a record.\\nSecond line", Kind::confirmed, "a record.\\nSecond line", "id-1"},
        {2, "apples ... pears", Kind::confirmed, "apples ... pears", "id-2"},
        {2, "apples \xE2\x80\xA6 pears", Kind::confirmed, "apples \xE2\x80\xA6 pears", "id-2"},
        {2, "pears ... apples", Kind::quoteNotFound, std::nullopt, ""},
        {2, "total revenue", Kind::quoteNotFound, std::nullopt, ""},  // stands on another page
        {2, "...", Kind::quoteNotFound, std::nullopt, ""},
        {5, "words on", Kind::confirmed, "words on", "sel-5"},
        {0, std::nullopt, Kind::pageNotRead, std::nullopt, ""},
        {3, "anything", Kind::pageNotRead, std::nullopt, ""},
        {INT64_MIN, std::nullopt, Kind::pageNotRead, std::nullopt, ""},
    };
    const auto context = readContext();
    for (const auto& c : cases) {
        const auto verdict = AnswerGrounding::verify(c.page, c.quote, context);
        EXPECT_EQ(verdict.kind, c.kind) << c.page << " " << c.quote.value_or("-");
        if (c.kind == Kind::confirmed) {
            ASSERT_TRUE(verdict.claim);
            EXPECT_EQ(verdict.claim->quote, c.keptQuote);
            EXPECT_EQ(verdict.claim->pageId, c.pageId);
            EXPECT_EQ(verdict.claim->pageIndex, c.page - 1);
        }
    }
}

TEST(AnswerGrounding, GroundsCitationsInText) {
    struct Case {
        std::string text;
        std::string grounded;
        std::size_t claims;
        std::vector<std::string> notes;
    };
    const std::string notFound2 = "Removed a citation to page 2: its quote is not on that page.";
    const Case cases[] = {
        {"No citations (p. 1) here.", "No citations (p. 1) here.", 0, {}},
        {"Fact [p. 1].", "Fact [p. 1].", 1, {}},
        {"A [p. 1: \"ok\"] B [p. 1]", "A [p. 1: \"ok\"] B [p. 1]", 1, {}},
        {"[p. 1: \"total revenue\"] [p. 1: \"total revenue\"] [p. 1: \"second line\"]",
         "[p. 1: \"total revenue\"] [p. 1: \"total revenue\"] [p. 1: \"second line\"]",
         2,
         {}},
        {"X [Page 2, \xE2\x80\x9C"
         "apples\xE2\x80\x9D] Y [PP. 2] Z [P2: \"pears\"]",
         "X [Page 2, \xE2\x80\x9C"
         "apples\xE2\x80\x9D] Y [PP. 2] Z [P2: \"pears\"]",
         3,
         {}},
        {"Bad [p. 0] and [p. 9: \"x y z\"].",
         "Bad [p. 0: not in the text the assistant read] and [p. 9: not in the text the assistant read].",
         0,
         {"Removed a citation to page 0, which is not in the text the assistant read.",
          "Removed a citation to page 9, which is not in the text the assistant read."}},
        {"Wrong [p. 2: \"total revenue\"]!", "Wrong [p. 2: quote not found on that page]!", 0, {notFound2}},
        {"Huge [p. 99999999999999999999]",
         "Huge [p. 0: not in the text the assistant read]",
         0,
         {"Removed a citation to page 0, which is not in the text the assistant read."}},
        {"Bracket [p. 2: \"a]b\"] stays", "Bracket [p. 2: \"a]b\"] stays", 0, {}},
    };
    const auto context = readContext();
    for (const auto& c : cases) {
        const auto grounded = AnswerGrounding::ground(c.text, context);
        EXPECT_EQ(grounded.text, c.grounded) << c.text;
        EXPECT_EQ(grounded.claims.size(), c.claims) << c.text;
        EXPECT_EQ(grounded.notes, c.notes) << c.text;
        // A rewritten citation no longer matches: grounding again changes nothing.
        EXPECT_EQ(AnswerGrounding::ground(grounded.text, context).text, grounded.text);
    }
}

TEST(AnswerGrounding, OnlyTheTextSentCounts) {
    AssistantContext context = readContext();
    context.pages[1].text = "Page two speaks of";  // the rest was cut to fit
    EXPECT_EQ(AnswerGrounding::verify(2, std::string("apples"), context).kind,
              AnswerGrounding::Verdict::Kind::quoteNotFound);
    EXPECT_EQ(AnswerGrounding::normalize("  A\\r\\nB\xE2\x80\xB9"
                                         "C\xE2\x80\xBA \xE2\x80\x98"
                                         "D\xE2\x80\x99\t "),
              "a b<c> 'd'");
}

}  // namespace
}  // namespace kivo
