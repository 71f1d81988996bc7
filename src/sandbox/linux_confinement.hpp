#pragma once

// The Linux layer under WorkerSandbox. The rules it enforces are those of the
// worker's sandbox profile, translated to what the kernel offers:
//
// - Landlock (required; any ABI from 1, every access right the running ABI
//   knows is handled): files may be read everywhere except inside the home
//   folder's dot-entries, written everywhere except where software lives
//   (/usr, /etc, /opt, /boot, /bin, /sbin, /lib*, /var but /var/tmp, /proc,
//   /sys, /run and ~/bin), and nothing may be executed. Nothing is granted in
//   the support folder and the IPC folder, nor in any folder that holds them,
//   beyond the folders the worker writes: its recovery folder, its render
//   folder and its temporary folder (the system's when granting it opens
//   nothing else, else one in the support folder), made private before the
//   worker is confined. So nothing in the IPC folder (socket, token, the
//   editor's lock) can be made, removed, renamed or linked, and no socket can
//   be made anywhere. Of /dev only null, zero, full, random and urandom are
//   granted: no terminal, and nothing in /dev/shm, where other programs keep
//   their shared memory (nothing in the worker or its libraries calls shm_open
//   or sem_open). TCP bind and connect are refused, and so are abstract
//   sockets and signals that would leave the worker (ABI 4 and 6).
// - A seccomp filter on every thread: no new sockets (socket, socketpair); no connect;
//   no execve, execveat, fork, vfork or process-creating clone; clone3 fails
//   with ENOSYS so the C library falls back to clone, whose flags can be read;
//   no io_uring, ptrace, kernel keyrings, namespaces or mounts; no changing of
//   modes, owners, times or extended attributes, by path or by descriptor;
//   no TIOCSTI or TIOCLINUX; no System V IPC (of the worker's libraries only
//   the crypto library calls it, to wait for /dev/random on kernels without
//   getrandom, older than any with Landlock); no pidfd_open, kcmp,
//   process_madvise or process_mrelease.
// - A second seccomp filter: limits, priorities, processor affinity,
//   scheduling, I/O priority and memory placement only of the worker itself
//   (pid 0 or its own, a priority for no process group or user).
// - PR_SET_NO_NEW_PRIVS.
//
// Landlock confines one thread at a time, so every thread that exists when
// the sandbox is applied confines itself from a signal handler before the
// call returns; the seccomp filter is synchronised to all threads.

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace kivo::LinuxConfinement {

// Why the confinement could not be applied, as a sentence fragment ("Landlock
// is not available on this system (Function not implemented)").
class ConfinementError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Confines the calling process for good, and names the worker's temporary
// folder (FileCreation::useTemporaryFolder). Throws ConfinementError for a
// folder that is not an absolute path, for a support or IPC folder that holds
// the home folder, for a recovery or temporary folder that cannot be made
// private, and for every refusal of the kernel; other exceptions (no memory,
// say) pass through. After a failure the process may be partly confined.
void apply(const std::filesystem::path& ipc, const std::filesystem::path& support,
           const std::filesystem::path& home);

// True when the process runs under a seccomp filter with no_new_privs set (the
// kernel does not report Landlock domains); false also when it cannot be read.
bool isSandboxed(pid_t pid);

// The running kernel's Landlock ABI version, or -1 with errno set when
// Landlock is missing or disabled.
int landlockABI();

}  // namespace kivo::LinuxConfinement
