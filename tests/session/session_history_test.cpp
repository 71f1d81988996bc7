#include "session_test.hpp"

#include "engine/recovery_store.hpp"

namespace kivo::testing {
namespace {

using SessionHistory = SessionTest;

constexpr std::int64_t MiB = 1024 * 1024;

// Snapshots of the given lengths that own no memory: only their counts matter to the trim.
std::vector<Session::Snapshot> fakeStack(const std::vector<std::int64_t>& lengths) {
    static const std::uint8_t byte = 0;
    std::vector<Session::Snapshot> stack;
    for (size_t i = 0; i < lengths.size(); ++i) {
        stack.push_back(
            Session::Snapshot{std::make_shared<DocumentBytes>(&byte, lengths[i], 0), {}, static_cast<std::int64_t>(i)});
    }
    return stack;
}

TEST(SessionUndoTrim, CountAndByteBudget) {
    struct Case {
        const char* name;
        std::vector<std::int64_t> lengths;
        size_t kept;
    };
    const Case cases[] = {
        {"under both limits", std::vector<std::int64_t>(5, 1000), 5},
        {"41 small entries", std::vector<std::int64_t>(41, 1000), 32},
        {"four of 100 MiB", std::vector<std::int64_t>(4, 100 * MiB), 4},
        {"five of 100 MiB", std::vector<std::int64_t>(5, 100 * MiB), 4},
        {"budget never below four", std::vector<std::int64_t>(8, 300 * MiB), 4},
        {"exactly the budget", {MiB, MiB, MiB, MiB, MiB, 251 * MiB}, 6},
        {"one byte over the budget", {MiB + 1, MiB, MiB, MiB, MiB, 251 * MiB}, 5},
        {"one big old entry", {251 * MiB, MiB, MiB, MiB, MiB, MiB, MiB}, 6},
    };
    for (const Case& c : cases) {
        std::vector<Session::Snapshot> stack = fakeStack(c.lengths);
        Session::trimUndoStack(stack);
        ASSERT_EQ(stack.size(), c.kept) << c.name;
        // The newest entries survive.
        EXPECT_EQ(stack.back().generation, static_cast<std::int64_t>(c.lengths.size()) - 1) << c.name;
    }
}

// One committed edit as the engine makes it: checkpoint, change, refresh, commit.
void edit(Session& session, const std::string& contents) {
    session.checkpoint();
    session.addNote(session.pages()[0].id, PDFRect{10, 10, 30, 30}, contents);
    session.refreshBacking();
    session.commitCheckpoint();
}

size_t noteCount(Session& session) {
    size_t notes = 0;
    for (const AnnotationInfo& item : session.documentCensus().items) notes += item.kind == "note";
    return notes;
}

TEST_F(SessionHistory, GenerationsAndSavedState) {
    const auto session = open(makePdf());
    EXPECT_TRUE(session->isSaved());
    EXPECT_EQ(failureOf([&] { session->undo(); }), EngineFailure(FailureCode::emptyHistory, "Nothing to undo."));
    EXPECT_EQ(failureOf([&] { session->redoLast(); }), EngineFailure(FailureCode::emptyHistory, "Nothing to redo."));

    edit(*session, "one");
    EXPECT_EQ(session->generation(), 1);
    EXPECT_FALSE(session->isSaved());
    EXPECT_EQ(noteCount(*session), 1u);

    // Saved now; undo leaves the saved state, redo returns to it.
    session->setSavedGeneration(session->generation());
    EXPECT_TRUE(session->isSaved());
    session->undo();
    EXPECT_EQ(session->generation(), 0);
    EXPECT_FALSE(session->isSaved());
    EXPECT_EQ(noteCount(*session), 0u);
    EXPECT_EQ(session->redoStack().size(), 1u);
    session->redoLast();
    EXPECT_EQ(session->generation(), 1);
    EXPECT_TRUE(session->isSaved());
    EXPECT_EQ(noteCount(*session), 1u);

    // Undo then a new edit: the redo history is gone and generations are never reused.
    session->undo();
    edit(*session, "two");
    EXPECT_EQ(session->generation(), 2);
    EXPECT_TRUE(session->redoStack().empty());
    EXPECT_EQ(failureOf([&] { session->redoLast(); }), EngineFailure(FailureCode::emptyHistory, "Nothing to redo."));
}

TEST_F(SessionHistory, PageIdsSurviveUndoAndRedo) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    const auto ids = pageIds(*session);
    edit(*session, "x");
    session->undo();
    EXPECT_EQ(pageIds(*session), ids);
    session->redoLast();
    EXPECT_EQ(pageIds(*session), ids);
}

TEST_F(SessionHistory, RollbackRestoresTheDocument) {
    const auto session = open(makePdf());
    session->rollbackCheckpoint();  // nothing to roll back: no change
    EXPECT_TRUE(session->isOpen());

    edit(*session, "kept");
    const std::int64_t generation = session->generation();
    session->checkpoint();
    session->addNote(session->pages()[0].id, PDFRect{40, 40, 60, 60}, "dropped");
    session->rollbackCheckpoint();
    EXPECT_EQ(noteCount(*session), 1u);
    EXPECT_EQ(session->generation(), generation);
    EXPECT_EQ(session->undoStack().size(), 1u);

    // A commit without a checkpoint still clears redo and advances the generation.
    session->undo();
    session->commitCheckpoint();
    EXPECT_TRUE(session->redoStack().empty());
    EXPECT_EQ(session->generation(), generation + 1);
}

TEST_F(SessionHistory, WarningsAreNeitherLostNorDoubled) {
    const std::string xfa = assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [] /XFA [(template) 4 0 R] >> >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>",
        "<< /Length 0 >>\nstream\n\nendstream",
    });
    const auto session = open(xfa);
    ASSERT_EQ(session->warnings(), std::vector<std::string>{Session::xfaWarning});
    edit(*session, "a");
    edit(*session, "b");
    session->undo();
    session->undo();
    session->redoLast();
    session->checkpoint();
    session->rollbackCheckpoint();
    EXPECT_EQ(session->warnings(), std::vector<std::string>{Session::xfaWarning});
}

