// The round trip's smaller losses, each on the reproducer that shows it, through the worker's own
// commands, and where the file is concerned read back by an outside reader.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
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

class RoundTrip : public ::testing::Test {
protected:
    // The opened document's session and first page; a failed open fails the test.
    void open(const fs::path& path) {
        const CommandResponse opened = worker.open(path);
        ASSERT_TRUE(opened.ok);
        session = *opened.result->sessionId;
        page = opened.result->pages->at(0).id;
    }

    CommandRequest on(CommandMethod method) const {
        auto r = makeRequest(method);
        r.params.sessionId = session;
        return r;
    }

    std::vector<fs::path> copyAndSaveOver(const fs::path& sample);

    testing::TempDir dir;
    DocumentWorker worker{WorkerMode::stdio, dir.path()};
    std::string session;
    std::string page;
};

TEST_F(RoundTrip, SearchFindsEveryWordExtractTextReturnsOutsideTheBasicPlaneToo) {
    const fs::path sample = testing::repro("text-outside-basic-plane.pdf");
    if (sample.empty()) GTEST_SKIP() << "the reproducer documents are absent";
    open(sample);
    auto extract = on(CommandMethod::extractText);
    extract.params.pageId = page;
    const CommandResponse extracted = worker.send(extract);
    ASSERT_TRUE(extracted.ok) << outcome(extracted);
    std::istringstream words(*extracted.result->text);
    std::vector<std::string> missed;
    int tokens = 0;
    for (std::string word; words >> word; ++tokens) {
        auto search = on(CommandMethod::search);
        search.params.query = word;
        const CommandResponse found = worker.send(search);
        ASSERT_TRUE(found.ok) << outcome(found);
        const auto& matches = *found.result->matches;
        const bool onPage = std::any_of(matches.begin(), matches.end(), [&](const SearchHit& hit) {
            return hit.preview == word && !hit.rects.empty();
        });
        if (!onPage) missed.push_back(word);
    }
    EXPECT_GT(tokens, 0);
    EXPECT_EQ(missed, std::vector<std::string>{}) << "of " << tokens << " words";
}

// Each checkbox as a reader shows it: on when the field's value names an appearance other than Off.
std::map<std::string, bool> boxesAsQpdfReadsThem(const fs::path& file) {
    const testing::ToolRun run = testing::runTool("qpdf --json --json-key=acroform", file);
    std::map<std::string, bool> boxes;
    if (run.status != 0) return boxes;
    const nlohmann::json document = nlohmann::json::parse(run.output, nullptr, false);
    if (!document.contains("acroform")) return boxes;
    for (const auto& field : document["acroform"]["fields"]) {
        if (!field.value("ischeckbox", false)) continue;
        const auto& value = field["value"];
        boxes[field["fullname"].get<std::string>()] = value.is_string() && value.get<std::string>() != "/Off";
    }
    return boxes;
}

TEST_F(RoundTrip, ACheckboxIsReportedAsItsAppearanceShowsIt) {
    const fs::path sample = testing::repro("checkbox-appearance-state.pdf");
    if (sample.empty()) GTEST_SKIP() << "the reproducer documents are absent";
    if (!testing::haveTool("qpdf")) GTEST_SKIP() << "qpdf is not installed";
    const CommandResponse opened = worker.open(sample);
    ASSERT_TRUE(opened.ok);
    std::map<std::string, bool> reported;
    for (const FormFieldInfo& field : *opened.result->fields) {
        if (field.type == "checkbox") reported[field.name] = field.checked.value_or(false);
    }
    const std::map<std::string, bool> shown = boxesAsQpdfReadsThem(sample);
    EXPECT_EQ(shown, (std::map<std::string, bool>{{"agb", false}, {"privacy", true}}));
    EXPECT_EQ(reported, shown);
}

// A copy of `sample` opened, saved as a copy and then saved over itself: the two files written.
std::vector<fs::path> RoundTrip::copyAndSaveOver(const fs::path& sample) {
    const fs::path own = dir.path() / "own.pdf";
    fs::copy_file(sample, own);
    open(own);
    auto copy = on(CommandMethod::saveDocument);
    copy.params.saveMode = "saveCopy";
    copy.params.destination = (dir.path() / "copy.pdf").string();
    EXPECT_EQ(outcome(worker.send(copy)), "ok");
    auto save = on(CommandMethod::saveDocument);
    save.params.saveMode = "save";
    save.params.force = true;
    EXPECT_EQ(outcome(worker.send(save)), "ok");
    return {dir.path() / "copy.pdf", own};
}

