#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "session/document_bytes.hpp"
#include "session/fingerprint.hpp"
#include "session/pdfium_runtime.hpp"
#include "session/wide_string.hpp"
#include "core/descriptor.hpp"
#include "core/engine_failure.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;

TEST(WideStringDecode, Cases) {
    struct Case {
        const char* name;
        std::vector<uint16_t> units;
        std::string expected;
    };
    const Case cases[] = {
        {"empty buffer", {}, ""},
        {"only the terminator", {0}, ""},
        {"cut at the first zero", {'H', 'i', 0, 'x', 'y'}, "Hi"},
        {"no terminator", {'O', 'k'}, "Ok"},
        {"two- and three-byte forms", {0x00E9, 0x20AC}, "\xC3\xA9\xE2\x82\xAC"},
        {"surrogate pair", {0xD83D, 0xDE00, 0}, "\xF0\x9F\x98\x80"},
        {"lone high surrogate",
         {'a', 0xD83D, 'b'},
         "a\xEF\xBF\xBD"
         "b"},
        {"lone low surrogate", {0xDE00}, "\xEF\xBF\xBD"},
        {"high surrogate at the end", {'a', 0xD83D}, "a\xEF\xBF\xBD"},
        {"reversed pair", {0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) EXPECT_EQ(WideString::decode(c.units), c.expected) << c.name;
}

TEST(Fingerprint, Files) {
    testing::TempDir dir;
    testing::writeFile(dir.path() / "empty", "");
    testing::writeFile(dir.path() / "abc", "abc");
    EXPECT_EQ(RecoveryStore::fingerprint(dir.path() / "empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(RecoveryStore::fingerprint(dir.path() / "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(RecoveryStore::fingerprint(dir.path() / "missing"), std::nullopt);
    // Larger than one read chunk, so the digest spans several reads.
    const std::string big(3 * 1'048'576 + 17, 'x');
    testing::writeFile(dir.path() / "big", big);
    const auto digest = RecoveryStore::fingerprint(dir.path() / "big");
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(digest->size(), 64u);
    EXPECT_NE(digest, RecoveryStore::fingerprint(dir.path() / "abc"));
    // Bytes already read digest as their file does: an opened document is not read a second time.
    for (const std::string name : {"empty", "abc", "big"}) {
        const std::string contents = testing::readFile(dir.path() / name);
        const auto* data = reinterpret_cast<const std::uint8_t*>(contents.data());
        EXPECT_EQ(RecoveryStore::fingerprint(std::span(data, contents.size())),
                  RecoveryStore::fingerprint(dir.path() / name))
            << name;
    }
}

TEST(DocumentBytesRead, Files) {
    testing::TempDir dir;
    testing::writeFile(dir.path() / "empty.pdf", "");
    testing::writeFile(dir.path() / "doc.pdf", testing::makePdf());
    fs::create_directory(dir.path() / "folder");

    const auto empty = DocumentBytes::read(dir.path() / "empty.pdf");
    EXPECT_EQ(empty, DocumentBytes::empty());
    EXPECT_EQ(empty->count(), 0);
    EXPECT_EQ(empty->mappedLength(), 0);
    EXPECT_NE(empty->pointer(), nullptr);

    const auto bytes = DocumentBytes::read(dir.path() / "doc.pdf");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data().data()), bytes->data().size()),
              testing::makePdf());
    EXPECT_EQ(bytes->mappedLength(), bytes->count());

    // A FIFO would block the open for good, and with it the whole worker.
    ASSERT_EQ(::mkfifo((dir.path() / "pipe.pdf").c_str(), 0600), 0);
    const std::pair<const char*, std::string> failures[] = {
        {"missing.pdf", "The file could not be read."},
        {"folder", "Only regular files can be read as documents, and folder is not one. Nothing changed."},
        {"pipe.pdf",
         "Only regular files can be read as documents, and pipe.pdf is not one. Nothing changed."},
    };
    for (const auto& [name, message] : failures) {
        try {
            DocumentBytes::read(dir.path() / name);
            ADD_FAILURE() << name;
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure, EngineFailure(FailureCode::file, message)) << name;
        }
    }
}

class DocumentBytesWriting : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        setenv("TMPDIR", dir_.path().c_str(), 1);
        PdfiumRuntime::addUser();
    }
    void TearDown() override {
        PdfiumRuntime::removeUser();
        if (previous_.empty()) unsetenv("TMPDIR");
        else setenv("TMPDIR", previous_.c_str(), 1);
    }
    bool snapshotFilesLeft() const {
        for (const auto& entry : fs::directory_iterator(dir_.path()))
            if (entry.path().filename().string().rfind("kivo-snap-", 0) == 0) return true;
        return false;
    }
    testing::TempDir dir_;
    std::string previous_;
};

