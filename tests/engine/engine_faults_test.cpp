// A fault of the PDF engine while it works on one document: that document's command fails and the
// document is set aside, while every other open document goes on in a fresh engine with its
// history, its edits and its ids, and a document that cannot be opened again there is set aside
// alone.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>

#include "command_requests.hpp"
#include "engine/document_engine.hpp"
#include "outside_readers.hpp"
#include "pdfium/module.hpp"
#include "session/pdfium_runtime.hpp"
#include "session_test.hpp"
#include "test_pdfs.hpp"
#include "engine_testing.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;

std::string outcome(const CommandResponse& response) {
    return response.ok ? "ok" : response.error->code + ": " + response.error->message;
}

class EngineFaults : public EngineTest {
protected:
    CommandResponse send(CommandRequest r) {
        r.id = std::to_string(++requests);
        return engine->handle(r);
    }
    CommandResponse open(const fs::path& file) {
        auto r = testing::request("", CommandMethod::open, CommandChannel::ui);
        r.params.path = file.string();
        return send(r);
    }
    static CommandRequest on(CommandMethod method, const CommandResponse& opened, std::size_t page = 0) {
        auto r = testing::request("", method, CommandChannel::ui);
        r.params.sessionId = opened.result->sessionId;
        r.params.pageId = opened.result->pages->at(page).id;
        return r;
    }
    // PDFium's record of the document, overwritten in the module's memory: the engine's next use of
    // it reads addresses that lie outside that memory, and the module traps there.
    void corrupt(const CommandResponse& opened) {
        std::lock_guard held(PdfiumRuntime::lock());
        const Session& session = DocumentEngineTesting::session(*engine, *opened.result->sessionId);
        const pdfium::Address document = testing::SessionProbe::document(session).address;
        std::memset(pdfium::module::hostPointer(document, 256), 0xFF, 256);
    }

    int requests = 0;
};

const char* const faultedHere =
    "internal: The PDF engine stopped on an internal fault while working on this document. Kivo PDF started "
    "it "
    "again for the other open documents; close this one and open it again. The file on disk was not changed.";
const char* const faultedBefore =
    "internal: This document stopped the PDF engine on an internal fault, so Kivo PDF works on it no "
    "further. "
    "Close it and open it again; the file on disk was not changed.";
const char* const notReopened =
    "internal: The PDF engine stopped on an internal fault while working on another document, and this one "
    "could not be opened again in its place. Close it and open it again; the file on disk was not changed.";

TEST_F(EngineFaults, AFaultCostsOnlyTheDocumentItWasWorkingOn) {
    const fs::path faulty = testing::corpus("annotated.pdf");
    const fs::path kept = testing::corpus("pdflatex-4-pages.pdf");
    if (faulty.empty() || kept.empty()) GTEST_SKIP() << "the sample documents are absent";
    if (!testing::haveOutsideReaders()) GTEST_SKIP() << "qpdf and pdfinfo are needed to read the saved file";

    // The document that goes on: a highlight, then a note, so that it has a history to undo.
    const CommandResponse other = open(kept);
    ASSERT_EQ(outcome(other), "ok");
    auto highlight = on(CommandMethod::addHighlight, other);
    highlight.params.rect = PDFRect{72, 600, 300, 620};
    ASSERT_EQ(outcome(send(highlight)), "ok");
    auto note = on(CommandMethod::addNote, other);
    note.params.rect = PDFRect{72, 500, 92, 520};
    ASSERT_EQ(outcome(send(note)), "ok");
    // One that does not open again once the engine is replaced: its bytes as it stands are garbage.
    testing::writeFile(dir.path() / "third.pdf", testing::makePdf());
    const CommandResponse third = open(dir.path() / "third.pdf");
    ASSERT_EQ(outcome(third), "ok");
    testing::writeFile(dir.path() / "garbage.pdf", "%PDF-1.7\nthese bytes are no document\n");
    {
        std::lock_guard held(PdfiumRuntime::lock());
        testing::SessionProbe::replaceBacking(
            DocumentEngineTesting::session(*engine, *third.result->sessionId),
            DocumentBytes::read(dir.path() / "garbage.pdf"));
    }

    // The same document faults the engine twice, opened afresh after the first time.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("fault " + std::to_string(round + 1));
        const CommandResponse opened = open(faulty);
        ASSERT_EQ(outcome(opened), "ok");
        corrupt(opened);
        auto render = on(CommandMethod::renderPage, opened);
        render.params.pngPath = (dir.path() / "faulty.png").string();
        EXPECT_EQ(outcome(send(render)), faultedHere);
        // Set aside: its commands are refused without reaching the engine, and it still closes.
        EXPECT_EQ(outcome(send(on(CommandMethod::extractText, opened))), faultedBefore);
        EXPECT_EQ(outcome(send(on(CommandMethod::inspect, third))), notReopened);
        EXPECT_EQ(outcome(send(on(CommandMethod::close, opened))), "ok");

        const CommandResponse inspected = send(on(CommandMethod::inspect, other));
        ASSERT_EQ(outcome(inspected), "ok");
        EXPECT_EQ(inspected.result->pages, other.result->pages);
        EXPECT_EQ(inspected.result->annotations->size(), other.result->annotations->size() + 2);
        EXPECT_TRUE(*inspected.result->undoAvailable);
        auto drawn = on(CommandMethod::renderPage, other);
        drawn.params.scale = 0.5;
        drawn.params.pngPath = (dir.path() / "other.png").string();
        ASSERT_EQ(outcome(send(drawn)), "ok");
        EXPECT_GT(testing::decodePng(dir.path() / "other.png").width, 0u);
        const CommandResponse text = send(on(CommandMethod::extractText, other));
        ASSERT_EQ(outcome(text), "ok");
        EXPECT_NE(text.result->text->find("Hello, here is some text"), std::string::npos);
    }

    const CommandResponse undone = send(on(CommandMethod::undo, other));
    ASSERT_EQ(outcome(undone), "ok");
    EXPECT_EQ(undone.result->annotations->size(), other.result->annotations->size() + 1);
    auto save = on(CommandMethod::exportDocument, other);
    save.params.destination = (dir.path() / "saved.pdf").string();
    ASSERT_EQ(outcome(send(save)), "ok");
    EXPECT_EQ(testing::outsideView(dir.path() / "saved.pdf"), "sound, 4 pages");
    EXPECT_EQ(testing::qpdfAnnotations(dir.path() / "saved.pdf"), std::vector<std::string>{"1:Highlight"});
}

