// Editing through the worker, in both of its modes: every edit is one change of one revision,
// a failed edit changes nothing, undo and redo keep the saved state right, and MCP changes are
// deduplicated by operation id.

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "document_worker.hpp"
#include "outside_readers.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::DocumentWorker;
using testing::makeRequest;
using testing::outcome;
using testing::WorkerMode;

using Ids = std::vector<std::string>;

class WorkerEdits : public ::testing::TestWithParam<WorkerMode>, protected testing::OpenedDocument {
protected:
    void SetUp() override { start(GetParam()); }

    CommandResult inspect(const std::string& sessionId = {}) {
        const auto response = worker->send(on(CommandMethod::inspect, sessionId));
        EXPECT_TRUE(response.ok) << outcome(response);
        return response.result.value_or(CommandResult{});
    }

    std::string save(const std::string& sessionId = {}) {
        return outcome(worker->send(on(CommandMethod::saveDocument, sessionId)));
    }
};

TEST_P(WorkerEdits, EachEditIsOneRevisionAndNamesItsPages) {
    const fs::path png = dir.path() / "stamp.png";
    testing::writeFile(png, testing::tinyPng());
    const fs::path formPdf = dir.path() / "form.pdf";
    testing::writeFile(formPdf, testing::makeFillFormPdf());
    const std::string form = *worker->open(formPdf).result->sessionId;
    const std::string other = *worker->open(pdf).result->sessionId;

    const PDFRect rect{72, 72, 200, 120};
    std::string annotationId;  // the highlight, once added
    std::optional<CommandResult> last;
    const auto merged = [&] {
        Ids ids;
        for (const PageInfo& page : *last->pages) ids.push_back(page.id);
        return Ids(ids.end() - 2, ids.end());  // the other document's two pages, appended
    };
    struct Case {
        const char* name;
        std::function<CommandRequest()> build;
        std::function<Ids()> affected;
    };
    const Case cases[] = {
        {"add_highlight",
         [&] {
             auto r = on(CommandMethod::addHighlight);
             r.params.pageId = pages[0];
             r.params.rect = rect;
             return r;
         },
         [&] { return Ids{pages[0]}; }},
        {"add_note",
         [&] {
             auto r = on(CommandMethod::addNote);
             r.params.pageId = pages[1];
             r.params.rect = rect;
             return r;
         },
         [&] { return Ids{pages[1]}; }},
        {"add_ink",
         [&] {
             auto r = on(CommandMethod::addInk);
             r.params.pageId = pages[0];
             r.params.points = std::vector<PDFPoint>{{80, 80}, {120, 140}, {160, 90}};
             return r;
         },
         [&] { return Ids{pages[0]}; }},
        {"add_content text",
         [&] {
             auto r = on(CommandMethod::addContent);
             r.params.pageId = pages[1];
             r.params.rect = rect;
             r.params.contents = "Boxed words";
             return r;
         },
         [&] { return Ids{pages[1]}; }},
        {"add_content signature",
         [&] {
             auto r = on(CommandMethod::addContent);
             r.params.pageId = pages[0];
             r.params.rect = rect;
             r.params.kind = "signature";
             r.params.imagePath = png.string();
             return r;
         },
         [&] { return Ids{pages[0]}; }},
        {"update_annotation",
         [&] {
             auto r = on(CommandMethod::updateAnnotation);
             r.params.annotationId = annotationId;
             r.params.contents = "Changed";
             return r;
         },
         [&] { return Ids{pages[0]}; }},
        {"remove_annotation",
         [&] {
             auto r = on(CommandMethod::removeAnnotation);
             r.params.annotationId = annotationId;
             return r;
         },
         [&] { return Ids{pages[0]}; }},
        {"organize_pages",
         [&] {
             auto r = on(CommandMethod::organizePages);
             r.params.pageIds = Ids{pages[1], pages[0]};
             return r;
         },
         [&] {
             return Ids{pages[1], pages[0]};
         }},
        {"rotate_pages",
         [&] {
             auto r = on(CommandMethod::rotatePages);
             r.params.pageIds = Ids{pages[0]};
             return r;
         },
         [&] { return Ids{pages[0]}; }},
        {"merge_documents",
         [&] {
             auto r = on(CommandMethod::mergeDocuments);
             r.params.sessionIds = Ids{session, other};
             return r;
         },
         merged},
        {"delete_pages",
         [&] {
             auto r = on(CommandMethod::deletePages);
             r.params.pageIds = merged();
             return r;
         },
         [&] {
             return Ids{pages[1], pages[0]};
         }},
        {"extract_pages in place",
         [&] {
             auto r = on(CommandMethod::extractPages);
             r.params.pageIds = Ids{pages[0]};
             return r;
         },
         [&] { return Ids{pages[0]}; }},
        {"undo", [&] { return on(CommandMethod::undo); },
         [&] {
             return Ids{pages[1], pages[0]};
         }},
        {"redo", [&] { return on(CommandMethod::redo); }, [&] { return Ids{pages[0]}; }},
    };
    std::int64_t revision = 1;
    for (const Case& c : cases) {
        const auto response = worker->send(c.build());
        ASSERT_TRUE(response.ok) << c.name << ": " << outcome(response);
        last = response.result;
        const Ids expected = c.affected();
        EXPECT_EQ(last->revision, ++revision) << c.name;
        EXPECT_EQ(last->affectedPages, expected) << c.name;
        EXPECT_EQ(last->saveState, "unsaved") << c.name;
        if (annotationId.empty()) {
            ASSERT_EQ(last->annotations->size(), 1u);
            EXPECT_EQ(last->annotations->at(0).contents, "Highlight");  // the default
            annotationId = last->annotations->at(0).id;
        }
    }
    EXPECT_EQ(last->pages->at(0).rotation, 1);

    auto fill = on(CommandMethod::fillForm, form);
    fill.params.fieldName = "name";
    fill.params.value = "Grace";
    const auto filled = worker->send(fill);
    ASSERT_TRUE(filled.ok) << outcome(filled);
    EXPECT_EQ(filled.result->revision, 2);
    EXPECT_EQ(filled.result->affectedPages, Ids{filled.result->pages->at(0).id});
    EXPECT_EQ(inspect(other).revision, 1);  // merging read it without changing it
}

