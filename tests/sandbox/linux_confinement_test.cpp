#include <fcntl.h>
#include <linux/io_uring.h>
#include <linux/ioprio.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <seccomp.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include "child_process.hpp"
#include "pdfium/fpdf.hpp"
#include "pdfium/support.hpp"
#include "core/engine_failure.hpp"
#include "core/file_creation.hpp"
#include "core/ipc_paths.hpp"
#include "sandbox/linux_confinement.hpp"
#include "sandbox/worker_sandbox.hpp"
#include "test_pdfs.hpp"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::inChild;
using testing::writeAll;

int openErrno(const fs::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

int connectErrno(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int error =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

int bindErrno(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int error = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
    if (error == 0 && ::listen(fd, 1) != 0) error = errno;
    ::close(fd);
    return error;
}

// Binds and listens on the abstract name `name` (no file, so no folder rule reaches it).
int bindAbstractErrno(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    int error = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 ? 0 : errno;
    if (error == 0 && ::listen(fd, 1) != 0) error = errno;
    ::close(fd);
    return error;
}

// What a confined child found, one "name=errno" line each, as it reports it to the test.
std::string encodeResults(const std::map<std::string, int>& results) {
    std::ostringstream text;
    for (const auto& [name, error] : results) text << name << '=' << error << '\n';
    return text.str();
}

std::map<std::string, int> decodeResults(const std::string& report) {
    std::map<std::string, int> results;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.rfind('=');
        results[line.substr(0, at)] = std::stoi(line.substr(at + 1));
    }
    return results;
}

// A fake home folder with private data, a document and the default support
// folder inside a dot-folder.
struct FakeHome {
    testing::TempDir root;
    fs::path home = root.path() / "home";
    fs::path support = home / ".local" / "share" / "kivo-pdf";
    fs::path ipc = support / "ipc";

    FakeHome() {
        fs::create_directories(home / ".ssh");
        fs::create_directories(home / "Documents");
        fs::create_directories(home / "bin");
        fs::create_directories(root.path() / "scratch");
        fs::create_directories(ipc);
        testing::writeFile(home / ".ssh" / "id_ed25519", "secret");
        testing::writeFile(home / ".profile", "PATH=...");
        testing::writeFile(home / "Documents" / "report.pdf", "%PDF-1.7");
        testing::writeFile(home / "loose.pdf", "%PDF-1.4");
        // Non-dot names that lead into private data must not open it.
        fs::create_directory_symlink(home / ".ssh", home / "notes");
        fs::create_directory_symlink(home, home / "self");
        fs::create_directory_symlink("/", home / "everything");
    }
};

// Applies the sandbox while a thread made before it waits, then lets that thread run `afterwards`.
// False, with the reason reported, when the sandbox could not be applied.
bool applyWithAnEarlyThread(const FakeHome& fake, int report, const std::function<void()>& afterwards) {
    std::mutex mutex;
    std::condition_variable wake;
    bool go = false;
    std::thread early([&] {
        std::unique_lock lock(mutex);
        wake.wait(lock, [&] { return go; });
        afterwards();
    });
    bool applied = true;
    try {
        WorkerSandbox::apply(fake.ipc, fake.support, fake.home);
    } catch (const std::exception& error) {
        writeAll(report, std::string("apply failed: ") + error.what());
        applied = false;
    }
    {
        std::lock_guard lock(mutex);
        go = true;
    }
    wake.notify_all();
    early.join();
    return applied;
}

class Confinement : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this machine";
    }
};

