#pragma once

// The stamp of a session's source file: its modification time and size, and a fingerprint of its
// contents, so that a file someone else replaced can be told from one that was only touched.

#include <cstdint>
#include <optional>
#include <string>

namespace kivo {

class SourceStamp {
public:
    // Takes the stamp of the file at `path`, or forgets it without a path. A file that cannot be
    // read keeps the fingerprint taken before. Never fails.
    void capture(const std::optional<std::string>& path);
    // Takes the time and size of the file at `path` before its contents are read, and forgets the
    // fingerprint: the bytes then read give it (setFingerprint). A file replaced after this differs
    // from the stamp and from the fingerprint, so it is told as changed. Never fails.
    void measure(const std::string& path);
    // Whether the file at `path` changed since the stamp. Unchanged time and size answer without
    // reading the file; a touched file with the same contents refreshes the stamp. False without
    // a path or a fingerprint, and for a file that is gone or cannot be read. Never fails.
    bool changed(const std::optional<std::string>& path);

    const std::optional<std::string>& fingerprint() const { return fingerprint_; }
    // The fingerprint a recovered document brings with it, or none.
    void setFingerprint(std::optional<std::string> fingerprint) { fingerprint_ = std::move(fingerprint); }
    // Modification time in nanoseconds since the epoch.
    const std::optional<std::int64_t>& mtime() const { return mtime_; }
    const std::optional<std::int64_t>& size() const { return size_; }

private:
    std::optional<std::string> fingerprint_;
    std::optional<std::int64_t> mtime_;
    std::optional<std::int64_t> size_;
};

}  // namespace kivo