TEST_P(WorkerEdits, AFailedEditChangesNothing) {
    const fs::path formPdf = dir.path() / "form.pdf";
    testing::writeFile(formPdf, testing::makeFillFormPdf());
    const std::string form = *worker->open(formPdf).result->sessionId;
    const std::string other = *worker->open(pdf).result->sessionId;
    const fs::path notAnImage = dir.path() / "picture.png";
    testing::writeFile(notAnImage, "not a picture at all");
    const PDFRect rect{72, 72, 200, 120};

    auto stamp = on(CommandMethod::addContent);
    stamp.params.pageId = pages[0];
    stamp.params.rect = rect;
    stamp.params.kind = "image";
    stamp.params.imagePath = notAnImage.string();
    auto locked = on(CommandMethod::fillForm, form);
    locked.params.fieldName = "locked";
    locked.params.value = "x";
    auto tooLong = locked;
    tooLong.params.fieldName = "short";
    tooLong.params.value = "abcdef";
    auto mergeUnknown = on(CommandMethod::mergeDocuments);
    mergeUnknown.params.sessionIds = Ids{other, "NO-SUCH-SESSION"};
    auto deleteAll = on(CommandMethod::deletePages);
    deleteAll.params.pageIds = pages;
    auto emptyText = on(CommandMethod::addContent);
    emptyText.params.pageId = pages[0];
    emptyText.params.rect = rect;
    auto capitalKind = emptyText;
    capitalKind.params.kind = "Image";
    auto twice = on(CommandMethod::rotatePages);
    twice.params.pageIds = Ids{pages[1], pages[1]};

    struct Case {
        const char* name;
        CommandRequest request;
        std::string code;
    };
    const Case cases[] = {
        {"stamp of an unreadable image", stamp, "invalid_argument"},
        {"fill of a read-only field", locked, "read_only"},
        {"fill the field cuts short", tooLong, "form_failed"},
        {"merge with an unknown second document", mergeUnknown, "not_found"},
        {"delete every page", deleteAll, "invalid_argument"},
        {"text box without text", emptyText, "invalid_argument"},
        {"kind with a capital", capitalKind, "invalid_argument"},
        {"one page twice", twice, "invalid_argument"},
        {"undo with no history", on(CommandMethod::undo), "empty_history"},
        {"redo with no history", on(CommandMethod::redo), "empty_history"},
    };
    // What a client can see of each document, and the files on disk, before any refusal.
    const std::string docFile = testing::readFile(pdf);
    const std::string formFile = testing::readFile(formPdf);
    std::map<std::string, CommandResult> before{{session, inspect(session)}, {form, inspect(form)}};
    for (const Case& c : cases) {
        const auto response = worker->send(c.request);
        EXPECT_EQ(response.ok ? std::string("ok") : response.error->code, c.code)
            << c.name << ": " << outcome(response);
        CommandResult state = inspect(*c.request.params.sessionId);
        EXPECT_EQ(state, before.at(*c.request.params.sessionId)) << c.name;
    }
    EXPECT_EQ(before.at(session).revision, 1);
    EXPECT_EQ(before.at(form).saveState, "saved");
    EXPECT_EQ(testing::readFile(pdf), docFile);
    EXPECT_EQ(testing::readFile(formPdf), formFile);
    const auto recoveries = worker->send(makeRequest(CommandMethod::listRecovery));
    EXPECT_TRUE(recoveries.result->recoveries->empty());
}

