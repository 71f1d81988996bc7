#include "mcp/rendered_page.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "core/ipc_paths.hpp"
#include "mcp_test_support.hpp"

namespace kivo {
namespace {

using mcptest::ScopedEnv;
using mcptest::TempDir;
using mcptest::writeFile;
namespace fs = std::filesystem;

TEST(Base64, KnownVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00", 3), "//4A"},
    };
    for (const auto& [plain, encoded] : cases) EXPECT_EQ(base64Encode(plain), encoded) << encoded;
    std::string bytes(3 * 1024 * 1024 + 5, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    const auto long64 = base64Encode(bytes);
    EXPECT_EQ(long64.size(), (bytes.size() + 2) / 3 * 4);
    EXPECT_EQ(long64.find('\n'), std::string::npos);
    EXPECT_EQ(long64.substr(long64.size() - 4), base64Encode(bytes.substr(bytes.size() - 2)));
}

const std::string png("\x89PNG\r\n\x1a\nPNGDATA", 15);

// The render folder as the worker makes it: this user's, owner-only.
fs::path makeRenderFolder(const fs::path& support) {
    const fs::path folder = testing::renderFolderIn(support);
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    return folder;
}

TEST(RenderedPage, FolderIsTheOneTheWorkerUses) {
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    ScopedEnv tmp("TMPDIR", "/var/tmp/x");
    EXPECT_EQ(RenderedPage::folder(), IPCPaths::renderDirectory());
}

// Only a regular PNG file directly inside the render folder is ever read.
TEST(RenderedPage, OnlySafePathsAreRead) {
    TempDir temp;
    ScopedEnv support("KIVO_PDF_SUPPORT_DIR", temp.path().string());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const fs::path folder = makeRenderFolder(temp.path());
    fs::create_directories(folder / "sub");
    const fs::path outside = temp.path() / "secret.png";
    writeFile(outside, png);
    writeFile(folder / "page.png", png);
    writeFile(folder / "page.txt", png);
    writeFile(folder / "plain.png", "not an image");
    writeFile(folder / "sub" / "nested.png", png);
    writeFile(folder / "page.PNG", png);
    fs::create_symlink(outside, folder / "escape.png");
    fs::create_symlink("/etc/passwd", folder / "passwd.png");
    fs::create_symlink(folder / "page.png", folder / "alias.png");
    fs::create_directory(folder / "dir.png");
    ASSERT_EQ(::mkfifo((folder / "pipe.png").c_str(), 0600), 0);

    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {(folder / "page.png").string(), png},
        {(folder / "sub" / ".." / "page.png").string(), png},
        {(folder / "alias.png").string(), std::nullopt},  // no link at all, even one that stays inside
        {(folder / "plain.png").string(), std::nullopt},  // no PNG signature
        {outside.string(), std::nullopt},
        {"/etc/passwd", std::nullopt},
        {(folder / "escape.png").string(), std::nullopt},
        {(folder / "passwd.png").string(), std::nullopt},
        {(folder / "page.txt").string(), std::nullopt},
        {(folder / "page.PNG").string(), std::nullopt},
        {(folder / "sub" / "nested.png").string(), std::nullopt},
        {(folder / "missing.png").string(), std::nullopt},
        {(folder / "dir.png").string(), std::nullopt},
        {(folder / "pipe.png").string(), std::nullopt},
        {folder.string(), std::nullopt},
        {"kivo-pdf-render/page.png", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(RenderedPage::read(path), expected) << path;
}

TEST(RenderedPage, ASupportFolderReachedThroughALinkStillCounts) {
    TempDir temp;
    const fs::path folder = makeRenderFolder(temp.path() / "real");
    fs::create_directory_symlink(temp.path() / "real", temp.path() / "link");
    writeFile(folder / "p.png", png);
    ScopedEnv support("KIVO_PDF_SUPPORT_DIR", (temp.path() / "link").string());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(RenderedPage::read((testing::renderFolderIn(temp.path() / "link") / "p.png").string()), png);
    EXPECT_EQ(RenderedPage::read((folder / "p.png").string()), png);
}

// A worker taken over could swap its render folder for a link to a folder of the user's that the
// worker itself may not read, and have the connector attach what lies there.
TEST(RenderedPage, ARenderFolderThatIsNotPrivateOrIsALinkReadsNothing) {
    TempDir temp;
    ScopedEnv support("KIVO_PDF_SUPPORT_DIR", temp.path().string());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const fs::path folder = testing::renderFolderIn(temp.path());
    const fs::path thumbnails = temp.path() / "thumbnails";
    fs::create_directory(thumbnails);
    fs::permissions(thumbnails, fs::perms::owner_all, fs::perm_options::replace);
    writeFile(thumbnails / "p.png", png);

    struct Case {
        const char* name;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"a link to another private folder", [&] { fs::create_directory_symlink(thumbnails, folder); }},
        {"group readable",
         [&] {
             makeRenderFolder(temp.path());
             fs::permissions(folder, fs::perms::group_read | fs::perms::group_exec, fs::perm_options::add);
             writeFile(folder / "p.png", png);
         }},
        {"open to others",
         [&] {
             makeRenderFolder(temp.path());
             fs::permissions(folder, fs::perms::others_exec, fs::perm_options::add);
             writeFile(folder / "p.png", png);
         }},
    };
    for (const Case& c : cases) {
        if (fs::is_symlink(folder)) fs::remove(folder);
        fs::remove_all(folder);
        c.prepare();
        EXPECT_EQ(RenderedPage::read((folder / "p.png").string()), std::nullopt) << c.name;
    }
}

TEST(RenderedPage, FolderOfAnotherUserIsNotTrusted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs to hand the folder to another user";
    TempDir temp;
    ScopedEnv support("KIVO_PDF_SUPPORT_DIR", temp.path().string());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    const fs::path folder = makeRenderFolder(temp.path());
    writeFile(folder / "p.png", png);
    ASSERT_EQ(RenderedPage::read((folder / "p.png").string()), png);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(RenderedPage::read((folder / "p.png").string()), std::nullopt);
}

TEST(RenderedPage, MissingFolderReadsNothing) {
    TempDir temp;
    ScopedEnv support("KIVO_PDF_SUPPORT_DIR", temp.path().string());
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    writeFile(temp.path() / "p.png", png);
    EXPECT_EQ(RenderedPage::read((temp.path() / "p.png").string()), std::nullopt);
}

}  // namespace
}  // namespace kivo
