#include "core/file_creation.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>

#include "core/descriptor.hpp"
#include "core/text.hpp"

namespace kivo::FileCreation {
namespace {

namespace fs = std::filesystem;

std::atomic<mode_t> userUmask{0};

std::mutex temporaryMutex;
fs::path chosenTemporary;

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// 0 when `folder` is now this user's private folder, else why not: ELOOP or ENOTDIR for something
// that is no folder, EPERM for another user's, EACCES for one that others could write into (what
// they put there stays theirs). A folder others could only read is narrowed.
int makeOwnerOnly(const fs::path& folder) {
    const Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return errno;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return errno;
    if (status.st_uid != ::geteuid()) return EPERM;
    if ((status.st_mode & 022) != 0) return EACCES;
    if ((status.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) return errno;
    return 0;
}

}  // namespace

void clearUmask() noexcept { userUmask.store(::umask(0)); }

mode_t newFileMode(mode_t mode) noexcept { return mode & ~userUmask.load(); }

void makeFolders(const fs::path& folder) {
    if (folder.empty()) return;
    std::error_code ignored;
    if (fs::is_directory(folder, ignored)) return;
    if (folder.has_parent_path() && folder.parent_path() != folder) makeFolders(folder.parent_path());
    if (::mkdir(folder.c_str(), newFileMode(0777)) == 0) return;
    const int error = errno;
    if (error != EEXIST) fail("Could not create the folder", folder, error);
    if (!fs::is_directory(folder, ignored)) fail("Could not create the folder", folder, ENOTDIR);
}

void makePrivateFolder(const fs::path& folder) {
    if (folder.has_parent_path()) makeFolders(folder.parent_path());
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            fail("Could not create the folder", folder, errno);
        const int problem = makeOwnerOnly(folder);
        if (problem == 0) return;
        if (attempt == 1) fail("The folder is not private to this user", folder, problem);
        // Not ours: kept under another name rather than removed, and never written into.
        const fs::path aside = folder.string() + ".not-ours-" + newUUIDString().substr(0, 8);
        if (::rename(folder.c_str(), aside.c_str()) != 0)
            fail("The folder is not private to this user", folder, errno);
    }
}

fs::path temporaryFolder() {
    {
        std::lock_guard lock(temporaryMutex);
        if (!chosenTemporary.empty()) return chosenTemporary;
    }
    if (const char* value = std::getenv("TMPDIR"); value != nullptr && *value == '/') return value;
    return "/tmp";
}

void useTemporaryFolder(const fs::path& folder) {
    std::lock_guard lock(temporaryMutex);
    chosenTemporary = folder;
}

}  // namespace kivo::FileCreation