// A saved file is never worse under qpdf's check than the one it came from.
TEST_F(RoundTrip, ASaveWithoutAnEditIsAsSoundAsItsSource) {
    const fs::path sample = testing::repro("save-trailer-size.pdf");
    if (sample.empty()) GTEST_SKIP() << "the reproducer documents are absent";
    if (!testing::haveTool("qpdf")) GTEST_SKIP() << "qpdf is not installed";
    const testing::ToolRun before = testing::runTool("qpdf --check", sample);
    ASSERT_EQ(before.status, 0) << before.output;
    const std::vector<fs::path> written = copyAndSaveOver(sample);
    if (HasFatalFailure()) return;
    for (const fs::path& file : written) {
        const testing::ToolRun after = testing::runTool("qpdf --check", file);
        EXPECT_EQ(after.status, 0) << file.filename() << ": " << after.output;
        EXPECT_EQ(after.output.find("WARNING"), std::string::npos) << file.filename() << ": " << after.output;
    }
}

// A node listing itself among its kids opens as the pages below it; what is written of it is a tree
// other readers can walk, with the same pages.
TEST_F(RoundTrip, ASaveWritesNoLoopOfThePageTree) {
    const fs::path sample = testing::repro("page-tree-loop.pdf");
    if (sample.empty()) GTEST_SKIP() << "the reproducer documents are absent";
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    const std::vector<fs::path> written = copyAndSaveOver(sample);
    if (HasFatalFailure()) return;
    for (const fs::path& file : written) {
        EXPECT_EQ(testing::outsideView(file), "sound, 1 pages") << file.filename();
    }
}

// pdfinfo's lines of the Info dictionary's entries.
std::string infoLines(const fs::path& file) {
    std::istringstream lines(testing::runTool("pdfinfo", file).output);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        for (const char* key :
             {"Title:", "Subject:", "Keywords:", "Author:", "Creator:", "Producer:", "CreationDate:"}) {
            if (line.starts_with(key)) kept += line + "\n";
        }
    }
    return kept;
}

TEST_F(RoundTrip, ASaveKeepsTheInfoTheLatestRevisionLeftOut) {
    const fs::path sample = testing::repro("info-dropped-by-latest-revision.pdf");
    if (sample.empty()) GTEST_SKIP() << "the reproducer documents are absent";
    if (!testing::haveTool("pdfinfo")) GTEST_SKIP() << "pdfinfo is not installed";
    const std::string before = infoLines(sample);
    open(sample);
    const auto copyTo = [&](const fs::path& file) {
        auto copy = on(CommandMethod::saveDocument);
        copy.params.saveMode = "saveCopy";
        copy.params.destination = file.string();
        return outcome(worker.send(copy));
    };
    ASSERT_EQ(copyTo(dir.path() / "unchanged.pdf"), "ok");
    auto note = on(CommandMethod::addNote);
    note.params.pageId = page;
    note.params.rect = PDFRect{72, 72, 96, 96};
    note.params.contents = "A note";
    ASSERT_EQ(outcome(worker.send(note)), "ok");
    ASSERT_EQ(copyTo(dir.path() / "noted.pdf"), "ok");
    for (const char* name : {"unchanged.pdf", "noted.pdf"})
        EXPECT_EQ(infoLines(dir.path() / name), before) << name;
}

// The fields qpdf lists, by full name, and what pdfinfo and qpdf's check say is wrong with the file.
struct FormAsReadOutside {
    std::vector<std::string> fields;
    std::string complaints;
};

FormAsReadOutside readOutside(const fs::path& file) {
    FormAsReadOutside read;
    const testing::ToolRun info = testing::runTool("pdfinfo", file);
    if (info.status != 0 || info.output.find("Error") != std::string::npos) read.complaints += info.output;
    const testing::ToolRun check = testing::runTool("qpdf --check", file);
    if (check.status != 0 || check.output.find("WARNING") != std::string::npos)
        read.complaints += check.output;
    const testing::ToolRun json = testing::runTool("qpdf --json --json-key=acroform", file, false);
    const nlohmann::json document = nlohmann::json::parse(json.output, nullptr, false);
    if (document.is_discarded() || !document.contains("acroform")) return read;
    for (const auto& field : document["acroform"]["fields"])
        read.fields.push_back(field.value("fullname", ""));
    std::sort(read.fields.begin(), read.fields.end());
    return read;
}