TEST_P(WorkerEdits, UndoAndRedoAcrossASaveKeepTheSavedStateRight) {
    auto highlight = on(CommandMethod::addHighlight);
    highlight.params.pageId = pages[0];
    highlight.params.rect = PDFRect{72, 72, 200, 120};
    highlight.params.contents = "remember me";
    ASSERT_TRUE(worker->send(highlight).ok);
    ASSERT_EQ(save(), "ok");
    const std::string edited = testing::readFile(pdf);
    EXPECT_NE(edited.find("remember me"), std::string::npos);
    EXPECT_EQ(inspect().revision, 2);  // a save keeps the revision

    struct Step {
        CommandMethod method;
        std::int64_t revision;
        std::string saveState;
        std::size_t annotations;
    };
    const Step steps[] = {
        {CommandMethod::undo, 3, "unsaved", 0},
        {CommandMethod::redo, 4, "saved", 1},
        {CommandMethod::undo, 5, "unsaved", 0},
    };
    for (const Step& step : steps) {
        const auto response = worker->send(on(step.method));
        ASSERT_TRUE(response.ok) << outcome(response);
        EXPECT_EQ(response.result->revision, step.revision);
        EXPECT_EQ(response.result->saveState, step.saveState);
        EXPECT_EQ(response.result->annotations->size(), step.annotations);
        EXPECT_EQ(response.result->affectedPages, pages);
    }
    EXPECT_EQ(testing::readFile(pdf), edited);  // undo never writes the file
    ASSERT_EQ(save(), "ok");
    EXPECT_EQ(testing::readFile(pdf).find("remember me"), std::string::npos);
    const auto redone = worker->send(on(CommandMethod::redo));
    EXPECT_EQ(redone.result->saveState, "unsaved");  // the file now holds the undone state
}

