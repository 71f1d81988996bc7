#include "session/source_stamp.hpp"

#include <sys/stat.h>

#include "session/fingerprint.hpp"

namespace kivo {
namespace {

struct FileStamp {
    std::optional<std::int64_t> mtime;
    std::optional<std::int64_t> size;
};

std::optional<FileStamp> readStamp(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    FileStamp stamp;
    stamp.mtime = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    stamp.size = static_cast<std::int64_t>(status.st_size);
    return stamp;
}

}  // namespace

void SourceStamp::capture(const std::optional<std::string>& path) {
    if (!path) {
        fingerprint_.reset();
        mtime_.reset();
        size_.reset();
        return;
    }
    const FileStamp stamp = readStamp(*path).value_or(FileStamp{});
    mtime_ = stamp.mtime;
    size_ = stamp.size;
    if (auto fingerprint = RecoveryStore::fingerprint(*path)) fingerprint_ = std::move(fingerprint);
}

void SourceStamp::measure(const std::string& path) {
    const FileStamp stamp = readStamp(path).value_or(FileStamp{});
    mtime_ = stamp.mtime;
    size_ = stamp.size;
    fingerprint_.reset();
}

bool SourceStamp::changed(const std::optional<std::string>& path) {
    if (!path) return false;
    const std::optional<FileStamp> stamp = readStamp(*path);
    if (!stamp) return false;
    if (stamp->mtime == mtime_ && stamp->size == size_) return false;
    if (!fingerprint_) return false;
    const std::optional<std::string> current = RecoveryStore::fingerprint(*path);
    if (!current) return false;
    if (*current == *fingerprint_) {
        mtime_ = stamp->mtime;
        size_ = stamp->size;
        return false;
    }
    return true;
}

}  // namespace kivo
