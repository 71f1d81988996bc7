#include "assistant/key_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "assistant/keychain_key.hpp"
#include "core/descriptor.hpp"
#include "core/text.hpp"

namespace kivo {
namespace {

using Keys = std::map<std::string, std::map<std::string, std::string>>;

// A key file is a few hundred bytes; anything far larger is not ours.
constexpr std::size_t kMaximumFileBytes = 1 << 20;

[[noreturn]] void fail(int code, const std::filesystem::path& where) {
    throw KeychainKey::Failure::store(KeychainKey::Place::file, code,
                                      where.string() + ": " + std::strerror(code));
}

// The folder, locked; none when it does not exist and `create` is false.
Descriptor lockedFolder(const std::filesystem::path& folder, bool create, int lockMode) {
    if (create) {
        // Missing parents are private too, as the config folder should be.
        std::filesystem::path partial;
        for (const auto& part : folder) {
            partial /= part;
            if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) fail(errno, partial);
        }
    }
    Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        if (!create && errno == ENOENT) return {};
        fail(errno, folder);
    }
    struct stat info {};
    if (::fstat(directory.get(), &info) != 0) fail(errno, folder);
    if (info.st_uid != ::geteuid()) fail(EPERM, folder);
    if (create && (info.st_mode & 07777) != 0700 && ::fchmod(directory.get(), 0700) != 0) fail(errno, folder);
    while (::flock(directory.get(), lockMode) != 0) {
        if (errno != EINTR) fail(errno, folder);
    }
    return directory;
}

// The stored keys; an unreadable shape or an oversized file reads as none.
Keys load(int directory, const std::filesystem::path& path) {
    Descriptor file(::openat(directory, path.filename().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) return {};
        fail(errno, path);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) fail(errno, path);
    if (!S_ISREG(info.st_mode)) fail(EINVAL, path);
    std::string bytes;
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(errno, path);
        if (n == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > kMaximumFileBytes) return {};
    }
    Keys keys;
    const auto json = nlohmann::json::parse(bytes, nullptr, false);
    if (!json.is_object()) return {};
    for (const auto& [service, accounts] : json.items()) {
        if (!accounts.is_object()) continue;
        for (const auto& [account, key] : accounts.items()) {
            if (key.is_string()) keys[service][account] = key.get<std::string>();
        }
    }
    return keys;
}

void writeAll(int fd, const std::string& bytes, const std::filesystem::path& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(errno, path);
        done += static_cast<std::size_t>(n);
    }
}

// Replaces the file with the keys, through a fresh temporary file renamed over it.
void store(int directory, const std::filesystem::path& path, const Keys& keys) {
    const std::string text =
        nlohmann::json(keys).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const std::string temporary = "." + path.filename().string() + "." + newUUIDString();
    Descriptor file(
        ::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) fail(errno, path.parent_path() / temporary);
    const auto discard = [&](int code) {
        ::unlinkat(directory, temporary.c_str(), 0);
        fail(code, path);
    };
    if (::fchmod(file.get(), 0600) != 0) discard(errno);
    try {
        writeAll(file.get(), text, path);
    } catch (...) {
        ::unlinkat(directory, temporary.c_str(), 0);
        throw;
    }
    if (::fsync(file.get()) != 0) discard(errno);
    if (::renameat(directory, temporary.c_str(), directory, path.filename().c_str()) != 0) discard(errno);
    ::fsync(directory);
}

}  // namespace

KeyFile::KeyFile(std::filesystem::path path) : path_(std::move(path)) {}

std::optional<std::string> KeyFile::read(const std::string& service, const std::string& account) const {
    const Descriptor directory = lockedFolder(path_.parent_path(), false, LOCK_SH);
    if (!directory) return std::nullopt;
    const Keys keys = load(directory.get(), path_);
    const auto accounts = keys.find(service);
    if (accounts == keys.end()) return std::nullopt;
    const auto key = accounts->second.find(account);
    if (key == accounts->second.end()) return std::nullopt;
    return key->second;
}

void KeyFile::save(const std::string& service, const std::string& account, const std::string& key) const {
    const Descriptor directory = lockedFolder(path_.parent_path(), true, LOCK_EX);
    Keys keys = load(directory.get(), path_);
    keys[service][account] = key;
    store(directory.get(), path_, keys);
}

void KeyFile::remove(const std::string& service, const std::string& account) const {
    const Descriptor directory = lockedFolder(path_.parent_path(), false, LOCK_EX);
    if (!directory) return;
    Keys keys = load(directory.get(), path_);
    const auto accounts = keys.find(service);
    if (accounts == keys.end() || accounts->second.erase(account) == 0) return;
    if (accounts->second.empty()) keys.erase(accounts);
    store(directory.get(), path_, keys);
}

}  // namespace kivo
