#include "core/page_text.hpp"

#include <gtest/gtest.h>

namespace kivo {
namespace {

TextRun run(const char* text, double left, double bottom, double right, double top) {
    return TextRun{0, text, left, bottom, right, top};
}

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
    };
    for (const auto& c : cases) EXPECT_EQ(texts(PageText::lines(c.runs)), c.expected) << c.name;

    const auto generated = PageText::lines({H, space, i});
    EXPECT_EQ(generated[0].rect, (PDFRect{10, 700, 22, 712}));
    const auto raised = PageText::lines({H, run("2", 18, 708, 21, 716)});
    EXPECT_EQ(raised[0].rect, (PDFRect{10, 700, 21, 716}));
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
