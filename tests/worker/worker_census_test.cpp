// The census of annotations through the worker: a document past what one command reads is refused
// with a sentence while the other open documents go on answering, and after an edit the census
// lists what a fresh open of the same bytes lists, on pages that share their annotations too. A
// push button is listed with its field's value, not its caption, and every field another reader lists
// is listed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "document_worker.hpp"
#include "outside_readers.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::outcome;
using testing::WorkerMode;

class WorkerCensus : public ::testing::Test, protected testing::OpenedDocument {
protected:
    void SetUp() override { start(WorkerMode::stdio); }

    // The other document still reads, draws and takes an edit.
    void expectOtherDocumentUsable() {
        const CommandResponse before = worker->send(on(CommandMethod::inspect));
        ASSERT_EQ(outcome(before), "ok");
        auto render = on(CommandMethod::renderPage);
        render.params.pageId = pages[1];
        render.params.pngPath = (dir.path() / "other.png").string();
        EXPECT_EQ(outcome(worker->send(render)), "ok");
        auto note = on(CommandMethod::addNote);
        note.params.pageId = pages[0];
        note.params.rect = PDFRect{72, 72, 92, 92};
        const CommandResponse noted = worker->send(note);
        ASSERT_EQ(outcome(noted), "ok");
        EXPECT_EQ(noted.result->annotations->size(), before.result->annotations->size() + 1);
    }
};

TEST_F(WorkerCensus, ADocumentPastTheBoundIsRefusedAndTheOthersStayUsable) {
    struct Case {
        const char* file;
        // The request on the document once open; none for a document refused at open.
        std::function<std::optional<CommandRequest>(const std::string& session)> request;
        const char* why;
    };
    const Case cases[] = {
        {"pages-sharing-one-annotation-list.pdf", [](const std::string&) { return std::nullopt; },
         "resource_limit: This document lists 400,000 annotations on its 200 pages (2,000 on page 1), more "
         "than "
         "the 50,000 Kivo PDF reads in one document."},
        {"choice-field-3000-options.pdf",
         [this](const std::string& session) {
             auto fill = on(CommandMethod::fillForm, session);
             fill.params.fieldName = "choice";
             fill.params.value = "x";
             return std::optional(fill);
         },
         "resource_limit: Field choice has 12,000 options, more than the 2,000 Kivo PDF chooses among, so it "
         "was "
         "not filled."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = testing::repro(c.file);
        if (file.empty()) GTEST_SKIP() << "the reproducer documents are absent";
        auto open = testing::makeRequest(CommandMethod::open);
        open.params.path = file.string();
        const CommandResponse opened = worker->send(open);
        std::string refused = outcome(opened);
        if (opened.ok) {
            const std::string session = *opened.result->sessionId;
            refused = outcome(worker->send(*c.request(session)));
            // Nothing of the refused fill reached the document.
            const CommandResponse after = worker->send(on(CommandMethod::inspect, session));
            ASSERT_EQ(outcome(after), "ok");
            EXPECT_EQ(after.result->revision, opened.result->revision);
        }
        EXPECT_EQ(refused, c.why);
        expectOtherDocumentUsable();
    }
}

// `pages` pages of a form sharing one list of 2,000 commented squares without an appearance: at 25
// pages, 50,000 annotations, as many as a document may list. Read from their lists they cost module
// memory the engine keeps; read from loaded pages, each load writes 2,000 appearances into the document.
std::string costlyPagesPdf(int pages) {
    std::string kids;
    for (int i = 0; i < pages; ++i) kids += std::to_string(5 + i) + " 0 R ";
    std::string list = "[";
    for (int i = 0; i < 2000; ++i) list += "4 0 R ";
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [] >> >>",
        "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>",
        list + "]",
        "<< /Type /Annot /Subtype /Square /Rect [10 10 50 50] /Contents (shared) /C [1 0 0] >>",
    };
    for (int i = 0; i < pages; ++i) {
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots 3 0 R >>");
    }
    return testing::assemblePdf(objects);
}

