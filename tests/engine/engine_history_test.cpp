// Edits whose undo history cannot be kept. A document whose written bytes do not open again is
// never changed, and stays readable; a history state that does not open again fails its undo
// with the document, its revision and its history as they were. And the page kept open between
// reads: never read from after the document moved on, and only one in the whole worker.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <tuple>

#include <zlib.h>

#include "engine/document_engine.hpp"
#include "pdfium/module.hpp"
#include "session/pdfium_runtime.hpp"
#include "command_requests.hpp"
#include "session_test.hpp"
#include "test_pdfs.hpp"
#include "engine_testing.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::request;

const CommandErrorPayload noHistory{
    "unsupported",
    "Kivo PDF cannot keep an undo history for this file, so it will not change it. "
    "Nothing changed."};

class EngineHistory : public EngineTest {
protected:
    // Opens `pdf` as the document the requests are about.
    void open(const std::string& pdf) {
        const fs::path path = dir.path() / "doc.pdf";
        testing::writeFile(path, pdf);
        auto r = request("open", CommandMethod::open, CommandChannel::ui);
        r.params.path = path.string();
        const auto opened = engine->handle(r);
        ASSERT_TRUE(opened.ok) << opened.error->message;
        sessionId = *opened.result->sessionId;
        pageId = opened.result->pages->at(0).id;
    }

    CommandRequest on(CommandMethod method) {
        auto r = request(std::string(rawValue(method)), method, CommandChannel::ui);
        r.params.sessionId = sessionId;
        r.params.pageId = pageId;
        r.params.rect = PDFRect{72, 72, 200, 100};
        return r;
    }
    CommandRequest render() {
        auto r = on(CommandMethod::renderPage);
        r.params.scale = 0.5;
        r.params.pngPath = (dir.path() / "page.png").string();
        return r;
    }
    CommandResponse ask(const CommandRequest& r) { return engine->handle(r); }
    void withSession(const std::function<void(Session&)>& body) {
        std::lock_guard held(PdfiumRuntime::lock());
        body(DocumentEngineTesting::session(*engine, sessionId));
    }
    std::int64_t revision() { return *ask(on(CommandMethod::inspect)).result->revision; }

    std::string sessionId;
    std::string pageId;
};

TEST_F(EngineHistory, ADocumentWhoseWrittenBytesDoNotOpenIsOnlyRead) {
    open(testing::makeUnkeptEncryptedPdf());

    auto rotate = on(CommandMethod::rotatePages);
    rotate.params.pageIds = std::vector<std::string>{pageId};
    auto erase = on(CommandMethod::deletePages);
    erase.params.pageIds = std::vector<std::string>{pageId};
    auto fill = on(CommandMethod::fillForm);  // refused before its missing parameters are looked at
    for (const CommandRequest& edit :
         {on(CommandMethod::addHighlight), on(CommandMethod::addNote), rotate, erase, fill}) {
        EXPECT_EQ(ask(edit).error, noHistory) << rawValue(edit.method);
    }
    const auto inspected = ask(on(CommandMethod::inspect));
    ASSERT_TRUE(inspected.ok);
    EXPECT_EQ(*inspected.result->revision, 1);
    EXPECT_FALSE(*inspected.result->undoAvailable);
    EXPECT_TRUE(inspected.result->annotations->empty());
    EXPECT_EQ(ask(on(CommandMethod::undo)).error.value_or(CommandErrorPayload{}).code, "empty_history");

    // Reading, rendering and searching go on as before; a copy PDFium writes but cannot open again
    // is no export.
    EXPECT_TRUE(ask(render()).ok);
    const auto text = ask(on(CommandMethod::extractText));
    ASSERT_TRUE(text.ok);
    EXPECT_NE(text.result->text->find("Hello PDF"), std::string::npos);
    auto search = on(CommandMethod::search);
    search.params.query = "hello";
    const auto found = ask(search);
    ASSERT_TRUE(found.ok);
    EXPECT_EQ(found.result->matches->size(), 1u);
    auto exported = on(CommandMethod::exportDocument);
    exported.params.destination = (dir.path() / "copy.pdf").string();
    EXPECT_EQ(ask(exported).error.value_or(CommandErrorPayload{}).code, "export_failed");
    EXPECT_FALSE(fs::exists(dir.path() / "copy.pdf"));
}

