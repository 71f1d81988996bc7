#include "session_test.hpp"

#include "session/running_command.hpp"

namespace kivo::testing {
namespace {

using SessionText = SessionTest;

// One page whose font maps the code "A" to U+1F600 through its ToUnicode map.
std::string makeEmojiPdf() {
    const std::string cmap =
        "/CIDInit /ProcSet findresource begin 12 dict begin begincmap /CMapName /Emoji def "
        "1 begincodespacerange <00> <FF> endcodespacerange 1 beginbfchar <41> <D83DDE00> endbfchar "
        "endcmap CMapName currentdict /CMap defineresource pop end end";
    const std::string content = "BT /F1 24 Tf 72 700 Td (AA) Tj ET";
    return assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 5 0 R >> >> "
        "/Contents 4 0 R >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /ToUnicode 6 0 R >>",
        "<< /Length " + std::to_string(cmap.size()) + " >>\nstream\n" + cmap + "\nendstream",
    });
}

TEST_F(SessionText, CharactersWithBoxes) {
    const auto session = open(makePdf({{612, 792, "Hello PDF"}, {612, 792, "", false}}));
    const Session::ExtractedText text = session->extractText(session->pages()[0].id);
    EXPECT_EQ(text.text, "Hello PDF");
    ASSERT_EQ(text.chars.size(), 9u);
    std::string joined;
    for (size_t i = 0; i < text.chars.size(); ++i) {
        const TextRun& run = text.chars[i];
        EXPECT_EQ(run.index, static_cast<std::int64_t>(i));
        joined += run.unicode;
        if (run.unicode != " ") {
            EXPECT_LT(run.left, run.right) << i;
            EXPECT_LT(run.bottom, run.top) << i;
            // Drawn at (72, 692) in Helvetica 24.
            EXPECT_GE(run.left, 72) << i;
            EXPECT_NEAR(run.bottom, 692, 8) << i;
        }
    }
    EXPECT_EQ(joined, text.text);
    EXPECT_LT(text.chars[0].right, text.chars[1].right);

    // A page without text has no runs.
    const Session::ExtractedText blank = session->extractText(session->pages()[1].id);
    EXPECT_EQ(blank.text, "");
    EXPECT_TRUE(blank.chars.empty());
    EXPECT_EQ(failureOf([&] { session->extractText("nope"); }).code, FailureCode::invalidPage);
}

TEST_F(SessionText, CharactersBeyondTheBasicPlane) {
    const auto session = open(makeEmojiPdf());
    const Session::ExtractedText text = session->extractText(session->pages()[0].id);
    // PDFium counts the character as two, one per surrogate: the first run carries it whole,
    // the second nothing, and the runs still join into the page text.
    ASSERT_EQ(text.chars.size(), 4u);
    const std::string emoji = "\xF0\x9F\x98\x80";
    EXPECT_EQ(text.chars[0].unicode, emoji);
    EXPECT_EQ(text.chars[1].unicode, "");
    EXPECT_EQ(text.chars[2].unicode, emoji);
    EXPECT_EQ(text.chars[3].unicode, "");
    EXPECT_EQ(text.chars[3].index, 3);
    EXPECT_EQ(text.text, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
}

TEST_F(SessionText, Utf16Units) {
    struct Case {
        std::uint32_t code;
        std::u16string units;
    };
    const Case cases[] = {
        {0x41, u"A"},
        {0xE9, u"\u00E9"},
        {0xFFFF, std::u16string(1, char16_t(0xFFFF))},
        {0xD800, std::u16string(1, char16_t(0xD800))},  // a surrogate value passes through
        {0x10000, u"\U00010000"},
        {0x1F600, u"\U0001F600"},
        {0x10FFFF, u"\U0010FFFF"},
        {0x110000, u"\uFFFD"},
        {0xFFFFFFFF, u"\uFFFD"},
    };
    for (const Case& c : cases) EXPECT_EQ(session_detail::utf16Units(c.code), c.units) << std::hex << c.code;
}

TEST_F(SessionText, SearchFindsTrimmedCaseInsensitiveMatches) {
    const auto session = open(makePdf({{612, 792, "Hello PDF"}, {612, 792, "pdf and PDF"}}));
    const auto ids = pageIds(*session);
    const std::vector<SearchHit> hits = session->search("  pdf\n", std::nullopt);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0].pageId, ids[0]);
    EXPECT_EQ(hits[0].index, 6);
    EXPECT_EQ(hits[0].count, 3);
    EXPECT_EQ(hits[0].preview, "PDF");
    ASSERT_EQ(hits[0].rects.size(), 1u);
    const PDFRect& r = hits[0].rects[0];
    EXPECT_LT(r.left, r.right);
    EXPECT_LT(r.bottom, r.top);
    EXPECT_NEAR(r.bottom, 692, 8);
    EXPECT_EQ(hits[1].pageId, ids[1]);
    EXPECT_EQ(hits[1].preview, "pdf");
    EXPECT_EQ(hits[2].preview, "PDF");

    // One page only.
    EXPECT_EQ(session->search("pdf", ids[1]).size(), 2u);
    EXPECT_TRUE(session->search("absent", std::nullopt).empty());

    const EngineFailure blank(FailureCode::invalidArgument, "search requires a query.");
    for (const char* query : {"", "   ", " \n\t\r\n "}) {
        EXPECT_EQ(failureOf([&] { session->search(query, std::nullopt); }), blank) << '"' << query << '"';
    }
    EXPECT_EQ(failureOf([&] { session->search("pdf", std::string("nope")); }),
              EngineFailure(FailureCode::invalidPage, "Unknown page id."));
}

