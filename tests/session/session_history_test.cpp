#include "session_test.hpp"

#include "engine/recovery_store.hpp"

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

using SessionHistory = SessionTest;

// One committed edit as the engine makes it: checkpoint, change, refresh, commit.
void edit(Session& session, const std::string& contents) {
    session.checkpoint();
    session.addNote(session.pages()[0].id, PDFRect{10, 10, 30, 30}, contents);
    session.refreshBacking();
    session.commitCheckpoint();
}

size_t noteCount(Session& session) {
    size_t notes = 0;
    for (const AnnotationInfo& item : SessionProbe::census(session).items) notes += item.kind == "note";
    return notes;
}

TEST_F(SessionHistory, GenerationsAndSavedState) {
    const auto session = open(makePdf());
    EXPECT_TRUE(session->isSaved());
    EXPECT_EQ(failureOf([&] { session->undo(); }),
              EngineFailure(FailureCode::emptyHistory, "Nothing to undo."));
    EXPECT_EQ(failureOf([&] { session->redoLast(); }),
              EngineFailure(FailureCode::emptyHistory, "Nothing to redo."));

    edit(*session, "one");
    EXPECT_EQ(SessionProbe::history(*session).generation(), 1);
    EXPECT_FALSE(session->isSaved());
    EXPECT_EQ(noteCount(*session), 1u);

    // Saved now; undo leaves the saved state, redo returns to it.
    session->markSaved();
    EXPECT_TRUE(session->isSaved());
    session->undo();
    EXPECT_EQ(SessionProbe::history(*session).generation(), 0);
    EXPECT_FALSE(session->isSaved());
    EXPECT_EQ(noteCount(*session), 0u);
    EXPECT_EQ(SessionProbe::history(*session).redoStack().size(), 1u);
    session->redoLast();
    EXPECT_EQ(SessionProbe::history(*session).generation(), 1);
    EXPECT_TRUE(session->isSaved());
    EXPECT_EQ(noteCount(*session), 1u);

    // Undo then a new edit: the redo history is gone and generations are never reused.
    session->undo();
    edit(*session, "two");
    EXPECT_EQ(SessionProbe::history(*session).generation(), 2);
    EXPECT_TRUE(SessionProbe::history(*session).redoStack().empty());
    EXPECT_EQ(failureOf([&] { session->redoLast(); }),
              EngineFailure(FailureCode::emptyHistory, "Nothing to redo."));
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
    const std::int64_t generation = SessionProbe::history(*session).generation();
    session->checkpoint();
    session->addNote(session->pages()[0].id, PDFRect{40, 40, 60, 60}, "dropped");
    session->rollbackCheckpoint();
    EXPECT_EQ(noteCount(*session), 1u);
    EXPECT_EQ(SessionProbe::history(*session).generation(), generation);
    EXPECT_EQ(SessionProbe::history(*session).undoStack().size(), 1u);

    // A commit without a checkpoint still clears redo and advances the generation.
    session->undo();
    session->commitCheckpoint();
    EXPECT_TRUE(SessionProbe::history(*session).redoStack().empty());
    EXPECT_EQ(SessionProbe::history(*session).generation(), generation + 1);
}

