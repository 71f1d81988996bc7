#include "session_test.hpp"

#include <sys/stat.h>

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

using SessionSave = SessionTest;

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(SessionSave, AtomicWriteLeavesOnlyTheDestination) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    session->addNote(session->pages()[1].id, PDFRect{10, 10, 30, 30}, "saved note");

    // A folder that does not exist yet is made.
    const fs::path out = dir_.path() / "new" / "deeper" / "out.pdf";
    session->atomicWrite(out);
    EXPECT_EQ(namesIn(out.parent_path()), std::vector<std::string>{"out.pdf"});

    const auto reopened = openFile(out);
    EXPECT_EQ(reopened->pages().size(), 2u);
    const auto census = reopened->documentCensus();
    ASSERT_EQ(census.items.size(), 1u);
    EXPECT_EQ(census.items[0].contents, "saved note");

    // A stale sibling from an earlier failed attempt is replaced, and overwriting works.
    writeFile(out.parent_path() / ".out.pdf.kivo-tmp", "half a file");
    session->atomicWrite(out);
    EXPECT_EQ(namesIn(out.parent_path()), std::vector<std::string>{"out.pdf"});
    EXPECT_EQ(openFile(out)->pages().size(), 2u);
}

TEST_F(SessionSave, OverwritingKeepsPermissionsAndLinks) {
    const auto session = open(makePdf());
    const fs::path existing = dir_.path() / "existing.pdf";
    writeFile(existing, "old contents");
    fs::permissions(existing, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    session->atomicWrite(existing);
    EXPECT_EQ(fs::status(existing).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(readFile(existing).rfind("%PDF", 0), 0u);

    // Saving through a link writes the file it points to and keeps the link.
    const fs::path target = dir_.path() / "target.pdf";
    const fs::path link = dir_.path() / "link.pdf";
    writeFile(target, "old");
    fs::create_symlink(target, link);
    session->atomicWrite(link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target).rfind("%PDF", 0), 0u);
    EXPECT_FALSE(fs::exists(dir_.path() / ".link.pdf.kivo-tmp"));
    EXPECT_FALSE(fs::exists(dir_.path() / ".target.pdf.kivo-tmp"));
}

TEST_F(SessionSave, Failures) {
    const auto session = open(makePdf());
    writeFile(dir_.path() / "plain", "x");
    // The parent cannot be made: the file system's error, and nothing else written.
    EXPECT_THROW(session->atomicWrite(dir_.path() / "plain" / "out.pdf"), fs::filesystem_error);
    // The destination is a folder: the rename fails, the folder stays, no sibling is left.
    fs::create_directory(dir_.path() / "folder.pdf");
    EXPECT_THROW(session->atomicWrite(dir_.path() / "folder.pdf"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(dir_.path() / "folder.pdf"));
    EXPECT_FALSE(fs::exists(dir_.path() / ".folder.pdf.kivo-tmp"));

    session->teardownDocument();
    EXPECT_EQ(failureOf([&] { session->save(dir_.path() / "closed.pdf"); }),
              EngineFailure("internal", "Document is closed."));
    EXPECT_EQ(failureOf([&] { session->detachedCopy(); }), EngineFailure("internal", "Document is closed."));
}

TEST_F(SessionSave, DetachedCopyIsIndependent) {
    const auto session = open(makePdf({{612, 792}, {300, 400}}));
    session->checkpoint();
    session->addNote(session->pages()[0].id, PDFRect{10, 10, 30, 30}, "before the copy");
    session->refreshBacking();
    session->commitCheckpoint();

    const auto copy = session->detachedCopy();
    EXPECT_NE(copy->id(), session->id());
    EXPECT_EQ(copy->pages(), session->pages());
    EXPECT_FALSE(copy->sourcePath().has_value());
    EXPECT_TRUE(copy->undoStack().empty());
    EXPECT_EQ(copy->generation(), 0);
    EXPECT_TRUE(copy->isSaved());
    EXPECT_EQ(copy->documentCensus().items.size(), 1u);

    // Changing the copy leaves the session alone.
    copy->addNote(copy->pages()[1].id, PDFRect{10, 10, 30, 30}, "only in the copy");
    EXPECT_EQ(copy->documentCensus().items.size(), 2u);
    EXPECT_EQ(session->documentCensus().items.size(), 1u);
}

}  // namespace
}  // namespace kivo::testing
