#pragma once

// The files a client names (documents to open, merge or save, images to add, pages to render to a
// path), as the worker reaches them. Unconfined, directly through SafeFiles. Confined, the worker
// can no longer reach most of them itself: a broker that stayed outside the confinement opens and
// creates them on its behalf, judging each request against the file system as it is then. The
// worker's own folders (recovery, renders, temporary files) are not client files and stay direct.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/descriptor.hpp"
#include "core/engine_failure.hpp"
#include "core/safe_files.hpp"

namespace kivo::DocumentFiles {

// What the worker does with a named file, for the sentence of a refusal.
enum class Use { open, save };

// A place the worker's policy keeps out of reach, whatever the file's permissions say.
enum class Place {
    hiddenFileInHome,  // a dot-file directly in the home folder
    hiddenInHome,      // anything inside a dot-folder of the home folder
    ownFiles,          // the support folder and the IPC folder, the editor's and the worker's own
    software,          // where software is installed or configured, for writing
    system,            // /proc, /sys, /dev and the like: no documents live there
};

// The person's sentence for a refusal of `place` when the worker would `use` a file there.
const char* refusalSentence(Place place, Use use) noexcept;

// A request the broker refused for where its file lies: the command fails with the person's
// sentence, as any refusal of theirs would.
struct PlaceRefused : EngineFailure {
    PlaceRefused(Place place_, Use use_)
        : EngineFailure(FailureCode::permissionDenied, refusalSentence(place_, use_)),
          place(place_),
          use(use_) {}
    Place place;
    Use use;
};

// How the confined worker reaches client files. Every call is judged on its own.
class Broker {
public:
    virtual ~Broker() = default;
    // As SafeFiles::openForReading, without following another user's link; throws PlaceRefused,
    // and EngineFailure for a link of another user.
    virtual SafeFiles::ReadableFile openForReading(const std::filesystem::path& path) = 0;
    // A regular file created or emptied for writing (never through a link); throws PlaceRefused,
    // SafeFiles::WriteRefused and std::filesystem::filesystem_error.
    virtual Descriptor createForWriting(const std::filesystem::path& path, mode_t mode) = 0;
    // As FileCreation::makeFolders, without following another user's link; also throws
    // PlaceRefused.
    virtual void makeFolders(const std::filesystem::path& folder) = 0;
    // As SafeFiles::replaceFile; also throws PlaceRefused.
    virtual void replaceFile(const std::filesystem::path& destination,
                             const std::function<void(int fd)>& write,
                             const SafeFiles::ReplaceOptions& options) = 0;
};

// From now on client files go through `broker`, except those inside `ownFolders`, which the
// worker reaches directly. Called once, while the worker confines itself.
void useBroker(std::shared_ptr<Broker> broker, std::vector<std::filesystem::path> ownFolders);

// The broker in use, or none when unconfined.
std::shared_ptr<Broker> broker();

SafeFiles::ReadableFile openForReading(const std::filesystem::path& path);
// O_WRONLY, close-on-exec, emptied; an empty descriptor with errno set when it cannot be made,
// PlaceRefused and SafeFiles::WriteRefused thrown for a refusal.
Descriptor createForWriting(const std::filesystem::path& path, mode_t mode);
void replaceFile(const std::filesystem::path& destination, const std::function<void(int fd)>& write,
                 const SafeFiles::ReplaceOptions& options);
void makeFolders(const std::filesystem::path& folder);

}  // namespace kivo::DocumentFiles