TEST_F(Confinement, AppliedInAChildEnforcesEveryRule) {
    FakeHome fake;
    ASSERT_FALSE(WorkerSandbox::isSandboxed(::getpid()));
    const fs::path varTmpProbe = "/var/tmp/kivo-sandbox-probe-" + std::to_string(::getpid());
    const fs::path shmProbe = "/dev/shm/kivo-sandbox-probe-" + std::to_string(::getpid());

    const auto outcome = inChild([&](int report) {
        // A thread that exists before the sandbox must end up confined too.
        std::atomic<int> earlyThreadRead{-1};
        const bool applied = applyWithAnEarlyThread(
            fake, report, [&] { earlyThreadRead = openErrno(fake.home / ".ssh" / "id_ed25519", O_RDONLY); });
        if (!applied) return 1;

        std::map<std::string, int> results;
        results["sandboxed"] = WorkerSandbox::isSandboxed(::getpid()) ? 0 : ESRCH;
        results["read private key"] = openErrno(fake.home / ".ssh" / "id_ed25519", O_RDONLY);
        results["read private key from an early thread"] = earlyThreadRead;
        results["read private key through a link"] = openErrno(fake.home / "notes" / "id_ed25519", O_RDONLY);
        results["read private key through a link to home"] =
            openErrno(fake.home / "self" / ".ssh" / "id_ed25519", O_RDONLY);
        results["read private key through a link to the root"] =
            openErrno(fake.home / "everything" / fake.home.relative_path() / ".ssh" / "id_ed25519", O_RDONLY);
        results["write dotfile"] = openErrno(fake.home / ".profile", O_WRONLY);
        results["create dotfile"] = openErrno(fake.home / ".new-dotfile", O_WRONLY | O_CREAT | O_EXCL);
        results["list dot-folder"] = openErrno(fake.home / ".ssh", O_RDONLY | O_DIRECTORY);
        struct stat status {};
        results["look up private key"] =
            ::stat((fake.home / ".ssh" / "id_ed25519").c_str(), &status) == 0 ? 0 : errno;
        results["read document"] = openErrno(fake.home / "Documents" / "report.pdf", O_RDONLY);
        results["write document"] = openErrno(fake.home / "Documents" / "report.pdf", O_WRONLY);
        results["create document"] =
            openErrno(fake.home / "Documents" / "copy.pdf", O_WRONLY | O_CREAT | O_EXCL);
        results["write loose document"] = openErrno(fake.home / "loose.pdf", O_RDWR);
        results["create in ~/bin"] = openErrno(fake.home / "bin" / "ls", O_WRONLY | O_CREAT | O_EXCL);
        results["write support"] = openErrno(fake.support / "state.json", O_WRONLY | O_CREAT | O_TRUNC);
        results["create in recovery"] =
            openErrno(fake.support / "recovery" / "r.pdf", O_WRONLY | O_CREAT | O_EXCL);
        results["write under /usr"] = openErrno("/usr/kivo-sandbox-probe", O_WRONLY | O_CREAT | O_EXCL);
        results["write under /etc"] = openErrno("/etc/kivo-sandbox-probe", O_WRONLY | O_CREAT | O_EXCL);
        results["read under /etc"] = openErrno("/etc/passwd", O_RDONLY);
        results["create in /var/tmp"] = openErrno(varTmpProbe, O_WRONLY | O_CREAT | O_EXCL);
        results["create in /dev/shm"] = openErrno(shmProbe, O_WRONLY | O_CREAT | O_EXCL);
        results["write /dev/null"] = openErrno("/dev/null", O_WRONLY);
        results["create in /dev"] = openErrno("/dev/kivo-sandbox-probe", O_WRONLY | O_CREAT | O_EXCL);
        results["write temporary"] =
            openErrno(fake.root.path() / "scratch" / "file.tmp", O_WRONLY | O_CREAT | O_EXCL);

        char* const arguments[] = {const_cast<char*>("/usr/bin/true"), nullptr};
        char* const environment[] = {nullptr};
        ::execve("/usr/bin/true", arguments, environment);
        results["execve"] = errno;
        const pid_t forked = ::fork();
        if (forked == 0) ::_exit(0);
        results["fork"] = forked < 0 ? errno : 0;
        std::atomic<bool> ran{false};
        try {
            std::thread([&] { ran = true; }).join();
        } catch (const std::system_error& error) {
            results["thread"] = error.code().value();
        }
        if (!results.contains("thread")) results["thread"] = ran ? 0 : EINVAL;

        const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        results["tcp socket"] = tcp < 0 ? errno : 0;
        const int udp = ::socket(AF_INET6, SOCK_DGRAM, 0);
        results["udp socket"] = udp < 0 ? errno : 0;
        const int datagram = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        results["unix datagram socket"] = datagram < 0 ? errno : 0;
        const int stream = ::socket(AF_UNIX, SOCK_STREAM, 0);
        results["unix stream socket"] = stream < 0 ? errno : 0;
        int pair[2];
        results["unix socket pair"] = ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) < 0 ? errno : 0;
        results["listen on an abstract name"] = bindAbstractErrno("kivo-squat");
        io_uring_params params{};
        results["io_uring_setup"] = ::syscall(SYS_io_uring_setup, 4, &params) < 0 ? errno : 0;

        results["listen in IPC"] = bindErrno(fake.ipc / "probe.sock");
        results["listen in temporary"] = bindErrno(fake.root.path() / "probe.sock");
        results["connect to IPC socket"] = connectErrno(fake.ipc / "probe.sock");

        writeAll(report, encodeResults(results));
        return 0;
    });
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.report;

    const std::map<std::string, int> results = decodeResults(outcome.report);
    const std::map<std::string, int> expected = {
        {"sandboxed", 0},
        {"read private key", EACCES},
        {"read private key from an early thread", EACCES},
        {"read private key through a link", EACCES},
        {"read private key through a link to home", EACCES},
        {"read private key through a link to the root", EACCES},
        {"write dotfile", EACCES},
        {"create dotfile", EACCES},
        {"list dot-folder", EACCES},
        {"look up private key", 0},
        {"read document", 0},
        {"write document", 0},
        {"create document", 0},
        {"write loose document", 0},
        {"create in ~/bin", EACCES},
        {"write support", EACCES},
        {"create in recovery", 0},
        {"write under /usr", EACCES},
        {"write under /etc", EACCES},
        {"read under /etc", 0},
        {"create in /var/tmp", 0},
        {"create in /dev/shm", EACCES},
        {"write /dev/null", 0},
        {"create in /dev", EACCES},
        {"write temporary", 0},
        {"execve", EPERM},
        {"fork", EPERM},
        {"thread", 0},
        {"tcp socket", EPERM},
        {"udp socket", EPERM},
        {"unix datagram socket", EPERM},
        {"unix stream socket", EPERM},
        {"unix socket pair", EPERM},
        // No folder rule covers an abstract name, which another program may connect to later.
        {"listen on an abstract name", EPERM},
        {"io_uring_setup", EPERM},
        {"listen in IPC", EPERM},
        {"listen in temporary", EPERM},
        // Landlock cannot tell which socket path a connect reaches, so the
        // worker, which only ever accepts, may not connect at all.
        {"connect to IPC socket", EPERM},
    };
    EXPECT_EQ(results, expected) << outcome.report;
    EXPECT_FALSE(fs::exists("/usr/kivo-sandbox-probe"));
    EXPECT_FALSE(fs::exists("/dev/kivo-sandbox-probe"));
    for (const fs::path& probe : {varTmpProbe, shmProbe, fs::path("/usr/kivo-sandbox-probe"),
                                  fs::path("/etc/kivo-sandbox-probe"), fs::path("/dev/kivo-sandbox-probe")}) {
        std::error_code ignored;
        fs::remove(probe, ignored);
    }
    EXPECT_FALSE(fs::exists(fake.home / "bin" / "ls"));
    EXPECT_TRUE(fs::exists(fake.home / "Documents" / "copy.pdf"));
    EXPECT_EQ(testing::readFile(fake.home / ".ssh" / "id_ed25519"), "secret");
}

