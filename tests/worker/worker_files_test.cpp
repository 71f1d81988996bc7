// Every file the worker writes is checked by two outside readers (qpdf's structural check and
// pdfinfo's page count) and read back by the worker itself; and an edit outlives a worker that is
// killed outright, through its recovery checkpoint.

#include <gtest/gtest.h>

#include <functional>
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
using testing::outsideView;
using testing::WorkerMode;

using Ids = std::vector<std::string>;

// Pages as width/quarter turns, then annotation kinds, then the value of `field` when named.
std::string describe(const CommandResult& r, const std::string& field) {
    std::ostringstream out;
    for (const PageInfo& page : r.pages.value_or(std::vector<PageInfo>{})) {
        out << page.width << "/" << page.rotation << " ";
    }
    out << "|";
    for (const AnnotationInfo& a : r.annotations.value_or(std::vector<AnnotationInfo>{}))
        out << " " << a.kind;
    for (const FormFieldInfo& f : r.fields.value_or(std::vector<FormFieldInfo>{})) {
        if (!field.empty() && f.name == field) out << " | " << field << "=" << f.value;
    }
    return out.str();
}

std::string firstWritableTextField(const CommandResult& opened) {
    for (const FormFieldInfo& f : opened.fields.value_or(std::vector<FormFieldInfo>{})) {
        if (f.type == "text" && !f.readOnly) return f.name;
    }
    return {};
}

bool skipWithoutTools() { return !testing::haveOutsideReaders(); }

enum class Source { twoPages, form, sampleForm };

struct Opened {
    std::string session;
    Ids pages;
    std::string field;
    std::string other;  // a one-page document to merge in
    fs::path png;
};

