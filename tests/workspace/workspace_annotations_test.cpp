// The annotation actions: what each sends (against the fake worker, which writes down every
// request) and what each does to a real document (against the real worker).

#include <gtest/gtest.h>

#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::waitUntil;

class AnnotationWireTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_ = std::make_unique<testing::TestWorkspace>(
            testing::fakeWorker(),
            std::map<std::string, std::string>{{"KIVO_FAKE_WORKER_LOG", scratch_.log().string()}});
        ws().launchOnce();
        ws().open(scratch_.docs() / "a.pdf");
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened a.pdf"; })) << ws().status();
    }

    Workspace& ws() { return **test_; }
    std::vector<CommandRequest> sent(CommandMethod method) const {
        return testing::sentRequests(scratch_.log(), method);
    }

    testing::Scratch scratch_;
    std::unique_ptr<testing::TestWorkspace> test_;
};

TEST_F(AnnotationWireTest, EachActionSendsItsRectangleTextAndRevision) {
    struct Case {
        std::string name;
        std::function<void(Workspace&)> act;
        CommandMethod method;
        std::string status;
        std::function<void(const CommandParams&)> check;
    };
    const auto withSelection = [](Workspace& ws, PDFRect rect, std::string text) {
        ws.selectArea(rect);
        testing::arrange(ws, "selectedText", std::string(std::move(text)));
    };
    const auto withAnnotation = [](Workspace& ws) {
        CommandResult document = *ws.inspect();
        document.annotations = std::vector<AnnotationInfo>{{"n1", "note", "p1", {10, 10, 50, 30}, "Old"}};
        testing::arrange(ws, "inspect", std::optional<CommandResult>(document));
        testing::arrange(ws, "selectedAnnotationId", std::optional<std::string>("n1"));
    };
    const std::vector<Case> cases = {
        {"a click with the note tool",
         [](Workspace& ws) {
             ws.chooseTool(EditorTool::note);
             ws.applyTool({99, 199, 101, 201}, {});
         },
         CommandMethod::addNote, "Note added",
         [](const CommandParams& p) {
             EXPECT_EQ(p.rect, (PDFRect{88, 188, 112, 212}));
             EXPECT_EQ(p.contents, "Note");
         }},
        {"a note with no selection", [](Workspace& ws) { ws.addNoteAtSelection(); }, CommandMethod::addNote,
         "Note added",
         [](const CommandParams& p) {
             EXPECT_EQ(p.rect, (PDFRect{72, 696, 96, 720}));
         }},
        {"a note at a selection",
         [&](Workspace& ws) {
             withSelection(ws, {100, 300, 400, 320}, "");
             ws.addNoteAtSelection();
         },
         CommandMethod::addNote, "Note added",
         [](const CommandParams& p) {
             EXPECT_EQ(p.rect, (PDFRect{100, 296, 124, 320}));
         }},
        {"a highlight of a selection without text",
         [&](Workspace& ws) {
             withSelection(ws, {100, 300, 400, 320}, "");
             ws.highlightSelection();
         },
         CommandMethod::addHighlight, "Highlight added",
         [](const CommandParams& p) {
             EXPECT_EQ(p.rect, (PDFRect{100, 300, 400, 320}));
             EXPECT_EQ(p.contents, "Highlight");
             EXPECT_EQ(p.pageId, "p1");
         }},
        {"an underline",
         [&](Workspace& ws) {
             withSelection(ws, {100, 300, 400, 320}, "words");
             ws.underlineSelectionWithInk();
         },
         CommandMethod::addInk, "Ink added",
         [](const CommandParams& p) {
             EXPECT_EQ(p.points, (std::vector<PDFPoint>{{100, 299}, {400, 299}}));
             EXPECT_EQ(p.contents, "Ink");
             EXPECT_EQ(p.rect, std::nullopt);
         }},
        {"a resize to the right",
         [&](Workspace& ws) {
             withAnnotation(ws);
             ws.nudgeSelection(4, 0, true);
         },
         CommandMethod::updateAnnotation, "Annotation updated",
         [](const CommandParams& p) {
             EXPECT_EQ(p.rect, (PDFRect{10, 10, 54, 30}));
             EXPECT_EQ(p.annotationId, "n1");
             EXPECT_EQ(p.contents, std::nullopt);
         }},
        {"a move to the right",
         [&](Workspace& ws) {
             withAnnotation(ws);
             ws.nudgeSelection(4, 0, false);
         },
         CommandMethod::updateAnnotation, "Annotation updated",
         [](const CommandParams& p) {
             EXPECT_EQ(p.rect, (PDFRect{14, 10, 54, 30}));
         }},
        {"a move up on a page turned a quarter, up on screen",
         [&](Workspace& ws) {
             withAnnotation(ws);
             CommandResult document = *ws.inspect();
             document.pages->front().rotation = 1;
             testing::arrange(ws, "inspect", std::optional<CommandResult>(document));
             ws.nudgeSelection(0, 4, false);
         },
         CommandMethod::updateAnnotation, "Annotation updated",
         [](const CommandParams& p) {
             EXPECT_EQ(p.rect, (PDFRect{6, 10, 46, 30}));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t revision = *ws().inspect()->revision;
        const std::size_t before = sent(c.method).size();
        ws().setStatus("");
        c.act(ws());
        ASSERT_TRUE(waitUntil([&] { return ws().status() == c.status; })) << ws().status();
        const auto requests = sent(c.method);
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_EQ(requests.back().expectedRevision, revision);
        EXPECT_TRUE(requests.back().operationId);
        EXPECT_EQ(requests.back().params.sessionId, ws().sessionId());
        c.check(requests.back().params);
    }

    // Guards that send nothing.
    const std::size_t inks = sent(CommandMethod::addInk).size();
    ws().drawInk({{1, 1}});
    ws().addInk({{1, 1}});
    EXPECT_EQ(ws().inkPoints().size(), 1u);
    ws().addText({1, 2, 3, 4}, "");
    ws().chooseTool(EditorTool::highlight);
    ws().applyTool({10, 10, 15, 15}, {});
    ws().selectArea(std::nullopt);
    ws().highlightSelection();
    EXPECT_EQ(ws().status(), "Select text first, for example with Select Next Line.");
    testing::arrange(ws(), "selectedAnnotationId", std::optional<std::string>("gone"));
    ws().nudgeSelection(4, 4, false);
    EXPECT_EQ(ws().status(), "Select an annotation first, for example with Select Next Annotation.");
    // An annotation still selected on a page no longer shown is out of reach of the keys and commands.
    const std::size_t updates = sent(CommandMethod::updateAnnotation).size();
    CommandResult elsewhere = *ws().inspect();
    elsewhere.annotations = std::vector<AnnotationInfo>{{"n2", "note", "p2", {10, 10, 50, 30}, "Elsewhere"}};
    testing::arrange(ws(), "inspect", std::optional<CommandResult>(elsewhere));
    testing::arrange(ws(), "selectedAnnotationId", std::optional<std::string>("n2"));
    ws().setStatus("");
    ws().deleteSelectedAnnotation();
    ws().updateSelectedContents("Changed");
    test_->prompts->texts = {"Changed"};
    ws().promptSelectedContents();
    ws().nudgeSelection(0, 4, false);
    EXPECT_EQ(ws().status(), "Select an annotation first, for example with Select Next Annotation.");
    EXPECT_EQ(ws().selectedAnnotationId(), "n2");
    ws().history(CommandMethod::undo, "Undo");
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Undo"; }));
    EXPECT_EQ(sent(CommandMethod::removeAnnotation).size(), 0u);
    EXPECT_EQ(sent(CommandMethod::updateAnnotation).size(), updates);
    EXPECT_EQ(test_->prompts->texts.size(), 1u) << "nothing was asked";
    EXPECT_EQ(sent(CommandMethod::addInk).size(), inks);
    EXPECT_TRUE(sent(CommandMethod::addHighlight).size() == 1u);
}

// ---- Against the real worker

class AnnotationTest : public ::testing::Test {
protected:
    testing::Scratch scratch_;
};

TEST_F(AnnotationTest, EveryToolAndAnnotationCommandChangesTheDocument) {
    const auto test = testing::launchedRealWorker(scratch_);
    ASSERT_TRUE(test);
    Workspace& ws = **test;
    ws.open(testing::writeDocument(scratch_, "notes.pdf", {testing::TestPage{}}));
    ASSERT_TRUE(waitUntil([&] { return ws.status() == "Opened notes.pdf"; })) << ws.status();
    // The characters come with the page's render.
    ASSERT_TRUE(waitUntil([&] { return !ws.shownPage().pageChars().empty(); }));
    const auto count = [&] { return ws.inspect()->annotations ? ws.inspect()->annotations->size() : 0u; };
    const auto done = [&](const std::string& status) {
        return waitUntil([&] { return ws.status() == status || ws.errorMessage(); }) && ws.status() == status;
    };

    // "Hello PDF" is drawn at (72, 692) in 24 points. An earlier selection elsewhere must not
    // become the highlight's text.
    testing::arrange(ws, "selectedText", std::string("an older selection"));
    ws.chooseTool(EditorTool::highlight);
    ws.applyTool({60, 680, 300, 730}, {});
    ASSERT_TRUE(done("Highlight added")) << ws.errorMessage().value_or("");
    ASSERT_EQ(count(), 1u);
    EXPECT_EQ(ws.inspect()->annotations->back().contents, "Hello PDF");

    ws.chooseTool(EditorTool::note);
    ws.applyTool({400, 400, 401, 401}, {});
    ASSERT_TRUE(done("Note added")) << ws.errorMessage().value_or("");

    test->prompts->texts = {"Overlay words"};
    ws.chooseTool(EditorTool::text);
    ws.applyTool({72, 500, 272, 540}, {});
    ASSERT_TRUE(done("Text overlay added")) << ws.errorMessage().value_or("");
    EXPECT_EQ(test->prompts->asked.back().title, "Text overlay");
    EXPECT_EQ(test->prompts->asked.back().detail,
              "This draws on top of the page. It is not redaction or text replacement.");

    ws.chooseTool(EditorTool::ink);
    ws.drawInk({{100, 100}, {150, 120}, {200, 100}});
    ws.applyTool({100, 100, 200, 120}, ws.inkPoints());
    ASSERT_TRUE(done("Ink added")) << ws.errorMessage().value_or("");
    EXPECT_TRUE(ws.inkPoints().empty());

    const auto image = testing::corpus("smile.png");
    if (!image.empty()) {
        std::filesystem::copy_file(image, scratch_.docs() / "smile.png");
        test->dialogs->image = scratch_.docs() / "smile.png";
        ws.chooseTool(EditorTool::image);
        ws.applyTool({300, 100, 400, 200}, {});
        ASSERT_TRUE(done("Image overlay added")) << ws.errorMessage().value_or("");
    }
    const std::size_t added = count();
    EXPECT_EQ(added, image.empty() ? 4u : 5u);

    ws.selectAdjacentAnnotation(1);
    ASSERT_TRUE(ws.selectedAnnotationId());
    EXPECT_TRUE(ws.status().ends_with("selected, 1 of " + std::to_string(added))) << ws.status();
    const std::string chosen = *ws.selectedAnnotationId();
    const PDFRect before = ws.selection().value();
    ws.nudgeSelection(4, 0, false);
    ASSERT_TRUE(done("Annotation updated")) << ws.errorMessage().value_or("");
    EXPECT_EQ(ws.selectedAnnotationId(), chosen) << "the moved annotation stays selected";
    EXPECT_NEAR(ws.selection()->left, before.left + 4, 0.01);

    test->prompts->texts = {"Check the total"};
    ws.promptSelectedContents();
    ws.setStatus("");
    ASSERT_TRUE(done("Annotation updated")) << ws.errorMessage().value_or("");
    ws.selectAnnotation(chosen);
    ws.selectAdjacentAnnotation(0);
    EXPECT_NE(ws.status().find(": Check the total selected"), std::string::npos) << ws.status();

    ws.deleteSelectedAnnotation();
    EXPECT_FALSE(ws.selectedAnnotationId());
    ASSERT_TRUE(done("Annotation removed")) << ws.errorMessage().value_or("");
    EXPECT_EQ(count(), added - 1);
}

}  // namespace
}  // namespace kivo