TEST_F(SessionHistory, RecoveryAdoption) {
    struct Case {
        const char* name;
        bool originalChanged;
        bool dirty;
        std::optional<std::string> metaPath;
        std::optional<std::string> sourcePath;
        bool saved;
        bool warned;
    };
    const Case cases[] = {
        {"original changed", true, false, "/docs/a.pdf", std::nullopt, false, true},
        {"dirty checkpoint", false, true, "/docs/a.pdf", "/docs/a.pdf", false, false},
        {"clean checkpoint of a file", false, false, "/docs/a.pdf", "/docs/a.pdf", true, false},
        {"checkpoint of a document without a file", false, false, std::nullopt, std::nullopt, false, false},
    };
    for (const Case& c : cases) {
        const auto session = open(makePdf());
        edit(*session, "recovered");
        RecoveryMeta meta;
        meta.recoveryId = session->id();
        meta.sourcePath = c.metaPath;
        meta.sourceFingerprint = c.metaPath ? std::optional<std::string>("ab12") : std::nullopt;
        meta.dirty = c.dirty;
        const auto mtime = session->sourceMTime();
        session->applyRecovery(meta, c.originalChanged);
        EXPECT_EQ(session->sourcePath(), c.sourcePath) << c.name;
        EXPECT_EQ(session->sourceFingerprint(), c.originalChanged ? std::nullopt : meta.sourceFingerprint) << c.name;
        EXPECT_EQ(session->isSaved(), c.saved) << c.name;
        EXPECT_EQ(session->sourceMTime(), mtime) << c.name;
        const std::vector<std::string> expected =
            c.warned ? std::vector<std::string>{Session::recoveryCopyWarning} : std::vector<std::string>{};
        EXPECT_EQ(session->warnings(), expected) << c.name;
        // The recovery warning outlives undo and redo.
        session->undo();
        session->redoLast();
        EXPECT_EQ(session->warnings(), expected) << c.name;
    }
}

TEST_F(SessionHistory, FortyEditsKeepTheNewestThirtyTwo) {
    const auto session = open(makePdf());
    for (int i = 0; i < 40; ++i) edit(*session, std::to_string(i));
    ASSERT_EQ(session->undoStack().size(), 32u);
    EXPECT_EQ(session->undoStack().front().generation, 8);
    EXPECT_EQ(session->undoStack().back().generation, 39);
    EXPECT_EQ(session->generation(), 40);
}

}  // namespace
}  // namespace kivo::testing