// A text box as the editor adds it, saved, then the saved file opened again, which draws the box, and a
// highlight added: every way the worker then writes the document is one that pdfinfo and qpdf read
// without complaint, with the fields the source had.
TEST_F(RoundTrip, AFileWithATextBoxIsSoundToOtherReaders) {
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf or pdfinfo is not installed";
    for (const char* name : {"minimal-document.pdf", "pdflatex-forms.pdf", "libreoffice-form.pdf"}) {
        SCOPED_TRACE(name);
        const fs::path sample = testing::corpus(name);
        if (sample.empty()) GTEST_SKIP() << "the sample documents are absent";
        const FormAsReadOutside before = readOutside(sample);
        ASSERT_EQ(before.complaints, "");
        const fs::path own = dir.path() / name;
        fs::copy_file(sample, own);
        const auto edit = [&](CommandMethod method) {
            auto r = on(method);
            r.params.pageId = page;
            r.params.rect = PDFRect{72, 600, 300, 640};
            r.params.contents = "Checked by hand";
            if (method == CommandMethod::addContent) {
                r.params.kind = "text";
                r.params.fontSize = 14;
            }
            return outcome(worker.send(r));
        };
        const auto save = [&] {
            auto r = on(CommandMethod::saveDocument);
            r.params.saveMode = "save";
            return outcome(worker.send(r));
        };
        open(own);
        ASSERT_EQ(edit(CommandMethod::addContent), "ok");
        ASSERT_EQ(save(), "ok");
        ASSERT_EQ(outcome(worker.send(on(CommandMethod::close))), "ok");
        open(own);
        ASSERT_EQ(edit(CommandMethod::addHighlight), "ok");
        ASSERT_EQ(save(), "ok");
        const fs::path printed = dir.path() / (std::string("print-") + name);
        auto print = on(CommandMethod::exportDocument);
        print.params.destination = printed.string();
        ASSERT_EQ(outcome(worker.send(print)), "ok");
        const fs::path pages = dir.path() / (std::string("pages-") + name);
        auto extract = on(CommandMethod::extractPages);
        extract.params.pageIds = std::vector<std::string>{page, page, ""};
        extract.params.destination = pages.string();
        ASSERT_EQ(outcome(worker.send(extract)), "ok");
        for (const fs::path& written : {own, printed}) {
            const FormAsReadOutside after = readOutside(written);
            EXPECT_EQ(after.complaints, "") << written.filename();
            EXPECT_EQ(after.fields, before.fields) << written.filename();
        }
        EXPECT_EQ(readOutside(pages).complaints, "");
        ASSERT_EQ(outcome(worker.send(on(CommandMethod::close))), "ok");
    }
}

// Each widget's appearance entries as qpdf reads them: its state and the names of its appearances.
std::map<std::string, std::string> widgetAppearances(const fs::path& file) {
    const testing::ToolRun run = testing::runTool("qpdf --json=2 --json-key=qpdf", file, false);
    const nlohmann::json parsed = nlohmann::json::parse(run.output, nullptr, false);
    std::map<std::string, std::string> found;
    if (parsed.is_discarded()) return found;
    for (const auto& [key, object] : parsed["qpdf"][1].items()) {
        const nlohmann::json value = object.value("value", nlohmann::json());
        if (!value.is_object() || value.value("/Subtype", "") != "/Widget") continue;
        std::string seen = "AS " + value.value("/AS", std::string("none"));
        const nlohmann::json appearances = value.value("/AP", nlohmann::json::object());
        for (const auto& [kind, states] : appearances.items()) {
            seen += " " + kind + ":";
            if (!states.is_object()) continue;
            for (const auto& [state, stream] : states.items()) seen += " " + state;
        }
        found[value.value("/T", std::string("?"))] = seen;
    }
    return found;
}

