#include "sandbox/linux_confinement.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/ioprio.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/descriptor.hpp"
#include "core/file_creation.hpp"
#include "core/ipc_paths.hpp"
#include "sandbox/file_broker.hpp"

// The Debian kernel headers stop at Landlock ABI 2; the later rights keep the
// values the kernel gave them.
#ifdef LANDLOCK_SCOPE_SIGNAL
#define KIVO_LANDLOCK_HEADER_HAS_SCOPES 1
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif
#ifndef LANDLOCK_CREATE_RULESET_ERRATA
#define LANDLOCK_CREATE_RULESET_ERRATA (1U << 1)
#endif

namespace kivo::LinuxConfinement {
namespace {

namespace fs = std::filesystem;

#ifdef KIVO_LANDLOCK_HEADER_HAS_SCOPES
using RulesetAttr = landlock_ruleset_attr;
#else
// The ruleset attribute as it grew after the installed header (ABI 4 added the
// network field, ABI 6 the scopes); the kernel takes the larger size.
struct RulesetAttr {
    __u64 handled_access_fs;
    __u64 handled_access_net;
    __u64 scoped;
};
static_assert(sizeof(landlock_ruleset_attr) == sizeof(__u64), "installed header grew; use its struct");
#endif

std::string errnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

[[noreturn]] void fail(std::string what, int error) {
    throw ConfinementError(std::move(what) + " (" + errnoText(error) + ")");
}

// A folder listing, closed on every exit.
using Directory = std::unique_ptr<DIR, int (*)(DIR*)>;

Directory openDirectory(const fs::path& folder) { return Directory(::opendir(folder.c_str()), ::closedir); }

long landlockCreateRuleset(const RulesetAttr* attr, std::size_t size, std::uint32_t flags) {
    return ::syscall(SYS_landlock_create_ruleset, attr, size, flags);
}

// Rights that apply to a file rather than to a folder's entries.
constexpr std::uint64_t fileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                     LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                     LANDLOCK_ACCESS_FS_IOCTL_DEV;
constexpr std::uint64_t readRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t writeRights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                      LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                                      LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                                      LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER;

struct HandledRights {
    std::uint64_t fs = 0;
    std::uint64_t net = 0;
    std::uint64_t scoped = 0;
};

// Everything the running ABI knows is handled, so whatever no rule grants is
// refused.
HandledRights handledRights(int abi, std::uint64_t errata) {
    HandledRights rights;
    rights.fs = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
                LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2) rights.fs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) rights.fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 4) rights.net = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    if (abi >= 5) rights.fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    if (abi >= 6) {
        rights.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
        // Each thread confines itself, so the threads end up in sibling
        // domains; before erratum 2 was fixed, signal scoping would then stop
        // them signalling each other (which the C library relies on).
        if ((errata & (1U << 1)) != 0) rights.scoped |= LANDLOCK_SCOPE_SIGNAL;
    }
    return rights;
}

// True when `path` is `root` or lies inside it (both absolute and normal).
bool isWithin(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (r->empty()) continue;  // a trailing separator
        if (p == path.end() || *p != *r) return false;
    }
    return true;
}

fs::path resolved(const fs::path& path) {
    std::error_code error;
    auto result = fs::weakly_canonical(path, error);
    return error ? path.lexically_normal() : result;
}

class RulesetBuilder {
public:
    // `ruleset` stays the caller's. Nothing is granted by place in or above a walled folder: the
    // editor's own files lie there (its socket, token and lock), and whatever a folder is granted
    // holds for everything below it.
    RulesetBuilder(int ruleset, std::uint64_t handled, fs::path home, std::vector<fs::path> walled)
        : ruleset_(ruleset), handled_(handled), home_(std::move(home)), walled_(std::move(walled)) {}

    // The home folder itself and its ancestors are never granted (that would
    // grant its dot-entries with them), nor anything inside a dot-entry.
    bool reachesPrivateData(const fs::path& target) const {
        if (isWithin(home_, target)) return true;
        if (!isWithin(target, home_) || target == home_) return false;
        const auto relative = target.lexically_relative(home_);
        return !relative.empty() && relative.begin()->string().starts_with('.');
    }