TEST_P(WorkerEdits, MCPChangesNeedARevisionAndAnOperationAndAreAppliedOnce) {
    auto grants = makeRequest(CommandMethod::setGrants);
    grants.params.sessionIds = Ids{session};
    grants.params.permissions = Ids{"read", "modify"};
    ASSERT_TRUE(worker->send(grants).ok);

    const auto mcpHighlight = [&](std::optional<std::int64_t> revision, std::optional<std::string> operation,
                                  const std::string& page) {
        auto r = on(CommandMethod::addHighlight);
        r.channel = CommandChannel::mcp;
        r.params.pageId = page;
        r.params.rect = PDFRect{72, 72, 200, 120};
        r.expectedRevision = revision;
        r.operationId = std::move(operation);
        return r;
    };
    struct Case {
        const char* name;
        CommandRequest request;
        std::string expected;
        std::int64_t revisionAfter;
    };
    const Case cases[] = {
        {"no revision", mcpHighlight(std::nullopt, "op-1", pages[0]),
         "invalid_argument: MCP mutations require expectedRevision.", 1},
        {"no operation", mcpHighlight(1, std::nullopt, pages[0]),
         "invalid_argument: MCP mutations require operationId for deduplication.", 1},
        {"empty operation", mcpHighlight(1, "", pages[0]),
         "invalid_argument: MCP mutations require operationId for deduplication.", 1},
        {"stale revision", mcpHighlight(0, "op-1", pages[0]),
         "stale_revision: Document is at revision 1, not 0.", 1},
        {"applied", mcpHighlight(1, "op-1", pages[0]), "ok", 2},
        {"repeated: answered again, not applied", mcpHighlight(1, "op-1", pages[0]), "ok", 2},
        {"same operation, other page", mcpHighlight(1, "op-1", pages[1]),
         "operation_conflict: That operationId was already used for a different request. Use a new "
         "operationId for a "
         "new change.",
         2},
        {"next change", mcpHighlight(2, "op-2", pages[1]), "ok", 3},
    };
    std::optional<CommandResult> first;
    for (const Case& c : cases) {
        const auto response = worker->send(c.request);
        EXPECT_EQ(outcome(response), c.expected) << c.name;
        if (response.ok && !first) first = response.result;
        if (std::string(c.name).starts_with("repeated")) {
            EXPECT_EQ(response.result, first) << c.name;
        }
        EXPECT_EQ(inspect().revision, c.revisionAfter) << c.name;
    }
    EXPECT_EQ(inspect().annotations->size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(BothModes, WorkerEdits, ::testing::Values(WorkerMode::stdio, WorkerMode::socket),
                         [](const auto& info) { return testing::modeName(info.param); });

}  // namespace
}  // namespace kivo

