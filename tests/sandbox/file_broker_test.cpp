#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "child_process.hpp"
#include "core/document_files.hpp"
#include "core/engine_failure.hpp"
#include "core/file_creation.hpp"
#include "sandbox/file_broker.hpp"
#include "sandbox/worker_sandbox.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using DocumentFiles::Place;
using DocumentFiles::Use;

TEST(FileBrokerPolicy, JudgesWhereAFileReallyLies) {
    const FileBroker::Policy policy{"/home/u", "/data/kivo", "/data/kivo/ipc"};
    struct Case {
        const char* path;
        Use use;
        bool folder;
        std::optional<Place> expected;
    };
    const Case cases[] = {
        {"/home/u/report.pdf", Use::save, false, std::nullopt},
        {"/home/u/Made Later/report.pdf", Use::save, false, std::nullopt},
        {"/home/u", Use::open, true, std::nullopt},
        {"/home", Use::open, true, std::nullopt},
        {"/home/u/.bashrc", Use::open, false, Place::hiddenFileInHome},
        {"/home/u/.ssh", Use::open, true, Place::hiddenInHome},
        {"/home/u/.ssh/id_ed25519", Use::open, false, Place::hiddenInHome},
        {"/home/u/Documents/.notes/a.pdf", Use::open, false, std::nullopt},
        {"/home/u/bin/tool", Use::save, false, Place::software},
        {"/home/u/bin/manual.pdf", Use::open, false, std::nullopt},
        {"/home/u/binder/a.pdf", Use::save, false, std::nullopt},
        {"/home/user2/.ssh/key", Use::open, false, std::nullopt},  // another home: its owner's permissions
        {"/data/kivo", Use::open, true, Place::ownFiles},
        {"/data/kivo/ipc/token", Use::open, false, Place::ownFiles},
        {"/data/kivo-other/a.pdf", Use::save, false, std::nullopt},
        {"/proc/1/environ", Use::open, false, Place::system},
        {"/sys/kernel", Use::open, true, Place::system},
        {"/dev/sda", Use::open, false, Place::system},
        {"/run/user/1000/bus", Use::open, false, Place::system},
        {"/run/media/u/STICK/a.pdf", Use::save, false, std::nullopt},
        {"/run", Use::open, true, std::nullopt},
        {"/usr/share/doc/manual.pdf", Use::open, false, std::nullopt},
        {"/usr/local/bin/tool", Use::save, false, Place::software},
        {"/etc/profile.d/x.sh", Use::save, false, Place::software},
        {"/var/lib/x.pdf", Use::save, false, Place::software},
        {"/var/tmp/x.pdf", Use::save, false, std::nullopt},
        {"/tmp/x.pdf", Use::save, false, std::nullopt},
        {"/mnt/share/x.pdf", Use::save, false, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(policy.judge(c.path, c.use, c.folder), c.expected) << c.path;
    }
    // A home folder below a software root (/var/home) is a home folder first.
    const FileBroker::Policy underVar{"/var/home/u", "/var/home/u/.local/share/kivo",
                                      "/var/home/u/.local/share/kivo/ipc"};
    EXPECT_EQ(underVar.judge("/var/home/u/a.pdf", Use::save, false), std::nullopt);
    EXPECT_EQ(underVar.judge("/var/home", Use::open, true), std::nullopt);
    EXPECT_EQ(underVar.judge("/var/home/u/.config/a", Use::save, false), Place::hiddenInHome);
}

// A confined child reaches documents as the file system is when it asks: what appeared after the
// sandbox was applied opens and saves like anything else, hidden places and the worker's own stay
// closed whenever they were made, and a link another user put on the way is not followed.
TEST(FileBroker, AConfinedWorkerReachesDocumentsAsTheFileSystemIsNow) {
    if (!testing::landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this machine";
    testing::TempDir root;
    const fs::path home = root.path() / "home";
    const fs::path support = root.path() / "support";
    const fs::path ipc = support / "ipc";
    const fs::path shared = root.path() / "shared";
    fs::create_directories(home / "Swapped");
    fs::create_directories(ipc);
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms(01777), fs::perm_options::replace);
    testing::writeFile(ipc / "token", "secret");
    const std::string pdf = testing::makePdf();
    const bool mayChangeOwners = ::geteuid() == 0;

    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    // Made once the child is confined, from a thread of the test's while the child waits.
    std::thread maker([&] {
        char byte = 0;
        if (::read(ready[0], &byte, 1) != 1) return;
        testing::writeFile(home / "late.pdf", pdf);
        fs::create_directories(home / "Later");
        testing::writeFile(home / "Later" / "doc.pdf", pdf);
        fs::create_directories(home / ".later");
        testing::writeFile(home / ".later" / "x.pdf", pdf);
        testing::writeFile(home / ".hidden.pdf", pdf);
        // A folder the sandbox saw as a plain one is now this user's link into a hidden folder.
        fs::remove(home / "Swapped");
        fs::create_directory_symlink(".later", home / "Swapped");
        // In a folder everyone may write, another user puts a link where a folder was expected.
        fs::create_directories(home / "Documents");
        testing::writeFile(home / "Documents" / "doc.pdf", pdf);
        fs::create_directory_symlink(home / "Documents", shared / "work");
        if (mayChangeOwners) ::lchown((shared / "work").c_str(), 65534, 65534);
        byte = 'g';
        [[maybe_unused]] auto written = ::write(go[1], &byte, 1);
    });
    const auto outcome = testing::inChild([&](int report) {
        // As the worker does: the user's umask is kept aside and applied by every creation.
        ::umask(022);
        FileCreation::clearUmask();
        try {
            WorkerSandbox::apply(ipc, support, home);
        } catch (const std::exception& error) {
            testing::writeAll(report, std::string("apply=") + error.what() + "\n");
            return 1;
        }
        // The test makes the places only now, after the sandbox took its view of the folders.
        char byte = 'r';
        if (::write(ready[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) != 1) return 2;
        std::ostringstream lines;
        const auto outcomeOf = [](const std::function<void()>& action) -> std::string {
            try {
                action();
                return "ok";
            } catch (const EngineFailure& failure) {
                return failure.message;
            } catch (const std::exception& error) {
                return std::string("error: ") + error.what();
            }
        };
        const auto open = [&](const fs::path& path) {
            return outcomeOf([&] {
                const SafeFiles::ReadableFile file = DocumentFiles::openForReading(path);
                char first[5] = {};
                if (!file.fd || !file.isRegular || ::read(file.fd.get(), first, 4) != 4 ||
                    std::string(first) != "%PDF") {
                    throw std::runtime_error("not read, errno " + std::to_string(file.error));
                }
            });
        };
        const auto save = [&](const fs::path& path) {
            return outcomeOf([&] {
                DocumentFiles::replaceFile(
                    path, [&](int fd) { testing::writeAll(fd, pdf); }, SafeFiles::ReplaceOptions{});
            });
        };
        const auto render = [&](const fs::path& path) {
            return outcomeOf([&] {
                DocumentFiles::makeFolders(path.parent_path());
                const Descriptor fd = DocumentFiles::createForWriting(path, 0666);
                if (!fd) throw std::runtime_error("not made, errno " + std::to_string(errno));
                testing::writeAll(fd.get(), "png");
            });
        };
        lines << "open later=" << open(home / "late.pdf") << '\n'
              << "open in a later folder=" << open(home / "Later" / "doc.pdf") << '\n'
              << "save directly in home=" << save(home / "saved.pdf") << '\n'
              << "save over a later file=" << save(home / "late.pdf") << '\n'
              << "save in new folders=" << save(home / "Brand" / "new" / "doc.pdf") << '\n'
              << "render to a new folder=" << render(home / "pages" / "p.png") << '\n'
              << "open in a later hidden folder=" << open(home / ".later" / "x.pdf") << '\n'
              << "save in a later hidden folder=" << save(home / ".later" / "y.pdf") << '\n'
              << "save in missing hidden folders=" << save(home / ".config" / "autostart" / "z.desktop")
              << '\n'
              << "open a hidden file=" << open(home / ".hidden.pdf") << '\n'
              << "open through a link into hidden=" << open(home / "Swapped" / "x.pdf") << '\n'
              << "open in the IPC folder=" << open(ipc / "token") << '\n'
              << "save in the support folder=" << save(support / "planted.pdf") << '\n'
              << "save where software lives=" << save("/usr/kivo-pdf-broker-probe.pdf") << '\n'
              << "open process state=" << open("/proc/self/environ") << '\n';
        if (mayChangeOwners)
            lines << "open through another user's link=" << open(shared / "work" / "doc.pdf") << '\n';
        testing::writeAll(report, lines.str());
        return 0;
    });
    if (outcome.exitStatus != 0) {
        char byte = 'x';
        [[maybe_unused]] auto written = ::write(ready[1], &byte, 1);
    }
    maker.join();
    for (const int fd : {go[0], go[1], ready[0], ready[1]}) ::close(fd);
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.report;
    std::map<std::string, std::string> results;
    std::istringstream lines(outcome.report);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find('=');
        results[line.substr(0, at)] = line.substr(at + 1);
    }
    const std::string hiddenOpen = "Kivo PDF does not open files in hidden folders of your home folder.";
    const std::string hiddenSave = "Kivo PDF does not save files in hidden folders of your home folder.";
    std::map<std::string, std::string> expected = {
        {"open later", "ok"},
        {"open in a later folder", "ok"},
        {"save directly in home", "ok"},
        {"save over a later file", "ok"},
        {"save in new folders", "ok"},
        {"render to a new folder", "ok"},
        {"open in a later hidden folder", hiddenOpen},
        {"save in a later hidden folder", hiddenSave},
        {"save in missing hidden folders", hiddenSave},
        {"open a hidden file", "Kivo PDF does not open hidden files of your home folder."},
        {"open through a link into hidden", hiddenOpen},
        {"open in the IPC folder", "Kivo PDF does not open files in its own support folder."},
        {"save in the support folder", "Kivo PDF does not save files in its own support folder."},
        {"save where software lives",
         "Kivo PDF does not save files where software is installed or configured."},
        {"open process state",
         "Kivo PDF does not open files in system folders such as /proc, /sys and /dev."},
    };
    if (mayChangeOwners)
        expected["open through another user's link"] =
            "work is a link made by another user, so it was not opened.";
    EXPECT_EQ(results, expected);

    // What was allowed is on disk as written, with its mode; nothing of what was refused was made.
    EXPECT_EQ(testing::readFile(home / "saved.pdf"), pdf);
    EXPECT_EQ(testing::readFile(home / "Brand" / "new" / "doc.pdf"), pdf);
    EXPECT_EQ(testing::readFile(home / "pages" / "p.png"), "png");
    for (const fs::path& made : {home / "saved.pdf", home / "pages" / "p.png"}) {
        EXPECT_EQ(fs::status(made).permissions(), fs::perms(0644)) << made << " keeps the user's umask";
    }
    EXPECT_FALSE(fs::exists(home / ".config"));
    EXPECT_FALSE(fs::exists(home / ".later" / "y.pdf"));
    EXPECT_FALSE(fs::exists(support / "planted.pdf"));
    EXPECT_FALSE(fs::exists("/usr/kivo-pdf-broker-probe.pdf"));
    for (const auto& entry : fs::directory_iterator(home)) {
        EXPECT_FALSE(entry.path().filename().string().ends_with(".kivo-tmp")) << entry.path();
    }
}

}  // namespace
}  // namespace kivo