// A save that only adds a highlight leaves every field's widget as the source had it.
TEST_F(RoundTrip, ASaveThatTouchesNoFieldKeepsItsWidgets) {
    const fs::path sample = testing::repro("checkbox-appearance-state.pdf");
    if (sample.empty()) GTEST_SKIP() << "the reproducer documents are absent";
    if (!testing::haveTool("qpdf")) GTEST_SKIP() << "qpdf is not installed";
    const std::map<std::string, std::string> before = widgetAppearances(sample);
    ASSERT_EQ(before.size(), 2u);
    open(sample);
    auto highlight = on(CommandMethod::addHighlight);
    highlight.params.pageId = page;
    highlight.params.rect = PDFRect{72, 600, 300, 640};
    ASSERT_EQ(outcome(worker.send(highlight)), "ok");
    const fs::path copy = dir.path() / "copy.pdf";
    auto save = on(CommandMethod::saveDocument);
    save.params.saveMode = "saveCopy";
    save.params.destination = copy.string();
    ASSERT_EQ(outcome(worker.send(save)), "ok");
    EXPECT_EQ(widgetAppearances(copy), before);
    EXPECT_EQ(boxesAsQpdfReadsThem(copy), boxesAsQpdfReadsThem(sample));
    // The copy and the crash checkpoint still ask other readers to build the appearances.
    std::vector<fs::path> written{copy};
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        if (entry.path().filename() == "checkpoint.pdf") written.push_back(entry.path());
    }
    ASSERT_EQ(written.size(), 2u);
    for (const fs::path& file : written) {
        EXPECT_NE(testing::readFile(file).find("/NeedAppearances true"), std::string::npos) << file;
    }
}

// What a list of annotations says of each, apart from the id a session gives it.
std::vector<std::string> annotationsSeen(const std::vector<AnnotationInfo>& annotations) {
    std::vector<std::string> seen;
    for (const AnnotationInfo& a : annotations) seen.push_back(a.kind + " " + a.contents);
    std::sort(seen.begin(), seen.end());
    return seen;
}

// A turn taken back and then a copy saved: the copy holds the annotations and fields the session
// listed, no more, as the worker and qpdf read it again; damaged files included.
TEST_F(RoundTrip, ACopyOfAnUndoneTurnHoldsWhatTheSessionListed) {
    if (!testing::haveTool("qpdf")) GTEST_SKIP() << "qpdf is not installed";
    for (const fs::path& sample :
         {testing::repro("saved-copy-doubles-text-box.pdf"), testing::corpus("annotated.pdf"),
          testing::corpus("libreoffice-form.pdf")}) {
        if (sample.empty()) GTEST_SKIP() << "the sample or reproducer documents are absent";
        SCOPED_TRACE(sample.filename().string());
        open(sample);
        auto box = on(CommandMethod::addContent);
        box.params.pageId = page;
        box.params.kind = "text";
        box.params.rect = PDFRect{20, 20, 180, 60};
        box.params.contents = "\u00e9t\u00e9";
        box.params.fontSize = 12;
        ASSERT_EQ(outcome(worker.send(box)), "ok");
        auto turn = on(CommandMethod::rotatePages);
        turn.params.pageIds = std::vector<std::string>{page};
        turn.params.rotation = 270;
        ASSERT_EQ(outcome(worker.send(turn)), "ok");
        const CommandResponse undone = worker.send(on(CommandMethod::undo));
        ASSERT_TRUE(undone.ok) << outcome(undone);
        const std::vector<std::string> listed = annotationsSeen(*undone.result->annotations);
        EXPECT_EQ(std::count(listed.begin(), listed.end(), "text \u00e9t\u00e9"), 1);
        const fs::path copy = dir.path() / ("copy-" + sample.filename().string());
        auto save = on(CommandMethod::saveDocument);
        save.params.saveMode = "saveCopy";
        save.params.destination = copy.string();
        ASSERT_EQ(outcome(worker.send(save)), "ok");
        const CommandResponse reopened = worker.open(copy);
        ASSERT_TRUE(reopened.ok) << outcome(reopened);
        EXPECT_EQ(annotationsSeen(*reopened.result->annotations), listed);
        EXPECT_EQ(readOutside(copy).fields, readOutside(sample).fields);
        for (const std::string& id : {session, *reopened.result->sessionId}) {
            auto close = makeRequest(CommandMethod::close);
            close.params.sessionId = id;
            ASSERT_EQ(outcome(worker.send(close)), "ok");
        }
    }
}

// A file whose streams and strings are encrypted differently is one PDFium refuses whatever the
// password: the refusal says so instead of asking for the password again. A file PDFium can decrypt
// still asks for its password.
TEST_F(RoundTrip, AnEncryptionPDFiumCannotOpenIsNotCalledAWrongPassword) {
    const struct {
        fs::path file;
        std::optional<std::string> password;
        std::string code;
    } rows[] = {
        {testing::repro("password-Hello-refused.pdf"), "Hello", "unsupported"},
        {testing::repro("password-Hello-refused.pdf"), std::nullopt, "unsupported"},
        {testing::corpus("libreoffice-writer-password.pdf"), "not the password", "password_required"},
    };
    for (const auto& row : rows) {
        if (row.file.empty()) GTEST_SKIP() << "the sample or reproducer documents are absent";
        SCOPED_TRACE(row.file.filename().string() + " with " + row.password.value_or("no password"));
        auto request = makeRequest(CommandMethod::open);
        request.params.path = row.file.string();
        request.params.password = row.password;
        const std::string answer = outcome(worker.send(request));
        EXPECT_EQ(answer.substr(0, answer.find(':')), row.code) << answer;
        if (row.code == "unsupported")
            EXPECT_NE(answer.find("encryption Kivo PDF cannot open"), std::string::npos);
    }
}

