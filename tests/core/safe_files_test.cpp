#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "core/safe_files.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;

// Another user who opens the new file while it is being written keeps reading it afterwards, so
// it must never be more open than the file it replaces, whatever the umask lets through.
TEST(SafeFiles, TheNewFileIsNeverMoreOpenThanTheOneItReplaces) {
    const testing::TempDir dir;
    const fs::path destination = dir.path() / "private.pdf";
    testing::writeFile(destination, "old");
    fs::permissions(destination, fs::perms::owner_read | fs::perms::owner_write);
    const mode_t umask = ::umask(022);
    mode_t whileWriting = 0;
    SafeFiles::replaceFile(destination, [&](int fd) {
        struct stat status {};
        if (::fstat(fd, &status) == 0) whileWriting = status.st_mode & 0777;
    });
    ::umask(umask);
    EXPECT_EQ(whileWriting, 0600u);
    EXPECT_EQ(fs::status(destination).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace kivo

namespace kivo {
namespace {

// A ".." is taken back along the folders the walk came through, not to the kernel's parent of
// where it stands: a folder moved while it is walked must not lead the walk, and the path it
// judged, apart. The judge moves the folder the moment the walk enters it.
TEST(SafeFilesReach, ADotDotAfterAFolderMovesGoesBackTheWayItCame) {
    testing::TempDir dir;
    const fs::path top = dir.path() / "top";
    fs::create_directories(top / "a" / "b" / "c");
    testing::writeFile(top / "a" / "name.txt", "judged");
    testing::writeFile(dir.path() / "name.txt", "elsewhere");
    bool moved = false;
    int entered = 0;
    std::vector<fs::path> judged;
    const SafeFiles::FolderJudge judge = [&](const fs::path& folder, bool) {
        judged.push_back(folder);
        // The walk to the name's folder comes last; the one before only looks for links.
        if (folder == top / "a" / "b" / "c" && ++entered == 2) {
            fs::rename(top / "a" / "b" / "c", top / "c");
            moved = true;
        }
    };
    const SafeFiles::Reached reached =
        SafeFiles::reach(top / "a" / "b" / "c" / ".." / ".." / "name.txt", false, false, judge);
    ASSERT_TRUE(moved);
    EXPECT_EQ(reached.realFolder, top / "a");
    EXPECT_EQ(judged.back(), top / "a");
    const SafeFiles::ReadableFile file = SafeFiles::openReached(reached);
    ASSERT_TRUE(file.fd);
    char text[16] = {};
    ASSERT_GT(::read(file.fd.get(), text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "judged");
}

}  // namespace
}  // namespace kivo