// Landlock governs opening and writing, not modes, owners, times or extended attributes, nor what
// an ioctl does to a terminal: a worker taken over could otherwise open the user's private key to
// everyone, open a program it may only read (~/bin) to other writers, or type a command into the
// shell it was started from. By path and by descriptor alike.
TEST_F(Confinement, MetadataByPathOrDescriptorAndTypingIntoATerminalAreRefused) {
    FakeHome fake;
    fs::permissions(fake.home / ".ssh" / "id_ed25519", fs::perms::owner_read | fs::perms::owner_write);
    testing::writeFile(fake.home / "bin" / "tool", "#!/bin/sh\n");
    fs::permissions(fake.home / "bin" / "tool", fs::perms::owner_all, fs::perm_options::replace);
    const auto outcome = inChild([&](int report) {
        // A terminal of its own, as the worker has when started from a shell.
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::setsid() < 0) return 2;
        const int terminal = ::open(::ptsname(master), O_RDWR | O_CLOEXEC);
        if (terminal < 0) return 3;
        try {
            WorkerSandbox::apply(fake.ipc, fake.support, fake.home);
        } catch (const std::exception& error) {
            writeAll(report, std::string("apply failed: ") + error.what());
            return 1;
        }
        const auto result = [](long value) { return value == 0 ? 0 : errno; };
        const std::string profile = (fake.home / ".profile").string();
        const std::string ssh = (fake.home / ".ssh").string();
        const std::string key = (fake.home / ".ssh" / "id_ed25519").string();
        std::map<std::string, int> results;
        results["chmod dotfile"] = result(::chmod(profile.c_str(), 0666));
        results["chmod dot-folder"] = result(::chmod(ssh.c_str(), 0755));
        results["fchmodat private key"] = result(::fchmodat(AT_FDCWD, key.c_str(), 0644, 0));
        results["fchmodat2 private key"] = result(::syscall(452, AT_FDCWD, key.c_str(), 0644, 0));
        results["chown dotfile"] = result(::chown(profile.c_str(), ::getuid(), ::getgid()));
        results["lchown dotfile"] = result(::lchown(profile.c_str(), ::getuid(), ::getgid()));
        results["fchownat dotfile"] =
            result(::fchownat(AT_FDCWD, profile.c_str(), ::getuid(), ::getgid(), 0));
        results["utimensat dotfile"] = result(::utimensat(AT_FDCWD, profile.c_str(), nullptr, 0));
        results["utimes dotfile"] = result(::utimes(profile.c_str(), nullptr));
        results["setxattr dotfile"] = result(::setxattr(profile.c_str(), "user.kivo", "x", 1, 0));
        results["lsetxattr dotfile"] = result(::lsetxattr(profile.c_str(), "user.kivo", "x", 1, 0));
        results["removexattr dotfile"] = result(::removexattr(profile.c_str(), "user.kivo"));
        results["lremovexattr dotfile"] = result(::lremovexattr(profile.c_str(), "user.kivo"));
        const int own = ::open((fake.home / "Documents" / "report.pdf").c_str(), O_WRONLY | O_CLOEXEC);
        const int tool = ::open((fake.home / "bin" / "tool").c_str(), O_RDONLY | O_CLOEXEC);
        const int bin = ::open((fake.home / "bin").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (const auto& [what, fd] :
             {std::pair{"own document", own}, {"read-only program", tool}, {"~/bin", bin}}) {
            const std::string name(what);
            results["fchmod " + name] = result(::fchmod(fd, 0777));
            results["fchown " + name] = result(::fchown(fd, ::getuid(), ::getgid()));
            results["futimens " + name] = result(::futimens(fd, nullptr));
            results["utimensat on the descriptor of " + name] =
                result(::syscall(SYS_utimensat, fd, nullptr, nullptr, 0));
            results["fsetxattr " + name] = result(::fsetxattr(fd, "user.kivo", "x", 1, 0));
            results["fremovexattr " + name] = result(::fremovexattr(fd, "user.kivo"));
            results["fchmodat2 with an empty path " + name] =
                result(::syscall(452, fd, "", 0777, AT_EMPTY_PATH));
        }
        ::close(own);
        ::close(tool);
        ::close(bin);
        results["open /dev/tty"] = openErrno("/dev/tty", O_RDWR);
        results["open its terminal again"] = openErrno(::ptsname(master), O_RDWR | O_NOCTTY);
        results["read /dev/urandom"] = openErrno("/dev/urandom", O_RDONLY);
        const char typed = 'x';
        results["TIOCSTI"] = result(::ioctl(terminal, TIOCSTI, &typed));
        results["TIOCSTI with high bits"] =
            result(::syscall(SYS_ioctl, terminal, TIOCSTI | (1UL << 32), &typed));
        char subcode = 6;
        results["TIOCLINUX"] = result(::ioctl(terminal, TIOCLINUX, &subcode));

        writeAll(report, encodeResults(results));
        return 0;
    });
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.report;
    const std::map<std::string, int> results = decodeResults(outcome.report);
    std::map<std::string, int> expected = {
        {"chmod dotfile", EPERM},          {"chmod dot-folder", EPERM},
        {"fchmodat private key", EPERM},   {"fchmodat2 private key", EPERM},
        {"chown dotfile", EPERM},          {"lchown dotfile", EPERM},
        {"fchownat dotfile", EPERM},       {"utimensat dotfile", EPERM},
        {"utimes dotfile", EPERM},         {"setxattr dotfile", EPERM},
        {"lsetxattr dotfile", EPERM},      {"removexattr dotfile", EPERM},
        {"lremovexattr dotfile", EPERM},

        {"open /dev/tty", EACCES},         {"open its terminal again", EACCES},
        {"read /dev/urandom", 0},          {"TIOCSTI", EPERM},
        {"TIOCSTI with high bits", EPERM}, {"TIOCLINUX", EPERM},
    };
    for (const char* name : {"own document", "read-only program", "~/bin"}) {
        for (const char* call : {"fchmod ", "fchown ", "futimens ", "utimensat on the descriptor of ",
                                 "fsetxattr ", "fremovexattr ", "fchmodat2 with an empty path "}) {
            expected[std::string(call) + name] = EPERM;
        }
    }
    EXPECT_EQ(results, expected) << outcome.report;
    struct stat status {};
    ASSERT_EQ(::stat((fake.home / ".ssh" / "id_ed25519").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 077, 0u);
    ASSERT_EQ(::stat((fake.home / "bin" / "tool").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
}

// Every process of the user runs as the worker's user, so a worker taken over could otherwise reach
// any of them: lowering one's limit on processor time ends it, and a priority set for a process
// group or for the user takes in the editor too. Nor may it reach the memory other programs share,
// by System V key or id or in /dev/shm. Each call is made on a sleeping sibling, where it would
// succeed unconfined, also with the upper half of the pid set (the kernel reads 32 bits), and on the
// worker itself, where it must go on working; each writes back the values it finds, so it changes
// nothing where it passes. Memory placement and kcmp are left out: Landlock already refuses them on
// any process outside the worker.
TEST_F(Confinement, NoOtherProcessOfTheUserNorTheMemoryTheyShareIsWithinReach) {
    FakeHome fake;
    struct Others {
        pid_t sibling = -1;
        int segment = -1;
        fs::path shared = "/dev/shm/kivo-sandbox-shared-" + std::to_string(::getpid());
        ~Others() {
            if (sibling > 0 && ::kill(sibling, SIGKILL) == 0) ::waitpid(sibling, nullptr, 0);
            if (segment >= 0) ::shmctl(segment, IPC_RMID, nullptr);
            std::error_code ignored;
            fs::remove(shared, ignored);
        }
    } others;
    others.sibling = ::fork();
    if (others.sibling == 0) {
        ::setpgid(0, 0);
        for (;;) ::pause();
    }
    ASSERT_GT(others.sibling, 0);
    ::setpgid(others.sibling, others.sibling);  // from both sides, so the group exists before it is named
    const pid_t sibling = others.sibling;
    // Private, yet open by its id to every process of the user.
    others.segment = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    ASSERT_GE(others.segment, 0) << std::strerror(errno);
    const int segment = others.segment;
    testing::writeFile(others.shared, "another program's");
    const uid_t nobody = 0x7ffffff0;  // a user with no processes: a priority set for it changes nothing

    const std::vector<std::string> byPid = {"prlimit64",          "setpriority",    "sched_setaffinity",
                                            "sched_setscheduler", "sched_setparam", "sched_setattr",
                                            "ioprio_set"};
    const auto outcome = inChild([&](int report) {
        ::setpgid(0, 0);  // a group of its own, so a priority set for its group reaches no one else
        // A thread that exists before the sandbox must be held by every filter too.
        std::atomic<int> earlyThread{-1};
        const bool applied = applyWithAnEarlyThread(fake, report, [&] {
            rlimit limit{};
            earlyThread = ::syscall(SYS_prlimit64, sibling, RLIMIT_NOFILE, nullptr, &limit) < 0 ? errno : 0;
        });
        if (!applied) return 1;

        // The sibling was forked from the same process, so the worker's own values are its values too.
        rlimit processorTime{};
        ::getrlimit(RLIMIT_CPU, &processorTime);
        const int nice = ::getpriority(PRIO_PROCESS, 0);
        cpu_set_t processors;
        CPU_ZERO(&processors);
        ::sched_getaffinity(0, sizeof processors, &processors);
        const int policy = ::sched_getscheduler(0);
        sched_param parameters{};
        ::sched_getparam(0, &parameters);
        // The kernel's first version of its scheduling attributes; the C library declares none.
        struct {
            std::uint32_t size, policy;
            std::uint64_t flags;
            std::int32_t nice;
            std::uint32_t priority;
            std::uint64_t runtime, deadline, period;
        } attributes{};
        ::syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0);
        const long ioPriority = ::syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, 0);
        const std::map<std::string, std::function<long(long)>> calls = {
            {"prlimit64",
             [&](long pid) { return ::syscall(SYS_prlimit64, pid, RLIMIT_CPU, &processorTime, nullptr); }},
            {"setpriority", [&](long pid) { return ::syscall(SYS_setpriority, PRIO_PROCESS, pid, nice); }},
            {"sched_setaffinity",
             [&](long pid) { return ::syscall(SYS_sched_setaffinity, pid, sizeof processors, &processors); }},
            {"sched_setscheduler",
             [&](long pid) { return ::syscall(SYS_sched_setscheduler, pid, policy, &parameters); }},
            {"sched_setparam", [&](long pid) { return ::syscall(SYS_sched_setparam, pid, &parameters); }},
            {"sched_setattr", [&](long pid) { return ::syscall(SYS_sched_setattr, pid, &attributes, 0); }},
            {"ioprio_set",
             [&](long pid) { return ::syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, pid, ioPriority); }},
        };
        const auto result = [](long value) { return value < 0 ? errno : 0; };
        std::map<std::string, int> results;
        results["prlimit64 on the sibling from an early thread"] = earlyThread;
        for (const std::string& name : byPid) {
            const auto& call = calls.at(name);
            results[name + " on the sibling"] = result(call(sibling));
            results[name + " on the sibling, named in the low half"] = result(call((1L << 32) | sibling));
            results[name + " on itself as 0"] = result(call(0));
            results[name + " on itself by its pid"] = result(call(::getpid()));
        }
        results["setpriority for its own process group"] =
            result(::syscall(SYS_setpriority, PRIO_PGRP, 0, nice));
        results["setpriority for its own process group, named in the low half"] =
            result(::syscall(SYS_setpriority, (1L << 32) | PRIO_PGRP, 0, nice));
        results["setpriority for the sibling's process group"] =
            result(::syscall(SYS_setpriority, PRIO_PGRP, sibling, nice));
        results["setpriority for a user"] = result(::syscall(SYS_setpriority, PRIO_USER, nobody, nice));
        results["ioprio_set for its own process group"] =
            result(::syscall(SYS_ioprio_set, IOPRIO_WHO_PGRP, 0, ioPriority));
        results["ioprio_set for a user"] =
            result(::syscall(SYS_ioprio_set, IOPRIO_WHO_USER, nobody, ioPriority));
        const long pidfd = ::syscall(SYS_pidfd_open, sibling, 0);
        results["pidfd_open on the sibling"] = result(pidfd);
        if (pidfd >= 0) ::close(static_cast<int>(pidfd));

        results["shmat another's segment"] =
            ::shmat(segment, nullptr, SHM_RDONLY) == reinterpret_cast<void*>(-1) ? errno : 0;
        results["remove another's segment"] = result(::shmctl(segment, IPC_RMID, nullptr));
        // Whatever is made anyway is removed again, so a failing run leaves nothing behind.
        const int newSegment = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
        results["shmget"] = result(newSegment);
        if (newSegment >= 0) ::shmctl(newSegment, IPC_RMID, nullptr);
        const int queue = ::msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        results["msgget"] = result(queue);
        if (queue >= 0) ::msgctl(queue, IPC_RMID, nullptr);
        const int semaphores = ::semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
        results["semget"] = result(semaphores);
        if (semaphores >= 0) ::semctl(semaphores, 0, IPC_RMID);
        results["open another program's object in /dev/shm"] = openErrno(others.shared, O_RDWR);
        const std::string name = "/kivo-sandbox-made-" + std::to_string(::getpid());
        const int made = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        results["shm_open"] = result(made);
        if (made >= 0) ::shm_unlink(name.c_str());

        writeAll(report, encodeResults(results));
        return 0;
    });
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.report;

    std::map<std::string, int> expected = {
        {"prlimit64 on the sibling from an early thread", EPERM},
        {"setpriority for its own process group", EPERM},
        {"setpriority for its own process group, named in the low half", EPERM},
        {"setpriority for the sibling's process group", EPERM},
        {"setpriority for a user", EPERM},
        {"ioprio_set for its own process group", EPERM},
        {"ioprio_set for a user", EPERM},
        {"pidfd_open on the sibling", EPERM},
        {"shmat another's segment", EPERM},
        {"remove another's segment", EPERM},
        {"shmget", EPERM},
        {"msgget", EPERM},
        {"semget", EPERM},
        {"open another program's object in /dev/shm", EACCES},
        {"shm_open", EACCES},
    };
    for (const std::string& name : byPid) {
        expected[name + " on the sibling"] = EPERM;
        expected[name + " on the sibling, named in the low half"] = EPERM;
        expected[name + " on itself as 0"] = 0;
        expected[name + " on itself by its pid"] = 0;
    }
    EXPECT_EQ(decodeResults(outcome.report), expected) << outcome.report;
}

