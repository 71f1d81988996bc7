#pragma once

// The owner-only key file behind the keyring: a JSON object of services, each an object of
// accounts and their keys. Its folder is made 0700 and the file 0600; every change is written
// to a fresh temporary file and renamed over the old one, under `flock` on the folder, so two
// writers (threads or processes) never lose each other's keys. Neither the folder nor the file
// is opened through a symbolic link.
//
// Every system failure is thrown as KeychainKey::Failure (store, place file) with errno. A
// file that is too large or not of the expected shape reads as holding no key and is replaced
// whole by the next change.

#include <filesystem>
#include <optional>
#include <string>

namespace kivo {

class KeyFile {
public:
    explicit KeyFile(std::filesystem::path path);

    // The key bytes as stored (not checked for UTF-8 here), or nothing.
    std::optional<std::string> read(const std::string& service, const std::string& account) const;
    void save(const std::string& service, const std::string& account, const std::string& key) const;
    void remove(const std::string& service, const std::string& account) const;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace kivo
