#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace kivo {

// The worker parses untrusted files, so once its socket listens it confines
// itself: no network but Unix sockets, no programs, no private data of the
// home folder, no writes where software lives. The rules are written down as
// a sandbox profile text; on Linux they are enforced by Landlock and a seccomp
// filter (linux_confinement.hpp).
namespace WorkerSandbox {

inline constexpr const char* switchVariable = "KIVO_PDF_WORKER_SANDBOX";
inline constexpr const char* failurePrefix = "The worker's sandbox could not be applied: ";

// The profile text for the three folders (each with links already resolved).
// Pure.
std::string profile(std::string_view ipc, std::string_view support, std::string_view home);

// A path as a quoted profile string: backslashes doubled, then double quotes
// escaped.
std::string quoted(std::string_view path);

// The raw regular expression that matches every path that begins with the
// home folder, a slash and a dot.
std::string dotfiles(std::string_view home);

// Creates the support folder (throws std::filesystem::filesystem_error when
// that fails), resolves links in the three paths and confines the calling
// process for good. Throws EngineFailure with code `sandbox` and a message
// starting with failurePrefix when the confinement cannot be applied in full.
void apply(const std::filesystem::path& ipc, const std::filesystem::path& support,
           const std::filesystem::path& home);

// True when the process with that id runs under a seccomp filter with
// no_new_privs set, which this sandbox always installs last.
bool isSandboxed(pid_t pid);

// True only for the exact value "off" of KIVO_PDF_WORKER_SANDBOX.
bool switchedOff(const char* value) noexcept;

// "code: message" for EngineFailure, what() for anything else.
std::string describe(const std::exception& error);

// The worker's start-up step: with KIVO_PDF_WORKER_SANDBOX=off it says so on
// standard error and returns; otherwise it applies the sandbox with the given
// IPC folder, the support folder and the user's home folder, and on failure
// writes "kivo-pdf-worker: " + the failure's description to standard error and
// exits with WorkerExit::sandboxFailed (73).
void applyForWorker(const std::filesystem::path& ipc);

}  // namespace WorkerSandbox

}  // namespace kivo