// The worker's socket listens before it is confined, and the editor alone keeps the IPC folder:
// a worker taken over must not remove the editor's lock (a second editor would become a second
// primary), replace the token, or plant a link there, wherever the support folder lies (inside a
// dot-folder of the home folder, or where the rest is writable by place).
TEST_F(Confinement, NothingInTheIPCFolderCanBeMadeRemovedRenamedOrLinked) {
    FakeHome fake;
    const fs::path outside = fake.root.path() / "support";
    for (const fs::path& support : {fake.support, outside}) {
        SCOPED_TRACE(support.string());
        const fs::path ipc = support / "ipc";
        fs::create_directories(ipc);
        fs::create_directories(support / "recovery");
        testing::writeFile(ipc / "token", "token");
        testing::writeFile(ipc / "editor.lock", "");
        const auto outcome = inChild([&](int report) {
            const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, (ipc / "commands.sock").c_str(), sizeof address.sun_path - 1);
            if (::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return 2;
            try {
                WorkerSandbox::apply(ipc, support, fake.home);
            } catch (const std::exception& error) {
                writeAll(report, std::string("apply failed: ") + error.what());
                return 1;
            }
            const auto result = [](int value) { return value == 0 ? 0 : errno; };
            const auto in = [&](const char* name) { return (ipc / name).string(); };
            const std::string key = (fake.home / ".ssh" / "id_ed25519").string();
            const std::string checkpoint = (support / "recovery" / "c.pdf").string();
            std::map<std::string, int> results;
            results["create a file"] = openErrno(in("new"), O_WRONLY | O_CREAT | O_EXCL);
            results["make a folder"] = result(::mkdir(in("folder").c_str(), 0700));
            results["remove the lock"] = result(::unlink(in("editor.lock").c_str()));
            results["remove the socket"] = result(::unlink(in("commands.sock").c_str()));
            results["rename the token"] = result(::rename(in("token").c_str(), in("token.old").c_str()));
            results["link the token"] = result(::link(in("token").c_str(), in("token.copy").c_str()));
            results["plant a symbolic link"] = result(::symlink(key.c_str(), in("planted").c_str()));
            results["listen beside the socket"] = bindErrno(in("other.sock"));
            results["write the token"] = openErrno(in("token"), O_WRONLY | O_TRUNC);
            results["read the token"] = openErrno(in("token"), O_RDONLY);
            results["write a checkpoint"] = openErrno(checkpoint, O_WRONLY | O_CREAT | O_EXCL);
            results["move a checkpoint over the token"] =
                result(::rename(checkpoint.c_str(), in("token").c_str()));
            results["remove the IPC folder"] = result(::rmdir(ipc.c_str()));
            writeAll(report, encodeResults(results));
            return 0;
        });
        ASSERT_EQ(outcome.exitStatus, 0) << outcome.report;
        std::map<std::string, int> expected = {
            {"create a file", EACCES},         {"make a folder", EACCES},
            {"remove the lock", EACCES},       {"remove the socket", EACCES},
            {"rename the token", EACCES},      {"link the token", EACCES},
            {"plant a symbolic link", EACCES}, {"listen beside the socket", EPERM},
            {"write the token", EACCES},       {"read the token", EACCES},
            {"write a checkpoint", 0},         {"move a checkpoint over the token", EACCES},
            {"remove the IPC folder", EACCES},
        };
        EXPECT_EQ(decodeResults(outcome.report), expected) << outcome.report;
        EXPECT_EQ(testing::readFile(ipc / "token"), "token");
        EXPECT_TRUE(fs::exists(ipc / "editor.lock"));
        EXPECT_EQ(std::distance(fs::directory_iterator(ipc), fs::directory_iterator()), 3);
    }
}