namespace kivo {
namespace {

// Pages whose /Rotate is not a quarter turn, or whose /Type is not /Page, read the same turn in the
// live session, after a turn of another page and of their own, and in the same document saved and
// opened again; none reads as no turn at all (-1), and a turn PDFium does not make is refused.
TEST(WorkerRotation, ABadRotateReadsTheSameTurnLiveAndSaved) {
    struct Case {
        const char* rotate;  // page 2's /Rotate, or its parent's with `inherited`
        bool inherited = false;
        const char* type = "/Type /Page";  // page 2's own type entry
    };
    const Case cases[] = {{"45"},        {"-90"},           {"450"},           {"90.5"},
                          {"1e10"},      {"null"},          {"/Ninety"},       {"5 0 R"},
                          {"270", true}, {"-450", true},    {"-2147483648"},   {"-99999999999"},
                          {"(90)"},      {"45", false, ""}, {"90", false, ""}, {"90", false, "/Type /Pages"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rotate);
        const std::string own = c.inherited ? "" : std::string(" /Rotate ") + c.rotate;
        const std::string parent = c.inherited ? std::string(" /Rotate ") + c.rotate : "";
        const std::string content = "BT /F1 24 Tf 72 700 Td (Turned) Tj ET";
        testing::TempDir dir;
        const fs::path file = dir.path() / "doc.pdf";
        testing::writeFile(
            file,
            testing::assemblePdf(
                {"<< /Type /Catalog /Pages 2 0 R >>",
                 "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 /MediaBox [0 0 612 792]" + parent + " >>",
                 "<< /Type /Page /Parent 2 0 R /Contents 6 0 R /Resources << /Font << /F1 7 0 R >> >> >>",
                 std::string("<< ") + c.type +
                     " /Parent 2 0 R /Contents 6 0 R /Resources << /Font << /F1 7 0 R >> >>" + own + " >>",
                 "90",
                 "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
                 "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"}));
        DocumentWorker worker(WorkerMode::stdio, dir.path());
        const auto opened = worker.open(file);
        ASSERT_TRUE(opened.ok) << outcome(opened);
        const std::string session = *opened.result->sessionId;
        const auto inspectOf = [](const std::string& id) {
            auto r = makeRequest(CommandMethod::inspect);
            r.params.sessionId = id;
            return r;
        };
        const auto turnOf = [](const CommandResult& r) {
            return r.pages.value_or(std::vector<PageInfo>{}).at(1).rotation;
        };
        const auto savedTurn = [&](const char* name) {
            auto copy = makeRequest(CommandMethod::saveDocument);
            copy.params.sessionId = session;
            copy.params.saveMode = "saveCopy";
            copy.params.destination = (dir.path() / name).string();
            EXPECT_TRUE(worker.send(copy).ok);
            const auto again = worker.open(dir.path() / name);
            EXPECT_TRUE(again.ok) << outcome(again);
            return turnOf(again.result.value_or(CommandResult{}));
        };
        const auto turnPage = [&](int index) {
            auto r = makeRequest(CommandMethod::rotatePages);
            r.params.sessionId = session;
            r.params.pageIds = Ids{opened.result->pages->at(static_cast<size_t>(index)).id};
            r.params.rotation = 90;
            return worker.send(r);
        };
        const std::int64_t first = turnOf(*opened.result);
        EXPECT_GE(first, 0);
        EXPECT_LE(first, 3);
        EXPECT_EQ(first, savedTurn("as-opened.pdf")) << "as opened, and saved";
        const auto other = turnPage(0);
        ASSERT_TRUE(other.ok) << outcome(other);
        EXPECT_EQ(turnOf(*other.result), first) << "after the other page turned";
        EXPECT_EQ(savedTurn("other-turned.pdf"), first) << "after the other page turned, saved";
        const auto itself = turnPage(1);
        const std::int64_t turned = itself.ok ? (first + 1) % 4 : first;
        EXPECT_TRUE(itself.ok || itself.error->code == "unsupported") << outcome(itself);
        EXPECT_EQ(turnOf(itself.ok ? *itself.result : *worker.send(inspectOf(session)).result), turned)
            << "own turn";
        EXPECT_EQ(savedTurn("own-turned.pdf"), turned) << "after its own turn, saved";
    }
}

// A page tree may list one page object at several places; pdfinfo takes each place for a page of its
// own, and so does a turn: only the pages turned turn, in the session, in a saved copy and in pages
// extracted from it, from whatever turn each inherited.
TEST(WorkerRotation, ATurnOfAPageTheTreeListsTwiceTurnsThatPageAlone) {
    if (!testing::haveTool("pdfinfo")) GTEST_SKIP() << "pdfinfo is not installed";
    const std::string content = "BT /F1 24 Tf 72 700 Td (Twice) Tj ET";
    // Pages 1 and 2 are object 3, which inherits a quarter turn from its parent, page 3 is object 4.
    const std::string inherited = testing::assemblePdf(
        {"<< /Type /Catalog /Pages 2 0 R >>",
         "<< /Type /Pages /Kids [3 0 R 3 0 R 4 0 R] /Count 3 /MediaBox [0 0 612 792] /Rotate 90 >>",
         "<< /Type /Page /Parent 2 0 R /Contents 5 0 R /Resources << /Font << /F1 6 0 R >> >> >>",
         "<< /Type /Page /Parent 2 0 R /Contents 5 0 R /Resources << /Font << /F1 6 0 R >> >> >>",
         "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
         "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"});
    const struct {
        const char* name;
        fs::path file;
        std::vector<int> turned;     // the pages turned by a quarter, from 0
        std::vector<int> after;      // every page's turn in degrees
        std::vector<int> extracted;  // pages extracted, from 0
    } cases[] = {
        {"the second place", testing::repro("rotation-after-turn.pdf"), {1}, {0, 90, 0}, {2, 0}},
        {"the first place", testing::repro("rotation-after-turn.pdf"), {0}, {90, 0, 0}, {1, 2}},
        {"both places", testing::repro("rotation-after-turn.pdf"), {0, 1}, {90, 90, 0}, {1, 0}},
        {"a place that inherits its turn", {}, {0}, {180, 90, 90}, {0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        fs::path file = c.file;
        if (file.empty()) {
            file = dir.path() / "inherited.pdf";
            testing::writeFile(file, inherited);
        }
        if (!fs::exists(file)) GTEST_SKIP() << "the reproducer documents are absent";
        DocumentWorker worker(WorkerMode::stdio, dir.path());
        const CommandResponse opened = worker.open(file);
        ASSERT_TRUE(opened.ok) << outcome(opened);
        const std::vector<PageInfo> pages = *opened.result->pages;
        std::vector<int> before;
        for (const PageInfo& page : pages) before.push_back(static_cast<int>(page.rotation) * 90);
        EXPECT_EQ(before, testing::popplerRotations(file)) << "as opened";

        auto turn = makeRequest(CommandMethod::rotatePages);
        turn.params.sessionId = *opened.result->sessionId;
        turn.params.pageIds = Ids{};
        for (const int index : c.turned)
            turn.params.pageIds->push_back(pages.at(static_cast<size_t>(index)).id);
        turn.params.rotation = 90;
        const CommandResponse turned = worker.send(turn);
        ASSERT_TRUE(turned.ok) << outcome(turned);
        std::vector<int> live;
        for (const PageInfo& page : *turned.result->pages)
            live.push_back(static_cast<int>(page.rotation) * 90);
        EXPECT_EQ(live, c.after) << "in the session";

        auto copy = makeRequest(CommandMethod::saveDocument);
        copy.params.sessionId = turn.params.sessionId;
        copy.params.saveMode = "saveCopy";
        copy.params.destination = (dir.path() / "copy.pdf").string();
        ASSERT_EQ(outcome(worker.send(copy)), "ok");
        EXPECT_EQ(testing::popplerRotations(dir.path() / "copy.pdf"), c.after) << "saved";

        auto extract = makeRequest(CommandMethod::extractPages);
        extract.params.sessionId = turn.params.sessionId;
        extract.params.pageIds = Ids{};
        std::vector<int> expected;
        for (const int index : c.extracted) {
            extract.params.pageIds->push_back(pages.at(static_cast<size_t>(index)).id);
            expected.push_back(c.after.at(static_cast<size_t>(index)));
        }
        extract.params.destination = (dir.path() / "extract.pdf").string();
        ASSERT_EQ(outcome(worker.send(extract)), "ok");
        EXPECT_EQ(testing::popplerRotations(dir.path() / "extract.pdf"), expected) << "extracted";

        auto undo = makeRequest(CommandMethod::undo);
        undo.params.sessionId = turn.params.sessionId;
        const CommandResponse undone = worker.send(undo);
        ASSERT_TRUE(undone.ok) << outcome(undone);
        std::vector<int> back;
        for (const PageInfo& page : *undone.result->pages)
            back.push_back(static_cast<int>(page.rotation) * 90);
        EXPECT_EQ(back, before) << "undone";
    }
}

}  // namespace
}  // namespace kivo