TEST_F(EngineHistory, AnUndoThatCannotOpenItsStateChangesNothing) {
    open(testing::makePdf());
    ASSERT_TRUE(ask(on(CommandMethod::addHighlight)).ok);
    ASSERT_TRUE(ask(on(CommandMethod::addNote)).ok);
    // Every state was written in a form PDFium refuses: the one an undo opens, and the one it
    // would have to come back to.
    testing::writeFile(dir.path() / "garbage.pdf", "%PDF-1.7\nthese bytes are no document\n");
    withSession([&](Session& session) {
        const DocumentBytes::Shared garbage = DocumentBytes::read(dir.path() / "garbage.pdf");
        testing::SessionProbe::replaceNext(session, true, garbage);
        testing::SessionProbe::replaceBacking(session, garbage);
    });

    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto undone = ask(on(CommandMethod::undo));
        ASSERT_FALSE(undone.ok);
        EXPECT_EQ(undone.error->code, "unsupported") << undone.error->message;
        const auto inspected = ask(on(CommandMethod::inspect));
        ASSERT_TRUE(inspected.ok) << inspected.error->message;
        EXPECT_EQ(*inspected.result->revision, 3) << attempt;
        EXPECT_EQ(inspected.result->annotations->size(), 2u) << attempt;
        EXPECT_TRUE(*inspected.result->undoAvailable) << attempt;
        EXPECT_FALSE(*inspected.result->redoAvailable) << attempt;
    }
    EXPECT_TRUE(ask(render()).ok);
    EXPECT_TRUE(ask(on(CommandMethod::addHighlight)).ok);
    EXPECT_EQ(revision(), 4);
}

// The page a render or a text read loaded stays open for the next read; after a turn, a deletion and
// their undos each page must be read afresh, never from the copy kept before them, though another page
// now sits at its place.
TEST_F(EngineHistory, APageReadBeforeAnEditIsReadAfreshAfterItAndItsUndo) {
    testing::TestPage second;
    second.width = 500;
    second.text = "Banana";
    open(testing::makePdf({testing::TestPage{}, second}));
    const std::string first = pageId;
    const std::string other = ask(on(CommandMethod::inspect)).result->pages->at(1).id;
    using Read = std::tuple<std::int64_t, std::int64_t, std::string>;
    const auto read = [&](const std::string& page, const char* when) {
        SCOPED_TRACE(when);
        pageId = page;
        const auto rendered = ask(render()).result.value_or(CommandResult{});
        const auto text = ask(on(CommandMethod::extractText)).result.value_or(CommandResult{});
        return Read{rendered.width.value_or(0), rendered.height.value_or(0), text.text.value_or("")};
    };
    const Read hello{306, 396, "Hello PDF"};
    EXPECT_EQ(read(first, "as opened"), hello);

    auto turn = on(CommandMethod::rotatePages);
    turn.params.pageIds = std::vector<std::string>{first};
    turn.params.rotation = 90;
    ASSERT_TRUE(ask(turn).ok);
    EXPECT_EQ(read(first, "after a turn"), (Read{396, 306, "Hello PDF"}));
    ASSERT_TRUE(ask(on(CommandMethod::undo)).ok);
    EXPECT_EQ(read(first, "after its undo"), hello);

    auto erase = on(CommandMethod::deletePages);
    erase.params.pageIds = std::vector<std::string>{first};
    ASSERT_TRUE(ask(erase).ok);
    EXPECT_EQ(read(other, "in the deleted page's place"), (Read{250, 396, "Banana"}));
    ASSERT_TRUE(ask(on(CommandMethod::undo)).ok);
    EXPECT_EQ(read(first, "back after the undo"), hello);
}

// Only one page is kept open in the whole worker, with the images it decoded, not one per document:
// documents that each showed a page with a large image once cost what one of them costs.
TEST_F(EngineHistory, OnlyOnePageIsKeptOpenAcrossDocuments) {
    // Compressed, so that what a document holds of the file stays small and the decoded image large.
    const std::string pixels(std::size_t{3000} * 3000, '\x80');
    std::string image(::compressBound(pixels.size()), '\0');
    uLongf packed = image.size();
    ASSERT_EQ(::compress(reinterpret_cast<Bytef*>(image.data()), &packed,
                         reinterpret_cast<const Bytef*>(pixels.data()), pixels.size()),
              Z_OK);
    image.resize(packed);
    const std::string pdf = testing::assemblePdf({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject << /Im 4 0 R >> >> "
        "/Contents 5 0 R >>",
        "<< /Type /XObject /Subtype /Image /Width 3000 /Height 3000 /ColorSpace /DeviceGray "
        "/BitsPerComponent 8 /Filter /FlateDecode /Length " +
            std::to_string(image.size()) + " >>\nstream\n" + image + "\nendstream",
        "<< /Length 30 >>\nstream\nq 612 0 0 792 0 0 cm /Im Do Q\nendstream",
    });
    std::vector<std::pair<std::string, std::string>> documents;
    for (int document = 0; document < 4; ++document) {
        open(pdf);
        documents.emplace_back(sessionId, pageId);
    }
    // Opened first, so that what the documents themselves hold is counted before the renders.
    std::vector<std::uint64_t> memory;
    for (const auto& [session, page] : documents) {
        sessionId = session;
        pageId = page;
        ASSERT_TRUE(ask(render()).ok);
        memory.push_back(pdfium::module::memorySize());
    }
    // A page kept per document would hold another decoded image of 9 MB each time.
    EXPECT_LE(memory.back(), memory.front() + (2u << 20)) << memory.front() << " then " << memory.back();
}

}  // namespace
}  // namespace kivo