TEST(WorkerFiles, EveryWrittenFileIsSoundAndHoldsTheEdit) {
    if (skipWithoutTools()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    testing::TempDir dir;
    DocumentWorker worker(WorkerMode::stdio, dir.path());
    const fs::path sample = testing::corpus("pdflatex-forms.pdf");
    fs::path png = testing::corpus("smile.png");
    if (png.empty()) {
        png = dir.path() / "stamp.png";
        testing::writeFile(png, testing::tinyPng());
    }
    const fs::path otherFile = dir.path() / "other.pdf";
    testing::writeFile(otherFile, testing::makePdf({testing::TestPage{200, 200, "Merged"}}));
    const std::string other = *worker.open(otherFile).result->sessionId;

    const PDFRect rect{72, 72, 200, 120};
    const auto on = [](CommandMethod method, const Opened& o) {
        auto r = makeRequest(method);
        r.params.sessionId = o.session;
        return r;
    };
    struct Edit {
        const char* name;
        Source source;
        std::function<CommandRequest(const Opened&)> build;
        std::int64_t pages;
        std::string expected;  // describe() of the document read back from disk
    };
    const Edit edits[] = {
        {"add_highlight", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::addHighlight, o);
             r.params.pageId = o.pages[0];
             r.params.rect = rect;
             return r;
         },
         2, "612/0 300/0 | highlight"},
        {"add_note", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::addNote, o);
             r.params.pageId = o.pages[1];
             r.params.rect = rect;
             r.params.contents = "A note";
             return r;
         },
         2, "612/0 300/0 | note"},
        {"add_ink", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::addInk, o);
             r.params.pageId = o.pages[0];
             r.params.points = std::vector<PDFPoint>{{80, 80}, {120, 140}, {160, 90}};
             return r;
         },
         2, "612/0 300/0 | ink"},
        {"add_content text", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::addContent, o);
             r.params.pageId = o.pages[1];
             r.params.rect = rect;
             r.params.contents = "Boxed words";
             return r;
         },
         2, "612/0 300/0 | text"},
        {"add_content image", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::addContent, o);
             r.params.pageId = o.pages[0];
             r.params.rect = rect;
             r.params.kind = "image";
             r.params.imagePath = o.png.string();
             return r;
         },
         2, "612/0 300/0 | image"},
        {"organize_pages", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::organizePages, o);
             r.params.pageIds = Ids{o.pages[1], o.pages[0]};
             return r;
         },
         2, "300/0 612/0 |"},
        {"rotate_pages", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::rotatePages, o);
             r.params.pageIds = Ids{o.pages[1]};
             return r;
         },
         2, "612/0 400/1 |"},  // a turned page reports its turned width
        {"delete_pages", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::deletePages, o);
             r.params.pageIds = Ids{o.pages[0]};
             return r;
         },
         1, "300/0 |"},
        {"merge_documents", Source::twoPages,
         [&](const Opened& o) {
             auto r = on(CommandMethod::mergeDocuments, o);
             r.params.sessionIds = Ids{o.session, o.other};
             return r;
         },
         3, "612/0 300/0 200/0 |"},
        {"fill_form", Source::form,
         [&](const Opened& o) {
             auto r = on(CommandMethod::fillForm, o);
             r.params.fieldName = o.field;
             r.params.value = "Grace";
             return r;
         },
         1, "612/0 | | name=Grace"},
        {"fill_form of the sample", Source::sampleForm,
         [&](const Opened& o) {
             auto r = on(CommandMethod::fillForm, o);
             r.params.fieldName = o.field;
             r.params.value = "Grace";
             return r;
         },
         1, "612/0 | | Name=Grace"},
        {"add_highlight on the sample", Source::sampleForm,
         [&](const Opened& o) {
             auto r = on(CommandMethod::addHighlight, o);
             r.params.pageId = o.pages[0];
             r.params.rect = rect;
             return r;
         },
         1, "612/0 | highlight"},
    };

    int n = 0;
    for (const Edit& edit : edits) {
        SCOPED_TRACE(edit.name);
        if (edit.source == Source::sampleForm && sample.empty()) continue;
        const fs::path base = dir.path() / ("doc" + std::to_string(++n));
        const fs::path file = base.string() + ".pdf";
        if (edit.source == Source::sampleForm) {
            fs::copy_file(sample, file);
        } else {
            testing::writeFile(file, edit.source == Source::form
                                         ? testing::makeFillFormPdf()
                                         : testing::makePdf({testing::TestPage{},
                                                             testing::TestPage{300, 400, "Second page"}}));
        }
        const std::string original = testing::readFile(file);
        const CommandResult opened = worker.open(file).result.value();
        Opened o{*opened.sessionId, {}, firstWritableTextField(opened), other, png};
        for (const PageInfo& page : *opened.pages) o.pages.push_back(page.id);
        const bool fills = edit.build(o).method == CommandMethod::fillForm;
        const std::string field = fills ? o.field : std::string();

        const auto edited = worker.send(edit.build(o));
        ASSERT_TRUE(edited.ok) << outcome(edited);
        EXPECT_EQ(describe(*edited.result, field), edit.expected) << "in memory";

        const fs::path savedAs = base.string() + "-as.pdf";
        const fs::path exported = base.string() + "-export.pdf";
        const fs::path extracted = base.string() + "-extract.pdf";
        auto save = on(CommandMethod::saveDocument, o);
        save.params.saveMode = "save";
        auto saveAs = on(CommandMethod::saveDocument, o);
        saveAs.params.saveMode = "saveAs";
        saveAs.params.destination = savedAs.string();
        auto exportTo = on(CommandMethod::exportDocument, o);
        exportTo.params.destination = exported.string();
        auto extract = on(CommandMethod::extractPages, o);
        extract.params.destination = extracted.string();
        extract.params.pageIds = Ids{edited.result->pages->at(0).id};
        struct Write {
            CommandRequest request;
            fs::path file;
            std::int64_t pages;
            bool holdsEdit;
        };
        const Write writes[] = {
            {save, file, edit.pages, true},
            {saveAs, savedAs, edit.pages, true},
            {exportTo, exported, edit.pages, true},
            {extract, extracted, 1, false},
        };
        for (const Write& w : writes) {
            SCOPED_TRACE(w.file.filename().string());
            const auto written = worker.send(w.request);
            ASSERT_TRUE(written.ok) << outcome(written);
            EXPECT_EQ(outsideView(w.file), "sound, " + std::to_string(w.pages) + " pages");
            const CommandResult reread = worker.open(w.file).result.value_or(CommandResult{});
            EXPECT_EQ(reread.pageCount, w.pages);
            if (w.holdsEdit) {
                EXPECT_EQ(describe(reread, field), edit.expected);
            }
        }
        EXPECT_NE(testing::readFile(file), original);
    }
}

