#include "assistant/answer_grounding.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <stop_token>

#include "core/text_match.hpp"

namespace kivo {
namespace {

AssistantContext readContext() {
    AssistantContext context;
    context.pages = {
        {"id-1", 0, 612, 792, "The total revenue was 4.2 million in \"2023\" - a record.\nSecond line here.",
         false},
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

// Grounding as the citation pattern run by the regular-expression engine does it: the reference
// the linear scan must agree with.
GroundedAnswer groundByPattern(const std::string& text, const AssistantContext& context) {
    const auto split = TextMatch::splitAtMatches(AnswerGrounding::citationPattern, text);
    GroundedAnswer answer;
    for (const auto& match : split->matches) {
        answer.text += match.before;
        std::int64_t page = 0;
        const std::string& digits = *match.groups[0];
        if (digits.find_first_not_of("0123456789") == std::string::npos && digits.size() < 19)
            page = std::stoll(digits);
        std::optional<std::string> quote = match.groups[1] ? match.groups[1] : match.groups[2];
        if (quote) quote = TextMatch::trimmed(*quote);
        const std::string number = std::to_string(page);
        const auto verdict = AnswerGrounding::verify(page, quote, context);
        if (verdict.kind == AnswerGrounding::Verdict::Kind::confirmed) {
            if (std::find(answer.claims.begin(), answer.claims.end(), *verdict.claim) == answer.claims.end())
                answer.claims.push_back(*verdict.claim);
            answer.text += match.matched;
        } else if (verdict.kind == AnswerGrounding::Verdict::Kind::pageNotRead) {
            answer.notes.push_back("Removed a citation to page " + number +
                                   ", which is not in the text the assistant read.");
            answer.text += "[p. " + number + ": not in the text the assistant read]";
        } else {
            answer.notes.push_back("Removed a citation to page " + number +
                                   ": its quote is not on that page.");
            answer.text += "[p. " + number + ": quote not found on that page]";
        }
    }
    answer.text += split->rest;
    return answer;
}

// The linear scan finds what the pattern finds, on texts made of the pieces where the two could
// part: prefixes, digits of other scripts, white space the pattern does and does not take, quotes
// that close, do not close or hold a bracket.
TEST(AnswerGrounding, FindsTheCitationsThePatternFinds) {
    // A citation's parts in order, each with forms the pattern takes and forms it does not.
    const std::vector<std::vector<std::string>> slots = {
        {"[", "[", "[", "(", "x"},
        {"", "", " ", "\t", "\v", "\xC2\xA0" /* no-break space */, "\xE2\x80\x8B" /* zero width, no space */},
        {"p", "P", "pp", "p.", "pP.", "page", "PaGe", "pag", "pages", "q"},
        {"", "", " ", "\n"},
        {"1", "2", "12", "\xD9\xA3" /* Arabic-Indic 3 */, "", "x"},
        {"", "", " ", "\xE2\x80\x8B"},
        {"", "", ":", ",", ";", ": ", ":\t"},
        {"", "", "\"Hello words\"", "\"Hello", "\xE2\x80\x9CHello words\xE2\x80\x9D",
         "\xE2\x80\x9Cx\"y\xE2\x80\x9D", "\"a]b\"", "\xE2\x80\x9C\xE2\x80\x9C", "\"\"",
         "\xE2\x80\x9Dx\xE2\x80\x9D"},
        {"", "", " ", "\xC2\xA0", "x"},
        {"]", "]", "]", "", "]]"},
        {"", " and ", "[", "\"", "\xE2\x80\x9D", "]"},
    };
    std::mt19937 random(7);
    AssistantContext context = readContext();
    context.pages[0].text = "Hello words x";
    int citations = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int count = 1 + static_cast<int>(random() % 3); count > 0; --count) {
            for (const auto& slot : slots) text += slot[random() % slot.size()];
        }
        const GroundedAnswer expected = groundByPattern(text, context);
        ASSERT_EQ(AnswerGrounding::ground(text, context), expected) << text;
        citations += static_cast<int>(expected.claims.size() + expected.notes.size());
    }
    EXPECT_GT(citations, 1000) << "the parts make citations often enough to compare";
}

TEST(AnswerGrounding, AHostileReplyIsScannedInLinearTimeAndAStopLeavesTheRestUnchecked) {
    const AssistantContext context = readContext();
    struct Case {
        std::string name;
        std::string unit;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {"curly quotes that never close", "[p1:\xE2\x80\x9C", ""},
        {"straight quotes that never close", "[p1:\"", ""},
        {"curly quotes closed once, far away", "[p1:\xE2\x80\x9C",
         "\xE2\x80\x9D" + std::string(100000, ' ') + "x"},
        {"white space that never ends", "[  page   ", ""},
    };
    for (const Case& c : cases) {
        std::string text;
        while (text.size() < 280000) text += c.unit;
        text += c.tail;
        const auto started = std::chrono::steady_clock::now();
        const GroundedAnswer grounded = AnswerGrounding::ground(text, context);
        const auto took = std::chrono::steady_clock::now() - started;
        // Minutes before; milliseconds now, with room for a slow machine.
        EXPECT_LT(took, std::chrono::milliseconds(1000)) << c.name;
        EXPECT_EQ(grounded.text, text) << c.name;
    }

    // Many different citations: the first ones are judged, the rest marked, with one note.
    std::string many;
    for (int page = 1; page <= 400; ++page) many += "[p. 2: \"apples " + std::to_string(page) + "\"] ";
    const GroundedAnswer bounded = AnswerGrounding::ground(many, context);
    EXPECT_EQ(bounded.notes.size(), AnswerGrounding::maximumCheckedCitations + 1);
    EXPECT_EQ(bounded.notes.back(), AnswerGrounding::uncheckedNote);
    std::size_t marked = 0;
    for (std::size_t at = bounded.text.find("not checked]"); at != std::string::npos;
         at = bounded.text.find("not checked]", at + 1))
        ++marked;
    EXPECT_EQ(marked, 400 - AnswerGrounding::maximumCheckedCitations);
    // The same citation again and again is judged once.
    std::string repeated;
    for (int i = 0; i < 400; ++i) repeated += "[p. 2: \"apples\"] ";
    EXPECT_EQ(AnswerGrounding::ground(repeated, context).text, repeated);

    std::stop_source stop;
    stop.request_stop();
    const GroundedAnswer stopped =
        AnswerGrounding::ground("[p. 2: \"apples\"] [p. 9]", context, stop.get_token());
    EXPECT_EQ(stopped.text, "[p. 2: not checked] [p. 9: not checked]");
    EXPECT_TRUE(stopped.claims.empty());
}

}  // namespace
}  // namespace kivo
