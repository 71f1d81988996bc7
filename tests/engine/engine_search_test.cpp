// Searching again through the engine's commands: what a search kept of each page's text, or what the
// worker read ahead while idle, only rules out pages that cannot hold the query, so every search finds
// exactly what a search of the same document finds with no text kept, before an edit of a page, after
// it and after its undo.

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/document_engine.hpp"
#include "engine/recovery_store.hpp"
#include "session/pdfium_runtime.hpp"
#include "command_requests.hpp"
#include "session_test.hpp"
#include "test_pdfs.hpp"
#include "engine_testing.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::request;

// A hit with its page named by place, so that two opens of one file compare.
struct PlacedHit {
    std::size_t page = 0;
    std::int64_t index = 0;
    std::int64_t count = 0;
    std::vector<PDFRect> rects;
    std::string preview;
    bool operator==(const PlacedHit&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PlacedHit& hit) {
    return out << "page " << hit.page << " at " << hit.index << "+" << hit.count << " \"" << hit.preview
               << "\" in " << hit.rects.size() << " rects";
}

std::string stream(const std::string& content) {
    return "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream";
}

// One page for each list, each character followed by a space, in as many fonts as it takes to give
// every character a code of its own: a font's ToUnicode says which character each code stands for.
std::string charactersPdf(const std::vector<std::vector<UChar32>>& pages) {
    std::vector<int> codes;
    for (int code = 0x21; code <= 0xFF; ++code) {
        if (code <= 0x7E || code >= 0xA1) codes.push_back(code);
    }
    const auto hex = [](unsigned value, int digits) {
        char text[16];
        std::snprintf(text, sizeof text, "%0*X", digits, value);
        return std::string(text);
    };
    std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
    std::string kids;
    for (const std::vector<UChar32>& page : pages) {
        std::string fonts;
        for (std::size_t first = 0, font = 0; first < page.size(); first += codes.size(), ++font) {
            // At most a hundred to a block, as the CMap format has it.
            std::string entries;
            const std::size_t end = std::min(page.size(), first + codes.size());
            for (std::size_t block = first; block < end; block += 100) {
                const std::size_t stop = std::min(end, block + 100);
                entries += std::to_string(stop - block) + " beginbfchar\n";
                for (std::size_t i = block; i < stop; ++i)
                    entries += "<" + hex(codes[i - first], 2) + "> <" + hex(page[i], 4) + ">\n";
                entries += "endbfchar\n";
            }
            objects.push_back(
                stream("/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
                       "/CMapName /Kivo-UCS def /CMapType 2 def\n"
                       "1 begincodespacerange <00> <FF> endcodespacerange\n"
                       "1 beginbfchar <20> <0020> endbfchar\n" +
                       entries + "endcmap CMapName currentdict /CMap defineresource pop end end"));
            objects.push_back(
                "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding "
                "/ToUnicode " +
                std::to_string(objects.size()) + " 0 R >>");
            fonts += "/F" + std::to_string(font) + " " + std::to_string(objects.size()) + " 0 R ";
        }
        std::string content = "BT 36 760 Td";
        for (std::size_t i = 0; i < page.size(); ++i) {
            if (i > 0 && i % 50 == 0) content += "\n0 -11 Td";
            content += " /F" + std::to_string(i / codes.size()) + " 8 Tf <" +
                       hex(codes[i % codes.size()], 2) + "20> Tj";
        }
        objects.push_back(stream(content + " ET"));
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << " +
                          fonts + ">> >> /Contents " + std::to_string(objects.size()) + " 0 R >>");
        kids += std::to_string(objects.size()) + " 0 R ";
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
    return testing::assemblePdf(objects);
}

std::string spaced(const std::vector<UChar32>& characters) {
    icu::UnicodeString text;
    for (const UChar32 character : characters) text.append(character).append(u' ');
    std::string out;
    text.trim().toUTF8String(out);
    return out;
}

class EngineSearch : public EngineTest {
protected:
    struct Opened {
        std::string session;
        std::vector<std::string> pages;
        DocumentEngine* engine = nullptr;
    };

