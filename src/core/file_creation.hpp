#pragma once

// How the worker makes files and folders so that each gets its final mode from the call that
// creates it: once confined, the worker may not change a mode, owner or time afterwards. The
// process umask is cleared once at start and every creation names its mode, less the umask the
// user had. Also the private folders the worker writes in (made before it is confined, and never
// given up because something else stands at their name) and the folder of its temporary files.
// Failures throw std::filesystem::filesystem_error.

#include <sys/types.h>

#include <filesystem>

namespace kivo::FileCreation {

// Clears the process umask for good and keeps the one it replaced for newFileMode. Call once,
// before a second thread creates anything.
void clearUmask() noexcept;

// `mode` less the umask clearUmask replaced. Before that call (and in programs that never make it)
// `mode` unchanged: the kernel still applies the umask then.
mode_t newFileMode(mode_t mode) noexcept;

// Makes `folder` and each missing folder on the way with newFileMode(0777), like mkdir -p.
void makeFolders(const std::filesystem::path& folder);

// Makes `folder` a folder only this user can reach: created 0700 when missing (its parents as
// makeFolders does), narrowed to 0700 when it is this user's and others may only read it. What
// stands there otherwise (a link, a file, another user's folder, a folder others may write into)
// is renamed aside to the folder's name plus ".not-ours-" and a few characters, never written
// into, and a fresh folder is made.
void makePrivateFolder(const std::filesystem::path& folder);

// The folder the worker makes its temporary files in: the one given to useTemporaryFolder, else
// the system's ($TMPDIR when set and absolute, else /tmp).
std::filesystem::path temporaryFolder();

// Called while the sandbox is applied, when the system's temporary folder cannot be granted
// without granting more than it should.
void useTemporaryFolder(const std::filesystem::path& folder);

}  // namespace kivo::FileCreation
