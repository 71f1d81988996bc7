// What the pointer and the line and annotation commands select, on a document record set by hand:
// no worker is needed to choose, only to change.

#include <gtest/gtest.h>

#include "workspace_fixture.hpp"

namespace kivo {
namespace {

AnnotationInfo note(const std::string& id, const std::string& pageId, PDFRect rect,
                    const std::string& contents = "") {
    return AnnotationInfo{id, "note", pageId, rect, contents};
}

// One run per line, 20 points apart from the top of the page, or one run per character for a line
// of `width` characters.
std::vector<TextRun> lineRuns(int count) {
    std::vector<TextRun> runs;
    for (int i = 0; i < count; ++i) {
        const double top = 760 - 20.0 * i;
        runs.push_back(TextRun{i, "Line " + std::to_string(i + 1), 72, top - 12, 200, top});
    }
    return runs;
}

class SelectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        CommandResult document;
        document.sessionId = "s1";
        document.revision = 4;
        document.pages = std::vector<PageInfo>{{"p1", 0, 612, 792, 0}, {"p2", 1, 612, 792, 0}};
        document.annotations = std::vector<AnnotationInfo>{
            note("a", "p1", {300, 680, 340, 700}),
            note("b", "p1", {100, 680, 140, 700}, "  Check the total "),
            note("c", "p1", {50, 480, 90, 500}, "NOTE"), note("d", "p2", {100, 100, 200, 200}),
            note("e", "p1", {320, 690, 360, 710})};
        testing::arrange(ws(), "inspect", std::optional<CommandResult>(document));
        testing::arrange(ws(), "sessionId", std::optional<std::string>("s1"));
        testing::arrange(ws(), "selectedPageId", std::optional<std::string>("p1"));
    }

    Workspace& ws() { return *test_; }

    // The shown page's characters, as its text would arrive.
    void setPageChars(std::vector<TextRun> runs) {
        testing::arrange(ws().shownPage(), "pageChars", std::move(runs));
    }

    testing::Scratch scratch_;
    testing::TestWorkspace test_{std::nullopt};
};

TEST_F(SelectionTest, StepsThroughThePagesAnnotationsInReadingOrderAndWraps) {
    // Reading order of p1: e (top 710), then b and a (top 700, left 100 before 300), then c (top 500).
    struct Step {
        std::optional<std::string> from;
        std::int64_t step;
        std::string expected;
        std::string status;
    };
    const std::vector<Step> steps = {
        {std::nullopt, 1, "e", "Note annotation selected, 1 of 4"},
        {std::nullopt, -1, "c", "Note annotation selected, 4 of 4"},
        {"c", 1, "e", "Note annotation selected, 1 of 4"},
        {"e", 1, "b", "Note annotation: Check the total selected, 2 of 4"},
        {"e", 5, "b", "Note annotation: Check the total selected, 2 of 4"},
        {"e", -1, "c", "Note annotation selected, 4 of 4"},
        {"d", 1, "e", "Note annotation selected, 1 of 4"},
    };
    for (const Step& step : steps) {
        testing::arrange(ws(), "selectedPageId", std::optional<std::string>("p1"));
        testing::arrange(ws(), "selectedAnnotationId", std::optional<std::string>(step.from));
        ws().selectAdjacentAnnotation(step.step);
        EXPECT_EQ(ws().selectedAnnotationId(), step.expected)
            << step.from.value_or("none") << " " << step.step;
        EXPECT_EQ(ws().status(), step.status);
        EXPECT_EQ(ws().selection(), ws().inspect()->annotations->at(step.expected[0] - 'a').rect);
    }
    ws().select("p2");
    testing::arrange(ws(), "selectedPageId", std::optional<std::string>("missing"));
    ws().selectAdjacentAnnotation(1);
    EXPECT_EQ(ws().status(), "This page has no annotations.");
}

TEST_F(SelectionTest, AClickPicksTheLastListedAnnotationUnderItAndADragTheTextItCovers) {
    ws().chooseTool(EditorTool::select);
    // a and e overlap at (330, 695); e is listed later. (340, 690) is on a's right edge and e's bottom edge.
    ws().applyTool({328, 693, 332, 697}, {});
    EXPECT_EQ(ws().selectedAnnotationId(), "e");
    ws().applyTool({297, 677, 303, 683}, {});  // 6 wide: a drag, which deselects
    EXPECT_EQ(ws().selectedAnnotationId(), std::nullopt);
    ws().applyTool({297.1, 677.1, 302.9, 682.9}, {});  // 5.8 both ways: a click on a's corner
    EXPECT_EQ(ws().selectedAnnotationId(), "a");
    EXPECT_EQ(ws().selection(), (PDFRect{300, 680, 340, 700}));
    ws().applyTool({500, 300, 502, 302}, {});
    EXPECT_EQ(ws().selectedAnnotationId(), std::nullopt);
    EXPECT_EQ(ws().selection(), std::nullopt);

    // Characters at x 100-110, 110-120, 120-130; the rectangle touches the first and last only at their
    // edges.
    setPageChars({{0, "A", 100, 500, 110, 512}, {1, "B", 110, 500, 120, 512}, {2, "C", 120, 500, 130, 512}});
    EXPECT_EQ(ws().text({110, 490, 120, 520}), "B");
    // Grazing the line's top takes none of it; reaching its middle takes the characters overlapped.
    EXPECT_EQ(ws().text({109, 511, 121, 530}), "");
    EXPECT_EQ(ws().text({109, 506, 121, 530}), "ABC");
    ws().applyTool({105, 495, 125, 515}, {});
    EXPECT_EQ(ws().selectedText(), "ABC");
    EXPECT_EQ(ws().selection(), (PDFRect{105, 495, 125, 515}));
    ws().copySelection();
    EXPECT_EQ(test_.clipboard->text, "ABC");
    EXPECT_EQ(ws().status(), "Copied text");
}