    CommandResponse ask(CommandMethod method, const Opened& document,
                        const std::function<void(CommandParams&)>& fill = nullptr) {
        auto r = request(std::string(rawValue(method)), method, CommandChannel::ui);
        r.params.sessionId = document.session;
        if (fill) fill(r.params);
        return document.engine->handle(r);
    }
    Opened open(const fs::path& path) { return open(path, *engine); }
    Opened open(const fs::path& path, DocumentEngine& in) {
        auto r = request("open", CommandMethod::open, CommandChannel::ui);
        r.params.path = path.string();
        const CommandResponse opened = in.handle(r);
        if (!opened.ok) {
            ADD_FAILURE() << path << ": " << opened.error->message;
            return {};
        }
        Opened document{*opened.result->sessionId, {}, &in};
        for (const PageInfo& page : *opened.result->pages) document.pages.push_back(page.id);
        return document;
    }
    std::vector<PlacedHit> search(const Opened& document, const std::string& query) {
        const CommandResponse found =
            ask(CommandMethod::search, document, [&](CommandParams& p) { p.query = query; });
        std::vector<PlacedHit> hits;
        if (!found.ok) {
            ADD_FAILURE() << query << ": " << found.error->message;
            return hits;
        }
        for (const SearchHit& hit : *found.result->matches) {
            const auto page = std::find(document.pages.begin(), document.pages.end(), hit.pageId);
            hits.push_back({static_cast<std::size_t>(page - document.pages.begin()), hit.index, hit.count,
                            hit.rects, hit.preview});
        }
        return hits;
    }
    void expectOk(const CommandResponse& response) {
        EXPECT_TRUE(response.ok) << (response.error ? response.error->message : "");
    }
    void withSession(const Opened& document, const std::function<void(Session&)>& body) {
        std::lock_guard held(PdfiumRuntime::lock());
        body(DocumentEngineTesting::session(*document.engine, document.session));
    }
    // Which of the document's pages have their text kept.
    std::vector<bool> keptPages(const Opened& document) {
        std::vector<bool> known;
        withSession(document, [&](Session& session) {
            for (const std::string& page : document.pages)
                known.push_back(testing::SessionProbe::keptText(session).knows(page));
        });
        return known;
    }
    // Whether reading ahead kept the text of every page, waiting for it up to two minutes.
    bool readAhead(const Opened& document) {
        const std::vector<bool> every(document.pages.size(), true);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (keptPages(document) != every && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return keptPages(document) == every;
    }
};

TEST_F(EngineSearch, EverySearchFindsWhatASearchWithNoKeptTextFinds) {
    // Every character of the Basic Multilingual Plane that has a lower case of its own, on one page,
    // and their lower cases on the other: each page holds each list as a query, case aside.
    std::vector<UChar32> cased, lower;
    for (UChar32 code = 0; code <= 0xFFFF; ++code) {
        if (!U_IS_SURROGATE(code) && u_tolower(code) != code) {
            cased.push_back(code);
            lower.push_back(u_tolower(code));
        }
    }
    const fs::path letters = dir.path() / "cased-letters.pdf";
    testing::writeFile(letters, charactersPdf({cased, lower}));
    const std::string casedQuery = spaced(cased);
    const std::string lowerQuery = spaced(lower);
    const std::vector<fs::path> files = {
        letters,
        testing::corpus("geotopo.pdf"),
        testing::corpus("multicolumn.pdf"),
        testing::corpus("pdflatex-4-pages.pdf"),
        testing::corpus("google-doc-document.pdf"),
        testing::corpus("habibi.pdf"),
        testing::repro("text-outside-basic-plane.pdf"),
    };
    const std::vector<std::string> queries = {
        "binormalenvektor",
        // Case: PDFium lower-cases both sides; U+0130 lower-cases to a plain i, the Kelvin sign to k.
        "BINORMALENVEKTOR",
        "\xC4\xB0st",
        "\xE2\x84\xAAurven",
        "HEISST",
        "hei\xC3\x9F"
        "t",
        // Words across a line end, where PDFium's text has a line break instead of the space.
        "semper elit. Proin",
        "ligula feugiat magna",
        "Orthonormalbasis von",
        // Hyphens: within a word, and a word broken at a line end.
        "E-Mail",
        "one-- and",
        "Parametrisierung",
        "Para-",
        // Accented letters, and a ligature PDFium splits into its letters on the page.
        "Fl\xC3\xA4"
        "chenelement",
        "F\xC3\x9CR",
        "\xEF\xAC\x81",
        "Definition",
        // Punctuation and digits.
        "aren't",
        "(info@martin-thoma.de)",
        "bzgl.",
        "\xE2\x80\x9CHuardest",
        "10 Euro",
        "2024",
        "72",
        // Beyond the Basic Multilingual Plane: Old Hungarian capitals, small letters and both.
        "\xF0\x90\xB2\x80",
        "\xF0\x90\xB3\x81\xF0\x90\xB3\x82",
        "\xF0\x90\xB2\x80\xF0\x90\xB3\x81",
        // Arabic and Greek, a single letter found everywhere, and a word found nowhere.
        "\xD9\x8A\xD8\xA8\xD9\x8A\xD8\xA8",
        "\xCE\xB3",
        "a",
        "quixotically",
    };
    // Those also searched around an edit: one of each kind, as an edit and its undo read every page again
    // on a document written whole.
    const std::vector<std::string> edited = {
        "binormalenvektor", "\xC4\xB0st", "semper elit. Proin", "E-Mail",
        "\xF0\x90\xB2\x80", "a",          "quixotically",
    };
    // A second engine, which reads text ahead as the worker does.
    DocumentEngine reader(ResourceLimits::unlimited());
    reader.readTextAheadWhenIdle();
    std::size_t documents = 0;
    for (const fs::path& file : files) {
        if (file.empty()) continue;
        ++documents;
        SCOPED_TRACE(file.filename().string());
        const Opened kept = open(file);
        const Opened plain = open(file);
        // Past its bound, so that each search drops the text of pages an earlier one kept.
        const Opened tight = open(file);
        ASSERT_FALSE(kept.pages.empty());
        constexpr std::size_t tightBound = 16 * 1024;
        withSession(plain, [](Session& session) { testing::SessionProbe::keepTextUpTo(session, 0); });
        withSession(tight,
                    [](Session& session) { testing::SessionProbe::keepTextUpTo(session, tightBound); });

        // PDFium lower-cases as this build does, so the kept letters hold what it finds.
        if (file == letters) {
            for (const std::string& query : {casedQuery, lowerQuery})
                EXPECT_EQ(search(plain, query).size(), 2u);
        }

        // The text of an extraction is kept as well as that of a search.
        expectOk(ask(CommandMethod::extractText, kept, [&](CommandParams& p) { p.pageId = kept.pages[0]; }));
        std::vector<bool> first(kept.pages.size(), false);
        first[0] = true;
        EXPECT_EQ(keptPages(kept), first);
        for (const std::string& query : queries) {
            SCOPED_TRACE(query);
            const std::vector<PlacedHit> expected = search(plain, query);
            EXPECT_EQ(search(kept, query), expected) << "first";
            EXPECT_EQ(search(kept, query), expected) << "second";
            EXPECT_EQ(search(tight, query), expected) << "bounded";
        }
        withSession(tight, [&](Session& session) {
            EXPECT_LE(testing::SessionProbe::keptText(session).bytes(), tightBound);
        });
        const std::vector<bool> every(kept.pages.size(), true);
        const std::vector<bool> none(kept.pages.size(), false);
        EXPECT_EQ(keptPages(kept), every);

        // Reading ahead gives way to a command that waits, goes on once one ended, and reads every page.
        std::optional<PdfiumRuntime::Waiting> waiting(std::in_place);
        const Opened ahead = open(file, reader);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        EXPECT_EQ(keptPages(ahead), none) << "read while a command waited";
        waiting.reset();
        expectOk(ask(CommandMethod::listDocuments, ahead));
        ASSERT_TRUE(readAhead(ahead));
        EXPECT_FALSE(fs::exists(DocumentEngine::readingAheadFolder())) << "a worker that goes on left a mark";
        withSession(ahead, [](Session& session) {
            EXPECT_EQ(testing::SessionProbe::pagesReadAside(session), 0) << "reading ahead kept its document";
        });
        for (const std::string& query : queries)
            EXPECT_EQ(search(ahead, query), search(plain, query)) << query;

        EXPECT_EQ(keptPages(plain), none);
        // So a word found nowhere rules every page out, and searching it again reads none.
        withSession(kept, [&](Session& session) {
            const std::optional<std::string> nowhere = KeptPageText::comparable(u"quixotically");
            for (const std::string& page : kept.pages)
                EXPECT_FALSE(testing::SessionProbe::keptText(session).mayHold(page, nowhere));
        });

        // An edit forgets the text of the page it names (of every page when the document is written
        // whole), and an undo that of every page.
        const std::size_t last = kept.pages.size() - 1;
        for (const std::string& query : edited) {
            SCOPED_TRACE(query);
            for (const Opened* document : {&kept, &plain}) {
                expectOk(ask(CommandMethod::addContent, *document, [&](CommandParams& p) {
                    p.pageId = document->pages[last];
                    p.rect = PDFRect{72, 72, 400, 120};
                    p.kind = "text";
                    p.contents = query;
                }));
            }
            EXPECT_FALSE(keptPages(kept)[last]);
            EXPECT_EQ(search(kept, query), search(plain, query)) << "after an edit";
            for (const Opened* document : {&kept, &plain}) expectOk(ask(CommandMethod::undo, *document));
            EXPECT_EQ(keptPages(kept), none);
            const std::vector<PlacedHit> undone = search(plain, query);
            EXPECT_EQ(search(kept, query), undone) << "after its undo";
            EXPECT_EQ(search(kept, query), undone) << "again after its undo";
        }
    }
    if (documents == 0) GTEST_SKIP() << "the sample and reproducer documents are absent";
}

TEST_F(EngineSearch, AWorkerStoppedWhileReadingAheadLeavesADocumentToItsSearches) {
    const fs::path stopped = testing::corpus("geotopo.pdf");
    const fs::path next = testing::corpus("pdflatex-4-pages.pdf");
    if (stopped.empty() || next.empty()) GTEST_SKIP() << "the sample documents are absent";
    DocumentEngine reader(ResourceLimits::unlimited());
    reader.readTextAheadWhenIdle();
    // The watchdog marks the document as it stops the worker: here while a page of it is read ahead,
    // which is most of the time once a command ended. Should reading end first, it is opened again.
    const fs::path mark = DocumentEngine::readingAheadFolder() / *RecoveryStore::fingerprint(stopped);
    for (int attempt = 0; attempt < 5 && !fs::exists(mark); ++attempt) {
        open(stopped, reader);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!fs::exists(mark) && std::chrono::steady_clock::now() < until)
            DocumentEngine::markStoppedReading();
    }
    ASSERT_TRUE(fs::exists(mark));
    // Reopened after the stop, it is read only when asked; another document is read ahead.
    const Opened left = open(stopped, reader);
    const Opened read = open(next, reader);
    EXPECT_TRUE(readAhead(read));
    EXPECT_EQ(keptPages(left), std::vector<bool>(left.pages.size(), false));
    // A stop once reading ended marks nothing.
    DocumentEngine::markStoppedReading();
    EXPECT_FALSE(fs::exists(DocumentEngine::readingAheadFolder() / *RecoveryStore::fingerprint(next)));
    EXPECT_FALSE(search(left, "binormalenvektor").empty());
}

TEST_F(EngineSearch, ASearchAFewPagesARequestReadsOnFromOneDocument) {
    const fs::path file = testing::corpus("geotopo.pdf");
    const fs::path other = testing::corpus("pdflatex-4-pages.pdf");
    if (file.empty() || other.empty()) GTEST_SKIP() << "the sample documents are absent";
    const Opened document = open(file);
    const Opened second = open(other);
    ASSERT_GE(document.pages.size(), 40u);
    const auto readAside = [&](const Opened& opened) {
        int pages = 0;
        withSession(opened,
                    [&](Session& session) { pages = testing::SessionProbe::pagesReadAside(session); });
        return pages;
    };
    const auto searchPages = [&](const Opened& opened, std::size_t first, std::size_t count) {
        return ask(CommandMethod::search, opened, [&](CommandParams& p) {
            p.query = "binormalenvektor";
            p.pageIds =
                std::vector<std::string>(opened.pages.begin() + static_cast<std::ptrdiff_t>(first),
                                         opened.pages.begin() + static_cast<std::ptrdiff_t>(first + count));
        });
    };
    // As the editor asks: four pages a request. The document opened for the first request serves the
    // next ones, and is opened again once 32 pages were read from it.
    const struct {
        std::size_t requests;
        int readAside;
    } rows[] = {{1, 4}, {2, 8}, {8, 32}, {9, 4}};
    std::size_t asked = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.requests);
        for (; asked < row.requests; ++asked) expectOk(searchPages(document, asked * 4, 4));
        EXPECT_EQ(readAside(document), row.readAside);
    }
    // One such document in the whole worker: reading another's text closes it.
    expectOk(searchPages(second, 0, 1));
    EXPECT_EQ(readAside(document), 0);
    EXPECT_EQ(readAside(second), 1);
    // A failed command may have failed for memory: it goes too.
    EXPECT_FALSE(ask(CommandMethod::search, second, [](CommandParams& p) {
                     p.query = "binormalenvektor";
                     p.pageId = "no such page";
                 }).ok);
    EXPECT_EQ(readAside(second), 0);
}

}  // namespace
}  // namespace kivo