// Of an AES-256 password only its first 127 bytes count, so the 130-character password of the
// reproducer opens it, and so does any password that begins with those bytes. The document it opened
// goes on opening: an edit, its undo and redo, and a copy qpdf opens with the same password.
TEST_F(RoundTrip, AnAes256PasswordCountsItsFirst127Bytes) {
    const fs::path sample = testing::repro("aes256-password-130-chars.pdf");
    if (sample.empty()) GTEST_SKIP() << "the reproducer documents are absent";
    std::string password;
    for (int i = 0; i < 5; ++i) password += "qwertyuiopasdfghjklzxcvbnm";
    ASSERT_EQ(password.size(), 130u);
    const struct {
        const char* name;
        std::string password;
        std::string code;
    } rows[] = {
        {"as given", password, "ok"},
        {"its first 127 bytes", password.substr(0, 127), "ok"},
        {"other bytes past the 127th", password.substr(0, 127) + "XYZ", "ok"},
        {"one byte short", password.substr(0, 126), "password_required"},
        {"another first byte", "Q" + password.substr(1), "password_required"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto request = makeRequest(CommandMethod::open);
        request.params.path = sample.string();
        request.params.password = row.password;
        const std::string answer = outcome(worker.send(request));
        EXPECT_EQ(answer.substr(0, answer.find(':')), row.code) << answer;
    }

    auto request = makeRequest(CommandMethod::open);
    request.params.path = sample.string();
    request.params.password = password;
    const CommandResponse opened = worker.send(request);
    ASSERT_TRUE(opened.ok) << outcome(opened);
    session = *opened.result->sessionId;
    page = opened.result->pages->at(0).id;
    const std::size_t had = opened.result->annotations->size();
    auto highlight = on(CommandMethod::addHighlight);
    highlight.params.pageId = page;
    highlight.params.rect = PDFRect{72, 72, 200, 90};
    ASSERT_EQ(outcome(worker.send(highlight)), "ok");
    ASSERT_EQ(outcome(worker.send(on(CommandMethod::undo))), "ok");
    const CommandResponse redone = worker.send(on(CommandMethod::redo));
    ASSERT_EQ(outcome(redone), "ok");
    EXPECT_EQ(redone.result->annotations->size(), had + 1);

    const fs::path copy = dir.path() / "copy.pdf";
    auto exported = on(CommandMethod::exportDocument);
    exported.params.destination = copy.string();
    ASSERT_EQ(outcome(worker.send(exported)), "ok");
    if (testing::haveTool("qpdf")) {
        const testing::ToolRun check = testing::runTool("qpdf --password=" + password + " --check", copy);
        EXPECT_EQ(check.status, 0) << check.output;
    }
    request.params.path = copy.string();
    const CommandResponse reopened = worker.send(request);
    ASSERT_TRUE(reopened.ok) << outcome(reopened);
    EXPECT_EQ(reopened.result->annotations->size(), had + 1);
}

// A name several fields share is filled in each of them, as a reader shows them, or refused with a
// sentence where PDFium can write the value into one of them only: what the answer lists as filled is
// what the saved file holds for qpdf.
TEST_F(RoundTrip, AValueFilledUnderASharedNameIsInEveryFieldOfIt) {
    if (!testing::haveTool("qpdf")) GTEST_SKIP() << "qpdf is not installed";
    const std::string box =
        "<< /Type /XObject /Subtype /Form /BBox [0 0 18 18] /Length 0 >>\nstream\n\nendstream";
    const std::string catalog =
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [4 0 R 5 0 R] /DA (/Helv 12 Tf 0 g) "
        "/DR << /Font << /Helv 3 0 R >> >> >> >>";
    const std::string font = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
    const std::string widget = "/Type /Annot /Subtype /Widget /F 4 /P 6 0 R /DA (/Helv 12 Tf 0 g) ";
    const auto written = [&](const char* name, const std::string& bytes) {
        const fs::path file = dir.path() / name;
        testing::writeFile(file, bytes);
        return file;
    };
    const struct {
        const char* name;
        fs::path file;
        const char* field;
        const char* outcome;  // "ok", or the code of the refusal
    } rows[] = {
        {"two text fields, pages apart", testing::repro("two-fields-one-name.pdf"), "Text Box 1", "ok"},
        {"one text field with widgets on two pages", written("spread.pdf", testing::makeSpreadFormPdf()),
         "spread", "ok"},
        {"two check boxes",
         written("boxes.pdf",
                 testing::assemblePdf(
                     {catalog, "<< /Type /Pages /Kids [6 0 R] /Count 1 >>", font,
                      "<< " + widget +
                          "/FT /Btn /T (agree) /V /Off /AS /Off /Rect [72 650 90 668] "
                          "/AP << /N << /Yes 7 0 R /Off 8 0 R >> >> >>",
                      "<< " + widget +
                          "/FT /Btn /T (agree) /V /Off /AS /Off /Rect [72 600 90 618] "
                          "/AP << /N << /Yes 7 0 R /Off 8 0 R >> >> >>",
                      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [4 0 R 5 0 R] >>", box,
                      box})),
         "agree", "unsupported"},
        {"two text fields above their widgets",
         written("cities.pdf",
                 testing::assemblePdf(
                     {catalog, "<< /Type /Pages /Kids [6 0 R] /Count 1 >>", font,
                      "<< /T (city) /FT /Tx /V (Paris) /Kids [7 0 R] >>",
                      "<< /T (city) /FT /Tx /V (Rome) /Kids [8 0 R] >>",
                      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots [7 0 R 8 0 R] >>",
                      "<< " + widget + "/Parent 4 0 R /Rect [72 650 300 670] >>",
                      "<< " + widget + "/Parent 5 0 R /Rect [72 600 300 620] >>"})),
         "city", "unsupported"},
    };
    for (const auto& row : rows) {
        if (row.file.empty()) GTEST_SKIP() << "the reproducer documents are absent";
        SCOPED_TRACE(row.name);
        const auto valuesOf = [&](const std::vector<std::pair<std::string, std::string>>& fields) {
            std::vector<std::string> values;
            for (const auto& [name, value] : fields) {
                if (name == row.field) values.push_back(value);
            }
            return values;
        };
        const std::vector<std::pair<std::string, std::string>> source = testing::qpdfFieldValues(row.file);
        ASSERT_GE(valuesOf(source).size(), 2u);
        open(row.file);
        const CommandResponse before = worker.send(on(CommandMethod::inspect));
        auto fill = on(CommandMethod::fillForm);
        fill.params.fieldName = row.field;
        fill.params.value = "Yes";
        const CommandResponse filled = worker.send(fill);
        const fs::path copy = dir.path() / (std::string("filled-") + row.file.filename().string());
        auto save = on(CommandMethod::saveDocument);
        save.params.saveMode = "saveCopy";
        save.params.destination = copy.string();
        ASSERT_EQ(outcome(worker.send(save)), "ok");
        const std::vector<std::pair<std::string, std::string>> saved = testing::qpdfFieldValues(copy);
        if (std::string(row.outcome) == "ok") {
            ASSERT_EQ(outcome(filled), "ok");
            std::vector<std::string> listed;
            for (const FormFieldInfo& field : *filled.result->fields) {
                if (field.name == row.field) listed.push_back(field.value);
            }
            EXPECT_EQ(listed, std::vector<std::string>(listed.size(), "Yes"));
            EXPECT_EQ(valuesOf(saved), std::vector<std::string>(valuesOf(source).size(), "u:Yes"));
        } else {
            EXPECT_EQ(filled.error ? filled.error->code : "ok", row.outcome) << outcome(filled);
            EXPECT_EQ(worker.send(on(CommandMethod::inspect)).result->fields, before.result->fields);
            EXPECT_EQ(valuesOf(saved), valuesOf(source));
        }
        // The other fields keep what they held.
        std::vector<std::pair<std::string, std::string>> others = source, othersSaved = saved;
        std::erase_if(others, [&](const auto& field) { return field.first == row.field; });
        std::erase_if(othersSaved, [&](const auto& field) { return field.first == row.field; });
        EXPECT_EQ(othersSaved, others);
        ASSERT_EQ(outcome(worker.send(on(CommandMethod::close))), "ok");
    }
}

}  // namespace
}  // namespace kivo
