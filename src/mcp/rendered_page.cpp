#include "mcp/rendered_page.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <string_view>

#include "core/ipc_paths.hpp"
#include "core/descriptor.hpp"
#include "core/safe_files.hpp"

namespace kivo {
namespace {

constexpr std::string_view pngSignature("\x89PNG\r\n\x1a\n", 8);

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

std::filesystem::path folder() { return IPCPaths::renderDirectory(); }

std::optional<std::string> read(const std::string& path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return std::nullopt;
    const std::filesystem::path named(path);
    const std::string name = named.filename().string();
    if (name.size() <= 4 || !name.ends_with(".png")) return std::nullopt;

    // The folder itself must not be a link: a worker that swapped it for one would have the
    // connector read, and attach, what the worker cannot read itself.
    const Descriptor directory(::open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) return std::nullopt;
    struct stat folderStatus {};
    if (::fstat(directory.get(), &folderStatus) != 0 || !SafeFiles::isPrivateFolder(folderStatus)) {
        return std::nullopt;
    }
    // The path must name a file directly in that very folder, however the worker spelled it.
    const Descriptor parent(
        ::open(named.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat parentStatus {};
    if (!parent || ::fstat(parent.get(), &parentStatus) != 0 || parentStatus.st_dev != folderStatus.st_dev ||
        parentStatus.st_ino != folderStatus.st_ino) {
        return std::nullopt;
    }

    // Non-blocking, so a FIFO planted under a ".png" name cannot stall the open; no links.
    const Descriptor fd(
        ::openat(directory.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return std::nullopt;
    struct stat fileStatus {};
    if (::fstat(fd.get(), &fileStatus) != 0 || !S_ISREG(fileStatus.st_mode) || fileStatus.st_size < 0 ||
        static_cast<std::size_t>(fileStatus.st_size) > maxBytes) {
        return std::nullopt;
    }
    auto bytes = readAll(fd.get(), static_cast<std::size_t>(fileStatus.st_size));
    if (!bytes || !bytes->starts_with(pngSignature)) return std::nullopt;
    return bytes;
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
        const int written = ::EVP_EncodeBlock(reinterpret_cast<unsigned char*>(buffer.data()),
                                              reinterpret_cast<const unsigned char*>(bytes.data() + offset),
                                              static_cast<int>(length));
        out.append(buffer.data(), static_cast<std::size_t>(written));
    }
    return out;
}

}  // namespace kivo
