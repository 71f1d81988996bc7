// Saving, exporting and extracting pages into a file through the worker's socket: the three
// save modes, the guard against overwriting a file changed by another program, signed files,
// and files that are replaced whole, never truncated. (Path grants for MCP are the engine's
// tests.)

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "document_worker.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::DocumentWorker;
using testing::makeRequest;
using testing::outcome;
using testing::WorkerMode;

using Ids = std::vector<std::string>;

class WorkerSaving : public ::testing::Test, protected testing::OpenedDocument {
protected:
    void SetUp() override { start(WorkerMode::socket); }

    CommandRequest save(std::optional<std::string> mode, std::optional<fs::path> destination = std::nullopt,
                        std::optional<bool> force = std::nullopt) {
        auto r = on(CommandMethod::saveDocument);
        r.params.saveMode = std::move(mode);
        if (destination) r.params.destination = destination->string();
        r.params.force = force;
        return r;
    }

    CommandRequest highlight(const std::string& sessionId = {}) {
        auto r = on(CommandMethod::addHighlight, sessionId);
        r.params.pageId = pages[0];
        r.params.rect = PDFRect{72, 72, 200, 120};
        return r;
    }

    bool hasCheckpoint() const { return fs::exists(dir.path() / "support" / "recovery" / session); }
};

TEST_F(WorkerSaving, SaveModesAndTheOutsideChangeGuard) {
    const fs::path copy = dir.path() / "copy.pdf";
    const fs::path renamed = dir.path() / "new folder" / "renamed.pdf";
    const std::string changed =
        "source_changed: The file on disk has changed. Save As, or pass force to overwrite.";
    const auto changeOnDisk = [&] {
        testing::writeFile(pdf, testing::makePdf({testing::TestPage{200, 200, "Written elsewhere"}}));
    };
    struct Step {
        const char* name;
        std::function<void()> before;
        CommandRequest request;
        std::string expected;
        std::string saveState;
        bool checkpoint;
        fs::path sourcePath;
    };
    const Step steps[] = {
        {"edit", nullptr, highlight(), "ok", "unsaved", true, pdf},
        {"save", nullptr, save(std::nullopt), "ok", "saved", false, pdf},
        {"edit after a save", nullptr, highlight(), "ok", "unsaved", true, pdf},
        {"save a copy keeps the document dirty", nullptr, save("saveCopy", copy), "ok", "unsaved", true, pdf},
        {"save over a file changed elsewhere", changeOnDisk, save("save"), changed, "unsaved", true, pdf},
        {"save as also guards the document's own file", nullptr, save("saveAs", renamed), changed, "unsaved",
         true, pdf},
        {"save as needs a destination", nullptr, save("saveAs"),
         "invalid_argument: saveAs requires destination.", "unsaved", true, pdf},
        {"save a copy needs a destination", nullptr, save("saveCopy"),
         "invalid_argument: saveCopy requires destination.", "unsaved", true, pdf},
        {"modes compare exactly", nullptr, save("SaveAs", renamed),
         "invalid_argument: saveMode must be save, saveAs, or saveCopy.", "unsaved", true, pdf},
        {"force overwrites", nullptr, save("save", std::nullopt, true), "ok", "saved", false, pdf},
        {"edit once more", nullptr, highlight(), "ok", "unsaved", true, pdf},
        {"save as moves the document", nullptr, save("saveAs", renamed), "ok", "saved", false, renamed},
    };
    std::int64_t revision = 1;
    for (const Step& step : steps) {
        if (step.before) step.before();
        auto request = step.request;
        request.expectedRevision = revision;  // a save never moves the revision
        const auto response = worker->send(request);
        EXPECT_EQ(outcome(response), step.expected) << step.name;
        if (response.ok && request.method != CommandMethod::saveDocument) ++revision;
        const auto state = worker->send(on(CommandMethod::inspect)).result.value();
        EXPECT_EQ(state.revision, revision) << step.name;
        EXPECT_EQ(state.saveState, step.saveState) << step.name;
        EXPECT_EQ(state.sourcePath, step.sourcePath.string()) << step.name;
        EXPECT_EQ(hasCheckpoint(), step.checkpoint) << step.name;
    }
    // Every write left one whole file and no hidden sibling behind.
    for (const fs::path& written : {pdf, copy, renamed}) {
        const auto opened = worker->open(written);
        EXPECT_EQ(opened.result->pageCount, 2) << written;
        EXPECT_FALSE(fs::exists(written.parent_path() / ("." + written.filename().string() + ".kivo-tmp")));
    }
    EXPECT_EQ(worker->open(renamed).result->annotations->size(), 3u);
}

