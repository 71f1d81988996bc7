#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "core/ipc_paths.hpp"
#include "engine/recovery_store.hpp"
#include "core/engine_failure.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;

// Points the support folder at a fresh temporary folder for one test.
class RecoveryStoreTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv(IPCPaths::supportDirectoryVariable, dir.path().c_str(), 1); }
    void TearDown() override { ::unsetenv(IPCPaths::supportDirectoryVariable); }

    static std::span<const std::uint8_t> bytes(const std::string& text) {
        return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    }

    static RecoveryMeta meta(const std::string& id, std::int64_t revision = 2) {
        return RecoveryMeta{id, "/tmp/a.pdf", "abc", revision, 3, "", true};
    }

    testing::TempDir dir;
};

TEST_F(RecoveryStoreTest, WriteLoadAndDiscard) {
    const std::string id = "0A1B2C3D-0000-4000-8000-00000000ABCD";
    RecoveryStore::writeCheckpoint(bytes("%PDF-1.4 body"), meta(id));

    struct stat root {};
    ASSERT_EQ(::stat(IPCPaths::recoveryDirectory().c_str(), &root), 0);
    EXPECT_EQ(root.st_mode & 0777, 0700u);

    const auto checkpoint = RecoveryStore::load(id);
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(checkpoint.bytes->pointer()), checkpoint.bytes->count()),
        "%PDF-1.4 body");
    EXPECT_EQ(checkpoint.meta.recoveryId, id);
    EXPECT_EQ(checkpoint.meta.sourceFingerprint, "abc");
    EXPECT_EQ(checkpoint.meta.revision, 2);
    EXPECT_EQ(checkpoint.meta.updatedAt.size(), 20u);
    EXPECT_EQ(checkpoint.meta.updatedAt.back(), 'Z');

    // No temporary files are left beside the two real ones.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(RecoveryStore::folder(id))) ++files;
    EXPECT_EQ(files, 2u);

    RecoveryStore::discard(id);
    EXPECT_FALSE(fs::exists(RecoveryStore::folder(id)));
    EXPECT_NO_THROW(RecoveryStore::discard(id));  // already gone
    try {
        RecoveryStore::load(id);
        FAIL() << "loaded a discarded checkpoint";
    } catch (const EngineFailure& failure) {
        EXPECT_EQ(failure, EngineFailure(FailureCode::notFound, "No recovery checkpoint matches that id."));
    }
}

TEST_F(RecoveryStoreTest, RefusesIdsThatAreNotSessionIds) {
    const std::string badIds[] = {"",     "ab/cd",       "..", "ab.cd", "ab cd", std::string(65, 'a'),
                                  "abcg", "\xEF\xBC\x87" /* fullwidth apostrophe */};
    for (const std::string& id : badIds) {
        try {
            RecoveryStore::folder(id);
            ADD_FAILURE() << "accepted '" << id << "'";
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure,
                      EngineFailure(FailureCode::invalidArgument, "A recoveryId is the id of a session."))
                << id;
        }
        EXPECT_THROW(RecoveryStore::discard(id), EngineFailure) << id;
    }
    EXPECT_FALSE(fs::exists(IPCPaths::recoveryDirectory()));
    EXPECT_NO_THROW(RecoveryStore::folder(std::string(64, 'F')));
    EXPECT_NO_THROW(RecoveryStore::folder("\xEF\xBC\x91\xEF\xBD\x86-0"));  // fullwidth "1", "f"
}

TEST_F(RecoveryStoreTest, ListsNewestFirstAndSkipsUnreadableEntries) {
    EXPECT_TRUE(RecoveryStore::list().empty());  // no recovery root at all

    RecoveryStore::prepare();
    const fs::path root = IPCPaths::recoveryDirectory();
    const auto put = [&](const std::string& folder, const std::string& json) {
        fs::create_directories(root / folder);
        testing::writeFile(root / folder / "meta.json", json);
    };
    const auto metaJSON = [](const std::string& id, const std::string& at) {
        RecoveryMeta m{id, std::nullopt, std::nullopt, 4, 1, at, false};
        return RecoveryStore::encodeMeta(m);
    };
    put("AAAA", metaJSON("AAAA", "2026-01-01T10:00:00Z"));
    put("BBBB", metaJSON("BBBB", "2026-03-01T10:00:00Z"));
    put("CCCC", metaJSON("CCCC", "2026-02-01T10:00:00Z"));
    put("DDDD", "not json");
    put("EEEE", R"({"recoveryId":"EEEE","revision":1,"updatedAt":"2026-04-01T00:00:00Z","dirty":true})");
    put("FFFF", R"({"recoveryId":"FFFF","revision":1.5,"pageCount":1,"updatedAt":"x","dirty":true})");
    fs::create_directories(root / "empty-folder");
    testing::writeFile(root / "stray-file", "x");

    const auto infos = RecoveryStore::list();
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(infos[0].recoveryId, "BBBB");
    EXPECT_EQ(infos[1].recoveryId, "CCCC");
    EXPECT_EQ(infos[2].recoveryId, "AAAA");
    EXPECT_EQ(infos[0].revision, 4);
    EXPECT_FALSE(infos[0].sourcePath.has_value());
    EXPECT_TRUE(fs::exists(root / "DDDD"));  // unreadable entries stay on disk
}

