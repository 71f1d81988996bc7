// An edit a person saw acknowledged is in the file: through undo and redo, in a save, a saved copy
// and the checkpoint a killed worker leaves, read back by the worker and by qpdf; no edit or save
// is acknowledged whose bytes do not open; states and checkpoints stay bounded however long the
// session; and, over the samples and seeded mutants of them, every state reads as the same state
// written whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <sstream>

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

enum class Step { highlight, note, ink, textBox, rotate, undo, redo };

const char* const noHistory =
    "unsupported: Kivo PDF cannot keep an undo history for this file, so it will not change it. Nothing "
    "changed.";

CommandRequest on(CommandMethod method, const std::string& session) {
    auto r = makeRequest(method);
    r.params.sessionId = session;
    return r;
}

CommandRequest stepRequest(Step step, const std::string& session, const std::string& page) {
    const PDFRect rect{30, 30, 120, 60};
    switch (step) {
        case Step::highlight: {
            auto r = on(CommandMethod::addHighlight, session);
            r.params.pageId = page;
            r.params.rect = rect;
            return r;
        }
        case Step::note: {
            auto r = on(CommandMethod::addNote, session);
            r.params.pageId = page;
            r.params.rect = rect;
            r.params.contents = "A note";
            return r;
        }
        case Step::ink: {
            auto r = on(CommandMethod::addInk, session);
            r.params.pageId = page;
            r.params.points = std::vector<PDFPoint>{{40, 40}, {80, 90}, {120, 50}};
            return r;
        }
        case Step::textBox: {
            auto r = on(CommandMethod::addContent, session);
            r.params.pageId = page;
            r.params.rect = rect;
            r.params.contents = "Boxed";
            return r;
        }
        case Step::rotate: {
            auto r = on(CommandMethod::rotatePages, session);
            r.params.pageIds = Ids{page};
            r.params.rotation = 90;
            return r;
        }
        case Step::undo: return on(CommandMethod::undo, session);
        case Step::redo: return on(CommandMethod::redo, session);
    }
    return {};
}

// The worker's kinds as the file names them.
std::string subtypeOf(const std::string& kind) {
    static const std::map<std::string, std::string> subtypes{
        {"highlight", "Highlight"}, {"note", "Text"}, {"ink", "Ink"}, {"text", "FreeText"}};
    const auto found = subtypes.find(kind);
    return found == subtypes.end() ? kind : found->second;
}

