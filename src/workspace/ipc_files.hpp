#pragma once

// The editor's files in the ipc folder: the MCP token it hands to the connector, and the lock that
// keeps a second editor of the same user and support folder away from the worker.

#include <filesystem>
#include <string>

namespace kivo {

namespace IPCFiles {

// Replaces `path` atomically with `token` (no line end). The new file is owner-only (0600) from its
// creation, never a link followed, and renamed over the old one only when complete. Throws
// std::filesystem::filesystem_error; the old file then stays as it was.
void writeTokenFile(const std::filesystem::path& path, const std::string& token);

}  // namespace IPCFiles

// An exclusive flock on a lock file, held while the object lives. The descriptor is close-on-exec,
// so the worker does not inherit it and cannot outlive the editor holding the lock.
class EditorLock {
public:
    // Takes the lock on `path` (created 0600 when missing). Answers an empty lock when another open
    // file holds it; throws std::filesystem::filesystem_error when the file cannot be opened.
    static EditorLock acquire(const std::filesystem::path& path);

    EditorLock() = default;
    ~EditorLock();
    EditorLock(EditorLock&& other) noexcept;
    EditorLock& operator=(EditorLock&& other) noexcept;

    bool held() const noexcept { return fd_ >= 0; }

private:
    explicit EditorLock(int fd) : fd_(fd) {}

    int fd_ = -1;
};

}  // namespace kivo