// Some containers and CI runners put the home folder inside /tmp. Granting that temporary folder
// would grant the home folder's private data with it, so the worker keeps its temporary files in
// a folder of its own, which stays writable, and the home folder stays closed.
TEST_F(Confinement, AHomeFolderInsideTheTemporaryFolderLeavesTheWorkerATemporaryFolder) {
    FakeHome fake;
    const auto outcome = inChild([&](int report) {
        ::setenv("TMPDIR", fake.root.path().c_str(), 1);
        try {
            WorkerSandbox::apply(fake.ipc, fake.support, fake.home);
        } catch (const std::exception& error) {
            writeAll(report, std::string("apply failed: ") + error.what());
            return 1;
        }
        const fs::path temporary = FileCreation::temporaryFolder();
        std::map<std::string, int> results;
        results["temporary folder is the support folder's"] = temporary == fake.support / "tmp" ? 0 : EINVAL;
        results["create a temporary file"] = openErrno(temporary / "snapshot.pdf", O_RDWR | O_CREAT | O_EXCL);
        results["create in the system's temporary folder"] =
            openErrno(fake.root.path() / "snapshot.pdf", O_RDWR | O_CREAT | O_EXCL);
        results["create dotfile"] = openErrno(fake.home / ".new-dotfile", O_WRONLY | O_CREAT | O_EXCL);
        // The editor's pages still come back where it asks for them.
        const fs::path editorRenders = IPCPaths::editorRenderDirectory();
        results["editor's render folder is in the system's"] =
            editorRenders.parent_path() == fake.root.path() ? 0 : EINVAL;
        results["render a page for the editor"] =
            openErrno(editorRenders / "page.png", O_WRONLY | O_CREAT | O_EXCL);
        writeAll(report, encodeResults(results));
        return 0;
    });
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.report;
    const std::map<std::string, int> expected = {
        {"temporary folder is the support folder's", 0},     {"create a temporary file", 0},
        {"create in the system's temporary folder", EACCES}, {"create dotfile", EACCES},
        {"editor's render folder is in the system's", 0},    {"render a page for the editor", 0},
    };
    EXPECT_EQ(decodeResults(outcome.report), expected) << outcome.report;
    struct stat status {};
    ASSERT_EQ(::lstat((fake.support / "tmp").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

// With XDG_RUNTIME_DIR set the render folder lies below /run, which is otherwise read-only.
TEST_F(Confinement, TheRenderFolderStaysWritableWhereverItLies) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a runtime folder below /run";
    FakeHome fake;
    const fs::path runtime = "/run/kivo-sandbox-test-" + std::to_string(::getpid());
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    const auto outcome = inChild([&](int report) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        try {
            WorkerSandbox::apply(fake.ipc, fake.support, fake.home);
        } catch (const std::exception& error) {
            writeAll(report, std::string("apply failed: ") + error.what());
            return 1;
        }
        writeAll(report,
                 std::to_string(openErrno(runtime / "kivo-pdf-render" / "page.png", O_WRONLY | O_CREAT)) +
                     " " + std::to_string(openErrno(runtime / "elsewhere.png", O_WRONLY | O_CREAT)));
        return 0;
    });
    std::error_code ignored;
    fs::remove_all(runtime, ignored);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.report;
    EXPECT_EQ(outcome.report, "0 " + std::to_string(EACCES));
}

TEST_F(Confinement, RefusesASupportFolderThatWouldOpenTheHomeFolder) {
    FakeHome fake;
    const auto outcome = inChild([&](int report) {
        try {
            WorkerSandbox::apply(fake.home / "ipc", fake.home, fake.home);
        } catch (const EngineFailure& failure) {
            writeAll(report, std::string(rawValue(failure.code)) + "|" + failure.message);
            return 0;
        }
        return 1;
    });
    ASSERT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.report.substr(0, outcome.report.find('|')), "sandbox");
    EXPECT_TRUE(outcome.report.find("|The worker's sandbox could not be applied: ") != std::string::npos)
        << outcome.report;
}