// A state that does not open again (bytes PDFium wrote but refuses, a memory stop) fails the step
// and leaves everything as it was: the document open with its edits, the generation, both
// stacks, the page ids, the bytes and the warnings.
TEST_F(SessionHistory, AStateThatDoesNotOpenChangesNothing) {
    struct Case {
        const char* name;
        int undosFirst;     // steps back before the step that fails
        bool back;          // the step that fails is an undo (else a redo)
        bool rollback;      // the step is a rollback of a change in progress
        size_t notesAfter;  // what the document shows after the failed step
        FailureCode code;
    };
    const Case cases[] = {
        {"undo of a damaged state", 0, true, false, 2, FailureCode::unsupported},
        {"redo of a damaged state", 1, false, false, 1, FailureCode::unsupported},
        {"rollback to a damaged state", 0, true, true, 3, FailureCode::unsupported},
    };
    writeFile(dir_.path() / "garbage.pdf", "%PDF-1.7\nthese bytes are no document\n");
    const DocumentBytes::Shared garbage = DocumentBytes::read(dir_.path() / "garbage.pdf");
    for (const Case& c : cases) {
        const auto session = open(makePdf());
        edit(*session, "one");
        edit(*session, "two");
        for (int i = 0; i < c.undosFirst; ++i) session->undo();
        if (c.rollback) {
            session->checkpoint();
            session->addNote(session->pages()[0].id, PDFRect{40, 40, 60, 60}, "three");
        }
        const UndoHistory& history = SessionProbe::history(*session);
        const std::int64_t generation = history.generation();
        const size_t undos = history.undoStack().size();
        const size_t redos = history.redoStack().size();
        const auto ids = pageIds(*session);
        const DocumentBytes::Shared bytes = session->backingBytes();
        SessionProbe::replaceNext(*session, c.back, garbage);

        if (c.rollback) {
            session->rollbackCheckpoint();
        } else {
            const Thrown failure = failureOf([&] { c.back ? session->undo() : session->redoLast(); });
            EXPECT_EQ(failure.code, c.code) << c.name << ": " << failure.message;
        }
        ASSERT_TRUE(session->isOpen()) << c.name;
        EXPECT_EQ(noteCount(*session), c.notesAfter) << c.name;
        EXPECT_EQ(history.generation(), generation) << c.name;
        EXPECT_EQ(history.undoStack().size(), undos) << c.name;
        EXPECT_EQ(history.redoStack().size(), redos) << c.name;
        EXPECT_EQ(pageIds(*session), ids) << c.name;
        EXPECT_EQ(session->backingBytes(), bytes) << c.name;
        EXPECT_TRUE(SessionProbe::warnings(*session).empty()) << c.name;
        EXPECT_NE(session->extractText(session->pages()[0].id).text.find("Hello PDF"), std::string::npos)
            << c.name;
    }
}

std::string textOf(const DocumentBytes::Shared& bytes) {
    return {reinterpret_cast<const char*>(bytes->pointer()), static_cast<size_t>(bytes->count())};
}

size_t occurrences(const std::string& text, std::string_view word) {
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
    return count;
}

// An edit keeps the bytes it started from and appends only what changed; undo and redo return to
// exactly the bytes of each state, and the document a user saves is still written whole.
TEST_F(SessionHistory, EditsAppendToTheBytesTheyStartFromAndUndoRedoReturnThemExactly) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    const std::string loaded = textOf(session->backingBytes());
    edit(*session, "one");
    const std::string one = textOf(session->backingBytes());
    edit(*session, "two");
    const std::string two = textOf(session->backingBytes());
    for (const std::string* state : {&one, &two}) {
        ASSERT_GT(state->size(), loaded.size());
        EXPECT_EQ(state->substr(0, loaded.size()), loaded);
    }

    struct Step {
        bool back;
        const std::string* bytes;
        std::int64_t generation;
        size_t notes;
    };
    const Step steps[] = {
        {true, &one, 1, 1}, {true, &loaded, 0, 0}, {false, &one, 1, 1}, {false, &two, 2, 2}};
    for (const Step& step : steps) {
        step.back ? session->undo() : session->redoLast();
        EXPECT_EQ(textOf(session->backingBytes()), *step.bytes) << step.generation;
        EXPECT_EQ(SessionProbe::history(*session).generation(), step.generation);
        EXPECT_EQ(noteCount(*session), step.notes);
    }
    // An edit after an undo appends to the state the undo returned to.
    session->undo();
    edit(*session, "three");
    EXPECT_EQ(textOf(session->backingBytes()).substr(0, one.size()), one);

    const fs::path saved = dir_.path() / "saved.pdf";
    session->atomicWrite(saved);
    EXPECT_EQ(occurrences(readFile(saved), "startxref"), 1u);
    EXPECT_EQ(occurrences(textOf(session->backingBytes()), "startxref"), 3u);
}