    // A walled folder, anything inside one, or one of their ancestors.
    bool reachesWalled(const fs::path& target) const {
        for (const auto& wall : walled_) {
            if (isWithin(target, wall) || isWithin(wall, target)) return true;
        }
        return false;
    }

    // What a path outside the explicitly granted folders may do, by where it
    // lies.
    static std::uint64_t rightsByPlace(const fs::path& target, const fs::path& home) {
        if (isWithin(target, "/dev"))
            return readRights | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_IOCTL_DEV;
        if (isWithin(target, home))
            return isWithin(target, home / "bin") ? readRights : readRights | writeRights;
        if (isWithin(target, "/var/tmp")) return readRights | writeRights;
        static const char* const software[] = {"/usr",  "/etc",  "/opt",   "/boot",  "/bin",
                                               "/sbin", "/lib",  "/lib32", "/lib64", "/libx32",
                                               "/var",  "/proc", "/sys",   "/run",   "/snap"};
        for (const char* root : software) {
            if (isWithin(target, root)) return readRights;
        }
        return readRights | writeRights;
    }

    // Grants `access` beneath `path` (links followed). A path that does not
    // exist or cannot be reached is left out, which only narrows the sandbox.
    void grant(const fs::path& path, std::uint64_t access) {
        const Descriptor target(::open(path.c_str(), O_PATH | O_CLOEXEC));
        if (!target) return;
        struct stat status {};
        if (::fstat(target.get(), &status) != 0) return;
        if (!S_ISDIR(status.st_mode)) access &= fileRights;
        access &= handled_;
        if (access == 0) return;
        landlock_path_beneath_attr rule{};
        rule.allowed_access = access;
        rule.parent_fd = target.get();
        if (::syscall(SYS_landlock_add_rule, ruleset_, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
            const int error = errno;
            fail("Landlock refused the rule for " + path.string(), error);
        }
    }

    void grantEntry(const fs::path& entry) {
        std::error_code error;
        const auto target = fs::canonical(entry, error);
        if (error || reachesPrivateData(target) || reachesWalled(target)) return;
        if (target == "/dev") {
            grantDevices();
            return;
        }
        grant(target, rightsByPlace(target, home_));
    }

    // Only the devices a worker reads or writes as plain data. No terminal at all: a worker that
    // could open the controlling terminal (/dev/tty) or another of the user's (/dev/pts) could
    // write to it, or type into it. Nor /dev/shm: what lies there is other programs' shared memory,
    // and nothing in the worker or its libraries makes any (shm_open, sem_open).
    void grantDevices() {
        for (const char* name : {"null", "zero", "full", "random", "urandom"}) {
            const fs::path device = fs::path("/dev") / name;
            std::error_code error;
            if (fs::is_symlink(device, error) || error) continue;
            grant(device, rightsByPlace(device, home_));
        }
    }

    // Everything but the home folder's dot-entries and the walled folders: each ancestor of the
    // home folder or of a walled folder contributes its other entries, the home folder its non-dot
    // ones, a walled folder none (what the worker writes there is granted on its own).
    void grantAllButPrivateData() {
        std::set<fs::path> walked{home_};
        for (const auto& root : walled_) {
            fs::path prefix = "/";
            for (const auto& component : root.relative_path()) {
                // Past a dot-entry of the home folder nothing is granted by place anyway.
                if (reachesPrivateData(prefix) && prefix != home_ && !isWithin(home_, prefix)) break;
                walked.insert(prefix);
                prefix /= component;
            }
        }
        for (fs::path prefix = "/"; const auto& component : home_.relative_path()) {
            walked.insert(prefix);
            prefix /= component;
        }
        for (const auto& folder : walked) {
            if (isInsideAWall(folder)) continue;
            for (const auto& name : entries(folder)) {
                const fs::path entry = folder / name;
                if (folder == home_ && name.starts_with('.')) continue;
                if (walked.contains(entry) || isWalledFolder(entry)) continue;
                grantEntry(entry);
            }
        }
    }

private:
    static std::vector<std::string> entries(const fs::path& folder) {
        std::vector<std::string> names;
        const Directory directory = openDirectory(folder);
        if (!directory) return names;  // nothing granted there: narrower, not wider
        while (const dirent* entry = ::readdir(directory.get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        return names;
    }

    bool isWalledFolder(const fs::path& folder) const {
        return std::find(walled_.begin(), walled_.end(), folder) != walled_.end();
    }

    bool isInsideAWall(const fs::path& folder) const {
        return std::any_of(walled_.begin(), walled_.end(),
                           [&](const fs::path& wall) { return isWithin(folder, wall); });
    }

    int ruleset_;
    std::uint64_t handled_;
    fs::path home_;
    std::vector<fs::path> walled_;
};

// --- Confining every thread ------------------------------------------------

constexpr int maxThreads = 4096;
std::atomic<int> rulesetForThreads{-1};
std::atomic<pid_t> confinedThreads[maxThreads];
std::atomic<int> confinedCount{0};
std::atomic<int> threadFailures{0};

bool confineCallingThread(int rulesetFd) {
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_landlock_restrict_self, rulesetFd, 0) == 0;
}

void confineFromSignal(int) {
    const int savedErrno = errno;
    if (confineCallingThread(rulesetForThreads.load())) {
        const int slot = confinedCount.fetch_add(1);
        if (slot < maxThreads) {
            confinedThreads[slot].store(static_cast<pid_t>(::syscall(SYS_gettid)));
        } else {
            threadFailures.fetch_add(1);
        }
    } else {
        threadFailures.fetch_add(1);
    }
    errno = savedErrno;
}

std::vector<pid_t> threadIds() {
    std::vector<pid_t> ids;
    const Directory directory = openDirectory("/proc/self/task");
    if (!directory) fail("the worker's threads could not be listed", errno);
    while (const dirent* entry = ::readdir(directory.get())) {
        if (entry->d_name[0] != '.') ids.push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
    }
    return ids;
}

// Landlock confines the calling thread only: every other thread of the process
// confines itself from a signal handler, and the call returns only once each
// has (a thread that cannot be reached in time fails the whole sandbox).
void confineOtherThreads(int rulesetFd) {
    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    const int signal = SIGRTMIN + 4;
    rulesetForThreads.store(rulesetFd);
    confinedCount.store(0);
    threadFailures.store(0);

    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = confineFromSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (::sigaction(signal, &action, &previous) != 0) fail("the thread signal could not be installed", errno);
    struct Restore {
        int signal;
        struct sigaction previous;
        ~Restore() { ::sigaction(signal, &previous, nullptr); }
    } restore{signal, previous};

    std::set<pid_t> confirmed{self};
    std::set<pid_t> signalled;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        bool settled = true;
        for (const pid_t id : threadIds()) {
            if (confirmed.contains(id)) continue;
            settled = false;
            if (signalled.insert(id).second && ::syscall(SYS_tgkill, ::getpid(), id, signal) != 0 &&
                errno != ESRCH) {
                fail("a worker thread could not be asked to confine itself", errno);
            }
        }
        if (settled) break;
        if (threadFailures.load() != 0) throw ConfinementError("a worker thread could not confine itself");
        if (std::chrono::steady_clock::now() > deadline) {
            throw ConfinementError("a worker thread did not confine itself in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int count = std::min(confinedCount.load(), maxThreads);
        for (int slot = 0; slot < count; ++slot) confirmed.insert(confinedThreads[slot].load());
    }
    if (threadFailures.load() != 0) throw ConfinementError("a worker thread could not confine itself");
}

// --- Seccomp ---------------------------------------------------------------

void loadSeccompFilter(bool refuseTruncateByPath) {
    std::unique_ptr<void, void (*)(scmp_filter_ctx)> context(seccomp_init(SCMP_ACT_ALLOW), seccomp_release);
    if (!context) throw ConfinementError("the seccomp filter could not be created");
    auto check = [](int result, const char* what) {
        if (result < 0) fail(what, -result);
    };
    check(seccomp_attr_set(context.get(), SCMP_FLTATR_CTL_TSYNC, 1),
          "the seccomp filter could not cover every thread");
    check(seccomp_attr_set(context.get(), SCMP_FLTATR_CTL_NNP, 1), "no_new_privs could not be requested");

    const auto refused = SCMP_ACT_ERRNO(EPERM);
    auto refuse = [&](int syscallNumber) {
        if (syscallNumber == __NR_SCMP_ERROR) return;  // not a call of this architecture
        check(seccomp_rule_add(context.get(), refused, syscallNumber, 0),
              "a system call could not be refused");
    };
    // No programs, no other processes, no way around the filter or Landlock,
    // nothing that only privileged processes need.
    for (const int syscallNumber : {SCMP_SYS(execve),
                                    SCMP_SYS(execveat),
                                    SCMP_SYS(fork),
                                    SCMP_SYS(vfork),
                                    SCMP_SYS(io_uring_setup),
                                    SCMP_SYS(io_uring_enter),
                                    SCMP_SYS(io_uring_register),
                                    SCMP_SYS(ptrace),
                                    SCMP_SYS(process_vm_readv),
                                    SCMP_SYS(process_vm_writev),
                                    SCMP_SYS(pidfd_getfd),
                                    SCMP_SYS(keyctl),
                                    SCMP_SYS(add_key),
                                    SCMP_SYS(request_key),
                                    SCMP_SYS(unshare),
                                    SCMP_SYS(setns),
                                    SCMP_SYS(mount),
                                    SCMP_SYS(umount2),
                                    SCMP_SYS(pivot_root),
                                    SCMP_SYS(chroot),
                                    SCMP_SYS(open_tree),
                                    SCMP_SYS(move_mount),
                                    SCMP_SYS(fsopen),
                                    SCMP_SYS(fsmount),
                                    SCMP_SYS(fspick),
                                    SCMP_SYS(bpf),
                                    SCMP_SYS(perf_event_open),
                                    SCMP_SYS(userfaultfd),
                                    SCMP_SYS(open_by_handle_at),
                                    SCMP_SYS(init_module),
                                    SCMP_SYS(finit_module),
                                    SCMP_SYS(delete_module),
                                    SCMP_SYS(kexec_load),
                                    SCMP_SYS(kexec_file_load),
                                    SCMP_SYS(reboot),
                                    SCMP_SYS(swapon),
                                    SCMP_SYS(swapoff),
                                    SCMP_SYS(iopl),
                                    SCMP_SYS(ioperm)}) {
        refuse(syscallNumber);
    }
    // Landlock governs opening and writing files, not changing their modes, owners, times or
    // extended attributes, so a compromised worker could open the user's private key to others, or
    // a program it may only read (~/bin) to other writers. Neither by path nor by descriptor: the
    // worker's files get their final mode from the call that creates them.
    for (const char* name :
         {"chmod", "fchmod", "fchmodat", "chown", "fchown", "lchown", "fchownat", "utime", "utimes",
          "futimesat", "setxattr", "lsetxattr", "fsetxattr", "removexattr", "lremovexattr", "fremovexattr"}) {
        refuse(seccomp_syscall_resolve_name(name));
    }
    // Calls newer than the installed libseccomp keep the number every architecture gave them.
    for (const auto& [name, number] :
         {std::pair{"fchmodat2", 452}, {"setxattrat", 463}, {"removexattrat", 466}}) {
        const int resolved = seccomp_syscall_resolve_name(name);
        refuse(resolved != __NR_SCMP_ERROR ? resolved : number);
    }
    // utimensat without a path sets the times of a descriptor (futimens); with one, of any file.
    refuse(SCMP_SYS(utimensat));
    // No typing into a terminal, whichever one the worker still holds. The kernel reads the
    // request as 32 bits, so the upper half of the argument must not hide it.
    for (const unsigned long request :
         {static_cast<unsigned long>(TIOCSTI), static_cast<unsigned long>(TIOCLINUX)}) {
        check(seccomp_rule_add(context.get(), refused, SCMP_SYS(ioctl), 1,
                               SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffUL, static_cast<scmp_datum_t>(request))),
              "typing into a terminal could not be refused");
    }

    // Landlock governs neither connect() to a path-named socket nor the
    // reaching of one, so the session bus or an agent socket would be open to
    // a compromised worker: the worker only accepts, so connect is refused.
    refuse(SCMP_SYS(connect));
    if (refuseTruncateByPath) refuse(SCMP_SYS(truncate));

    // Threads only: clone must carry CLONE_THREAD. clone3 passes its flags in
    // memory the filter cannot read, so it reports ENOSYS and the C library
    // falls back to clone.
    check(seccomp_rule_add(context.get(), refused, SCMP_SYS(clone), 1,
                           SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)),
          "process creation could not be refused");
    check(seccomp_rule_add(context.get(), SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0),
          "clone3 could not be refused");

    // No new sockets at all: the worker's own socket listens before the filter, and accepted
    // connections come from accept(). Any other socket could bind an abstract name, which no
    // folder rule covers, and sit there for a program that connects to it later.
    refuse(SCMP_SYS(socket));
    refuse(SCMP_SYS(socketpair));

    // Memory other programs of the user share is theirs: System V objects are open to any process
    // of the user by key or by id, a private one too, and the worker makes none of its own.
    for (const char* name : {"shmget", "shmat", "shmdt", "shmctl", "msgget", "msgsnd", "msgrcv", "msgctl",
                             "semget", "semop", "semtimedop", "semctl"}) {
        refuse(seccomp_syscall_resolve_name(name));
    }
    // No handle on another process (a pidfd tells when the editor ends, and signals it), and nothing
    // that compares, advises or reaps another process's memory.
    refuse(SCMP_SYS(kcmp));
    for (const auto& [name, number] :
         {std::pair{"pidfd_open", 434}, {"process_madvise", 440}, {"process_mrelease", 448}}) {
        const int resolved = seccomp_syscall_resolve_name(name);
        refuse(resolved != __NR_SCMP_ERROR ? resolved : number);
    }
    check(seccomp_load(context.get()), "the seccomp filter could not be loaded");

    // The worker may change its own limits, priority, processors, scheduling, I/O priority and
    // memory placement, but no other process's: these calls reach every process of the user, the
    // editor among them, and lowering one's limit on processor time ends it. So the pid must be 0
    // or the worker's own (a thread that changes itself names itself by 0, not by its id), and no
    // priority is set for a process group or a user, which would take in the editor too, the
    // worker's own group and user (who 0) first of all. The kernel reads these arguments as 32
    // bits, so those are compared, and no upper half can hide a pid. libseccomp compares an
    // argument once per rule and cannot say "neither 0 nor this pid", so this is a second, small
    // filter; the one above already ends the calls of every other architecture.
    const auto self = static_cast<std::uint32_t>(::getpid());
    const auto argument = [](int index) {
        const std::size_t low = std::endian::native == std::endian::big ? 4 : 0;
        return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + index * sizeof(std::uint64_t) + low);
    };
    const auto load = [](std::uint32_t offset) {
        return sock_filter{BPF_LD | BPF_W | BPF_ABS, 0, 0, offset};
    };
    const auto ifEqual = [](std::uint32_t value, std::size_t skipIfEqual, std::size_t skipOtherwise) {
        return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint8_t>(skipIfEqual),
                           static_cast<std::uint8_t>(skipOtherwise), value};
    };
    const auto answer = [](std::uint32_t action) { return sock_filter{BPF_RET | BPF_K, 0, 0, action}; };
    std::vector<sock_filter> program = {
        load(offsetof(seccomp_data, arch)),
        ifEqual(seccomp_arch_native(), 1, 0),
        answer(SECCOMP_RET_ALLOW),
        load(offsetof(seccomp_data, nr)),
    };
    struct OnItselfOnly {
        int call;
        int pid;
        int selector = -1;          // the argument that says what `pid` names, where there is one
        std::uint32_t process = 0;  // its value for a single process
    };
    for (const OnItselfOnly& rule : {OnItselfOnly{SCMP_SYS(prlimit64), 0},
                                     {SCMP_SYS(sched_setaffinity), 0},
                                     {SCMP_SYS(sched_setscheduler), 0},
                                     {SCMP_SYS(sched_setparam), 0},
                                     {SCMP_SYS(sched_setattr), 0},
                                     {SCMP_SYS(migrate_pages), 0},
                                     {SCMP_SYS(move_pages), 0},
                                     {SCMP_SYS(setpriority), 1, 0, PRIO_PROCESS},
                                     {SCMP_SYS(ioprio_set), 1, 0, IOPRIO_WHO_PROCESS}}) {
        if (rule.call < 0) continue;  // not a call of this architecture
        std::vector<sock_filter> test;
        if (rule.selector >= 0) {
            test.push_back(load(argument(rule.selector)));
            test.push_back(ifEqual(rule.process, 0, 3));
        }
        test.push_back(load(argument(rule.pid)));
        test.push_back(ifEqual(0, 2, 0));
        test.push_back(ifEqual(self, 1, 0));
        test.push_back(answer(SECCOMP_RET_ERRNO | EPERM));
        test.push_back(answer(SECCOMP_RET_ALLOW));
        program.push_back(ifEqual(static_cast<std::uint32_t>(rule.call), 0, test.size()));
        program.insert(program.end(), test.begin(), test.end());
    }
    program.push_back(answer(SECCOMP_RET_ALLOW));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    // no_new_privs is set already, by the filter above.
    const long synced = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter);
    if (synced < 0) fail("the filter on other processes could not be loaded", errno);
    if (synced > 0) throw ConfinementError("the filter on other processes could not cover every thread");
}

