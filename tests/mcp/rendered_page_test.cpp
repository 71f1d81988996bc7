#include "mcp/rendered_page.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

TEST(RenderedPage, FolderFollowsTMPDIR) {
    {
        ScopedEnv tmp("TMPDIR", "/var/tmp/x");
        EXPECT_EQ(RenderedPage::folder(), fs::path("/var/tmp/x/kivo-pdf-render"));
    }
    for (const auto& unset : {std::optional<std::string>(""), std::optional<std::string>()}) {
        ScopedEnv tmp("TMPDIR", unset);
        EXPECT_EQ(RenderedPage::folder(), fs::path("/tmp/kivo-pdf-render"));
    }
}

// Only a regular .png directly inside the render folder is ever read.
TEST(RenderedPage, OnlySafePathsAreRead) {
    TempDir temp;
    ScopedEnv tmp("TMPDIR", temp.path().string());
    const fs::path folder = temp.path() / "kivo-pdf-render";
    fs::create_directories(folder / "sub");
    const fs::path outside = temp.path() / "secret.png";
    writeFile(outside, "secret");
    writeFile(folder / "page.png", "PNGDATA");
    writeFile(folder / "page.txt", "text");
    writeFile(folder / "sub" / "nested.png", "nested");
    writeFile(folder / "page.PNG", "upper");
    fs::create_symlink(outside, folder / "escape.png");
    fs::create_symlink("/etc/passwd", folder / "passwd.png");
    fs::create_symlink(folder / "page.png", folder / "alias.png");
    fs::create_symlink(folder / "page.txt", folder / "disguised.png");
    fs::create_directory(folder / "dir.png");
    ASSERT_EQ(::mkfifo((folder / "pipe.png").c_str(), 0600), 0);

    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {(folder / "page.png").string(), "PNGDATA"},
        {(folder / "alias.png").string(), "PNGDATA"},  // a link that stays inside
        {(folder / "sub" / ".." / "page.png").string(), "PNGDATA"},
        {outside.string(), std::nullopt},
        {"/etc/passwd", std::nullopt},
        {(folder / "escape.png").string(), std::nullopt},
        {(folder / "passwd.png").string(), std::nullopt},
        {(folder / "disguised.png").string(), std::nullopt},
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

TEST(RenderedPage, FolderReachedThroughALinkStillCounts) {
    TempDir temp;
    fs::create_directories(temp.path() / "real" / "kivo-pdf-render");
    fs::create_directory_symlink(temp.path() / "real", temp.path() / "link");
    writeFile(temp.path() / "real" / "kivo-pdf-render" / "p.png", "bytes");
    ScopedEnv tmp("TMPDIR", (temp.path() / "link").string());
    EXPECT_EQ(RenderedPage::read((temp.path() / "link" / "kivo-pdf-render" / "p.png").string()), "bytes");
    EXPECT_EQ(RenderedPage::read((temp.path() / "real" / "kivo-pdf-render" / "p.png").string()), "bytes");
}

TEST(RenderedPage, FolderOfAnotherUserIsNotTrusted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs to hand the folder to another user";
    TempDir temp;
    ScopedEnv tmp("TMPDIR", temp.path().string());
    const fs::path folder = temp.path() / "kivo-pdf-render";
    fs::create_directory(folder);
    writeFile(folder / "p.png", "bytes");
    ASSERT_EQ(RenderedPage::read((folder / "p.png").string()), "bytes");
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(RenderedPage::read((folder / "p.png").string()), std::nullopt);
}

TEST(RenderedPage, MissingFolderReadsNothing) {
    TempDir temp;
    ScopedEnv tmp("TMPDIR", temp.path().string());
    writeFile(temp.path() / "p.png", "bytes");
    EXPECT_EQ(RenderedPage::read((temp.path() / "p.png").string()), std::nullopt);
}

}  // namespace
}  // namespace kivo
