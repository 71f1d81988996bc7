#include "core/ipc_paths.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "scoped_env.hpp"

namespace kivo {
namespace {

using testing::ScopedEnv;
using TempDir = testing::ShortTempDir;

// One rule for the worker, which renders there, and the connector, which reads there. Without a
// runtime folder the renders stay in the support folder: a name in a shared /tmp could be taken
// first by another user, for good.
TEST(IPCPaths, RenderDirectoryIsTheUsersOwn) {
    struct Case {
        std::optional<std::string> runtime, temporary;
        std::string expected;
    };
    const Case cases[] = {
        {"/run/user/7", "/var/tmp/x", "/run/user/7/kivo-pdf-render"},
        {"relative/run", "/var/tmp/x", "/srv/support/renders"},
        {"", std::nullopt, "/srv/support/renders"},
        {std::nullopt, "", "/srv/support/renders"},
        {std::nullopt, "/tmp", "/srv/support/renders"},
    };
    ScopedEnv support("KIVO_PDF_SUPPORT_DIR", "/srv/support");
    for (const auto& c : cases) {
        ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
        ScopedEnv temporary("TMPDIR", c.temporary);
        EXPECT_EQ(IPCPaths::renderDirectory(), c.expected);
    }
}

TEST(IPCPaths, SupportDirectoryFromEnvironment) {
    TempDir dir;
    {
        ScopedEnv support("KIVO_PDF_SUPPORT_DIR", "/srv/kivo data/");
        EXPECT_EQ(IPCPaths::socketURL(), "/srv/kivo data/ipc/commands.sock");
        EXPECT_EQ(IPCPaths::recoveryDirectory(), "/srv/kivo data/recovery");
        EXPECT_EQ(IPCPaths::tokenURL(), "/srv/kivo data/ipc/token");
    }
    struct Case {
        std::optional<std::string> support, xdg, home;
        const char* expected;
    };
    const Case cases[] = {
        {"", "/x/data", "/home/u", "/x/data/kivo-pdf"},
        {std::nullopt, std::nullopt, "/home/u", "/home/u/.local/share/kivo-pdf"},
        {std::nullopt, "relative/data", "/home/u", "/home/u/.local/share/kivo-pdf"},
    };
    for (const auto& c : cases) {
        ScopedEnv support("KIVO_PDF_SUPPORT_DIR", c.support);
        ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(IPCPaths::supportDirectory(), c.expected);
        EXPECT_EQ(IPCPaths::ipcDirectory(), std::filesystem::path(c.expected) / "ipc");
    }
}

TEST(IPCPaths, PrepareIsRepeatableAndOwnerOnly) {
    TempDir dir;
    ScopedEnv support("KIVO_PDF_SUPPORT_DIR", (dir.path() / "a" / "b").string());
    for (int i = 0; i < 2; ++i) {
        IPCPaths::prepareIPCDirectory();
        struct stat info {};
        ASSERT_EQ(::stat(IPCPaths::ipcDirectory().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u);
    }
}

TEST(LoadIPCToken, TrimsAndRefusesEmptyTokens) {
    TempDir dir;
    ScopedEnv support("KIVO_PDF_SUPPORT_DIR", dir.path().string());
    const auto write = [&](const std::string& text) {
        std::ofstream(dir.path() / "ipc" / "token", std::ios::binary) << text;
        std::filesystem::permissions(dir.path() / "ipc" / "token",
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::replace);
    };
    const auto errorOf = [] {
        try {
            (void)loadIPCToken();
        } catch (const std::filesystem::filesystem_error& e) {
            return e.code();
        }
        return std::error_code();
    };

    EXPECT_EQ(errorOf(), std::errc::no_such_file_or_directory);  // no folder at all
    IPCPaths::prepareIPCDirectory();
    write("\n");
    EXPECT_EQ(errorOf(), std::errc::no_such_file_or_directory);
    write("\xC3\x28");
    EXPECT_EQ(errorOf(), std::errc::illegal_byte_sequence);
    write(" \t3F2504E0-4F89-41D3-9A0C-0305E82C3301\r\n\xE2\x80\xA8");
    const auto loaded = loadIPCToken();
    EXPECT_EQ(loaded.token, "3F2504E0-4F89-41D3-9A0C-0305E82C3301");
    EXPECT_EQ(loaded.socket, (dir.path() / "ipc" / "commands.sock").string());
}

}  // namespace
}  // namespace kivo