// A state kept as appended bytes reads as the same document as one written whole: the same
// census, fields and text, on the samples with annotations, forms, several pages and a password.
TEST_F(SessionHistory, AppendedStatesReadAsTheWholeDocument) {
    if (corpus("annotated.pdf").empty()) GTEST_SKIP() << "sample folder absent";
    const std::pair<const char*, std::optional<std::string>> samples[] = {
        {"annotated.pdf", std::nullopt},
        {"pdflatex-forms.pdf", std::nullopt},
        {"libreoffice-form.pdf", std::nullopt},
        {"pdflatex-4-pages.pdf", std::nullopt},
        {"libreoffice-writer-password.pdf", "openpassword"},
    };
    for (const auto& [name, password] : samples) {
        const auto session = openSample(name, password);
        edit(*session, "appended");
        // The state before the edit, reopened by an undo and a redo, opens with the same password.
        session->undo();
        session->redoLast();
        const fs::path whole = dir_.path() / "whole.pdf";
        session->atomicWrite(whole);
        const DocumentBytes::Shared appended = session->backingBytes();
        const fs::path appendedPath = dir_.path() / "appended.pdf";
        writeFile(appendedPath, textOf(appended));
        const auto fromAppended = openFile(appendedPath, password);
        const auto fromWhole = openFile(whole, password);
        const PageCensusCache::Census a = SessionProbe::census(*fromAppended);
        const PageCensusCache::Census b = SessionProbe::census(*fromWhole);
        ASSERT_EQ(a.items.size(), b.items.size()) << name;
        // An unnamed annotation's id begins with its page's id, which each opening makes anew.
        const auto ownId = [](const AnnotationInfo& item) {
            return item.id.starts_with(item.pageId) ? item.id.substr(item.pageId.size()) : item.id;
        };
        for (size_t i = 0; i < a.items.size(); ++i) {
            EXPECT_EQ(ownId(a.items[i]), ownId(b.items[i])) << name;
            EXPECT_EQ(a.items[i].kind, b.items[i].kind) << name;
            EXPECT_EQ(a.items[i].contents, b.items[i].contents) << name;
        }
        EXPECT_EQ(a.fields.size(), b.fields.size()) << name;
        EXPECT_EQ(fromAppended->listFields().size(), fromWhole->listFields().size()) << name;
        ASSERT_EQ(fromAppended->pages().size(), fromWhole->pages().size()) << name;
        for (size_t i = 0; i < fromWhole->pages().size(); ++i) {
            EXPECT_EQ(fromAppended->extractText(fromAppended->pages()[i].id).text,
                      fromWhole->extractText(fromWhole->pages()[i].id).text)
                << name << " page " << i + 1;
        }
        EXPECT_EQ(noteCount(*fromAppended), noteCount(*session)) << name;
        // Hits name pages by id, which each opening makes anew; the rest must match.
        const auto hits = [](const Session& s) {
            std::vector<SearchHit> found = s.search("e", std::nullopt);
            for (SearchHit& hit : found) {
                const auto& pages = s.pages();
                const auto page = std::find_if(pages.begin(), pages.end(),
                                               [&](const PageInfo& p) { return p.id == hit.pageId; });
                hit.pageId = std::to_string(page - pages.begin());
            }
            return found;
        };
        EXPECT_EQ(hits(*fromAppended), hits(*fromWhole)) << name;
    }
}

TEST_F(SessionHistory, WarningsAreNeitherLostNorDoubled) {
    const std::string xfa = assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [] /XFA [(template) 4 0 R] >> >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>",
        "<< /Length 0 >>\nstream\n\nendstream",
    });
    const auto session = open(xfa);
    ASSERT_EQ(SessionProbe::warnings(*session), std::vector<std::string>{SessionWarnings::xfa});
    edit(*session, "a");
    edit(*session, "b");
    session->undo();
    session->undo();
    session->redoLast();
    session->checkpoint();
    session->rollbackCheckpoint();
    EXPECT_EQ(SessionProbe::warnings(*session), std::vector<std::string>{SessionWarnings::xfa});
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
        const auto mtime = SessionProbe::stamp(*session).mtime();
        session->applyRecovery(meta, c.originalChanged);
        EXPECT_EQ(session->sourcePath(), c.sourcePath) << c.name;
        EXPECT_EQ(session->sourceFingerprint(), c.originalChanged ? std::nullopt : meta.sourceFingerprint)
            << c.name;
        EXPECT_EQ(session->isSaved(), c.saved) << c.name;
        EXPECT_EQ(SessionProbe::stamp(*session).mtime(), mtime) << c.name;
        const std::vector<std::string> expected =
            c.warned ? std::vector<std::string>{SessionWarnings::recoveryCopy} : std::vector<std::string>{};
        EXPECT_EQ(SessionProbe::warnings(*session), expected) << c.name;
        // The recovery warning outlives undo and redo.
        session->undo();
        session->redoLast();
        EXPECT_EQ(SessionProbe::warnings(*session), expected) << c.name;
    }
}

TEST_F(SessionHistory, FortyEditsKeepTheNewestThirtyTwo) {
    const auto session = open(makePdf());
    for (int i = 0; i < 40; ++i) edit(*session, std::to_string(i));
    ASSERT_EQ(SessionProbe::history(*session).undoStack().size(), 32u);
    EXPECT_EQ(SessionProbe::history(*session).undoStack().front().generation, 8);
    EXPECT_EQ(SessionProbe::history(*session).undoStack().back().generation, 39);
    EXPECT_EQ(SessionProbe::history(*session).generation(), 40);
}

}  // namespace
}  // namespace kivo::testing
