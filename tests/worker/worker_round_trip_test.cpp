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

// A saved file is never worse under qpdf's check than the one it came from.
TEST_F(RoundTrip, ASaveWithoutAnEditIsAsSoundAsItsSource) {
    const fs::path sample = testing::repro("save-trailer-size.pdf");
    if (sample.empty()) GTEST_SKIP() << "the reproducer documents are absent";
    if (!testing::haveTool("qpdf")) GTEST_SKIP() << "qpdf is not installed";
    const testing::ToolRun before = testing::runTool("qpdf --check", sample);
    ASSERT_EQ(before.status, 0) << before.output;
    const fs::path own = dir.path() / "own.pdf";
    fs::copy_file(sample, own);
    open(own);
    auto copy = on(CommandMethod::saveDocument);
    copy.params.saveMode = "saveCopy";
    copy.params.destination = (dir.path() / "copy.pdf").string();
    ASSERT_EQ(outcome(worker.send(copy)), "ok");
    auto save = on(CommandMethod::saveDocument);
    save.params.saveMode = "save";
    save.params.force = true;
    ASSERT_EQ(outcome(worker.send(save)), "ok");
    for (const fs::path& written : {dir.path() / "copy.pdf", own}) {
        const testing::ToolRun after = testing::runTool("qpdf --check", written);
        EXPECT_EQ(after.status, 0) << written.filename() << ": " << after.output;
        EXPECT_EQ(after.output.find("WARNING"), std::string::npos) << written.filename() << ": " << after.output;
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
    for (const char* name : {"unchanged.pdf", "noted.pdf"}) EXPECT_EQ(infoLines(dir.path() / name), before) << name;
}

}  // namespace
}  // namespace kivo
