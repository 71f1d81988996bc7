#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