std::uint64_t landlockErrata() {
    const long errata = landlockCreateRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_ERRATA);
    return errata < 0 ? 0 : static_cast<std::uint64_t>(errata);
}

long landlockVersion() { return landlockCreateRuleset(nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION); }

}  // namespace

int landlockABI() {
    const long abi = landlockVersion();
    return abi < 0 ? -1 : static_cast<int>(abi);
}

void apply(const fs::path& ipc, const fs::path& support, const fs::path& home) {
    for (const fs::path* folder : {&ipc, &support, &home}) {
        if (!folder->is_absolute()) throw ConfinementError("its folders must be absolute paths");
    }
    const int abi = landlockABI();
    if (abi < 1) fail("Landlock is not available on this system", errno);
    const auto handled = handledRights(abi, landlockErrata());

    RulesetAttr attributes{};
    attributes.handled_access_fs = handled.fs;
    attributes.handled_access_net = handled.net;
    attributes.scoped = handled.scoped;
    const Descriptor ruleset(static_cast<int>(landlockCreateRuleset(&attributes, sizeof attributes, 0)));
    if (!ruleset) fail("Landlock could not create its rule set", errno);

    const auto homeFolder = resolved(home);
    const auto supportFolder = resolved(support);
    const auto ipcFolder = resolved(ipc);
    for (const auto& folder : {supportFolder, ipcFolder}) {
        if (isWithin(homeFolder, folder)) {
            throw ConfinementError("the folder " + folder.string() + " would open the whole home folder");
        }
    }
    RulesetBuilder rules(ruleset.get(), handled.fs, homeFolder, {supportFolder, ipcFolder});
    rules.grantAllButPrivateData();

    // Scratch folders stay writable inside the folders that are otherwise read-only, where that
    // opens nothing private and none of the editor's own files.
    const auto grantable = [&](const fs::path& target) {
        return !rules.reachesPrivateData(target) && !rules.reachesWalled(target);
    };
    // What the worker writes in the support folder lies in folders of its own: nothing in the IPC
    // folder beside them (the socket listens already) may be made, removed, renamed or linked.
    // They are made now, while that is still possible, and only this user's own are granted.
    const auto grantPrivate = [&](const fs::path& folder, const std::string& what) {
        try {
            FileCreation::makePrivateFolder(folder);
        } catch (const std::exception& error) {
            throw ConfinementError("its " + what + " " + folder.string() + " could not be made (" +
                                   error.what() + ")");
        }
        const auto target = resolved(folder);
        const bool inSupport = isWithin(target, supportFolder) && target != supportFolder;
        if (isWithin(target, ipcFolder) || isWithin(ipcFolder, target) || !(inSupport || grantable(target))) {
            throw ConfinementError("its " + what + " " + folder.string() + " lies where it may not write");
        }
        rules.grant(target, readRights | writeRights);
    };
    grantPrivate(supportFolder / "recovery", "recovery folder");
    try {
        grantPrivate(kivo::IPCPaths::renderDirectory(supportFolder), "render folder");
    } catch (const ConfinementError&) {
        // Renders alone fail then, each with its own sentence; documents still open and save.
    }
    if (const auto target = resolved("/var/tmp"); grantable(target))
        rules.grant(target, readRights | writeRights);
    // The system's temporary folder may hold the home folder (as in some containers) or the
    // support folder; granting it would grant those too, so the worker then keeps its temporary
    // files in a folder of its own.
    const auto systemTemporary = resolved(FileCreation::temporaryFolder());
    struct stat temporaryStatus {};
    if (grantable(systemTemporary) && ::stat(systemTemporary.c_str(), &temporaryStatus) == 0 &&
        S_ISDIR(temporaryStatus.st_mode)) {
        rules.grant(systemTemporary, readRights | writeRights);
        FileCreation::useTemporaryFolder(systemTemporary);
    } else {
        grantPrivate(supportFolder / "tmp", "temporary folder");
        FileCreation::useTemporaryFolder(supportFolder / "tmp");
        // The editor still asks for its pages in its own folder there; that one folder opens nothing
        // else, wherever it lies. Without it every page render fails, so it is made now if need be.
        try {
            const fs::path editorRenders = kivo::IPCPaths::editorRenderDirectory();
            FileCreation::makePrivateFolder(editorRenders);
            const auto target = resolved(editorRenders);
            if (!isWithin(homeFolder, target) && !rules.reachesWalled(target)) {
                rules.grant(target, readRights | writeRights);
            }
        } catch (const std::exception&) {
            // Another user's folder at that name, say: renders fail then, each with its own sentence.
        }
    }

    // Documents anywhere else, also in folders made from now on, are reached through the broker,
    // which judges each request as the file system is then; the worker's own folders stay direct.
    std::vector<fs::path> ownFolders;
    for (const fs::path& folder : {supportFolder / "recovery", kivo::IPCPaths::renderDirectory(supportFolder),
                                   kivo::IPCPaths::editorRenderDirectory(), supportFolder / "tmp"}) {
        ownFolders.push_back(folder.lexically_normal());
        ownFolders.push_back(resolved(folder));
    }
    try {
        FileBroker::install(FileBroker::Policy{homeFolder, supportFolder, ipcFolder}, std::move(ownFolders));
    } catch (const std::system_error& error) {
        fail("the worker's file broker could not be started", error.code().value());
    }

    confineOtherThreads(ruleset.get());
    if (!confineCallingThread(ruleset.get())) fail("Landlock could not confine the worker", errno);
    // Before ABI 3 truncate(2) by path is outside Landlock's reach.
    loadSeccompFilter(abi < 3);
}

bool isSandboxed(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    const Descriptor status(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!status) return false;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(status.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        text.append(buffer, static_cast<std::size_t>(count));
    }
    auto field = [&](const char* name) -> std::string {
        const auto at = text.find(std::string("\n") + name + ":");
        if (at == std::string::npos) return {};
        auto start = text.find_first_not_of(" \t", at + std::strlen(name) + 2);
        const auto end = text.find('\n', start);
        return start == std::string::npos ? std::string() : text.substr(start, end - start);
    };
    return field("Seccomp") == "2" && field("NoNewPrivs") == "1";
}

}  // namespace kivo::LinuxConfinement