// A second fault while the documents are opened again after the first: the document being opened
// when it came is set aside in turn, every other one is opened in one more fresh engine, and the
// engine is started again once per fault, never in a loop.
TEST_F(EngineFaults, AFaultWhileReopeningCostsOnlyTheDocumentBeingReopened) {
    const fs::path faulty = testing::corpus("annotated.pdf");
    const fs::path kept = testing::corpus("pdflatex-4-pages.pdf");
    const fs::path longer = testing::corpus("multicolumn.pdf");
    if (faulty.empty() || kept.empty() || longer.empty()) GTEST_SKIP() << "the sample documents are absent";

    const CommandResponse other = open(kept);
    ASSERT_EQ(outcome(other), "ok");
    auto highlight = on(CommandMethod::addHighlight, other);
    highlight.params.rect = PDFRect{72, 600, 300, 620};
    ASSERT_EQ(outcome(send(highlight)), "ok");
    // The one whose reopening faults: its bytes as they stand have three pages where it showed one, so
    // the fresh engine measures its pages again, and the engine faults while it does.
    testing::writeFile(dir.path() / "second.pdf", testing::makePdf());
    const CommandResponse second = open(dir.path() / "second.pdf");
    ASSERT_EQ(outcome(second), "ok");
    {
        std::lock_guard held(PdfiumRuntime::lock());
        testing::SessionProbe::replaceBacking(
            DocumentEngineTesting::session(*engine, *second.result->sessionId), DocumentBytes::read(longer));
    }
    const CommandResponse opened = open(faulty);
    ASSERT_EQ(outcome(opened), "ok");
    corrupt(opened);

    // The fault is made where the fresh engine reads the pages: its whole memory overwritten, so its
    // next read of the document meets addresses outside that memory.
    int faultsMade = 0;
    const auto faultWhileMeasuring = [&](const CommandProgress& progress) {
        if (progress.phase != CommandPhase::loadingPages || faultsMade > 0) return;
        ++faultsMade;
        const uint64_t size = pdfium::module::memorySize();
        std::memset(pdfium::module::hostPointer(0, static_cast<size_t>(size)), 0xFF,
                    static_cast<size_t>(size));
    };
    const uint32_t generationBefore = pdfium::module::generation();
    auto render = on(CommandMethod::renderPage, opened);
    render.params.pngPath = (dir.path() / "faulty.png").string();
    render.progress = true;
    render.id = "render";
    EXPECT_EQ(outcome(engine->handle(render, faultWhileMeasuring)), faultedHere);
    EXPECT_EQ(faultsMade, 1);
    // One fresh engine for the first fault, one for the second.
    EXPECT_EQ(pdfium::module::generation() - generationBefore, 2u);
    EXPECT_TRUE(pdfium::module::usable());

    EXPECT_EQ(outcome(send(on(CommandMethod::inspect, second))), notReopened);
    EXPECT_EQ(outcome(send(on(CommandMethod::extractText, opened))), faultedBefore);
    for (const CommandResponse* setAside : {&second, &opened})
        EXPECT_EQ(outcome(send(on(CommandMethod::close, *setAside))), "ok");

    // The kept document was opened in the engine the second fault threw away, and again after it.
    const CommandResponse inspected = send(on(CommandMethod::inspect, other));
    ASSERT_EQ(outcome(inspected), "ok");
    EXPECT_EQ(inspected.result->pages, other.result->pages);
    EXPECT_EQ(inspected.result->annotations->size(), other.result->annotations->size() + 1);
    const CommandResponse text = send(on(CommandMethod::extractText, other));
    ASSERT_EQ(outcome(text), "ok");
    EXPECT_NE(text.result->text->find("Hello, here is some text"), std::string::npos);
    const CommandResponse undone = send(on(CommandMethod::undo, other));
    ASSERT_EQ(outcome(undone), "ok");
    EXPECT_EQ(undone.result->annotations->size(), other.result->annotations->size());
    // And the engine takes new documents.
    EXPECT_EQ(outcome(open(faulty)), "ok");
}

}  // namespace
}  // namespace kivo