TEST_F(DocumentBytesWriting, SnapshotOutlivesDocumentAndLeavesNoFile) {
    std::lock_guard lock(PdfiumRuntime::lock());
    auto source = std::make_shared<std::string>(testing::makePdf({{612, 792, "One"}, {612, 792, "Two"}}));
    DocumentBytes::Shared snapshot;
    {
        auto document = pdfium::Document::load(testing::bytesOf(*source), source, nullptr);
        ASSERT_TRUE(document);
        snapshot = DocumentBytes::writing(document.get());
        pdfium::FPDFPage_Delete(document.get(), 0);  // later changes do not reach the snapshot
    }
    EXPECT_FALSE(snapshotFilesLeft());
    ASSERT_GT(snapshot->count(), 0);
    auto reloaded = pdfium::Document::load(snapshot->data(), snapshot, nullptr);
    ASSERT_TRUE(reloaded);
    EXPECT_EQ(pdfium::FPDF_GetPageCount(reloaded.get()), 2);
}

// A snapshot's view goes with the last holder of it, and the file behind it with the view.
TEST_F(DocumentBytesWriting, AReleasedLongSnapshotIsUnmapped) {
    const auto viewsOfSnapshots = [&] {
        std::ifstream maps("/proc/self/maps");
        int views = 0;
        for (std::string line; std::getline(maps, line);)
            if (line.find((dir_.path() / "kivo-snap-").string()) != std::string::npos) ++views;
        return views;
    };
    if (!fs::exists(fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf")) GTEST_SKIP() << "sample folder absent";
    {
        std::lock_guard lock(PdfiumRuntime::lock());
        const DocumentBytes::Shared long_ = DocumentBytes::read(fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf");
        auto document = pdfium::Document::load(long_->data(), long_, nullptr);
        ASSERT_TRUE(document);
        const DocumentBytes::Shared snapshot = DocumentBytes::writing(document.get());
        ASSERT_GE(snapshot->count(), 1 << 20);
        ASSERT_EQ(viewsOfSnapshots(), 1);
    }
    EXPECT_EQ(viewsOfSnapshots(), 0);
}

// Kilobytes of the mappings over `bytes` this process has in memory.
std::int64_t residentKilobytes(std::span<const uint8_t> bytes) {
    std::ifstream smaps("/proc/self/smaps");
    const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
    const std::uintptr_t end = start + bytes.size();
    bool inside = false;
    std::int64_t total = 0;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2) {
            inside = from < end && start < to;
        } else if (inside && line.rfind("Rss:", 0) == 0) {
            total += std::atoll(line.c_str() + 4);
        }
    }
    return total;
}

// Letting go of the pages of bytes mapped from a file keeps every byte readable as it was; bytes in
// anonymous memory, whose pages are their only copy, keep them.
TEST_F(DocumentBytesWriting, ReleasingResidentPagesKeepsEveryByte) {
    const fs::path sample = fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf";
    if (!fs::exists(sample)) GTEST_SKIP() << "sample folder absent";
    std::lock_guard lock(PdfiumRuntime::lock());
    const DocumentBytes::Shared read = DocumentBytes::read(sample);
    auto document = pdfium::Document::load(read->data(), read, nullptr);
    ASSERT_TRUE(document);
    const struct Case {
        const char* name;
        DocumentBytes::Shared bytes;
        bool fromFile;
    } cases[] = {
        {"a file read", read, true},
        {"a whole save", DocumentBytes::writing(document.get()), true},
        {"an append", DocumentBytes::appending(document.get(), *read), true},
        {"a copy in memory", DocumentBytes::copied(std::string(testing::makePdf())), false},
    };
    for (const Case& c : cases) {
        const std::span<const uint8_t> data = c.bytes->data();
        // Copying the bytes reads every page of them.
        const std::string before(reinterpret_cast<const char*>(data.data()), data.size());
        const std::int64_t wholeKilobytes = static_cast<std::int64_t>(data.size()) / 1024;
        ASSERT_GE(residentKilobytes(data), wholeKilobytes) << c.name;
        c.bytes->releaseResident();
        if (c.fromFile) {
            EXPECT_LE(residentKilobytes(data), 8) << c.name;
        } else {
            EXPECT_GE(residentKilobytes(data), wholeKilobytes) << c.name;
        }
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()), data.size()), before) << c.name;
    }
}