// "page:Subtype" of every annotation the worker lists, pages counted from 1, sorted.
std::vector<std::string> listed(const CommandResult& r) {
    std::map<std::string, std::int64_t> index;
    for (const PageInfo& page : r.pages.value_or(std::vector<PageInfo>{})) index[page.id] = page.index + 1;
    std::vector<std::string> out;
    for (const AnnotationInfo& a : r.annotations.value_or(std::vector<AnnotationInfo>{})) {
        out.push_back(std::to_string(index[a.pageId]) + ":" + subtypeOf(a.kind));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> sorted(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    return items;
}

fs::path copyOf(const fs::path& source, const fs::path& to) {
    fs::copy_file(source, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write);
    return to;
}

std::string pageText(DocumentWorker& worker, const std::string& session, const std::string& page) {
    auto r = on(CommandMethod::extractText, session);
    r.params.pageId = page;
    const auto answer = worker.send(r);
    EXPECT_TRUE(answer.ok) << outcome(answer);
    return answer.result.value_or(CommandResult{}).text.value_or("");
}

fs::path checkpointOf(const fs::path& dir, const std::string& session) {
    return dir / "support" / "recovery" / session / "checkpoint.pdf";
}

CommandResponse restoreOnly(DocumentWorker& worker) {
    const auto listedRecoveries = worker.send(makeRequest(CommandMethod::listRecovery));
    EXPECT_TRUE(listedRecoveries.ok) << outcome(listedRecoveries);
    const auto recoveries =
        listedRecoveries.result.value_or(CommandResult{}).recoveries.value_or(std::vector<RecoveryInfo>{});
    EXPECT_EQ(recoveries.size(), 1u);
    auto restore = makeRequest(CommandMethod::restoreRecovery);
    restore.params.recoveryId = recoveries.empty() ? std::string("none") : recoveries[0].recoveryId;
    return worker.send(restore);
}

// Undo and redo, a saved copy, the checkpoint left by a killed worker and a save from the
// restored document all hold every annotation the session acknowledged, read by qpdf too, on files
// whose objects are of generation 1.
TEST(WorkerHistory, AcknowledgedAnnotationsReachTheCopyTheCheckpointAndTheSave) {
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    if (testing::repro("objects-of-generation-1.pdf").empty()) GTEST_SKIP() << "reproducer folder absent";
    using enum Step;
    struct Case {
        const char* file;
        std::vector<Step> steps;
        std::vector<std::string> expected;
    };
    const std::vector<std::string> three{"1:Highlight", "1:Ink", "1:Text"};
    const Case cases[] = {
        {"objects-of-generation-1.pdf", {highlight, note, ink, undo, redo}, three},
        {"redo-then-save-drops-annotations.pdf", {highlight, note, ink, undo, redo}, three},
        {"edit-after-undo-drops-annotations.pdf",
         {highlight, textBox, rotate, undo, ink},
         {"1:FreeText", "1:Highlight", "1:Ink"}},
        {"undo-reads-other-page-text.pdf",
         {note, note, note, note, note, note, note, undo},
         std::vector<std::string>(6, "1:Text")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        testing::TempDir dir;
        const fs::path file = copyOf(testing::repro(c.file), dir.path() / "doc.pdf");
        {
            DocumentWorker first(WorkerMode::stdio, dir.path());
            const CommandResult opened = first.open(file).result.value_or(CommandResult{});
            ASSERT_TRUE(opened.sessionId && opened.pages);
            const std::string session = *opened.sessionId;
            const std::string page = opened.pages->at(0).id;
            CommandResult last;
            for (const Step step : c.steps) {
                const auto answer = first.send(stepRequest(step, session, page));
                ASSERT_TRUE(answer.ok) << outcome(answer);
                last = *answer.result;
            }
            EXPECT_EQ(listed(last), c.expected) << "in the session";

            const fs::path copy = dir.path() / "copy.pdf";
            auto saveCopy = on(CommandMethod::saveDocument, session);
            saveCopy.params.saveMode = "saveCopy";
            saveCopy.params.destination = copy.string();
            ASSERT_TRUE(first.send(saveCopy).ok);
            EXPECT_EQ(sorted(testing::qpdfAnnotations(copy)), c.expected) << "the copy, by qpdf";
            EXPECT_EQ(listed(first.open(copy).result.value_or(CommandResult{})), c.expected) << "the copy";
            EXPECT_EQ(sorted(testing::qpdfAnnotations(checkpointOf(dir.path(), session))), c.expected)
                << "the checkpoint, by qpdf";
            first.kill();
        }
        DocumentWorker next(WorkerMode::stdio, dir.path());
        const auto restored = restoreOnly(next);
        ASSERT_TRUE(restored.ok) << outcome(restored);
        EXPECT_EQ(listed(*restored.result), c.expected) << "the restored checkpoint";
        auto save = on(CommandMethod::saveDocument, *restored.result->sessionId);
        save.params.saveMode = "save";
        ASSERT_TRUE(next.send(save).ok);
        EXPECT_EQ(sorted(testing::qpdfAnnotations(file)), c.expected) << "the saved file, by qpdf";
    }
}

// A file PDFium opens but whose written bytes it may not open again: an edit is acknowledged only
// with a state an undo opens, a checkpoint only with bytes a restore opens, and every write either
// gives a file that opens with the acknowledged annotations or fails with a sentence and leaves
// the file on disk as it was. Reading goes on either way.
TEST(WorkerHistory, NoEditOrWriteIsAcknowledgedWhoseBytesDoNotOpen) {
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::vector<Case> cases{
        {"an encrypted file PDFium writes but cannot open", testing::makeUnkeptEncryptedPdf()}};
    if (const fs::path repro = testing::repro("edited-state-unreadable.pdf"); !repro.empty()) {
        cases.push_back({"edited-state-unreadable.pdf", testing::readFile(repro)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        const fs::path file = dir.path() / "doc.pdf";
        testing::writeFile(file, c.bytes);
        std::size_t acknowledged = 0;
        std::string text;
        {
            DocumentWorker first(WorkerMode::stdio, dir.path());
            const CommandResult opened = first.open(file).result.value_or(CommandResult{});
            ASSERT_TRUE(opened.sessionId && opened.pages);
            const std::string session = *opened.sessionId;
            const std::string page = opened.pages->at(0).id;
            text = pageText(first, session, page);
            for (int i = 0; i < 3; ++i) {
                const auto answer = first.send(stepRequest(Step::note, session, page));
                if (answer.ok) {
                    ++acknowledged;
                } else {
                    EXPECT_EQ(outcome(answer), noHistory);
                }
            }
            // Every acknowledged state opens again, both ways.
            for (const Step step : {Step::undo, Step::redo}) {
                for (std::size_t i = 0; i < acknowledged; ++i) {
                    EXPECT_EQ(outcome(first.send(stepRequest(step, session, page))), "ok");
                }
            }
            const auto inspected = first.send(on(CommandMethod::inspect, session));
            ASSERT_TRUE(inspected.ok);
            EXPECT_EQ(inspected.result->annotations->size(), acknowledged);
            EXPECT_EQ(pageText(first, session, page), text);
            first.kill();
        }

        // The checkpoint of every acknowledged edit restores; the file opens as it was without one.
        DocumentWorker next(WorkerMode::stdio, dir.path());
        const auto reopened = acknowledged > 0 ? restoreOnly(next) : next.open(file);
        ASSERT_TRUE(reopened.ok) << outcome(reopened);
        EXPECT_EQ(reopened.result->annotations->size(), acknowledged);
        const std::string session = *reopened.result->sessionId;
        const std::string page = reopened.result->pages->at(0).id;
        EXPECT_EQ(pageText(next, session, page), text);

        const auto saving = [&](const char* mode, const fs::path& to) {
            auto r = on(CommandMethod::saveDocument, session);
            r.params.saveMode = mode;
            if (to != file) r.params.destination = to.string();
            return r;
        };
        auto exportTo = on(CommandMethod::exportDocument, session);
        exportTo.params.destination = (dir.path() / "export.pdf").string();
        auto extract = on(CommandMethod::extractPages, session);
        extract.params.pageIds = Ids{page};
        extract.params.destination = (dir.path() / "extract.pdf").string();
        struct Write {
            const char* name;
            CommandRequest request;
            fs::path file;
        };
        const Write writes[] = {
            {"saveCopy", saving("saveCopy", dir.path() / "copy.pdf"), dir.path() / "copy.pdf"},
            {"export", exportTo, dir.path() / "export.pdf"},
            {"extract", extract, dir.path() / "extract.pdf"},
            {"save", saving("save", file), file},
        };
        for (const Write& w : writes) {
            SCOPED_TRACE(w.name);
            const std::string before = fs::exists(w.file) ? testing::readFile(w.file) : std::string("<none>");
            const auto answer = next.send(w.request);
            if (!answer.ok) {
                EXPECT_EQ(answer.error->code, "export_failed") << answer.error->message;
                EXPECT_EQ(fs::exists(w.file) ? testing::readFile(w.file) : std::string("<none>"), before);
                continue;
            }
            EXPECT_EQ(testing::popplerPageCount(w.file), 1);
            const auto reread = next.open(w.file);
            ASSERT_TRUE(reread.ok) << outcome(reread);
            EXPECT_EQ(reread.result->annotations->size(), acknowledged);
        }
        EXPECT_EQ(pageText(next, session, page), text);
    }
}

// A stream whose length ends mid-stream, and that nothing ends, reads the same page text in every
// state: as opened, after notes, undos and redos, and restored from the checkpoint.
TEST(WorkerHistory, EveryStateOfARepairedFileReadsTheTextItOpenedWith) {
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    const fs::path repro = testing::repro("undo-reads-other-page-text.pdf");
    if (repro.empty()) GTEST_SKIP() << "reproducer folder absent";
    testing::TempDir dir;
    const fs::path file = copyOf(repro, dir.path() / "doc.pdf");
    DocumentWorker worker(WorkerMode::stdio, dir.path());
    const CommandResult opened = worker.open(file).result.value_or(CommandResult{});
    ASSERT_TRUE(opened.sessionId && opened.pages);
    const std::string session = *opened.sessionId;
    const std::string page = opened.pages->at(0).id;
    const std::string text = pageText(worker, session, page);
    std::vector<Step> steps(7, Step::note);
    steps.insert(steps.end(),
                 {Step::undo, Step::undo, Step::redo, Step::undo, Step::note, Step::undo, Step::redo});
    for (const Step step : steps) {
        ASSERT_TRUE(worker.send(stepRequest(step, session, page)).ok);
        EXPECT_EQ(pageText(worker, session, page), text) << "after step " << static_cast<int>(step);
    }
    auto restore = makeRequest(CommandMethod::restoreRecovery);
    restore.params.recoveryId = session;
    const auto restored = worker.send(restore);
    ASSERT_TRUE(restored.ok) << outcome(restored);
    EXPECT_EQ(pageText(worker, *restored.result->sessionId, restored.result->pages->at(0).id), text)
        << "restored";
}

// A page whose content names an object the file lacks reads as empty in every state, live and in the
// copy saved from that state: the objects an edit makes (a pop-up's appearance showing the note's
// words) must never take the number the page names.
TEST(WorkerHistory, AnnotationsNeverBecomeTheTextOfAPageNamingAMissingObject) {
    if (!testing::haveTool("pdftotext")) GTEST_SKIP() << "pdftotext is not installed";
    const fs::path repro = testing::repro("undo-reads-annotation-as-page-text.pdf");
    if (repro.empty()) GTEST_SKIP() << "reproducer folder absent";
    testing::TempDir dir;
    const fs::path file = copyOf(repro, dir.path() / "doc.pdf");
    const auto outsideText = [](const fs::path& f) {
        testing::runTool("pdftotext -q", f, false);
        fs::path written = f;
        std::string text = testing::readFile(written.replace_extension(".txt"));
        text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\f' || c == '\n'; }),
                   text.end());
        return text;
    };
    const std::string own = outsideText(file);
    DocumentWorker worker(WorkerMode::stdio, dir.path());
    const CommandResult opened = worker.open(file).result.value_or(CommandResult{});
    ASSERT_TRUE(opened.sessionId && opened.pages);
    const std::string session = *opened.sessionId;
    const std::string page = opened.pages->at(0).id;
    auto highlight = stepRequest(Step::highlight, session, page);
    highlight.params.contents = "a\nb";
    auto read = on(CommandMethod::extractText, session);
    read.params.pageId = page;
    const std::vector<std::pair<std::string, CommandRequest>> steps = {
        {"opened", read},
        {"highlight", highlight},
        {"note", stepRequest(Step::note, session, page)},
        {"second highlight", highlight},
        {"undo", stepRequest(Step::undo, session, page)},
        {"redo", stepRequest(Step::redo, session, page)},
    };
    int saved = 0;
    for (const auto& [name, request] : steps) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(worker.send(request).ok);
        EXPECT_EQ(pageText(worker, session, page), own) << "live";
        const fs::path copy = dir.path() / ("copy" + std::to_string(++saved) + ".pdf");
        auto saveCopy = on(CommandMethod::saveDocument, session);
        saveCopy.params.saveMode = "saveCopy";
        saveCopy.params.destination = copy.string();
        ASSERT_TRUE(worker.send(saveCopy).ok);
        EXPECT_EQ(outsideText(copy), own) << "pdftotext of the copy";
        const CommandResult reread = worker.open(copy).result.value_or(CommandResult{});
        ASSERT_TRUE(reread.sessionId && reread.pages);
        EXPECT_EQ(pageText(worker, *reread.sessionId, reread.pages->at(0).id), own) << "copy reopened";
    }
}

// Any number of notes, undos and redos, and of kill-and-restore cycles, leave states and
// checkpoints that append at most eight revisions to a whole write, and are at most twice as long
// as the same document written whole.
TEST(WorkerHistory, StatesAndCheckpointsStayBoundedWhateverCameBefore) {
    const fs::path sample = testing::corpus("multicolumn.pdf");
    if (sample.empty()) GTEST_SKIP() << "sample folder absent";
    constexpr std::size_t appendedAtMost = 8;
    const auto revisions = [](const fs::path& f) {
        const std::string bytes = testing::readFile(f);
        std::size_t count = 0;
        for (std::size_t at = bytes.find("startxref"); at != std::string::npos;
             at = bytes.find("startxref", at + 1)) {
            ++count;
        }
        return count;
    };
    const std::size_t own = revisions(sample);
    testing::TempDir dir;
    const fs::path file = copyOf(sample, dir.path() / "doc.pdf");
    std::string session;
    {
        DocumentWorker worker(WorkerMode::stdio, dir.path());
        const CommandResult opened = worker.open(file).result.value_or(CommandResult{});
        ASSERT_TRUE(opened.sessionId && opened.pages);
        session = *opened.sessionId;
        std::size_t most = 0;
        for (int round = 0; round < 20; ++round) {
            for (const Step step : {Step::note, Step::undo, Step::redo}) {
                ASSERT_TRUE(worker.send(stepRequest(step, session, opened.pages->at(0).id)).ok) << round;
            }
            most = std::max(most, revisions(checkpointOf(dir.path(), session)));
        }
        EXPECT_LE(most, own + appendedAtMost) << "after notes, undos and redos";
        worker.kill();
    }
    std::size_t most = 0;
    std::uintmax_t largest = 0;
    std::uintmax_t whole = 0;
    for (int cycle = 0; cycle < 10; ++cycle) {
        DocumentWorker worker(WorkerMode::stdio, dir.path());
        const auto restored = restoreOnly(worker);
        ASSERT_TRUE(restored.ok) << outcome(restored);
        session = *restored.result->sessionId;
        for (int note = 0; note < 5; ++note) {
            ASSERT_TRUE(worker.send(stepRequest(Step::note, session, restored.result->pages->at(0).id)).ok);
        }
        most = std::max(most, revisions(checkpointOf(dir.path(), session)));
        largest = std::max(largest, fs::file_size(checkpointOf(dir.path(), session)));
        auto exportTo = on(CommandMethod::exportDocument, session);
        exportTo.params.destination = (dir.path() / "whole.pdf").string();
        ASSERT_TRUE(worker.send(exportTo).ok);
        whole = std::max(whole, fs::file_size(dir.path() / "whole.pdf"));
        worker.kill();
    }
    EXPECT_LE(most, own + appendedAtMost) << "after kill-and-restore cycles";
    // Every append rewrites the annotations of the page it touches, so a chain of them on a short
    // document outgrows it fast; a checkpoint still costs at most twice the document written whole.
    EXPECT_LE(largest, 2 * whole + 65'536) << "after kill-and-restore cycles";
}

// Each time a page of notes is drawn PDFium makes objects nothing refers to (a pop-up's appearance
// and font for each note). However often a person looked at the page, the saved file holds only
// objects the document refers to, as many as qpdf keeps when it rewrites the file, and the next
// state stays within twice the document.
TEST(WorkerHistory, LookingAtAPageOfNotesAddsNothingToTheFileOrTheNextState) {
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    const fs::path sample = testing::corpus("multicolumn.pdf");
    if (sample.empty()) GTEST_SKIP() << "sample folder absent";
    const auto objects = [](const fs::path& f) {
        static const std::regex header(R"((^|\s)\d+ \d+ obj\b)");
        const std::string bytes = testing::readFile(f);
        return std::distance(std::sregex_iterator(bytes.begin(), bytes.end(), header),
                             std::sregex_iterator());
    };
    testing::TempDir dir;
    DocumentWorker worker(WorkerMode::stdio, dir.path());
    const CommandResult opened =
        worker.open(copyOf(sample, dir.path() / "doc.pdf")).result.value_or(CommandResult{});
    ASSERT_TRUE(opened.sessionId && opened.pages);
    const std::string session = *opened.sessionId;
    const std::string page = opened.pages->at(0).id;
    for (int note = 0; note < 5; ++note) ASSERT_TRUE(worker.send(stepRequest(Step::note, session, page)).ok);
    for (int view = 0; view < 60; ++view) {
        auto render = on(CommandMethod::renderPage, session);
        render.params.pageId = page;
        render.params.pngPath = (dir.path() / "page.png").string();
        ASSERT_TRUE(worker.send(render).ok) << view;
    }
    const fs::path saved = dir.path() / "saved.pdf";
    auto exportTo = on(CommandMethod::exportDocument, session);
    exportTo.params.destination = saved.string();
    ASSERT_TRUE(worker.send(exportTo).ok);
    const fs::path rewritten = dir.path() / "rewritten.pdf";
    ASSERT_EQ(testing::runTool("qpdf --object-streams=disable " + saved.string(), rewritten).status, 0);
    EXPECT_EQ(objects(saved), objects(rewritten));
    EXPECT_EQ(testing::qpdfAnnotations(saved), Ids(5, "1:Text"));

    ASSERT_TRUE(worker.send(stepRequest(Step::note, session, page)).ok);
    EXPECT_LE(fs::file_size(checkpointOf(dir.path(), session)), 2 * fs::file_size(rewritten) + 65'536);
}

// Each page's turn the worker reports, "page:quarter turns" for the pages turned, pages counted from 1.
std::vector<std::string> turned(const CommandResult& r) {
    std::vector<std::string> out;
    for (const PageInfo& page : r.pages.value_or(std::vector<PageInfo>{})) {
        if (page.rotation != 0)
            out.push_back(std::to_string(page.index + 1) + ":" + std::to_string(page.rotation));
    }
    return out;
}

// "page:Subtype" of every annotation the census counts, links included and pop-ups left out as
// qpdfAnnotations leaves them, pages counted from 1, sorted.
std::vector<std::string> counted(const CommandResult& r) {
    std::vector<std::string> out;
    const auto subtypes =
        r.annotationSubtypes.value_or(std::map<std::string, std::map<std::string, std::int64_t>>{});
    for (const PageInfo& page : r.pages.value_or(std::vector<PageInfo>{})) {
        const auto found = subtypes.find(page.id);
        if (found == subtypes.end()) continue;
        for (const auto& [subtype, count] : found->second) {
            if (subtype == "Popup") continue;
            for (std::int64_t i = 0; i < count; ++i)
                out.push_back(std::to_string(page.index + 1) + ":" + subtype);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Of "page:Subtype" entries, those of the kinds the steps below add, sorted.
std::vector<std::string> ofAddedKinds(std::vector<std::string> items) {
    std::erase_if(items, [](const std::string& a) {
        return !a.ends_with(":Highlight") && !a.ends_with(":Text") && !a.ends_with(":Ink");
    });
    std::sort(items.begin(), items.end());
    return items;
}

// Undo and redo across a page deletion, a turn and a merge on a document of 234 pages return
// states that list the annotations and turns of exactly the state they stand for, as an exported
// copy of each holds them for qpdf and pdfinfo, and the checkpoint a killed worker leaves holds
// the last one.
TEST(WorkerHistory, UndoAcrossPageChangesOfALongDocumentReturnsTheStateItStandsFor) {
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    const fs::path sample = testing::corpus("geotopo.pdf");
    const fs::path added = testing::corpus("pdflatex-4-pages.pdf");
    if (sample.empty() || added.empty()) GTEST_SKIP() << "sample folder absent";
    testing::TempDir dir;
    const fs::path file = dir.path() / "long.pdf";
    const std::string twice = "qpdf --empty --pages " + sample.string() + " " + sample.string() + " --";
    ASSERT_EQ(testing::runTool(twice, file).status, 0);

    // Each step names its pages (counted from 1) in the document as it stands before the step.
    enum class Act { highlight, note, ink, remove, rotate, merge, undo, redo };
    struct Case {
        Act act;
        int page;
        std::size_t pages;
        std::vector<std::string> annotations;
        std::vector<std::string> turns;
    };
    using enum Act;
    const std::vector<std::string> highlighted{"1:Highlight"};
    const std::vector<std::string> noted{"1:Highlight", "200:Text"};
    const std::vector<std::string> noteMoved{"1:Highlight", "199:Text"};
    const std::vector<std::string> inked{"1:Highlight", "199:Text", "236:Ink"};
    const std::vector<std::string> none;
    const std::vector<std::string> third{"3:1"};
    const Case cases[] = {
        {highlight, 1, 234, highlighted, none},
        {note, 200, 234, noted, none},
        {remove, 2, 233, noteMoved, none},
        {rotate, 3, 233, noteMoved, third},
        {merge, 0, 237, noteMoved, third},
        {ink, 236, 237, inked, third},
        {undo, 0, 237, noteMoved, third},
        {undo, 0, 233, noteMoved, third},
        {undo, 0, 233, noteMoved, none},
        {undo, 0, 234, noted, none},
        {undo, 0, 234, highlighted, none},
        {redo, 0, 234, noted, none},
        {redo, 0, 233, noteMoved, none},
        {redo, 0, 233, noteMoved, third},
        {highlight, 100, 233, {"100:Highlight", "1:Highlight", "199:Text"}, third},
        {undo, 0, 233, noteMoved, third},
        {undo, 0, 233, noteMoved, none},
    };

    std::string session;
    std::vector<std::string> lastCounted;
    {
        DocumentWorker worker(WorkerMode::stdio, dir.path());
        CommandResult state = worker.open(file).result.value_or(CommandResult{});
        ASSERT_TRUE(state.sessionId && state.pages);
        ASSERT_EQ(state.pages->size(), 234u);
        session = *state.sessionId;
        int written = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE("step " + std::to_string(written + 1));
            const auto pageId = [&](int page) {
                return state.pages->at(static_cast<std::size_t>(page - 1)).id;
            };
            CommandRequest request;
            switch (c.act) {
                case highlight: request = stepRequest(Step::highlight, session, pageId(c.page)); break;
                case note: request = stepRequest(Step::note, session, pageId(c.page)); break;
                case ink: request = stepRequest(Step::ink, session, pageId(c.page)); break;
                case rotate: request = stepRequest(Step::rotate, session, pageId(c.page)); break;
                case undo: request = stepRequest(Step::undo, session, ""); break;
                case redo: request = stepRequest(Step::redo, session, ""); break;
                case remove:
                    request = on(CommandMethod::deletePages, session);
                    request.params.pageIds = Ids{pageId(c.page)};
                    break;
                case merge:
                    request = on(CommandMethod::mergeDocuments, session);
                    request.params.path = added.string();
                    break;
            }
            const auto answer = worker.send(request);
            ASSERT_TRUE(answer.ok) << outcome(answer);
            state = *answer.result;
            EXPECT_EQ(state.pages->size(), c.pages);
            EXPECT_EQ(ofAddedKinds(listed(state)), sorted(c.annotations)) << "in the session";
            EXPECT_EQ(turned(state), c.turns);

            const fs::path copy = dir.path() / ("state-" + std::to_string(++written) + ".pdf");
            // An export leaves the session as it was, so the next step starts from the step's own state.
            auto exportTo = on(CommandMethod::exportDocument, session);
            exportTo.params.destination = copy.string();
            ASSERT_TRUE(worker.send(exportTo).ok);
            const std::vector<std::string> read = sorted(testing::qpdfAnnotations(copy));
            EXPECT_EQ(ofAddedKinds(read), sorted(c.annotations)) << "the copy, by qpdf";
            // The sample's links too, which move with the pages.
            EXPECT_EQ(counted(state), read) << "the census against the copy, by qpdf";
            EXPECT_EQ(testing::popplerPageCount(copy), static_cast<int>(c.pages)) << "the copy, by pdfinfo";
            lastCounted = read;
        }
        worker.kill();
    }
    const Case& last = cases[std::size(cases) - 1];
    DocumentWorker next(WorkerMode::stdio, dir.path());
    const auto restored = restoreOnly(next);
    ASSERT_TRUE(restored.ok) << outcome(restored);
    EXPECT_EQ(restored.result->pages->size(), last.pages);
    EXPECT_EQ(ofAddedKinds(listed(*restored.result)), sorted(last.annotations)) << "the restored checkpoint";
    EXPECT_EQ(turned(*restored.result), last.turns);
    EXPECT_EQ(counted(*restored.result), lastCounted) << "the restored checkpoint";
}

// A checkpoint is changed in place where it can be: a change appended to the bytes the document
// was opened from, an undo back to them cut off the end. A kill at any moment of either leaves a
// file holding more than the description names: the end of an append cut short (all but its last
// line, say), or an undo already named but not yet cut. The restored document is the state the
// description names, with the annotations the file had, in both cases.
TEST(WorkerHistory, ACheckpointKilledMidWriteRestoresTheStateItsDescriptionNames) {
    const fs::path sample = testing::corpus("annotated.pdf");
    if (sample.empty()) GTEST_SKIP() << "sample folder absent";
    struct Case {
        const char* name;
        // The steps after which the description is kept, then those after which the file is read
        // again; put back in place of the checkpoint is that file less its last `dropped` bytes, or
        // with `beforeUndo` the file as it was before the undo among the named steps.
        std::vector<Step> named;
        std::vector<Step> then;
        bool beforeUndo;
        std::size_t dropped;
    };
    using enum Step;
    const Case cases[] = {
        {"an append cut short before its last line", {highlight, undo}, {note}, false, 6},
        {"an undo named but not yet cut", {highlight, undo}, {}, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        const fs::path file = copyOf(sample, dir.path() / "doc.pdf");
        std::vector<std::string> acknowledged;
        std::vector<std::string> original;
        {
            DocumentWorker first(WorkerMode::stdio, dir.path());
            const CommandResult opened = first.open(file).result.value_or(CommandResult{});
            ASSERT_TRUE(opened.sessionId && opened.pages);
            original = listed(opened);
            const std::string session = *opened.sessionId;
            const fs::path checkpoint = checkpointOf(dir.path(), session);
            const fs::path meta = checkpoint.parent_path() / "meta.json";
            // The file before the undo, which holds the highlight the undo takes away.
            std::string beforeUndo;
            for (const Step step : c.named) {
                if (step == undo) beforeUndo = testing::readFile(checkpoint);
                const auto answer = first.send(stepRequest(step, session, opened.pages->at(0).id));
                ASSERT_TRUE(answer.ok) << outcome(answer);
                acknowledged = listed(*answer.result);
            }
            const std::string named = testing::readFile(meta);
            const std::string asNamed = testing::readFile(checkpoint);
            for (const Step step : c.then) {
                ASSERT_TRUE(first.send(stepRequest(step, session, opened.pages->at(0).id)).ok);
            }
            const std::string later = testing::readFile(checkpoint);
            first.kill();
            // In place, as the worker writes it: the same file, so the description still names it.
            const std::string left = c.beforeUndo ? beforeUndo : later.substr(0, later.size() - c.dropped);
            ASSERT_GT(left.size(), asNamed.size());
            EXPECT_EQ(left.substr(0, asNamed.size()), asNamed) << "the named state does not begin the file";
            testing::writeFile(checkpoint, left);
            testing::writeFile(meta, named);
        }
        ASSERT_FALSE(original.empty());
        EXPECT_EQ(acknowledged, original);
        DocumentWorker next(WorkerMode::stdio, dir.path());
        const auto restored = restoreOnly(next);
        ASSERT_TRUE(restored.ok) << outcome(restored);
        EXPECT_EQ(listed(*restored.result), acknowledged);
    }
}

// ---- The differential run

// A copy of `source` that qpdf rewrote in a form chosen by `seed`: object streams, linearized
// (two cross-reference sections), its editable form, or uncompressed.
fs::path rewritten(const fs::path& source, const fs::path& to, unsigned seed) {
    const char* const forms[] = {"--object-streams=generate", "--linearize", "--qdf --object-streams=disable",
                                 "--compress-streams=n --object-streams=disable"};
    std::mt19937 random(seed);
    const std::string form = forms[random() % std::size(forms)];
    const testing::ToolRun run = testing::runTool("qpdf " + form + " " + source.string(), to);
    return run.status == 0 || run.status == 3 ? to : fs::path();
}

// What a state reads: each page's turn, text and annotations, and the fields.
std::string reading(DocumentWorker& worker, const CommandResult& r) {
    std::ostringstream out;
    for (const PageInfo& page : r.pages.value_or(std::vector<PageInfo>{})) {
        out << "page " << page.index + 1 << " turned " << page.rotation << ": "
            << pageText(worker, *r.sessionId, page.id) << "\n";
    }
    for (const std::string& a : listed(r)) out << a << "\n";
    for (const AnnotationInfo& a : r.annotations.value_or(std::vector<AnnotationInfo>{}))
        out << a.contents << "\n";
    for (const FormFieldInfo& f : r.fields.value_or(std::vector<FormFieldInfo>{}))
        out << f.name << "=" << f.value << "\n";
    return out.str();
}

// Over the samples, mutants of them and the reproducers of objects of generation 1, random edits, undos,
// redos and restores of the recovery checkpoint: after each step the document reads as the same state written
// whole and opened fresh, and a saved copy holds what the session lists.
TEST(WorkerHistory, EveryStateReadsAsTheSameStateWrittenWhole) {
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    if (testing::corpus("annotated.pdf").empty()) GTEST_SKIP() << "sample folder absent";
    testing::TempDir dir;
    std::vector<fs::path> documents;
    unsigned seed = 7;
    for (const char* name : {"annotated.pdf", "pdflatex-4-pages.pdf", "libreoffice-form.pdf"}) {
        const fs::path sample = testing::corpus(name);
        documents.push_back(copyOf(sample, dir.path() / name));
        const fs::path mutant = rewritten(sample, dir.path() / ("mutant-" + std::string(name)), ++seed);
        ASSERT_FALSE(mutant.empty()) << name;
        documents.push_back(mutant);
    }
    for (const char* name : {"objects-of-generation-1.pdf", "edit-after-undo-drops-annotations.pdf",
                             "undo-reads-other-page-text.pdf"}) {
        if (const fs::path repro = testing::repro(name); !repro.empty()) {
            documents.push_back(copyOf(repro, dir.path() / name));
        }
    }
    DocumentWorker worker(WorkerMode::stdio, dir.path());
    std::mt19937 random(2026);
    const Step edits[] = {Step::highlight, Step::note, Step::ink, Step::textBox, Step::rotate};
    int written = 0;
    for (const fs::path& document : documents) {
        SCOPED_TRACE(document.filename().string());
        const auto opened = worker.open(document);
        ASSERT_TRUE(opened.ok);
        std::string session = *opened.result->sessionId;
        for (int round = 0; round < 10; ++round) {
            // Two edits, an undo and a redo in every four rounds, the edits (or a restore) drawn at random.
            CommandResponse answer;
            const auto inspected = worker.send(on(CommandMethod::inspect, session));
            const auto& pages = *inspected.result->pages;
            const std::string page = pages[random() % pages.size()].id;
            if (round % 4 == 2 || round % 4 == 3) {
                answer = worker.send(stepRequest(round % 4 == 2 ? Step::undo : Step::redo, session, page));
            } else if (random() % 5 == 0) {
                auto restore = makeRequest(CommandMethod::restoreRecovery);
                restore.params.recoveryId = session;
                answer = worker.send(restore);
                if (answer.ok) session = *answer.result->sessionId;
            } else {
                answer = worker.send(stepRequest(edits[random() % std::size(edits)], session, page));
            }
            SCOPED_TRACE("round " + std::to_string(round));
            if (!answer.ok) {
                // Nothing to undo or redo, or no checkpoint of a clean document to restore.
                EXPECT_TRUE(answer.error->code == "empty_history" || answer.error->code == "not_found")
                    << outcome(answer);
                answer = worker.send(on(CommandMethod::inspect, session));
            }
            const fs::path whole = dir.path() / ("whole-" + std::to_string(++written) + ".pdf");
            auto exportTo = on(CommandMethod::exportDocument, session);
            exportTo.params.destination = whole.string();
            ASSERT_TRUE(worker.send(exportTo).ok);
            const auto fresh = worker.open(whole);
            ASSERT_TRUE(fresh.ok);
            EXPECT_EQ(reading(worker, *answer.result), reading(worker, *fresh.result));
            worker.send(on(CommandMethod::close, *fresh.result->sessionId));
        }
        const fs::path copy = dir.path() / ("copy-" + document.filename().string());
        auto saveCopy = on(CommandMethod::saveDocument, session);
        saveCopy.params.saveMode = "saveCopy";
        saveCopy.params.destination = copy.string();
        ASSERT_TRUE(worker.send(saveCopy).ok);
        const auto inspected = worker.send(on(CommandMethod::inspect, session));
        std::vector<std::string> kept = sorted(testing::qpdfAnnotations(copy));
        std::erase_if(kept,
                      [](const std::string& a) { return a.ends_with(":Widget") || a.ends_with(":Link"); });
        EXPECT_EQ(kept, listed(*inspected.result));
    }
}

}  // namespace
}  // namespace kivo
