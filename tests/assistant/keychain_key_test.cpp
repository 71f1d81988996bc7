#include "assistant/keychain_key.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <libsecret/secret.h>

#include "assistant/key_file.hpp"
#include "scoped_env.hpp"

extern char** environ;

namespace kivo {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// The key store with no session bus to reach, so every key goes to the file in a scratch folder.
class KeyStoreWithoutBus : public ::testing::Test {
protected:
    testing::ShortTempDir home;
    testing::ScopedEnv bus{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivo-bus"};
    testing::ScopedEnv config{"XDG_CONFIG_HOME", (home.path() / "config").string()};
    fs::path file = home.path() / "config" / "kivo-pdf" / "provider-keys.json";
};

TEST_F(KeyStoreWithoutBus, FallsBackToAnOwnerOnlyFileAtOnce) {
    EXPECT_EQ(KeychainKey::fallbackFile(), file);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(KeychainKey::save("  sk-first \n", "anthropic"), KeychainKey::Place::file);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-first");
    EXPECT_EQ(KeychainKey::placeOf("anthropic"), KeychainKey::Place::file);
    EXPECT_EQ(KeychainKey::placeOf("other"), std::nullopt);
    EXPECT_TRUE(KeychainKey::has("anthropic"));
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);

    // Refused keys leave the stored one in place.
    for (const std::string& bad : {std::string(" \n\t "), std::string("")}) {
        try {
            KeychainKey::save(bad, "anthropic");
            FAIL() << "saved a blank key";
        } catch (const KeychainKey::Failure& failure) {
            EXPECT_EQ(failure, KeychainKey::Failure::empty());
            EXPECT_STREQ(failure.what(), "The key is empty.");
        }
    }
    for (const std::string& bad : {std::string("sk\r\nInjected: 1"), std::string("sk\0x", 4),
                                   std::string("sk\x7F"), std::string("sk\xFF")}) {
        EXPECT_THROW(KeychainKey::save(bad, "anthropic"), KeychainKey::Failure);
    }
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-first");

    // A second save replaces the one entry.
    KeychainKey::save("sk-second", "anthropic");
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-second");
    EXPECT_EQ(contents(file).find("sk-first"), std::string::npos);

