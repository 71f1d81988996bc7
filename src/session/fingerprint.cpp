#include "session/fingerprint.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

#include "core/document_files.hpp"
#include "core/safe_files.hpp"

namespace kivo::RecoveryStore {
namespace {

// SHA-256 over what `feed` hands to its update function, as lowercase hex; nothing when a step fails.
std::optional<std::string> digest(
    const std::function<bool(const std::function<bool(const void*, size_t)>&)>& feed) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
    const bool fed =
        feed([&](const void* data, size_t size) { return EVP_DigestUpdate(context.get(), data, size) == 1; });
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!fed || EVP_DigestFinal_ex(context.get(), value, &length) != 1) return std::nullopt;
    static const char* hex = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[value[i] >> 4]);
        text.push_back(hex[value[i] & 0xF]);
    }
    return text;
}

}  // namespace

std::optional<std::string> fingerprint(const std::filesystem::path& file) {
    // A file swapped for a FIFO since it was opened has no fingerprint; it must not stall the worker.
    SafeFiles::ReadableFile opened;
    try {
        opened = DocumentFiles::openForReading(file);
    } catch (const std::exception&) {
        return std::nullopt;  // a place refused now has no fingerprint either
    }
    if (!opened.fd || !opened.isRegular) return std::nullopt;
    const int fd = opened.fd.get();
    return digest([fd](const auto& update) {
        std::vector<unsigned char> chunk(1'048'576);
        for (;;) {
            const ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            if (!update(chunk.data(), static_cast<size_t>(n))) return false;
        }
    });
}

std::optional<std::string> fingerprint(std::span<const std::uint8_t> bytes) {
    return digest([bytes](const auto& update) { return update(bytes.data(), bytes.size()); });
}

}  // namespace kivo::RecoveryStore
