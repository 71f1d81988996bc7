// The render files: their keys, the private folder they go to, and which files are decoded at all.

#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QLocale>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <locale>

#include "fifo_release.hpp"
#include "workspace/page_renders.hpp"
#include "workspace_fixture.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;

bool isPrivateFolder(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 077) == 0;
}

struct CommaDecimals : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

TEST(PageRendersTest, KeysAreTheShortestRoundTripNumberInEveryLocale) {
    const std::locale before = std::locale::global(std::locale(std::locale::classic(), new CommaDecimals));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(PageRenders::pageKey("p1", 1.2 * 2), "p1@2.4");
    EXPECT_EQ(PageRenders::pageKey("p1", 2), "p1@2.0");
    EXPECT_EQ(PageRenders::tileKey("p1", 0.1 + 0.2, 2, 0), "p1@0.30000000000000004#2,0");
    std::locale::global(before);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

TEST(PageRendersTest, RendersGoOnlyIntoAPrivateFolderOfThisUser) {
    const std::string name = "kivo-pdf-ui-" + std::to_string(::geteuid());
    const struct {
        const char* what;
        std::function<void(const fs::path&)> prepare;
        bool used;
    } cases[] = {
        {"missing, so made", [](const fs::path&) {}, true},
        {"private already",
         [](const fs::path& path) {
             fs::create_directory(path);
             fs::permissions(path, fs::perms::owner_all);
         },
         true},
        {"open to the group",
         [](const fs::path& path) {
             fs::create_directory(path);
             fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
         },
         false},
        {"a link to a private folder",
         [](const fs::path& path) {
             fs::create_directory(path.string() + "-target");
             fs::permissions(path.string() + "-target", fs::perms::owner_all);
             fs::create_directory_symlink(path.string() + "-target", path);
         },
         false},
        {"a file", [](const fs::path& path) { std::ofstream(path) << "planted"; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::ShortTempDir temporary;
        testing::ScopedEnv tmp("TMPDIR", temporary.path().string());
        const fs::path named = temporary.path() / name;
        c.prepare(named);
        const auto folder = PageRenders::folder();
        ASSERT_TRUE(folder);
        EXPECT_EQ(*folder == named, c.used) << folder->string();
        EXPECT_TRUE(isPrivateFolder(*folder)) << folder->string();
        const fs::path path = PageRenders::renderPath();
        EXPECT_EQ(path.parent_path(), *folder);
        EXPECT_EQ(path.filename().string().size(), 36u + 4u);
        EXPECT_EQ(path.extension(), ".png");
    }
}

TEST(PageRendersTest, OnlyAPlainPngFileIsDecoded) {
    const auto encoded = [](const char* format) {
        QImage image(4, 2, QImage::Format_RGB32);
        image.fill(Qt::red);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format);
        return bytes.toStdString();
    };
    const auto write = [](const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    };
    const std::string png = encoded("PNG");
    const struct {
        const char* what;
        std::function<void(const fs::path&)> place;
        bool loads;
    } cases[] = {
        {"a PNG file", [&](const fs::path& path) { write(path, png); }, true},
        {"a FIFO", [](const fs::path& path) { ::mkfifo(path.c_str(), 0600); }, false},
        {"a link to a PNG file",
         [&](const fs::path& path) {
             write(path.string() + ".target", png);
             fs::create_symlink(path.string() + ".target", path);
         },
         false},
        {"an SVG",
         [&](const fs::path& path) {
             write(
                 path,
                 R"(<svg xmlns="http://www.w3.org/2000/svg" width="4" height="2"><rect width="4" height="2"/></svg>)");
         },
         false},
        {"a JPEG", [&](const fs::path& path) { write(path, encoded("JPEG")); }, false},
        {"a PNG cut short", [&](const fs::path& path) { write(path, png.substr(0, 20)); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::ShortTempDir folder;
        const fs::path path = folder.path() / "render.png";
        c.place(path);
        const testing::FifoRelease release(path.string(), 2);
        const auto image = PageRenders::loadPreview(path.string(), 4, 2, 1);
        // Refusing takes microseconds; waiting on the FIFO would last until the release.
        EXPECT_FALSE(release.released()) << "the read waited for the FIFO";
        EXPECT_EQ(image.has_value(), c.loads);
        if (image) {
            EXPECT_EQ(image->pixel(0, 0), QColor(Qt::red).rgb());
        }
        std::error_code ignored;
        EXPECT_FALSE(fs::exists(fs::symlink_status(path, ignored)))
            << "the render path is deleted either way";
    }

    // The tiles of one reply, decoded side by side, each into its own place and each file deleted.
    testing::ShortTempDir folder;
    std::vector<RenderTile> tiles;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const fs::path path = folder.path() / (std::to_string(i) + ".png");
        cases[i].place(path);
        tiles.push_back(RenderTile{0, 0, 4, 2, path.string()});
    }
    const testing::FifoRelease release(tiles[1].pngPath->c_str(), 2);
    const auto images = PageRenders::loadTiles(tiles, 1);
    EXPECT_FALSE(release.released()) << "the read waited for the FIFO";
    ASSERT_EQ(images.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(images[i].has_value(), cases[i].loads) << cases[i].what;
        std::error_code ignored;
        EXPECT_FALSE(fs::exists(fs::symlink_status(*tiles[i].pngPath, ignored))) << cases[i].what;
    }
}

}  // namespace
}  // namespace kivo