    KeychainKey::remove("anthropic");
    EXPECT_EQ(KeychainKey::read("anthropic"), std::nullopt);
    EXPECT_FALSE(KeychainKey::has("anthropic"));
    EXPECT_NO_THROW(KeychainKey::remove("anthropic"));
}

TEST_F(KeyStoreWithoutBus, ReadsNothingFromAFileItCannotUse) {
    EXPECT_EQ(KeychainKey::read("anthropic"), std::nullopt);  // no folder yet
    fs::create_directories(file.parent_path());
    const std::string service = KeychainKey::service();
    for (const std::string& text :
         {"{\"" + service + "\":{\"anthropic\":\"sk-\xFF\"}}", "{\"" + service + "\":{\"anthropic\":\"\"}}",
          std::string("not json"), std::string(2 << 20, ' ')}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        EXPECT_EQ(KeychainKey::read("anthropic"), std::nullopt);
    }
    // The next save replaces what could not be read.
    KeychainKey::save("sk-new", "anthropic");
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-new");
}

TEST_F(KeyStoreWithoutBus, NeverFollowsALink) {
    fs::create_directories(file.parent_path());
    const fs::path elsewhere = home.path() / "elsewhere.json";
    std::ofstream(elsewhere) << "{}";
    fs::create_symlink(elsewhere, file);
    EXPECT_THROW(KeychainKey::save("sk", "anthropic"), KeychainKey::Failure);
    EXPECT_THROW(KeychainKey::read("anthropic"), KeychainKey::Failure);
    EXPECT_FALSE(KeychainKey::has("anthropic"));
    EXPECT_EQ(contents(elsewhere), "{}");
}

TEST_F(KeyStoreWithoutBus, ConcurrentSavesKeepEveryKey) {
    const KeyFile keys(file);
    const auto writer = [&](const std::string& account) {
        for (int i = 0; i < 50; ++i) keys.save("kivo-pdf", account, account + std::to_string(i));
    };
    std::thread first(writer, "one");
    std::thread second(writer, "two");
    first.join();
    second.join();
    EXPECT_EQ(keys.read("kivo-pdf", "one"), "one49");
    EXPECT_EQ(keys.read("kivo-pdf", "two"), "two49");
    // Services do not see each other's keys.
    EXPECT_EQ(keys.read("other-service", "one"), std::nullopt);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST(KeychainKeyService, NameFromTheEnvironment) {
    EXPECT_EQ(KeychainKey::serviceNamed(nullptr), "kivo-pdf");
    EXPECT_EQ(KeychainKey::serviceNamed(""), "kivo-pdf");
    EXPECT_EQ(KeychainKey::serviceNamed(" other "), " other ");
    EXPECT_EQ(KeychainKey::Failure::store(KeychainKey::Place::keyring, 2, "").description(),
              "The keyring could not store or read the key: error 2");
}

// ---- The libsecret backend, on a private session bus started for the test.

bool onPath(const char* program) {
    const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Whether the private bus or the keyring is missing here, said where it is.
bool keyringMissing() {
    if (onPath("dbus-run-session") && onPath("gnome-keyring-daemon")) return false;
    std::printf(
        "skipped: dbus-run-session or gnome-keyring-daemon is missing (scripts/setup.sh installs them)\n");
    return true;
}

// Runs this test program again under a private session bus (`busConfig` empty: the standard
// session configuration) with `script` run first in it, limited to `filter`; answers its exit
// status.
int runUnderPrivateBus(const fs::path& home, const std::string& busConfig, const std::string& script,
                       const std::string& filter) {
    std::vector<std::string> args{"dbus-run-session"};
    if (!busConfig.empty()) args.push_back("--config-file=" + busConfig);
    args.insert(args.end(), {"--", "sh", "-c", script + " && exec \"$0\" --gtest_filter=" + filter,
                             fs::read_symlink("/proc/self/exe").string()});
    std::vector<std::string> env{
        "HOME=" + home.string(),
        "XDG_CONFIG_HOME=" + (home / "config").string(),
        "XDG_DATA_HOME=" + (home / "data").string(),
        "XDG_RUNTIME_DIR=" + (home / "run").string(),
        "KIVO_KEYRING_CHILD=1",
        "PATH=" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")};
    fs::create_directories(home / "run");
    fs::permissions(home / "run", fs::perms::owner_all);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "dbus-run-session", nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(KeychainKeyOnABus, KeyringBackendAndServiceUnknownFallback) {
    if (keyringMissing()) GTEST_SKIP();
    testing::ShortTempDir home;
    const std::string unlock =
        "printf kivo | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1";
    EXPECT_EQ(
        runUnderPrivateBus(home.path(), "", unlock, "KeychainKeyChild.InTheKeyring:KeychainKeyChild.Locked*"),
        0);

    // A bus on which no secret service can be found or started.
    const fs::path bare = home.path() / "bare-bus.conf";
    std::ofstream(bare)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
           "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    EXPECT_EQ(runUnderPrivateBus(home.path(), bare.string(), "true", "KeychainKeyChild.NoSecretService"), 0);
}

// A keyring the bus starts on demand, in a session that never unlocked one at login: it answers, but keeps
// no keyring to store in and cannot prompt for one. The key goes to the file, as with no keyring at all.
TEST(KeychainKeyOnABus, AKeyringWithNothingToStoreInLeavesTheKeyInTheFile) {
    if (keyringMissing()) GTEST_SKIP();
    testing::ShortTempDir home;
    EXPECT_EQ(runUnderPrivateBus(home.path(), "", "true", "KeychainKeyChild.NothingToStoreIn"), 0);
}

// A keyring written to disk, then read by a daemon that started without unlocking it, as after a
// login whose keyring password differs from the user's: nothing unlocked it this session. Reading
// and removing the key say it is locked, never that there is none, and the key stays.
TEST(KeychainKeyOnABus, AKeyringLockedSinceItWasReadFromDiskIsLockedNotEmpty) {
    if (keyringMissing()) GTEST_SKIP();
    testing::ShortTempDir home;
    const std::string unlock =
        "printf kivo | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1";
    const std::string locked = "gnome-keyring-daemon --start --components=secrets >/dev/null 2>&1";
    EXPECT_EQ(runUnderPrivateBus(home.path(), "", unlock, "KeychainKeyChild.SaveForTheNextSession"), 0);
    ASSERT_TRUE(fs::exists(home.path() / "data" / "keyrings")) << "the keyring was not written to disk";
    EXPECT_EQ(runUnderPrivateBus(home.path(), "", locked, "KeychainKeyChild.LockedFromDisk"), 0);
    EXPECT_EQ(runUnderPrivateBus(home.path(), "", unlock, "KeychainKeyChild.KeptFromTheLastSession"), 0);
}

class KeychainKeyChild : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("KIVO_KEYRING_CHILD") == nullptr) GTEST_SKIP() << "runs under KeychainKeyOnABus";
    }
    fs::path file() const { return KeychainKey::fallbackFile(); }
};

TEST_F(KeychainKeyChild, InTheKeyring) {
    // A key left in the file from a time without a keyring is still found...
    KeyFile(file()).save(KeychainKey::service(), "anthropic", "sk-from-file");
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-from-file");
    EXPECT_EQ(KeychainKey::placeOf("anthropic"), KeychainKey::Place::file);
    // ...until a save puts the key in the keyring and clears the file's copy.
    EXPECT_EQ(KeychainKey::save(" sk-one\n", "anthropic"), KeychainKey::Place::keyring);
    EXPECT_EQ(KeyFile(file()).read(KeychainKey::service(), "anthropic"), std::nullopt);
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-one");
    EXPECT_EQ(KeychainKey::placeOf("anthropic"), KeychainKey::Place::keyring);
    EXPECT_EQ(KeychainKey::save("sk-two", "anthropic"), KeychainKey::Place::keyring);
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-two");
    EXPECT_THROW(KeychainKey::save("  ", "anthropic"), KeychainKey::Failure);
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-two");
    EXPECT_EQ(KeychainKey::read("other"), std::nullopt);
    KeychainKey::remove("anthropic");
    EXPECT_EQ(KeychainKey::read("anthropic"), std::nullopt);
    EXPECT_NO_THROW(KeychainKey::remove("anthropic"));
}

// The schema the key store files its items under.
const SecretSchema keySchema = {
    "org.kivo-pdf.ProviderKey",
    SECRET_SCHEMA_NONE,
    {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
     {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Locks the default keyring as the desktop does after a while or at the screen lock.
void lockDefaultKeyring() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    ASSERT_NE(service, nullptr) << (error ? error->message : "");
    SecretCollection* keyring = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                 SECRET_COLLECTION_NONE, nullptr, &error);
    ASSERT_NE(keyring, nullptr) << (error ? error->message : "");
    GList* objects = g_list_append(nullptr, keyring);
    EXPECT_EQ(secret_service_lock_sync(service, objects, nullptr, nullptr, &error), 1)
        << (error ? error->message : "");
    g_list_free(objects);
    g_object_unref(keyring);
    g_object_unref(service);
}

TEST_F(KeychainKeyChild, LockedKeyringKeepsTheKeyAndSaysSo) {
    ASSERT_EQ(KeychainKey::save("sk-kept", "anthropic"), KeychainKey::Place::keyring);
    lockDefaultKeyring();
    try {
        KeychainKey::remove("anthropic");
        ADD_FAILURE() << "removing from a locked keyring reported success";
    } catch (const KeychainKey::Failure& failure) {
        EXPECT_EQ(failure.kind(), KeychainKey::Failure::Kind::store);
        EXPECT_EQ(failure.description(),
                  "The keyring could not store or read the key: it is locked, so the key stays in it");
    }
    GError* error = nullptr;
    GList* items =
        secret_password_search_sync(&keySchema, SECRET_SEARCH_ALL, nullptr, &error, "service",
                                    KeychainKey::service().c_str(), "account", "anthropic", nullptr);
    EXPECT_NE(items, nullptr) << "the key is still there";
    g_list_free_full(items, g_object_unref);
    // Removing what is not stored stays no failure, locked keyring or not.
    EXPECT_NO_THROW(KeychainKey::remove("other"));
}

TEST_F(KeychainKeyChild, SaveForTheNextSession) {
    EXPECT_EQ(KeychainKey::save("sk-kept", "anthropic"), KeychainKey::Place::keyring);
}

TEST_F(KeychainKeyChild, LockedFromDisk) {
    // An older key in the file must not stand in for the one the keyring keeps locked.
    KeyFile(file()).save(KeychainKey::service(), "anthropic", "sk-from-file");
    const struct {
        const char* name;
        std::function<void()> call;
        std::string description;
    } cases[] = {
        {"read", [] { KeychainKey::read("anthropic"); },
         "The keyring could not store or read the key: it is locked, so the key cannot be read"},
        {"remove", [] { KeychainKey::remove("anthropic"); },
         "The keyring could not store or read the key: it is locked, so the key stays in it"},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.name << " in a keyring locked from disk reported no failure";
        } catch (const KeychainKey::Failure& failure) {
            EXPECT_EQ(failure.description(), c.description) << c.name;
        }
    }
    // What no keyring holds is still simply missing.
    EXPECT_EQ(KeychainKey::read("other"), std::nullopt);
    EXPECT_NO_THROW(KeychainKey::remove("other"));
}

TEST_F(KeychainKeyChild, KeptFromTheLastSession) { EXPECT_EQ(KeychainKey::read("anthropic"), "sk-kept"); }

TEST_F(KeychainKeyChild, NothingToStoreIn) {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    ASSERT_NE(service, nullptr) << (error ? error->message : "");
    gchar* owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service));
    g_object_unref(service);
    ASSERT_NE(owner, nullptr) << "no keyring answers on the bus";
    g_free(owner);
    EXPECT_EQ(KeychainKey::save("sk-file", "anthropic"), KeychainKey::Place::file);
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-file");
    EXPECT_EQ(KeychainKey::placeOf("anthropic"), KeychainKey::Place::file);
    EXPECT_EQ(modeOf(file()), 0600u);
    KeychainKey::remove("anthropic");
    EXPECT_EQ(KeychainKey::read("anthropic"), std::nullopt);
}

TEST_F(KeychainKeyChild, NoSecretService) {
    EXPECT_EQ(KeychainKey::save("sk-file", "anthropic"), KeychainKey::Place::file);
    EXPECT_EQ(KeychainKey::read("anthropic"), "sk-file");
}

}  // namespace
}  // namespace kivo
