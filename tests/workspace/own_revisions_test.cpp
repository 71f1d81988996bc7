// The user's own changes in quick succession: each goes with the revision the one before it
// produced, against the real worker, while a revision moved by someone else still conflicts.

#include <gtest/gtest.h>

#include <QObject>

#include "workspace/own_revisions.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

using testing::waitUntil;

TEST(OwnRevisionsTest, ForwardsOnlyOverRevisionsOurOwnChangesProduced) {
    struct Step {
        std::string session;
        std::int64_t sent;
        std::int64_t produced;
    };
    struct Case {
        std::string name;
        std::vector<Step> recorded;
        std::string session;
        std::int64_t expected;
        std::int64_t sent;
    };
    const std::vector<Case> cases = {
        {"nothing recorded", {}, "a", 11, 11},
        {"one change ahead", {{"a", 11, 12}}, "a", 11, 12},
        {"three changes ahead, made against the first",
         {{"a", 11, 12}, {"a", 12, 13}, {"a", 13, 14}},
         "a",
         11,
         14},
        {"made after the first was adopted", {{"a", 11, 12}, {"a", 12, 13}}, "a", 12, 13},
        {"a save leaves the revision", {{"a", 11, 12}, {"a", 12, 12}}, "a", 11, 12},
        {"another document", {{"a", 11, 12}}, "b", 11, 11},
        {"someone else moved it past our chain", {{"a", 11, 12}}, "a", 13, 13},
        {"older than the chain", {{"a", 11, 12}}, "a", 10, 10},
        {"someone else moved it between our changes", {{"a", 11, 12}, {"a", 13, 14}}, "a", 11, 11},
        {"the chain after someone else's change", {{"a", 11, 12}, {"a", 13, 14}}, "a", 13, 14},
        {"an answer going backwards forgets", {{"a", 11, 12}, {"a", 12, 3}}, "a", 11, 11},
    };
    for (const Case& c : cases) {
        OwnRevisions chain;
        for (const Step& step : c.recorded) chain.record(step.session, step.sent, step.produced);
        EXPECT_EQ(chain.forward(c.session, c.expected), c.sent) << c.name;
        chain.clear();
        EXPECT_EQ(chain.forward(c.session, c.expected), c.expected) << c.name << ", cleared";
    }
}

class QuickEditsTest : public testing::LaunchedWorkspaceTest {
protected:
    void SetUp() override {
        LaunchedWorkspaceTest::SetUp();
        if (HasFatalFailure()) return;
        QObject::connect(&ws(), &WorkspaceState::errorMessageChanged, [errors = errors_, workspace = &ws()] {
            if (workspace->errorMessage()) errors->push_back(*workspace->errorMessage());
        });
        ws().open(testing::writeDocument(scratch_, "quick.pdf", {testing::TestPage{}}));
        ASSERT_TRUE(waitUntil([&] { return ws().status() == "Opened quick.pdf"; })) << ws().status();
    }

    std::size_t notes() const {
        const auto& annotations = test_->workspace->inspect()->annotations;
        return annotations ? annotations->size() : 0;
    }

    // Every error shown, in order; shared with the signal's handler, which may outlive the test.
    std::shared_ptr<std::vector<std::string>> errors_ = std::make_shared<std::vector<std::string>>();
};

TEST_F(QuickEditsTest, BurstsOfNotesNudgesAndSavesAllApply) {
    constexpr int burst = 20;
    for (int i = 0; i < burst; ++i) ws().addNote({100.0 + 10 * i, 400, 124.0 + 10 * i, 424});
    ASSERT_TRUE(waitUntil([&] { return notes() == burst || !errors_->empty(); }));
    EXPECT_EQ(notes(), static_cast<std::size_t>(burst));

    // Arrow keys on a selected note: every step moves it on from where the one before left it.
    const std::string chosen = ws().inspect()->annotations->front().id;
    ws().selectAnnotation(chosen);
    const PDFRect before = ws().inspect()->annotations->front().rect;
    for (int i = 0; i < burst; ++i) {
        // A change of its text among the steps leaves where the next step starts.
        if (i == burst / 2) ws().updateSelectedContents("Moved");
        ws().nudgeSelection(4, 0, false);
    }
    const auto left = [&] {
        for (const AnnotationInfo& annotation : *ws().inspect()->annotations) {
            if (annotation.id == chosen) return annotation.rect.left;
        }
        return -1.0;
    };
    ASSERT_TRUE(waitUntil([&] { return left() >= before.left + 4 * burst - 0.01 || !errors_->empty(); }));
    ASSERT_TRUE(waitUntil([&] { return ws().status() == "Annotation updated" && !ws().link().activity(); }));
    EXPECT_NEAR(left(), before.left + 4 * burst, 0.01);

    // Save pressed right after each edit.
    for (int i = 0; i < burst / 2; ++i) {
        ws().addNote({100.0 + 10 * i, 200, 124.0 + 10 * i, 224});
        ws().save();
    }
    ASSERT_TRUE(waitUntil(
        [&] { return (notes() == burst * 3 / 2 && ws().status() == "Saved") || !errors_->empty(); }));
    EXPECT_EQ(rawValue(ws().savePhase()), "saved");
    EXPECT_FALSE(ws().inspect()->dirty.value_or(true));
    EXPECT_TRUE(errors_->empty()) << errors_->front();
}

}  // namespace
}  // namespace kivo