TEST_F(SessionText, SearchStopsAtTwoHundredHits) {
    const std::string line(150, 'a');
    const auto session = open(makePdf({{612, 792, line}, {612, 792, line}, {612, 792, line}}));
    const auto ids = pageIds(*session);
    const std::vector<SearchHit> hits = session->search("a", std::nullopt);
    ASSERT_EQ(hits.size(), 200u);
    EXPECT_EQ(hits[149].pageId, ids[0]);
    EXPECT_EQ(hits[150].pageId, ids[1]);
    EXPECT_EQ(hits[150].index, 0);
    EXPECT_EQ(hits[199].index, 49);
}

TEST_F(SessionText, SearchReportsProgressAndStopsOnCancel) {
    const auto session = open(makePdf({{612, 792, "one"}, {612, 792, "two"}}));
    std::vector<CommandProgress> lines;
    RunningCommand command("s", CommandChannel::ui, ResourceLimits::unlimited(),
                           [&](const CommandProgress& line) { lines.push_back(line); });
    RunningCommand::Activation active(command);
    session->search("o", std::nullopt);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].phase, CommandPhase::searching);
    EXPECT_EQ(lines[0].total, 2);
    command.requestCancel();
    EXPECT_EQ(failureOf([&] { session->search("o", std::nullopt); }).code, FailureCode::cancelled);
}

TEST_F(SessionText, SampleText) {
    if (corpus("multicolumn.pdf").empty()) GTEST_SKIP() << "sample folder absent";
    const auto columns = openSample("multicolumn.pdf");
    const auto text = columns->extractText(columns->pages()[0].id);
    EXPECT_GT(text.text.size(), 500u);
    EXPECT_EQ(text.chars.size() > 500, true);

    // Arabic letters come through as such.
    const auto habibi = openSample("habibi.pdf");
    const std::string arabic = habibi->extractText(habibi->pages()[0].id).text;
    EXPECT_NE(arabic.find("\xD8"), std::string::npos) << arabic;  // lead byte of U+0600..U+063F

    const auto four = openSample("pdflatex-4-pages.pdf");
    const auto hits = four->search("the", std::nullopt);
    EXPECT_FALSE(hits.empty());
    for (const SearchHit& hit : hits) {
        std::string lower = hit.preview;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        EXPECT_EQ(lower, "the");
        EXPECT_FALSE(hit.rects.empty());
    }
}

}  // namespace
}  // namespace kivo::testing
