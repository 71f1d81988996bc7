#include "mcp/rendered_page.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "core/descriptor.hpp"

namespace kivo {
namespace {

struct FreeDeleter {
    void operator()(char* p) const noexcept { std::free(p); }
};

std::optional<std::string> realPath(const char* path) {
    std::unique_ptr<char, FreeDeleter> resolved(::realpath(path, nullptr));
    if (!resolved) return std::nullopt;
    return std::string(resolved.get());
}

std::optional<std::string> readAll(int fd, std::size_t expected) {
    std::string bytes;
    bytes.reserve(expected);
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return bytes;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        // The file may grow after it was measured; the limit still holds.
        if (bytes.size() + static_cast<std::size_t>(n) > RenderedPage::maxBytes) return std::nullopt;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

namespace RenderedPage {

std::filesystem::path folder() {
    const char* temporary = std::getenv("TMPDIR");
    const std::filesystem::path base = (temporary != nullptr && *temporary != '\0') ? temporary : "/tmp";
    return base / "kivo-pdf-render";
}

std::optional<std::string> read(const std::string& path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return std::nullopt;

    const auto realFolder = realPath(folder().c_str());
    const auto realFile = realPath(path.c_str());
    if (!realFolder || !realFile) return std::nullopt;

    const std::filesystem::path file(*realFile);
    if (file.parent_path() != std::filesystem::path(*realFolder)) return std::nullopt;
    const std::string name = file.filename().string();
    if (name.size() <= 4 || !name.ends_with(".png")) return std::nullopt;

    // Open the folder and then the name inside it without following links, so
    // that what is read is what was checked even if the paths change meanwhile.
    const Descriptor directory(::open(realFolder->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (directory.get() < 0) return std::nullopt;
    struct stat folderStatus {};
    if (::fstat(directory.get(), &folderStatus) != 0 || !S_ISDIR(folderStatus.st_mode) ||
        folderStatus.st_uid != ::geteuid()) {
        return std::nullopt;
    }

    // Non-blocking, so a FIFO planted under a ".png" name cannot stall the open.
    const Descriptor fd(
        ::openat(directory.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    struct stat fileStatus {};
    if (::fstat(fd.get(), &fileStatus) != 0 || !S_ISREG(fileStatus.st_mode) || fileStatus.st_size < 0 ||
        static_cast<std::size_t>(fileStatus.st_size) > maxBytes) {
        return std::nullopt;
    }
    return readAll(fd.get(), static_cast<std::size_t>(fileStatus.st_size));
}

}  // namespace RenderedPage

std::string base64Encode(std::string_view bytes) {
    // EVP_EncodeBlock counts in int; feed it whole groups of three bytes at a time.
    constexpr std::size_t chunk = 3 * 1024 * 1024;
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::string buffer(chunk / 3 * 4 + 1, '\0');
    for (std::size_t offset = 0; offset < bytes.size(); offset += chunk) {
        const std::size_t length = std::min(chunk, bytes.size() - offset);
        const int written =
            ::EVP_EncodeBlock(reinterpret_cast<unsigned char*>(buffer.data()),
                              reinterpret_cast<const unsigned char*>(bytes.data() + offset), static_cast<int>(length));
        out.append(buffer.data(), static_cast<std::size_t>(written));
    }
    return out;
}

}  // namespace kivo
