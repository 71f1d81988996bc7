#include "core/document_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

#include "core/file_creation.hpp"

namespace kivo::DocumentFiles {
namespace {

namespace fs = std::filesystem;

std::mutex brokerMutex;
std::shared_ptr<Broker> installed;
std::vector<fs::path> directFolders;

bool isWithin(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p) {
        if (r->empty()) continue;
        if (p == path.end() || *p != *r) return false;
    }
    return true;
}

// The broker for `path`, or none where the worker reaches the file itself. A name with ".." is
// never taken as lying in an own folder by its text alone.
std::shared_ptr<Broker> brokerFor(const fs::path& path) {
    std::lock_guard lock(brokerMutex);
    if (!installed) return nullptr;
    const fs::path normal = path.lexically_normal();
    if (normal.is_absolute()) {
        bool climbs = false;
        for (const auto& part : normal) climbs = climbs || part == "..";
        for (const fs::path& folder : directFolders) {
            if (!climbs && isWithin(normal, folder) && normal != folder) return nullptr;
        }
    }
    return installed;
}

Descriptor createDirectly(const fs::path& path, mode_t mode) {
    // A named pipe would hold the worker until someone reads it (hence no blocking open), a link
    // could lead anywhere.
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC,
                         FileCreation::newFileMode(mode)));
    if (!fd) return fd;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || ::ftruncate(fd.get(), 0) != 0 ||
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
        const int error = S_ISREG(status.st_mode) ? errno : EINVAL;
        fd.reset();
        errno = error;
    }
    return fd;
}

}  // namespace

const char* refusalSentence(Place place, Use use) noexcept {
    const bool open = use == Use::open;
    switch (place) {
        case Place::hiddenFileInHome:
            return open ? "Kivo PDF does not open hidden files of your home folder."
                        : "Kivo PDF does not save hidden files in your home folder.";
        case Place::hiddenInHome:
            return open ? "Kivo PDF does not open files in hidden folders of your home folder."
                        : "Kivo PDF does not save files in hidden folders of your home folder.";
        case Place::ownFiles:
            return open ? "Kivo PDF does not open files in its own support folder."
                        : "Kivo PDF does not save files in its own support folder.";
        case Place::software:
            return open ? "Kivo PDF does not open files where software is installed or configured."
                        : "Kivo PDF does not save files where software is installed or configured.";
        case Place::system: break;
    }
    return open ? "Kivo PDF does not open files in system folders such as /proc, /sys and /dev."
                : "Kivo PDF does not save files in system folders such as /proc, /sys and /dev.";
}

void useBroker(std::shared_ptr<Broker> broker, std::vector<fs::path> ownFolders) {
    std::lock_guard lock(brokerMutex);
    installed = std::move(broker);
    directFolders = std::move(ownFolders);
}

std::shared_ptr<Broker> broker() {
    std::lock_guard lock(brokerMutex);
    return installed;
}

SafeFiles::ReadableFile openForReading(const fs::path& path) {
    if (const auto via = brokerFor(path)) return via->openForReading(path);
    return SafeFiles::openForReading(path);
}

Descriptor createForWriting(const fs::path& path, mode_t mode) {
    if (const auto via = brokerFor(path)) return via->createForWriting(path, mode);
    return createDirectly(path, mode);
}

void makeFolders(const fs::path& folder) {
    if (const auto via = brokerFor(folder / "-")) return via->makeFolders(folder);
    FileCreation::makeFolders(folder);
}

void replaceFile(const fs::path& destination, const std::function<void(int fd)>& write,
                 const SafeFiles::ReplaceOptions& options) {
    if (const auto via = brokerFor(destination)) return via->replaceFile(destination, write, options);
    SafeFiles::replaceFile(destination, write, options);
}

}  // namespace kivo::DocumentFiles
