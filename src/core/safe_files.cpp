#include "core/safe_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/file_creation.hpp"
#include "core/text.hpp"

namespace kivo::SafeFiles {
namespace {

namespace fs = std::filesystem;

constexpr int maxNameAttempts = 16;
constexpr std::string_view siblingEnding = ".kivo-tmp";
// As many links as the kernel itself follows in one path.
constexpr int maxLinkHops = 40;

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The mode the new file is created with, so that it needs no change afterwards (the confined
// worker may not make one). It stands in for the old file, whose mode passes on only from the old
// file's own user: a file of someone else that this user may merely write would otherwise come
// back as this user's file, as open as the other user had made it.
mode_t creationMode(bool replacing, const struct stat& old, mode_t newFileMode) {
    if (!replacing || !S_ISREG(old.st_mode)) return FileCreation::newFileMode(newFileMode);
    if (old.st_uid == ::geteuid()) return old.st_mode & 0777;
    return FileCreation::newFileMode(newFileMode) & 0600;
}

// What the creation could not carry over: the old file's group (and, for someone else's file, its
// owner and then its mode), and the mode where a umask still narrowed it. Where the process may
// change none of these (a confined worker, which clears its umask instead), the file keeps what
// it was created with.
void takeOverAttributes(int fd, const struct stat& old, mode_t wanted) {
    struct stat created {};
    if (::fstat(fd, &created) != 0) return;
    if (old.st_uid == ::geteuid()) {
        if (created.st_gid != old.st_gid && ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            // Not a group of this user: the file keeps the user's own group.
        }
        if ((created.st_mode & 0777) != wanted) ::fchmod(fd, wanted);
        return;
    }
    if (::fchown(fd, old.st_uid, old.st_gid) == 0) ::fchmod(fd, old.st_mode & 0777);
}

// What the link open at `link` (an O_PATH descriptor) names; `path` is for the error.
fs::path readLink(int link, const fs::path& path) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(link, "", target.data(), target.size());
    if (length < 0) fail("Could not follow the link", path, errno);
    if (static_cast<std::size_t>(length) >= target.size())
        fail("Could not follow the link", path, ENAMETOOLONG);
    target.resize(static_cast<std::size_t>(length));
    return fs::path(target);
}

// What a link names, read from the link that was checked (an O_PATH descriptor), so nobody can
// swap another link in between. Nothing when `path` is not a link (or not there at all); throws
// WriteRefused for a link of another user.
std::optional<fs::path> linkTarget(const fs::path& path) {
    const Descriptor link(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!link || ::fstat(link.get(), &status) != 0 || !S_ISLNK(status.st_mode)) return std::nullopt;
    if (status.st_uid != ::geteuid()) {
        throw WriteRefused(
            WriteRefused::Reason::foreignLink,
            path.filename().string() + " is a link made by another user, so nothing was written.",
            path.filename().string());
    }
    return readLink(link.get(), path);
}

// Whether a link may stand for a folder on the way to a file: one of this user's or the system's,
// or one in a folder nobody else may write, so nobody else could have put it there. `holder` is
// the folder the link lies in.
bool mayFollowFolderLink(const struct stat& link, const struct stat& holder) {
    const uid_t self = ::geteuid();
    if (link.st_uid == self || link.st_uid == 0) return true;
    const bool othersMayWrite =
        (holder.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (holder.st_uid != self && holder.st_uid != 0);
    return !othersMayWrite;
}

enum class Missing { make, stop };

// The path a walk has really taken, every link on the way replaced by what it names.
void step(fs::path& real, const std::string& name) {
    if (name == "..") {
        if (real.has_relative_path()) real = real.parent_path();
        return;
    }
    real /= name;
}

// `folder` reached one name at a time from the root (or the working folder), every link on the way
// checked where it lies and read from the very link that was checked, so that nobody can slip a
// link in between. A missing folder is made (Missing::make) or ends the walk with nothing
// (Missing::stop: nothing missing can be a link). `judge`, when given, sees each folder's path
// with links taken before the walk enters or makes it, and stops the walk by throwing. Answers the
// folder opened for reading and, in `real`, its path with links taken; throws WriteRefused at a
// link of another user in a folder others may write, and std::filesystem::filesystem_error when
// the walk fails otherwise.
Descriptor walkToFolder(const fs::path& folder, Missing missing, const FolderJudge& judge = {},
                        fs::path* real = nullptr) {
    std::deque<std::string> names;
    for (const fs::path& part : folder.relative_path()) names.push_back(part.string());
    fs::path walked = folder.is_absolute() ? fs::path("/") : fs::current_path();
    const auto start = [&](bool absolute) {
        Descriptor root(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!root) fail("Could not open the folder", folder, errno);
        return root;
    };
    // The folders walked so far, the current one last. ".." goes back to the folder walked before
    // rather than to the kernel's parent of the current one: a folder moved while it is walked would
    // otherwise lead somewhere else than the path that was judged.
    std::vector<Descriptor> trail;
    trail.push_back(start(folder.is_absolute()));
    bool fromRoot = folder.is_absolute();
    if (judge) judge(walked, false);
    for (int hops = 0; !names.empty();) {
        const std::string name = std::move(names.front());
        names.pop_front();
        if (name.empty() || name == ".") continue;
        const int current = trail.back().get();
        if (name == ".." && (trail.size() > 1 || fromRoot)) {
            if (trail.size() > 1) trail.pop_back();  // the root's parent is the root
            step(walked, name);
            if (judge) judge(walked, false);
            continue;
        }
        Descriptor next(::openat(current, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT && missing == Missing::stop) return Descriptor();
        if (!next && errno == ENOENT) {
            fs::path made = walked;
            step(made, name);
            if (judge) judge(made, true);
            if (::mkdirat(current, name.c_str(), FileCreation::newFileMode(0777)) != 0 && errno != EEXIST) {
                fail("Could not create the folder", folder, errno);
            }
            next = Descriptor(::openat(current, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        }
        struct stat status {};
        if (!next || ::fstat(next.get(), &status) != 0) fail("Could not open the folder", folder, errno);
        if (S_ISDIR(status.st_mode)) {
            step(walked, name);
            if (judge) judge(walked, false);
            trail.push_back(std::move(next));
            continue;
        }
        if (!S_ISLNK(status.st_mode)) fail("Could not open the folder", folder, ENOTDIR);
        struct stat holder {};
        if (::fstat(current, &holder) != 0) fail("Could not open the folder", folder, errno);
        if (!mayFollowFolderLink(status, holder)) {
            throw WriteRefused(WriteRefused::Reason::foreignLink,
                               name + " is a link made by another user, so nothing was written.", name);
        }
        if (++hops > maxLinkHops) fail("Could not follow the link", folder, ELOOP);
        const fs::path target = readLink(next.get(), folder);
        std::vector<std::string> parts;
        for (const fs::path& part : target.relative_path()) parts.push_back(part.string());
        names.insert(names.begin(), parts.begin(), parts.end());
        if (target.is_absolute()) {
            trail.clear();
            trail.push_back(start(true));
            fromRoot = true;
            walked = "/";
        }
    }
    Descriptor opened(::openat(trail.back().get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened) fail("Could not open the folder", folder, errno);
    if (real != nullptr) *real = walked;
    return opened;
}

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// A fresh hidden sibling, created exclusively and never through a link someone planted there.
Descriptor createSibling(int folder, const std::string& name, mode_t mode, std::string& siblingName,
                         const fs::path& target) {
    for (int attempt = 0; attempt < maxNameAttempts; ++attempt) {
        siblingName = "." + name + "." + newUUIDString().substr(0, 13) + std::string(siblingEnding);
        Descriptor fd(::openat(folder, siblingName.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd) return fd;
        if (errno != EEXIST) fail("Could not create the new file", target, errno);
    }
    fail("Could not create the new file", target, EEXIST);
}

}  // namespace

ReadableFile openForReading(const fs::path& path) noexcept {
    ReadableFile file;
    file.fd = Descriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.fd) {
        file.error = errno;
        return file;
    }
    struct stat status {};
    if (::fstat(file.fd.get(), &status) != 0) {
        file.error = errno;
        file.fd.reset();
        return file;
    }
    file.isRegular = S_ISREG(status.st_mode);
    file.size = status.st_size;
    // Reads of a regular file block as usual.
    const int flags = ::fcntl(file.fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

ReadableFile openUntrusted(const fs::path& path, off_t maxBytes) noexcept {
    ReadableFile file;
    file.fd = Descriptor(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!file.fd || ::fstat(file.fd.get(), &status) != 0) {
        file.error = errno;
        file.fd.reset();
        return file;
    }
    file.isRegular = S_ISREG(status.st_mode);
    file.size = status.st_size;
    if (!file.isRegular) {
        file.error = EINVAL;
    } else if (status.st_uid != ::geteuid() || status.st_nlink != 1) {
        file.error = EPERM;
    } else if (status.st_size > maxBytes) {
        file.error = EFBIG;
    }
    if (file.error != 0) file.fd.reset();
    return file;
}

bool isPrivateFolder(const struct stat& status) noexcept {
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

void removeSiblings(const fs::path& destination) noexcept {
    const std::string prefix = "." + destination.filename().string() + ".";
    const fs::path folder = destination.has_parent_path() ? destination.parent_path() : fs::path(".");
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.starts_with(prefix) && name.ends_with(siblingEnding)) {
            ::unlinkat(AT_FDCWD, entry->path().c_str(), 0);
        }
    }
}

fs::path replacementTarget(const fs::path& destination, bool followLink, const FolderJudge& judge) {
    if (!followLink) {
        walkToFolder(folderOf(destination), Missing::stop, judge);
        return destination;
    }
    fs::path current = destination;
    for (int hop = 0; hop < maxLinkHops; ++hop) {
        // A name is only as trustworthy as the folders on the way to it.
        walkToFolder(folderOf(current), Missing::stop, judge);
        const auto next = linkTarget(current);
        if (!next) return current;
        current = next->is_absolute() ? *next : current.parent_path() / *next;
    }
    fail("Could not follow the link", destination, ELOOP);
}

Reached reach(const fs::path& path, bool followLink, bool makeFolders, const FolderJudge& judge) {
    const fs::path target = replacementTarget(path, followLink, judge);
    Reached reached;
    reached.name = target.filename().string();
    if (reached.name.empty() || reached.name == "." || reached.name == "..")
        fail("Could not write the file", target, EISDIR);
    reached.folder = walkToFolder(folderOf(target), makeFolders ? Missing::make : Missing::stop, judge,
                                  &reached.realFolder);
    if (!reached.folder) fail("Could not open the folder", folderOf(target), ENOENT);
    return reached;
}

Replacement::Replacement(const fs::path& destination, const ReplaceOptions& options, const FolderJudge& judge,
                         const std::function<void(const Reached&)>& judgeTarget) {
    reached_ = reach(destination, options.followLink, options.createFolders, judge);
    target_ = reached_.realFolder / reached_.name;
    if (judgeTarget) judgeTarget(reached_);
    const char* name = reached_.name.c_str();
    replacing_ = ::fstatat(reached_.folder.get(), name, &old_, AT_SYMLINK_NOFOLLOW) == 0;
    if (replacing_ && S_ISDIR(old_.st_mode)) fail("Could not write the file", target_, EISDIR);
    mode_ = creationMode(replacing_, old_, options.newFileMode);
    file_ = createSibling(reached_.folder.get(), reached_.name, mode_, siblingName_, target_);
}

Replacement::~Replacement() {
    if (!siblingName_.empty()) ::unlinkat(reached_.folder.get(), siblingName_.c_str(), 0);
}

void Replacement::commit() {
    struct stat written {};
    const char* name = reached_.name.c_str();
    if (replacing_ && S_ISREG(old_.st_mode)) takeOverAttributes(file_.get(), old_, mode_);
    // The bytes are on disk before the name points at them.
    if (::fsync(file_.get()) != 0) fail("Could not write the file", target_, errno);
    if (::fstat(file_.get(), &written) != 0) fail("Could not write the file", target_, errno);
    if (::close(file_.release()) != 0) fail("Could not write the file", target_, errno);
    if (::renameat(reached_.folder.get(), siblingName_.c_str(), reached_.folder.get(), name) != 0) {
        fail("Could not replace the file", target_, errno);
    }
    siblingName_.clear();
    // Another writer of the folder may have swapped the hidden name before the rename, or the
    // destination right after it: then the bytes are not where the user asked for them.
    struct stat placed {};
    if (::fstatat(reached_.folder.get(), name, &placed, AT_SYMLINK_NOFOLLOW) != 0 ||
        placed.st_dev != written.st_dev || placed.st_ino != written.st_ino) {
        throw WriteRefused(WriteRefused::Reason::replacedMeanwhile,
                           "Something else took the place of " + reached_.name +
                               " while it was being written, so it was not saved.");
    }
    // The rename itself survives a crash once the folder is flushed.
    ::fsync(reached_.folder.get());
}

void replaceFile(const fs::path& destination, const std::function<void(int fd)>& write,
                 const ReplaceOptions& options) {
    Replacement replacement(destination, options);
    write(replacement.fd());
    replacement.commit();
}

ReadableFile openReached(const Reached& reached) noexcept {
    ReadableFile file;
    // Only a regular file is opened for reading: opening a device can act on it.
    Descriptor place(::openat(reached.folder.get(), reached.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!place || ::fstat(place.get(), &status) != 0) {
        file.error = errno;
        return file;
    }
    file.isRegular = S_ISREG(status.st_mode);
    if (!file.isRegular) {
        file.fd = std::move(place);
        return file;
    }
    file.fd = Descriptor(::openat(reached.folder.get(), reached.name.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (!file.fd || ::fstat(file.fd.get(), &opened) != 0) {
        file.error = errno;
        file.fd.reset();
        return file;
    }
    if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino || !S_ISREG(opened.st_mode)) {
        file.error = EAGAIN;  // swapped between the two opens
        file.fd.reset();
        return file;
    }
    file.size = opened.st_size;
    const int flags = ::fcntl(file.fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

}  // namespace kivo::SafeFiles
