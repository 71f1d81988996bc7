#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "core/descriptor.hpp"

namespace kivo {

// Reading and replacing files in folders that other local users may write too. A name in such a
// folder can turn into a symbolic link, a FIFO or a device between two calls, so a file is opened
// once, checked through its descriptor, and everything after that goes through descriptors: the
// folder's and the file's own.
namespace SafeFiles {

// What opening a file for reading found.
struct ReadableFile {
    Descriptor fd;           // open, blocking reads, close-on-exec; empty when the open failed
    int error = 0;           // errno of the failed open
    bool isRegular = false;  // false for folders, FIFOs, sockets and devices
    off_t size = 0;          // of a regular file
};

// Opens `path` read-only without blocking on a FIFO or a device and without taking a terminal as
// the controlling one, then looks at what was opened. Never throws; the caller refuses anything
// that is not a regular file.
ReadableFile openForReading(const std::filesystem::path& path) noexcept;

// Opens for reading a file that a process trusted less than this one (the confined worker) left
// at `path`, and only when it is what such a process can make on its own: never through a link, a
// regular file of this user with no second name (a hard link to a private file would have one), at
// most `maxBytes` long. Never throws; on a refusal the descriptor is empty and `error` is ELOOP for
// a link, EINVAL for anything but a regular file, EPERM for a file of another user or with more
// names than one, EFBIG for one too large, or the errno of the failed open.
ReadableFile openUntrusted(const std::filesystem::path& path, off_t maxBytes) noexcept;

// A write that was refused or undone for the user's sake, with the whole sentence for them.
class WriteRefused : public std::runtime_error {
public:
    enum class Reason {
        // The destination is a symbolic link another user made: nothing was written.
        foreignLink,
        // Something else took the destination's name as the new file was put there: not saved.
        replacedMeanwhile,
    };

    WriteRefused(Reason reason, const std::string& sentence, std::string name = {})
        : std::runtime_error(sentence), reason(reason), name(std::move(name)) {}

    Reason reason;
    // The link's own name, for a foreign link.
    std::string name;
};

struct ReplaceOptions {
    // Mode of a file that did not exist before, before the umask.
    mode_t newFileMode = 0666;
    // Whether a destination that is a symbolic link of this user replaces the file it points to
    // (keeping the link) or is itself replaced by the new file. A link of anyone else is never
    // followed: the write is refused.
    bool followLink = true;
    // Whether missing folders on the way to the destination are made.
    bool createFolders = true;
};

// Writes `destination` whole: `write` fills a new file with a random hidden name in the
// destination's folder (reached one name at a time, so a link another user put on the way in a
// folder others may write is refused like one at the name; created exclusively, never through a
// link), which is then flushed and
// renamed over the destination relative to one descriptor of that folder, so a reader sees the
// old file or the new one, never a part, and nobody can slip a link in between. An existing file
// of this user keeps its mode and, where allowed, its group; an existing file of someone else
// keeps its owner, group and mode only when the owner can be given back, and is otherwise written
// owner-only. The new file is removed on every failure. After the rename the destination's name
// must still hold the very file written; a name someone swapped in between is not a success.
// Throws WriteRefused for a followed link of another user and for a swapped name,
// std::filesystem::filesystem_error for file-system failures, and whatever `write` throws.
void replaceFile(const std::filesystem::path& destination, const std::function<void(int fd)>& write,
                 const ReplaceOptions& options = {});

// Sees the path of each folder a walk enters (`making` false) or is about to make (true), every
// link on the way replaced by what it names; throws to stop the walk there.
using FolderJudge = std::function<void(const std::filesystem::path& folder, bool making)>;

// Where a name leads once its folders, and (with followLink) this user's links at the name, are
// walked as replaceFile walks them.
struct Reached {
    Descriptor folder;                 // the folder that holds the name, open for reading
    std::filesystem::path realFolder;  // its path with every link on the way taken
    std::string name;                  // the last name (which may not exist yet)
};

// Throws as replaceFile does for links and failed walks; makes missing folders when asked.
Reached reach(const std::filesystem::path& path, bool followLink, bool makeFolders,
              const FolderJudge& judge = {});

// Opens the reached name for reading without following a link there: a regular file blocking and
// close-on-exec; anything else only as a place (O_PATH), so no device is acted on.
ReadableFile openReached(const Reached& reached) noexcept;

// replaceFile in two steps, for a writer that fills the file elsewhere: the constructor reaches the
// destination (judgeTarget, when given, sees where it was reached before anything is made there) and creates
// the hidden file; commit() puts it in place. A replacement that is not committed removes its hidden file.
class Replacement {
public:
    Replacement(const std::filesystem::path& destination, const ReplaceOptions& options,
                const FolderJudge& judge = {}, const std::function<void(const Reached&)>& judgeTarget = {});
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    int fd() const noexcept { return file_.get(); }
    const Reached& reached() const noexcept { return reached_; }
    const std::filesystem::path& target() const noexcept { return target_; }
    void commit();

private:
    Reached reached_;
    std::filesystem::path target_;
    struct stat old_ {};
    bool replacing_ = false;
    mode_t mode_ = 0;
    std::string siblingName_;
    Descriptor file_;
};

// Removes the hidden siblings `replaceFile` made for `destination` and a stopped writer left
// behind. Never fails: a name that cannot be removed stays.
void removeSiblings(const std::filesystem::path& destination) noexcept;

// The path `replaceFile` writes for `destination` when links are followed: the file a chain of
// this user's links points to, or `destination` itself. Throws WriteRefused at a link of another
// user at the name, and at one standing for a folder on the way that lies in a folder others may
// write; std::filesystem::filesystem_error when a link cannot be read or the chain is too long.
std::filesystem::path replacementTarget(const std::filesystem::path& destination, bool followLink,
                                        const FolderJudge& judge = {});

// Whether `status` (from lstat or fstat, so a link is not followed) describes a folder that only
// this user can reach: a directory, owned by the effective user, with no group or other bits.
// Never fails.
bool isPrivateFolder(const struct stat& status) noexcept;

}  // namespace SafeFiles
}  // namespace kivo