TEST_F(WorkerSaving, ASignedFileStaysReadOnlyAndExportsWithAWarning) {
    const fs::path signedPdf = dir.path() / "signed.pdf";
    testing::writeFile(signedPdf, testing::makeSignedPdf());
    const auto opened = worker->open(signedPdf);
    ASSERT_EQ(opened.result->readOnly, true);
    const std::string signedSession = *opened.result->sessionId;
    const std::string readOnlyEdit =
        "read_only: This file is treated as read-only. Save a copy if you need an unsigned working file.";
    const std::string readOnlySave =
        "read_only: Signed files stay read-only. Use Save a Copy; signature validity may not be preserved.";

    const auto onSigned = [&](CommandRequest r) {
        r.params.sessionId = signedSession;
        return r;
    };
    auto edit = onSigned(highlight());
    edit.params.pageId.reset();  // read-only is refused before the parameters are looked at
    auto exported = onSigned(on(CommandMethod::exportDocument));
    exported.params.destination = (dir.path() / "exported.pdf").string();
    struct Case {
        const char* name;
        CommandRequest request;
        std::string expected;
    };
    const Case cases[] = {
        {"edit", edit, readOnlyEdit},
        {"save", onSigned(save(std::nullopt)), readOnlySave},
        {"save as", onSigned(save("saveAs", dir.path() / "as.pdf")), readOnlySave},
        {"save a copy", onSigned(save("saveCopy", dir.path() / "copy.pdf")), "ok"},
        {"export", exported, "ok"},
    };
    for (const Case& c : cases) {
        const auto response = worker->send(c.request);
        EXPECT_EQ(outcome(response), c.expected) << c.name;
        if (c.request.method == CommandMethod::exportDocument) {
            EXPECT_EQ(
                response.result->warnings,
                (Ids{"Signed file opened read-only. Exporting a copy may not preserve signature validity.",
                     "Exported copy may not preserve signature validity."}));
        }
    }
    const auto state = worker->send(onSigned(on(CommandMethod::inspect))).result.value();
    EXPECT_EQ(state.readOnly, true);
    EXPECT_EQ(state.sourcePath, signedPdf.string());
    EXPECT_FALSE(fs::exists(dir.path() / "as.pdf"));
    EXPECT_TRUE(fs::exists(dir.path() / "copy.pdf"));

    // An unsigned document exports with just its own warnings.
    auto plain = on(CommandMethod::exportDocument);
    plain.params.destination = (dir.path() / "plain.pdf").string();
    EXPECT_EQ(worker->send(plain).result->warnings, Ids{});
}

// Another user links a name in a folder everyone may write to a folder of the user's; a copy saved
// beyond that name would replace the user's file there, so it is refused and the file stays.
TEST_F(WorkerSaving, ACopyIsNeverSavedThroughAnotherUsersFolderLinkInASharedFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a link of another user";
    const fs::path documents = dir.path() / "Documents";
    const fs::path shared = dir.path() / "shared";
    fs::create_directories(documents);
    fs::create_directories(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    testing::writeFile(documents / "other.pdf", "the user's own file");
    fs::create_directory_symlink(documents, shared / "out");
    ASSERT_EQ(::lchown((shared / "out").c_str(), 65534, 65534), 0);

    for (const fs::path& destination : {shared / "out" / "other.pdf", shared / "out" / "new" / "other.pdf"}) {
        SCOPED_TRACE(destination);
        EXPECT_EQ(outcome(worker->send(save("saveCopy", destination))),
                  "permission_denied: out is a link made by another user, so nothing was written.");
    }
    EXPECT_EQ(testing::readFile(documents / "other.pdf"), "the user's own file");
    EXPECT_EQ(std::distance(fs::directory_iterator(documents), fs::directory_iterator()), 1);
}

TEST_F(WorkerSaving, ExtractedPagesReplaceTheDestinationWhole) {
    const fs::path fresh = dir.path() / "out" / "deeper" / "second.pdf";
    auto extract = [&](const fs::path& destination, Ids ids) {
        auto r = on(CommandMethod::extractPages);
        r.params.destination = destination.string();
        r.params.pageIds = std::move(ids);
        return worker->send(r);
    };

    const auto extracted = extract(fresh, {pages[1]});
    ASSERT_TRUE(extracted.ok) << outcome(extracted);
    EXPECT_EQ(extracted.result->sourcePath, fresh.string());
    EXPECT_EQ(extracted.result->affectedPages, Ids{pages[1]});
    EXPECT_EQ(extracted.result->revision, 1);
    EXPECT_EQ(extracted.result->pageCount, 2);
    EXPECT_EQ(worker->open(fresh).result->pages->at(0).width, 300);

    const std::string before = testing::readFile(pdf);
    EXPECT_EQ(extract(pdf, {pages[0], "NO-SUCH-PAGE"}).error->code, "invalid_page");
    EXPECT_EQ(testing::readFile(pdf), before);

    // Into the document's own file, which is replaced, never rewritten in place: a second name
    // for the old file still holds it whole. The open document keeps its own bytes.
    const fs::path oldName = dir.path() / "old name.pdf";
    fs::create_hard_link(pdf, oldName);
    ASSERT_TRUE(extract(pdf, {pages[1]}).ok);
    EXPECT_EQ(testing::readFile(oldName), before);
    EXPECT_EQ(worker->open(pdf).result->pageCount, 1);
    EXPECT_FALSE(fs::exists(dir.path() / ".doc.pdf.kivo-tmp"));
    auto text = on(CommandMethod::extractText);
    text.params.pageId = pages[0];
    const auto read = worker->send(text);
    ASSERT_TRUE(read.ok) << outcome(read);
    EXPECT_NE(read.result->text->find("Hello PDF"), std::string::npos);
    EXPECT_EQ(read.result->sourceChanged, true);
    EXPECT_EQ(read.result->pageCount, 2);
}

}  // namespace
}  // namespace kivo