// An append maps the pages it starts with from the bytes below instead of writing them again. Read
// back it must be exactly what the plain incremental save writes, whether the bytes below are what
// the document was loaded from or differ from them somewhere.
TEST_F(DocumentBytesWriting, AnAppendReadsAsThePlainSaveAndWritesOnlyWhatIsNew) {
    const fs::path original = fs::path(KIVO_CORPUS_DIR) / "geotopo.pdf";
    if (!fs::exists(original)) GTEST_SKIP() << "sample folder absent";
    const DocumentBytes::Shared loaded = DocumentBytes::read(original);
    std::string altered(reinterpret_cast<const char*>(loaded->pointer()),
                        static_cast<size_t>(loaded->count()));
    altered[altered.size() / 2] ^= 0x20;
    testing::writeFile(dir_.path() / "altered.pdf", altered);
    const auto snapshotBytesMapped = [&] {
        std::ifstream maps("/proc/self/maps");
        std::int64_t mapped = 0;
        for (std::string line; std::getline(maps, line);) {
            if (line.find((dir_.path() / "kivo-snap-").string()) == std::string::npos) continue;
            const auto dash = line.find('-');
            mapped += static_cast<std::int64_t>(std::stoull(line.substr(dash + 1), nullptr, 16) -
                                                std::stoull(line.substr(0, dash), nullptr, 16));
        }
        return mapped;
    };
    struct Case {
        const char* name;
        DocumentBytes::Shared below;
        bool shares;
    };
    const Case cases[] = {
        {"below is what the document was loaded from", loaded, true},
        {"below differs from it in the middle", DocumentBytes::read(dir_.path() / "altered.pdf"), false},
    };
    std::lock_guard lock(PdfiumRuntime::lock());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto document = pdfium::Document::load(loaded->data(), loaded, nullptr);
        ASSERT_TRUE(document);
        pdfium::FPDFPage_Delete(document.get(), 3);
        const fs::path plain = dir_.path() / "plain.pdf";
        {
            const Descriptor file(::open(plain.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            ASSERT_TRUE(pdfium::saveToDescriptor(document.get(), file.get(), pdfium::SaveKind::appended));
        }
        const DocumentBytes::Shared oracle = DocumentBytes::read(plain);
        ASSERT_GT(oracle->count(), loaded->count());

        const DocumentBytes::Shared appended = DocumentBytes::appending(document.get(), *c.below);
        ASSERT_EQ(appended->count(), oracle->count());
        EXPECT_EQ(std::memcmp(appended->pointer(), oracle->pointer(), static_cast<size_t>(oracle->count())),
                  0);
        auto again = pdfium::Document::load(appended->data(), appended, nullptr);
        ASSERT_TRUE(again);
        EXPECT_EQ(pdfium::FPDF_GetPageCount(again.get()), pdfium::FPDF_GetPageCount(document.get()));
        if (c.shares) {
            EXPECT_LT(snapshotBytesMapped(), loaded->count() / 4);
            // A second state on the same pages: what both map from one file is taken as equal
            // unread, and the comparison must still answer as one that reads every byte.
            pdfium::FPDFPage_Delete(document.get(), 0);
            const DocumentBytes::Shared other = DocumentBytes::appending(document.get(), *c.below);
            const std::int64_t both = std::min(other->count(), appended->count());
            for (const std::int64_t length : {std::int64_t{0}, loaded->count() / 4096 * 4096, loaded->count(),
                                              loaded->count() + 1, both}) {
                EXPECT_EQ(
                    appended->startsLike(*other, length),
                    std::memcmp(appended->pointer(), other->pointer(), static_cast<size_t>(length)) == 0)
                    << length;
            }
        } else {
            EXPECT_GE(snapshotBytesMapped(), oracle->count());
        }
    }
}

TEST_F(DocumentBytesWriting, FailureAfterCreationLeavesNoFile) {
    std::lock_guard lock(PdfiumRuntime::lock());
    // A document handle of 0 makes PDFium refuse to save.
    try {
        DocumentBytes::writing(pdfium::FPDF_DOCUMENT{});
        ADD_FAILURE() << "saving no document should fail";
    } catch (const EngineFailure& failure) {
        EXPECT_EQ(failure, EngineFailure(FailureCode::exportFailed, "PDFium could not write the file."));
    }
    EXPECT_FALSE(snapshotFilesLeft());
}

TEST(PdfiumRuntimeUsers, CountsEngines) {
    EXPECT_EQ(PdfiumRuntime::users(), 0);
    PdfiumRuntime::addUser();
    PdfiumRuntime::addUser();
    EXPECT_EQ(PdfiumRuntime::users(), 2);
    PdfiumRuntime::removeUser();
    PdfiumRuntime::removeUser();
    EXPECT_EQ(PdfiumRuntime::users(), 0);
    PdfiumRuntime::removeUser();  // never below zero
    EXPECT_EQ(PdfiumRuntime::users(), 0);
}

}  // namespace
}  // namespace kivo