// Bytes written ahead of their description are never what a restore reads until the description
// names them, are named without being written twice only for those very bytes, and never stand for
// other bytes of the same length; a checkpoint so written stays the same file, changed in place.
TEST_F(RecoveryStoreTest, BytesWrittenAheadCountOnlyOnceNamed) {
    const std::string id = "0A1B2C3D-0000-4000-8000-00000000AEAD";
    const auto state = [&](const std::string& text) { return DocumentBytes::copied(text); };
    const auto read = [&] {
        const DocumentBytes::Shared& got = RecoveryStore::load(id).bytes;
        return std::string(reinterpret_cast<const char*>(got->pointer()), got->count());
    };
    const auto file = [&] {
        struct stat status {};
        EXPECT_EQ(::stat((RecoveryStore::folder(id) / "checkpoint.pdf").c_str(), &status), 0);
        return status.st_ino;
    };
    const std::string body = "%PDF-1.4 " + std::string(200, 'b');
    const DocumentBytes::Shared first = state(body);
    RecoveryStore::write({first, meta(id, 1)});
    const auto inode = file();

    const DocumentBytes::Shared second = state(body + " one edit");
    RecoveryStore::writeAhead(id, second);
    EXPECT_EQ(read(), body) << "named before its description";
    RecoveryStore::write({second, meta(id, 2)});
    EXPECT_EQ(read(), body + " one edit");
    EXPECT_EQ(file(), inode) << "not changed in place";

    // Written ahead, then left for other bytes of the same length, as when the edit's bytes fail to open.
    RecoveryStore::writeAhead(id, state(body + " one edit and two"));
    const DocumentBytes::Shared other = state(body + " one edit and 2!!");
    RecoveryStore::write({other, meta(id, 3)});
    EXPECT_EQ(read(), body + " one edit and 2!!");

    // Written ahead for a change that is then rolled back: the state before is written again (whole, as
    // the file now holds more than it names), and the next change goes on in place.
    const DocumentBytes::Shared again = state(body + " one edit and 2!! then 3");
    RecoveryStore::writeAhead(id, again);
    RecoveryStore::write({other, meta(id, 4)});
    EXPECT_EQ(read(), body + " one edit and 2!!");
    const auto rewritten = file();
    RecoveryStore::writeAhead(id, again);
    RecoveryStore::write({again, meta(id, 5)});
    EXPECT_EQ(read(), body + " one edit and 2!! then 3");
    EXPECT_EQ(file(), rewritten) << "not changed in place";
}

TEST_F(RecoveryStoreTest, MetaRoundTripsAndIgnoresUnknownKeys) {
    const RecoveryMeta original{"ABC", "/a b/ü.pdf", "f00", 7, 12, "2026-12-08T20:15:00Z", true};
    const std::string json = RecoveryStore::encodeMeta(original);
    EXPECT_EQ(json.find('\n'), std::string::npos);
    EXPECT_EQ(RecoveryStore::decodeMeta(json), original);

    const RecoveryMeta decoded = RecoveryStore::decodeMeta(
        R"({"recoveryId":"A","revision":1,"pageCount":2,"updatedAt":"t","dirty":false,"extra":[1]})");
    EXPECT_EQ(decoded.pageCount, 2);
    EXPECT_FALSE(decoded.sourcePath.has_value());

    EXPECT_EQ(
        RecoveryStore::timestamp(std::chrono::system_clock::time_point(std::chrono::seconds(86400 + 61))),
        "1970-01-02T00:01:01Z");
}

}  // namespace
}  // namespace kivo
