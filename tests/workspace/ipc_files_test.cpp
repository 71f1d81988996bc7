// The files the editor shares with its worker and with a second editor: the token file and the editor lock.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "workspace/ipc_files.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

TEST(IPCFiles, TheTokenFileIsOwnerOnlyFromTheStartAndNeverFollowsALink) {
    testing::ShortTempDir dir;
    const auto victim = dir.path() / "victim";
    std::ofstream(victim) << "keep";
    const auto token = dir.path() / "token";
    std::filesystem::create_symlink(victim, token);
    const mode_t old = ::umask(0);
    IPCFiles::writeTokenFile(token, "abc");
    ::umask(old);

    struct stat info {};
    ASSERT_EQ(::lstat(token.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::string text;
    std::getline(std::ifstream(token), text);
    EXPECT_EQ(text, "abc");
    std::getline(std::ifstream(victim), text);
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2)
        << "no temporary file left";
}

TEST(IPCFiles, OneEditorLockAtATime) {
    testing::ShortTempDir dir;
    const auto path = dir.path() / "editor.lock";
    std::optional<EditorLock> first = EditorLock::acquire(path);
    EXPECT_TRUE(first->held());
    EXPECT_FALSE(EditorLock::acquire(path).held());
    first.reset();
    EXPECT_TRUE(EditorLock::acquire(path).held());
}

}  // namespace
}  // namespace kivo
