#pragma once

#include <stdint.h>
#include <sys/types.h>

// The Linux layer under WorkerSandbox. The rules it enforces are those of the
// worker's sandbox profile, translated to what the kernel offers:
//
// - Landlock (required; any ABI from 1, every access right the running ABI
//   knows is handled): files may be read everywhere except inside the home
//   folder's dot-entries, written everywhere except where software lives
//   (/usr, /etc, /opt, /boot, /bin, /sbin, /lib*, /var but /var/tmp, /proc,
//   /sys, /run and ~/bin), and nothing may be executed. The support folder,
//   the IPC folder and the temporary folder are granted in full even when they
//   lie in a dot-folder, and so is the user's render folder; of /dev only
//   null, zero, full, random, urandom and shm are granted, no terminal;
//   sockets may be created only in the IPC folder. TCP
//   bind and connect are refused, and so are abstract sockets and signals that
//   would leave the worker (ABI 4 and 6).
// - A seccomp filter on every thread: only Unix stream sockets; no connect;
//   no execve, execveat, fork, vfork or process-creating clone; clone3 fails
//   with ENOSYS so the C library falls back to clone, whose flags can be read;
//   no io_uring, ptrace, kernel keyrings, namespaces or mounts; no changing of
//   modes, owners, times or extended attributes by path (descriptors only);
//   no TIOCSTI or TIOCLINUX.
// - PR_SET_NO_NEW_PRIVS.
//
// Landlock confines one thread at a time, so every thread that exists when
// the sandbox is applied confines itself from a signal handler before the
// call returns; the seccomp filter is synchronised to all threads.
//
// Functions with C linkage, mirroring the small C layer of other platforms.
extern "C" {

// Confines the calling process for good. Returns 0 on success. On failure
// stores a malloc'ed reason at *error (when error is not null), to be released
// with kivo_sandbox_free_error; the process may then be partly confined.
int32_t kivo_sandbox_apply(const char* ipc, const char* support, const char* home, char** error);

void kivo_sandbox_free_error(char* error);

// 1 when the process runs under a seccomp filter with no_new_privs set (the
// kernel does not report Landlock domains), 0 otherwise.
int32_t kivo_sandbox_is_sandboxed(pid_t pid);

// The running kernel's Landlock ABI version, or -1 with errno set when
// Landlock is missing or disabled.
int32_t kivo_sandbox_landlock_abi(void);
}
