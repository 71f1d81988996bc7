#include "session/encryption_filters.hpp"

#include <cstring>
#include <optional>
#include <string_view>

namespace kivo::EncryptionFilters {
namespace {

constexpr std::size_t longestName = 127;

bool isSpace(char c) { return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }
bool isRegular(char c) { return !isSpace(c) && std::strchr("()<>[]{}/%", c) == nullptr; }

// The name after the first `key` that stands as a whole key; empty when the key is absent or its
// value is no name.
std::string_view nameAfter(std::string_view text, std::string_view key) {
    for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
        std::size_t value = at + key.size();
        if (value < text.size() && isRegular(text[value])) continue;  // a longer key
        while (value < text.size() && isSpace(text[value])) ++value;
        if (value >= text.size() || text[value] != '/') return {};
        const std::size_t start = ++value;
        while (value < text.size() && value - start < longestName && isRegular(text[value])) ++value;
        return text.substr(start, value - start);
    }
    return {};
}

}  // namespace

bool differ(std::span<const uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return nameAfter(text, "/StmF") != nameAfter(text, "/StrF");
}

}  // namespace kivo::EncryptionFilters
