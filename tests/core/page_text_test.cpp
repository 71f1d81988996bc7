#include "core/page_text.hpp"

#include <gtest/gtest.h>

namespace kivo {
namespace {

TextRun run(const char* text, double left, double bottom, double right, double top) {
    return TextRun{0, text, left, bottom, right, top};
}

bool hasBox(const TextRun& r) { return r.left < r.right && r.bottom < r.top; }

std::vector<std::string> texts(const std::vector<TextLine>& lines) {
    std::vector<std::string> out;
    for (const auto& line : lines) out.push_back(line.text);
    return out;
}

TEST(PageText, Lines) {
    const auto H = run("H", 10, 700, 18, 712);
    const auto i = run("i", 18, 700, 22, 712);
    const auto xLow = run("x", 10, 680, 16, 690);
    const auto space = run(" ", 0, 0, 0, 0);
    struct Case {
        const char* name;
        std::vector<TextRun> runs;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"line feed", {H, i, run("\n", 0, 0, 0, 0), run("x", 10, 700, 16, 712)}, {"Hi", "x"}},
        {"lower midpoint", {H, i, xLow}, {"Hi", "x"}},
        {"generated space inside", {H, space, i}, {"H i"}},
        {"leading box-less text", {space, run("a", 0, 0, 0, 0), H}, {"aH"}},
        {"only spaces", {run(" ", 10, 700, 14, 712), run(" ", 14, 700, 18, 712), run("\r", 0, 0, 0, 0)}, {}},
        {"box-less only", {run("a", 0, 0, 0, 0)}, {}},
        {"superscript", {H, run("2", 18, 708, 21, 716), run("y", 21, 711, 25, 715)}, {"H2y"}},
        // Tight glyph boxes: the comma hangs below the foot of "o", whose overshoot dips below the "H".
        {"hanging comma",
         {H, run("o", 18, 699.8, 24, 708), run(",", 24, 697.5, 26.5, 701.5), space,
          run("w", 30, 700, 38, 708)},
         {"Ho, w"}},
        {"quote mark", {run("“", 10, 706, 14, 713), H}, {"“H"}},
        {"next line under a descender",
         {H, run("g", 18, 696, 24, 708), run("x", 10, 684, 16, 692)},
         {"Hg", "x"}},
    };
    for (const auto& c : cases) EXPECT_EQ(texts(PageText::lines(c.runs)), c.expected) << c.name;

    const auto generated = PageText::lines({H, space, i});
    EXPECT_EQ(generated[0].rect, (PDFRect{10, 700, 22, 712}));
    const auto raised = PageText::lines({H, run("2", 18, 708, 21, 716)});
    EXPECT_EQ(raised[0].rect, (PDFRect{10, 700, 21, 716}));
}

TEST(PageText, TextUnderReadsTheLinesADragCoversNotTheirNeighboursEdges) {
    // "Hg, w" over "lo", as PDFium hands them out: a generated space and line end without boxes. The first
    // line's band is 696 to 712, the second's 680 to 692.
    const std::vector<TextRun> runs = {
        run("H", 10, 700, 18, 712), run("g", 18, 696, 24, 708), run(",", 24, 697, 26, 701),
        run(" ", 0, 0, 0, 0),       run("w", 30, 700, 38, 708), run("\r", 0, 0, 0, 0),
        run("\n", 0, 0, 0, 0),      run("l", 10, 680, 12, 692), run("o", 12, 680, 18, 688)};
    const struct {
        const char* name;
        PDFRect rect;
        std::string text;
    } cases[] = {
        {"both lines", {0, 670, 100, 720}, "Hg, w\nlo"},
        {"the second line, grazing the first's descenders", {0, 678, 100, 697.5}, "lo"},
        {"from the middle of the first line down", {0, 678, 100, 705}, "Hg, w\nlo"},
        {"the top third of the first line, from above, and the comma below it", {0, 706, 100, 716}, "Hg, w"},
        {"a thin drag inside the first line", {0, 709, 100, 710}, "H"},
        {"half of the first line's width", {0, 690, 19, 720}, "Hg"},
        {"touching an edge only", {0, 712, 100, 720}, ""},
    };
    // The same page turned a quarter by its content: every point (x, y) drawn at (-y, x).
    const auto turned = [](double left, double bottom, double right, double top) {
        return PDFRect{-top, left, -bottom, right};
    };
    std::vector<TextRun> turnedRuns;
    for (const TextRun& r : runs) {
        const PDFRect box = turned(r.left, r.bottom, r.right, r.top);
        turnedRuns.push_back(hasBox(r) ? run(r.unicode.c_str(), box.left, box.bottom, box.right, box.top)
                                       : r);
    }
    for (const auto& c : cases) {
        EXPECT_EQ(PageText::textUnder(runs, c.rect), c.text) << c.name;
        const PDFRect& r = c.rect;
        EXPECT_EQ(PageText::textUnder(turnedRuns, turned(r.left, r.bottom, r.right, r.top)), c.text)
            << c.name << ", turned";
    }
    EXPECT_EQ(texts(PageText::lines(turnedRuns)), (std::vector<std::string>{"Hg, w", "lo"}));
}

TEST(PageText, Selection) {
    std::vector<TextLine> lines;
    for (int n = 0; n < 5; ++n) {
        lines.push_back({"l" + std::to_string(n), PDFRect{0, 100.0 - 10 * n, 50.0 + n, 108.0 - 10 * n}});
    }
    const auto middle = PageText::selection(lines, {2, 10});
    ASSERT_TRUE(middle);
    EXPECT_EQ(middle->text, "l2\nl3\nl4");
    EXPECT_EQ(middle->rect, (PDFRect{0, 60, 54, 88}));
    EXPECT_EQ(PageText::selection(lines, {-3, 0})->text, "l0");
    EXPECT_FALSE(PageText::selection({}, {0, 0}));
}

TEST(LineSelection, Moved) {
    struct Case {
        std::optional<LineSelection> current;
        std::int64_t delta;
        bool extend;
        std::int64_t count;
        std::optional<LineSelection> expected;
    };
    const Case cases[] = {
        {std::nullopt, -1, false, 12, LineSelection{11, 11}},
        {std::nullopt, 1, true, 12, LineSelection{0, 0}},
        {LineSelection{11, 11}, 1, false, 12, LineSelection{11, 11}},
        {LineSelection{3, 5}, -4, true, 12, LineSelection{3, 1}},
        {LineSelection{3, 5}, -40, false, 12, LineSelection{0, 0}},
        {LineSelection{20, 2}, 1, true, 12, LineSelection{0, 0}},
        {LineSelection{0, 0}, 1, false, 0, std::nullopt},
        {LineSelection{0, 5}, std::numeric_limits<std::int64_t>::max(), true, 12, LineSelection{0, 11}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LineSelection::moved(c.current, c.delta, c.extend, c.count), c.expected) << c.delta;
    }
    EXPECT_EQ((LineSelection{5, 2}).range(), (LineRange{2, 5}));
}

}  // namespace
}  // namespace kivo
