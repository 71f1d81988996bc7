#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace kivo::RecoveryStore {

// The SHA-256 digest of a file's bytes as 64 lowercase hex characters, or nothing when the file
// cannot be read. Reads in 1 MiB chunks; never holds the file whole.
std::optional<std::string> fingerprint(const std::filesystem::path& file);
// The same digest of bytes in memory; empty only when the digest cannot be computed.
std::optional<std::string> fingerprint(std::span<const std::uint8_t> bytes);

}  // namespace kivo::RecoveryStore