// Reports what apply threw in the child, "applied" when it did not.
std::string applyOutcome(const FakeHome& fake, const std::function<void()>& before) {
    return inChild([&](int report) {
               before();
               try {
                   WorkerSandbox::apply(fake.ipc, fake.support, fake.home);
                   writeAll(report, "applied");
               } catch (const EngineFailure& failure) {
                   writeAll(report, std::string(rawValue(failure.code)) + ": " + failure.message);
               }
               return 0;
           })
        .report;
}

// Checked before anything is confined, so this runs in the test process itself.
TEST(LinuxConfinement, RefusesFoldersThatAreNotAbsolute) {
    for (const auto& [ipc, support, home] : {std::tuple<fs::path, fs::path, fs::path>{"ipc", "/s", "/h"},
                                             {"/i", "", "/h"},
                                             {"/i", "/s", "home"}}) {
        try {
            LinuxConfinement::apply(ipc, support, home);
            ADD_FAILURE() << "applied with " << ipc << " " << support << " " << home;
        } catch (const LinuxConfinement::ConfinementError& error) {
            EXPECT_STREQ(error.what(), "its folders must be absolute paths");
        }
    }
}

TEST_F(Confinement, RefusesToStartWithoutLandlock) {
    FakeHome fake;
    const auto outcome = applyOutcome(fake, [] {
        // A kernel without Landlock answers its calls with ENOSYS.
        scmp_filter_ctx context = seccomp_init(SCMP_ACT_ALLOW);
        seccomp_rule_add(context, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_create_ruleset), 0);
        seccomp_load(context);
        seccomp_release(context);
    });
    EXPECT_EQ(outcome,
              "sandbox: The worker's sandbox could not be applied: Landlock is not available on this system "
              "(Function not implemented)");
}

