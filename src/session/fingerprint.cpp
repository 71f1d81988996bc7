#include "session/fingerprint.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "core/safe_files.hpp"

namespace kivo::RecoveryStore {

std::optional<std::string> fingerprint(const std::filesystem::path& file) {
    // A file swapped for a FIFO since it was opened has no fingerprint; it must not stall the worker.
    const SafeFiles::ReadableFile opened = SafeFiles::openForReading(file);
    if (!opened.fd || !opened.isRegular) return std::nullopt;
    const int fd = opened.fd.get();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    std::vector<unsigned char> chunk(1'048'576);
    while (ok) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = EVP_DigestUpdate(context.get(), chunk.data(), static_cast<size_t>(n)) == 1;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
    static const char* hex = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0xF]);
    }
    return text;
}

}  // namespace kivo::RecoveryStore
