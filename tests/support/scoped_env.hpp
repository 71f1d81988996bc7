#pragma once

// Scratch folders and environment overrides for tests that talk over Unix sockets
// or read their settings from the environment.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace kivo::testing {

// A fresh folder directly under /tmp, removed with everything in it at the end of scope.
// Kept short (and independent of TMPDIR) so socket paths inside it stay well below the
// path limit.
class ShortTempDir {
public:
    ShortTempDir() {
        std::string pattern = "/tmp/kivo-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~ShortTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ShortTempDir(const ShortTempDir&) = delete;
    ShortTempDir& operator=(const ShortTempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The render folder inside the support folder `support`, where a worker whose
// KIVO_PDF_SUPPORT_DIR is `support` and whose XDG_RUNTIME_DIR is empty renders.
inline std::filesystem::path renderFolderIn(const std::filesystem::path& support) {
    return support / "renders";
}

// Sets (or, with nullopt, unsets) one environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        if (value) {
            ::setenv(name_.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace kivo::testing