TEST_F(Confinement, FailsClosedWhenAThreadCannotBeConfined) {
    FakeHome fake;
    const auto outcome = applyOutcome(fake, [] {
        sigset_t all;
        sigfillset(&all);
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        std::thread([] { ::pause(); }).detach();  // inherits the mask: deaf to every signal
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    });
    EXPECT_EQ(
        outcome,
        "sandbox: The worker's sandbox could not be applied: a worker thread did not confine itself in time");
}

TEST_F(Confinement, ApplyCreatesTheSupportFolderFirst) {
    FakeHome fake;
    const auto support = fake.root.path() / "fresh" / "support";
    const auto outcome = inChild([&](int) {
        try {
            WorkerSandbox::apply(support / "ipc", support, fake.home);
        } catch (const std::exception&) {
            return 1;
        }
        return 0;
    });
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_TRUE(fs::is_directory(support));
}

// The worker does all its PDF work after it has confined itself: PDFium's
// runtime (its memory, its fault handling) must keep working in the sandbox.
TEST(ConfinedPdfium, LoadsRendersAndSavesInsideTheSandbox) {
    using namespace kivo::pdfium;
    if (!testing::landlockAvailable()) GTEST_SKIP() << "Landlock is not available on this machine";
    testing::TempDir root;
    const auto home = root.path() / "home";
    const auto support = home / ".local" / "share" / "kivo-pdf";
    fs::create_directories(home / "Documents");
    fs::create_directories(home / ".config");
    fs::create_directories(support / "ipc");
    testing::writeFile(home / "Documents" / "in.pdf",
                       testing::makePdf({testing::TestPage{}, testing::TestPage{}}));

    const auto outcome = inChild([&](int report) {
        initLibrary();
        try {
            WorkerSandbox::apply(support / "ipc", support, home);
        } catch (const std::exception& error) {
            writeAll(report, error.what());
            return 1;
        }
        auto bytes = std::make_shared<std::string>(testing::readFile(home / "Documents" / "in.pdf"));
        Document document = Document::load(testing::bytesOf(*bytes), bytes, nullptr);
        if (!document) return 2;
        std::ostringstream text;
        text << "pages=" << FPDF_GetPageCount(document.get()) << '\n';
        {
            ScopedPage page(FPDF_LoadPage(document.get(), 0));
            ScopedBitmap bitmap(FPDFBitmap_Create(64, 64, 1));
            FPDF_RenderPageBitmap(bitmap.get(), page.get(), 0, 0, 64, 64, 0, 0);
            text << "rendered=" << (page && bitmap ? 1 : 0) << '\n';
        }
        text << "saved to Documents=" << saveToFile(document.get(), (home / "Documents" / "out.pdf").c_str())
             << '\n';
        text << "saved to support=" << saveToFile(document.get(), (support / "checkpoint.pdf").c_str())
             << '\n';
        text << "saved to recovery="
             << saveToFile(document.get(), (support / "recovery" / "checkpoint.pdf").c_str()) << '\n';
        text << "saved to dot-folder=" << saveToFile(document.get(), (home / ".config" / "out.pdf").c_str())
             << '\n';
        writeAll(report, text.str());
        return 0;
    });
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.report;
    EXPECT_EQ(outcome.report,
              "pages=2\nrendered=1\nsaved to Documents=1\nsaved to support=0\nsaved to recovery=1\n"
              "saved to dot-folder=0\n");
    EXPECT_TRUE(fs::exists(home / "Documents" / "out.pdf"));
    EXPECT_FALSE(fs::exists(home / ".config" / "out.pdf"));
}

}  // namespace
}  // namespace kivo