TEST_F(SelectionTest, LineSelectionsSayWhichLinesAndShortenLongTexts) {
    setPageChars(lineRuns(40));
    int reveals = 0;
    QObject::connect(&ws(), &Workspace::revealRequested, [&] { ++reveals; });
    ws().selectLines({3, 1});
    EXPECT_EQ(ws().status(), "Lines 2–4 of 40: Line 2\nLine 3\nLine 4");
    EXPECT_EQ(ws().lineSelection(), (LineSelection{3, 1}));
    EXPECT_EQ(ws().selection(), (PDFRect{72, 688, 200, 740}));
    EXPECT_EQ(reveals, 1);
    ws().selectAdjacentLine(1, false);
    EXPECT_EQ(ws().status(), "Line 3 of 40: Line 3") << "a move starts from the focus";

    for (const std::size_t length : {200u, 201u}) {
        std::vector<TextRun> runs;
        for (std::size_t i = 0; i < length; ++i) {
            runs.push_back(TextRun{static_cast<std::int64_t>(i), "é", 10.0 + i, 500, 11.0 + i, 510});
        }
        setPageChars(runs);
        ws().selectLines({0, 0});
        std::string expected = "Line 1 of 1: ";
        for (std::size_t i = 0; i < 200; ++i) expected += "é";
        if (length == 201) expected += "…";
        EXPECT_EQ(ws().status(), expected) << length;
    }

    setPageChars({});
    ws().selectAdjacentLine(1, false);
    EXPECT_EQ(ws().status(), "This page has no text to select.");
}

// ---- Against the real worker, on a real page

class PageTextSelection : public testing::LaunchedWorkspaceTest {};

TEST_F(PageTextSelection, ADragTakesTheWordsAndLinesAPersonWouldPaste) {
    const auto sample = testing::corpus("minimal-document.pdf");
    if (sample.empty()) GTEST_SKIP() << "the sample documents are absent";
    std::filesystem::copy_file(sample, scratch_.docs() / "minimal.pdf");
    ws().open(scratch_.docs() / "minimal.pdf");
    ASSERT_TRUE(testing::waitUntil([&] { return !ws().shownPage().pageChars().empty(); })) << ws().status();
    const auto done = [&](const std::string& status) {
        return testing::waitUntil([&] { return ws().status() == status || ws().errorMessage(); }) &&
               ws().status() == status;
    };
    // The page's first two lines, from the left margin to the right one and no further down.
    const PDFRect firstTwoLines{80, 728, 520, 758};
    const std::string pasted =
        "Lorem ipsum dolor sit amet, consetetur sadipscing elitr, sed diam nonumy eirmod\n"
        "tempor invidunt ut labore et dolore magna aliquyam erat, sed diam voluptua. At vero";

    ws().chooseTool(EditorTool::select);
    ws().applyTool(firstTwoLines, {});
    EXPECT_EQ(ws().selectedText(), pasted);
    ws().copySelection();
    EXPECT_EQ(test_->clipboard->text, pasted);

    // The highlight's contents, its accessible name, say the same.
    ws().chooseTool(EditorTool::highlight);
    ws().applyTool(firstTwoLines, {});
    ASSERT_TRUE(done("Highlight added")) << ws().errorMessage().value_or("");
    ASSERT_TRUE(ws().inspect()->annotations);
    EXPECT_EQ(ws().inspect()->annotations->back().contents, pasted);

    // Turned a quarter, the page reads the same under the same drag.
    ws().rotateSelected(90);
    ASSERT_TRUE(done("Page rotated")) << ws().errorMessage().value_or("");
    ASSERT_TRUE(testing::waitUntil([&] {
        const QImage& shown = ws().shownPage().pageImage();
        return shown.width() > shown.height() && !ws().shownPage().pageChars().empty();
    }));
    ws().chooseTool(EditorTool::select);
    ws().applyTool(firstTwoLines, {});
    EXPECT_EQ(ws().selectedText(), pasted);
}

}  // namespace
}  // namespace kivo