TEST(WorkerFiles, AnEditOutlivesAKilledWorker) {
    if (skipWithoutTools()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    testing::TempDir dir;
    const fs::path file = dir.path() / "doc.pdf";
    testing::writeFile(file,
                       testing::makePdf({testing::TestPage{}, testing::TestPage{300, 400, "Second page"}}));
    const std::string original = testing::readFile(file);

    // The same environment a DocumentWorker on `dir` gets, so the next one finds the checkpoints.
    testing::WorkerProcess doomed({}, {{"KIVO_PDF_SUPPORT_DIR", (dir.path() / "support").string()},
                                       {"TMPDIR", dir.path().string()},
                                       {"KIVO_PDF_WORKER_SANDBOX", "off"}});
    const auto ask = [&](CommandRequest request, const char* id) {
        request.id = id;
        doomed.write(testing::requestLine(request));
        auto response = testing::readExchange(doomed).response;
        EXPECT_TRUE(response && response->ok) << (response ? outcome(*response) : doomed.errorOutput());
        return response.value_or(CommandResponse{}).result.value_or(CommandResult{});
    };
    auto open = makeRequest(CommandMethod::open);
    open.params.path = file.string();
    const CommandResult opened = ask(open, "open");
    ASSERT_TRUE(opened.sessionId && opened.pages);
    auto highlight = makeRequest(CommandMethod::addHighlight);
    highlight.params.sessionId = opened.sessionId;
    highlight.params.pageId = opened.pages->at(1).id;
    highlight.params.rect = PDFRect{72, 72, 200, 120};
    highlight.params.contents = "survives the crash";
    ASSERT_EQ(ask(highlight, "edit").annotations->size(), 1u);
    // A wait of no time kills the worker with SIGKILL: it gets no chance to tidy up.
    EXPECT_EQ(doomed.wait(0), -1);

    const fs::path checkpoint = dir.path() / "support" / "recovery" / *opened.sessionId / "checkpoint.pdf";
    EXPECT_EQ(outsideView(checkpoint), "sound, 2 pages");

    DocumentWorker next(WorkerMode::stdio, dir.path());
    const auto listed = next.send(makeRequest(CommandMethod::listRecovery));
    ASSERT_TRUE(listed.ok) << outcome(listed);
    ASSERT_EQ(listed.result->recoveries->size(), 1u);
    EXPECT_EQ(listed.result->recoveries->at(0).recoveryId, *opened.sessionId);
    auto restore = makeRequest(CommandMethod::restoreRecovery);
    restore.params.recoveryId = listed.result->recoveries->at(0).recoveryId;
    const auto restored = next.send(restore);
    ASSERT_TRUE(restored.ok) << outcome(restored);
    ASSERT_EQ(restored.result->annotations->size(), 1u);
    EXPECT_EQ(restored.result->annotations->at(0).contents, "survives the crash");
    EXPECT_EQ(restored.result->annotations->at(0).pageId, restored.result->pages->at(1).id);
    EXPECT_EQ(restored.result->saveState, "unsaved");
    EXPECT_EQ(testing::readFile(file), original);
}

}  // namespace
}  // namespace kivo