// What one document costs is its own: however often the worker opened it, or others like it,
// before, a document within the bound opens, and one past it is refused with its sentence.
TEST_F(WorkerCensus, ADocumentOfCostlyPagesOpensEveryTimeInOneWorker) {
    const struct {
        int pages;
        const char* outcome;
    } cases[] = {
        {25, "ok"},
        {26,
         "resource_limit: This document lists 52,000 annotations on its 26 pages (2,000 on page 1), more "
         "than "
         "the 50,000 Kivo PDF reads in one document."},
    };
    for (const auto& c : cases) {
        const fs::path file = dir.path() / ("costly" + std::to_string(c.pages) + ".pdf");
        testing::writeFile(file, costlyPagesPdf(c.pages));
        auto open = testing::makeRequest(CommandMethod::open);
        open.params.path = file.string();
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(std::to_string(c.pages) + " pages, open " + std::to_string(round + 1));
            const CommandResponse opened = worker->send(open);
            ASSERT_EQ(outcome(opened), c.outcome);
            if (!opened.ok) continue;
            EXPECT_EQ(opened.result->annotationSubtypes->size(), 25u);
            EXPECT_EQ(outcome(worker->send(on(CommandMethod::close, *opened.result->sessionId))), "ok");
        }
    }
    expectOtherDocumentUsable();
}

// Two pages whose dictionaries list one annotation list: `pages` is the page tree's /Kids, `list`
// the shared /Annots (object 5), holding the note of object 6 or nothing. With `annots`, each page
// dictionary holds that list itself instead.
std::string sharingPdf(const std::string& kids, const std::string& list,
                       const std::string& annots = "5 0 R") {
    const std::string page = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots " + annots + " >>";
    return testing::assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [" + kids + "] /Count 2 >>",
        page,
        page,
        list,
        "<< /Type /Annot /Subtype /Text /Rect [10 10 30 30] /Contents (shared) /NM (shared) /AP << /N 7 0 R "
        ">> >>",
        "<< /Type /XObject /Subtype /Form /BBox [0 0 20 20] /Length 0 >>\nstream\n\nendstream",
    });
}

