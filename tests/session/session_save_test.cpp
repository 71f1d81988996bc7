#include "session_test.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace kivo::testing {
namespace {

namespace fs = std::filesystem;

using SessionSave = SessionTest;

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
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
    const auto census = SessionProbe::census(*reopened);
    ASSERT_EQ(census.items.size(), 1u);
    EXPECT_EQ(census.items[0].contents, "saved note");

    // Overwriting works and leaves nothing else either.
    session->atomicWrite(out);
    EXPECT_EQ(namesIn(out.parent_path()), std::vector<std::string>{"out.pdf"});
    EXPECT_EQ(openFile(out)->pages().size(), 2u);
}

// Another user who may write the folder races the save through the name of its temporary file:
// a link planted there before the file is made (the save would write the link's target), or
// swapped in after it is closed (the save's change of mode would land on the target). Neither may
// reach a file of the user's elsewhere.
TEST_F(SessionSave, ARaceInASharedFolderCannotReachAnotherFile) {
    const auto session = open(makePdf());
    const fs::path shared = dir_.path() / "shared";
    fs::create_directory(shared);
    const fs::path out = shared / "out.pdf";
    writeFile(out, "old");
    fs::permissions(out, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
    const fs::path victim = dir_.path() / "private";
    writeFile(victim, "secret");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    const fs::path predictable = shared / ".out.pdf.kivo-tmp";

    std::atomic<bool> stop{false};
    std::thread intruder([&] {
        for (int n = 0; !stop; ++n) {
            ::symlink(victim.c_str(), predictable.c_str());
            const fs::path spare = shared / ("spare-" + std::to_string(n % 4));
            ::unlink(spare.c_str());
            ::symlink(victim.c_str(), spare.c_str());
            ::rename(spare.c_str(), predictable.c_str());
        }
    });
    for (int i = 0; i < 100; ++i) {
        try {
            session->atomicWrite(out);
        } catch (const std::exception&) {
            // A save the intruder spoiled may fail; it must not do harm elsewhere.
        }
    }
    stop = true;
    intruder.join();
    EXPECT_EQ(readFile(victim), "secret");
    EXPECT_EQ(fs::status(victim).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::is_symlink(out));
    EXPECT_EQ(readFile(out).rfind("%PDF", 0), 0u);
}

// Saving over a file of someone else that this user may write must not leave a file of this user
// as open as the other user had made theirs.
TEST_F(SessionSave, OverwritingAnotherUsersFileKeepsItOwnerOnly) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a file of another user";
    const auto session = open(makePdf());
    fs::permissions(dir_.path(), fs::perms::others_exec, fs::perm_options::add);
    const fs::path shared = dir_.path() / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all);
    const fs::path theirs = shared / "theirs.pdf";
    writeFile(theirs, "old");
    fs::permissions(theirs, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);

    const uid_t nobody = 65534;
    const pid_t child = ::fork();
    if (child == 0) {
        ::umask(022);
        if (::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0) ::_exit(2);
        try {
            session->atomicWrite(theirs);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat written {};
    ASSERT_EQ(::stat(theirs.c_str(), &written), 0);
    EXPECT_EQ(written.st_uid, nobody);
    EXPECT_EQ(written.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(theirs).rfind("%PDF", 0), 0u);
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
    // The destination is a folder, or PDFium cannot write: the folder stays, no new file is left.
    fs::create_directory(dir_.path() / "folder.pdf");
    EXPECT_THROW(session->atomicWrite(dir_.path() / "folder.pdf"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(dir_.path() / "folder.pdf"));
    EXPECT_THROW(session->atomicWrite(dir_.path() / std::string(300, 'x')), fs::filesystem_error);
    EXPECT_EQ(namesIn(dir_.path()), (std::vector<std::string>{"doc.pdf", "folder.pdf", "plain"}));

    session->teardownDocument();
    EXPECT_EQ(failureOf([&] { SessionProbe::save(*session, dir_.path() / "closed.pdf"); }),
              EngineFailure(FailureCode::internal, "Document is closed."));
    EXPECT_EQ(failureOf([&] { session->detachedCopy(); }),
              EngineFailure(FailureCode::internal, "Document is closed."));
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
    EXPECT_TRUE(SessionProbe::history(*copy).undoStack().empty());
    EXPECT_EQ(SessionProbe::history(*copy).generation(), 0);
    EXPECT_TRUE(copy->isSaved());
    EXPECT_EQ(SessionProbe::census(*copy).items.size(), 1u);

    // Changing the copy leaves the session alone.
    copy->addNote(copy->pages()[1].id, PDFRect{10, 10, 30, 30}, "only in the copy");
    EXPECT_EQ(SessionProbe::census(*copy).items.size(), 2u);
    EXPECT_EQ(SessionProbe::census(*session).items.size(), 1u);
}

}  // namespace
}  // namespace kivo::testing
