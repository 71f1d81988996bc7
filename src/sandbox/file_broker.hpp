#pragma once

// The confined worker's way to the person's documents. Landlock's rules are fixed when the worker
// confines itself, and cannot say "the home folder but its hidden entries, also those made later",
// so a small process that stays unconfined opens and creates client files for the worker and
// hands back descriptors. It is forked before the worker confines itself and serves one socket
// pair until the worker's end closes.
//
// What it is asked is only ever a path and flags. It walks each path one name at a time without
// following another user's link (SafeFiles::reach), judges every folder it enters or makes and the
// file itself by where they really are once links are taken, and only then opens or creates. It
// never removes, renames or links anything but the hidden file of a save it made itself, never
// changes a mode to more than read and write, and gives back a file for reading only when it is a
// regular file.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "core/document_files.hpp"

namespace kivo::FileBroker {

// Where the worker may not reach documents, with every path's links resolved.
struct Policy {
    std::filesystem::path home;
    std::filesystem::path support;
    std::filesystem::path ipc;

    // Why a file (or, with `folder`, a folder) at `real` may not be used so; nothing when it may.
    // `real` is absolute, normal and has no link on the way. Pure.
    std::optional<DocumentFiles::Place> judge(const std::filesystem::path& real, DocumentFiles::Use use,
                                              bool folder) const;
};

// Forks the broker now, while the process is small and has no threads to speak of; the worker
// hands it its policy later with `install`. Nothing happens and false is answered when it cannot
// be forked; `install` then forks one itself.
bool startEarly() noexcept;

// Gives the broker (the one started early, or one forked now) its policy, for good: the broker
// accepts one policy and only before it serves anything. Then client files of this process go
// through it, except those inside `ownFolders`. Throws std::system_error when no broker can be had.
void install(const Policy& policy, std::vector<std::filesystem::path> ownFolders);

}  // namespace kivo::FileBroker