// The census as page positions, kinds, contents and rectangles, in page order.
std::vector<std::tuple<std::size_t, std::string, std::string, std::string>> listing(const CommandResult& r) {
    std::vector<std::tuple<std::size_t, std::string, std::string, std::string>> out;
    for (const AnnotationInfo& a : *r.annotations) {
        std::size_t position = 0;
        while (position < r.pages->size() && (*r.pages)[position].id != a.pageId) ++position;
        const PDFRect& b = a.rect;
        out.emplace_back(position, a.kind, a.contents,
                         std::to_string(b.left) + " " + std::to_string(b.bottom) + " " +
                             std::to_string(b.right) + " " + std::to_string(b.top));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The sample form's "Submit" push button given a caption (the token as written in the file), with
// qpdf, encrypted as well when asked; empty when qpdf cannot make it.
std::string sampleFormWithCaption(const fs::path& folder, const std::string& caption, bool encrypted) {
    const fs::path editable = folder / "form.qdf", edited = folder / "edited.qdf", made = folder / "made.pdf";
    const fs::path sample = testing::corpus("pdflatex-forms.pdf");
    if (std::system(
            ("qpdf --qdf --object-streams=disable '" + sample.string() + "' '" + editable.string() + "'")
                .c_str()) != 0)
        return {};
    std::string text = testing::readFile(editable);
    const std::size_t title = text.find("/T (Submit)");
    const std::size_t appearance = text.rfind("/MK <<", title);
    if (title == std::string::npos || appearance == std::string::npos) return {};
    text.insert(appearance + 6, "\n    /CA " + caption);
    testing::writeFile(edited, text);
    testing::writeFile(made, testing::runTool("fix-qdf", edited, false).output);
    if (!encrypted) return testing::readFile(made);
    const fs::path locked = folder / "locked.pdf";
    if (std::system(
            ("qpdf --encrypt '' owner 256 -- '" + made.string() + "' '" + locked.string() + "'").c_str()) !=
        0)
        return {};
    return testing::readFile(locked);
}

std::string utf16(const std::u16string& text) {
    std::string hex = "<FEFF";
    char unit[5];
    for (const char16_t u : text) {
        std::snprintf(unit, sizeof unit, "%04X", static_cast<unsigned>(u));
        hex += unit;
    }
    return hex + ">";
}

std::map<std::string, std::string> valuesByName(const CommandResult& result) {
    std::map<std::string, std::string> values;
    for (const FormFieldInfo& field : result.fields.value_or(std::vector<FormFieldInfo>{}))
        values[field.name + " (" + field.type + ")"] = field.value;
    return values;
}

// A push button's value is the field's value as PDFium reads it, whatever caption the button shows:
// the listing of a captioned button is that of the same button without one.
TEST_F(WorkerCensus, APushButtonsValueIsItsFieldValueNotItsCaption) {
    if (testing::corpus("pdflatex-forms.pdf").empty()) GTEST_SKIP() << "the sample documents are absent";
    if (!testing::haveTool("qpdf") || !testing::haveTool("fix-qdf")) GTEST_SKIP() << "qpdf is not installed";
    const std::string button = "Submit (button)";
    const CommandResponse sample = worker->open(testing::corpus("pdflatex-forms.pdf"));
    ASSERT_EQ(outcome(sample), "ok");
    const std::map<std::string, std::string> expected = valuesByName(*sample.result);
    ASSERT_EQ(expected.count(button), 1u);
    ASSERT_EQ(expected.at(button), "") << "the sample's button has no value";

    // File text that would mislead were it shown: markup, line breaks, a turn of the writing direction,
    // a lone half of a surrogate pair and a tab, then far more than a line holds.
    const std::string flood(100000, 'A');
    const std::u16string hostile = u"<b>Pay</b>\r\n\u202Enow" + std::u16string(1, char16_t(0xD800)) + u"\t" +
                                   std::u16string(flood.begin(), flood.end());
    const struct {
        const char* name;
        std::string token;
        bool encrypted;
    } cases[] = {
        {"PDFDocEncoding", "(Send \\215form\\216 \\200 now)", false},
        {"UTF-16 with its byte order mark", utf16(u"Envoyer \u2713 \U0001F600"), false},
        {"in an encrypted file", "(Send form)", true},
        {"hostile", utf16(hostile), false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir.path() / ("captioned-" + std::to_string(++n) + ".pdf");
        const std::string bytes = sampleFormWithCaption(dir.path(), c.token, c.encrypted);
        ASSERT_FALSE(bytes.empty()) << "qpdf could not give the button a caption";
        testing::writeFile(file, bytes);
        const CommandResponse opened = worker->open(file);
        ASSERT_EQ(outcome(opened), "ok");
        EXPECT_EQ(valuesByName(*opened.result), expected);

        // The census after an edit, and that of the document an undo brings back.
        auto highlight = testing::makeRequest(CommandMethod::addHighlight);
        highlight.params.sessionId = opened.result->sessionId;
        highlight.params.pageId = opened.result->pages->at(0).id;
        highlight.params.rect = PDFRect{72, 72, 200, 90};
        const CommandResponse edited = worker->send(highlight);
        ASSERT_EQ(outcome(edited), "ok");
        EXPECT_EQ(valuesByName(*edited.result), expected);
        auto undo = testing::makeRequest(CommandMethod::undo);
        undo.params.sessionId = opened.result->sessionId;
        const CommandResponse undone = worker->send(undo);
        ASSERT_EQ(outcome(undone), "ok");
        EXPECT_EQ(valuesByName(*undone.result), expected);
    }
}

TEST_F(WorkerCensus, AfterAnEditTheCensusIsWhatAFreshOpenOfTheSameBytesReads) {
    enum class Edit { addNote, changeSharedNote };
    const struct {
        const char* name;
        std::string pdf;
        Edit edit;
        std::vector<std::string> onEachPage;  // the contents of the notes on each page, after the edit
    } cases[] = {
        {"one annotation list", sharingPdf("3 0 R 4 0 R", "[6 0 R]"), Edit::addNote, {"added", "shared"}},
        {"one page object twice", sharingPdf("3 0 R 3 0 R", "[6 0 R]"), Edit::addNote, {"added", "shared"}},
        {"one empty annotation list", sharingPdf("3 0 R 4 0 R", "[]"), Edit::addNote, {"added"}},
        {"one annotation on both pages",
         sharingPdf("3 0 R 4 0 R", "[6 0 R]"),
         Edit::changeSharedNote,
         {"changed"}},
        // Lists of their own: an edit of one reaches another page only through what they share.
        {"one page object twice, its own list",
         sharingPdf("3 0 R 3 0 R", "[]", "[6 0 R]"),
         Edit::addNote,
         {"added", "shared"}},
        {"one annotation in two own lists",
         sharingPdf("3 0 R 4 0 R", "[]", "[6 0 R]"),
         Edit::changeSharedNote,
         {"changed"}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir.path() / ("shared" + std::to_string(++n) + ".pdf");
        testing::writeFile(file, c.pdf);
        const CommandResponse opened = worker->open(file);
        ASSERT_TRUE(opened.ok);
        const std::string session = *opened.result->sessionId;
        CommandRequest edit;
        if (c.edit == Edit::addNote) {
            edit = on(CommandMethod::addNote, session);
            edit.params.pageId = opened.result->pages->front().id;
            // Larger than the icon PDFium draws for a note, which a fresh reading takes for its rectangle.
            edit.params.rect = PDFRect{100, 100, 160, 140};
            edit.params.contents = "added";
        } else {
            edit = on(CommandMethod::updateAnnotation, session);
            edit.params.annotationId = "shared";
            edit.params.contents = "changed";
        }
        ASSERT_EQ(outcome(worker->send(edit)), "ok");
        const CommandResponse live = worker->send(on(CommandMethod::inspect, session));
        ASSERT_EQ(outcome(live), "ok");

        const fs::path copy = dir.path() / ("copy" + std::to_string(n) + ".pdf");
        auto write = on(CommandMethod::exportDocument, session);
        write.params.destination = copy.string();
        ASSERT_EQ(outcome(worker->send(write)), "ok");
        const CommandResponse fresh = worker->open(copy);
        ASSERT_TRUE(fresh.ok);

        EXPECT_EQ(listing(*live.result), listing(*fresh.result));
        for (std::size_t page = 0; page < 2; ++page) {
            std::vector<std::string> contents;
            for (const auto& [position, kind, text, rect] : listing(*live.result)) {
                if (position == page) contents.push_back(text);
            }
            EXPECT_EQ(contents, c.onEachPage) << "page " << page + 1;
        }
    }
}

// Every field qpdf lists is in the census, whatever its widgets' dictionaries hold: a widget that
// leaves its name to the field whose /Kids list it, and names no /Parent, is that field's, with its
// value and its state. PDFium does not reach such a field to fill it, and a fill says so.
TEST_F(WorkerCensus, EveryFieldAnOutsideReaderListsIsListed) {
    if (!testing::haveTool("qpdf")) GTEST_SKIP() << "qpdf is not installed";
    const struct {
        fs::path file;
        std::map<std::string, std::string> shown;  // some fields, as "type value on|off"
        const char* unreached = nullptr;           // a field the census lists that PDFium cannot fill
    } cases[] = {
        {testing::repro("checkbox-field-missing-from-list.pdf"),
         {{"checkbox1", "checkbox Yup on"}, {"r1", "radio 2 on"}, {"checkbox2", "checkbox Off off"}},
         "checkbox1"},
        {testing::repro("two-fields-one-name.pdf"), {}},
        {testing::corpus("pdflatex-forms.pdf"), {}},
        {testing::corpus("libreoffice-form.pdf"), {}},
    };
    for (const auto& c : cases) {
        if (c.file.empty()) GTEST_SKIP() << "the sample or reproducer documents are absent";
        SCOPED_TRACE(c.file.filename().string());
        const CommandResponse opened = worker->open(c.file);
        ASSERT_EQ(outcome(opened), "ok");
        std::set<std::string> listed;
        std::map<std::string, std::string> shown;
        for (const FormFieldInfo& field : *opened.result->fields) {
            listed.insert(field.name);
            std::string state = field.type + " " + field.value;
            if (field.checked) state += *field.checked ? " on" : " off";
            if (c.shown.count(field.name) != 0) shown.emplace(field.name, state);
        }
        std::set<std::string> outside;
        for (const auto& [name, value] : testing::qpdfFieldValues(c.file)) outside.insert(name);
        ASSERT_FALSE(outside.empty());
        EXPECT_EQ(listed, outside);
        EXPECT_EQ(shown, c.shown);
        if (c.unreached == nullptr) continue;
        auto fill = on(CommandMethod::fillForm, *opened.result->sessionId);
        fill.params.fieldName = c.unreached;
        fill.params.value = "Off";
        const CommandResponse filled = worker->send(fill);
        EXPECT_TRUE(outcome(filled).starts_with("unsupported: Field " + std::string(c.unreached)))
            << outcome(filled);
        const CommandResponse after = worker->send(on(CommandMethod::inspect, *opened.result->sessionId));
        EXPECT_EQ(after.result->fields, opened.result->fields);
    }
}

}  // namespace
}  // namespace kivo
