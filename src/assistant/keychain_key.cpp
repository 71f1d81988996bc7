#include "assistant/keychain_key.hpp"

#include <cstdlib>
#include <utility>

#include "assistant/key_file.hpp"
#include "assistant/secret_keyring.hpp"
#include "core/ipc_paths.hpp"
#include "core/text.hpp"

namespace kivo::KeychainKey {
namespace {

std::string storeSentence(Place place, int code, const std::string& message) {
    const std::string where = place == Place::keyring ? "The keyring" : "The file only you can read";
    return where + " could not store or read the key: " +
           (message.empty() ? "error " + std::to_string(code) : message);
}

// A key travels in a request header: no control character and nothing but UTF-8 may reach it.
bool isUsable(std::string_view key) {
    if (!isValidUTF8(key)) return false;
    for (const char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

KeyFile fallback() { return KeyFile(fallbackFile()); }

}  // namespace

Failure::Failure(Kind kind, Place place, int code, std::string description)
    : kind_(kind), place_(place), code_(code), description_(std::move(description)) {}

Failure Failure::store(Place place, int code, std::string message) {
    return {Kind::store, place, code, storeSentence(place, code, message)};
}

Failure Failure::empty() { return {Kind::empty, Place::keyring, 0, "The key is empty."}; }

Failure Failure::invalid() {
    return {Kind::invalid, Place::keyring, 0, "The key is not valid: it holds a control character."};
}

bool Failure::operator==(const Failure& other) const noexcept {
    return kind_ == other.kind_ && (kind_ != Kind::store || code_ == other.code_);
}

std::string serviceNamed(const char* environmentValue) {
    if (environmentValue == nullptr || *environmentValue == '\0') return "kivo-pdf";
    return environmentValue;
}

const std::string& service() {
    static const std::string name = serviceNamed(std::getenv("KIVO_PDF_KEYCHAIN_SERVICE"));
    return name;
}

std::filesystem::path fallbackFile() {
    // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
    const char* configured = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path folder = configured != nullptr && configured[0] == '/'
                                       ? std::filesystem::path(configured)
                                       : IPCPaths::homeDirectory() / ".config";
    return folder / "kivo-pdf" / "provider-keys.json";
}

namespace {

std::optional<std::pair<std::string, Place>> lookup(const std::string& provider) {
    std::optional<std::string> stored;
    Place place = Place::keyring;
    try {
        stored = SecretKeyring::lookup(service(), provider);
    } catch (const SecretKeyring::NoSecretService&) {
        stored.reset();
    }
    // A key saved while no keyring ran stays in the file until saved again or removed.
    if (!stored) {
        stored = fallback().read(service(), provider);
        place = Place::file;
    }
    if (!stored || stored->empty() || !isValidUTF8(*stored)) return std::nullopt;
    return std::pair(std::move(*stored), place);
}

}  // namespace

std::optional<std::string> read(const std::string& provider) {
    auto found = lookup(provider);
    if (!found) return std::nullopt;
    return std::move(found->first);
}

std::optional<Place> placeOf(const std::string& provider) {
    const auto found = lookup(provider);
    if (!found) return std::nullopt;
    return found->second;
}

Place save(std::string_view key, const std::string& provider) {
    const std::string trimmed(trimWhitespaceAndNewlines(key));
    if (trimmed.empty()) throw Failure::empty();
    if (!isUsable(trimmed)) throw Failure::invalid();
    try {
        SecretKeyring::store(service(), provider, trimmed);
    } catch (const SecretKeyring::NoSecretService&) {
        fallback().save(service(), provider, trimmed);
        return Place::file;
    }
    // The keyring now holds the key; an older copy in the file must not outlive it. Failing to
    // clear it does not undo the save: the keyring's copy is read first.
    try {
        fallback().remove(service(), provider);
    } catch (const Failure&) {}
    return Place::keyring;
}

void remove(const std::string& provider) {
    try {
        SecretKeyring::clear(service(), provider);
    } catch (const SecretKeyring::NoSecretService&) {
        // Nothing to clear where no keyring runs; the file is cleared below either way.
    }
    fallback().remove(service(), provider);
}

bool has(const std::string& provider) {
    try {
        return read(provider).has_value();
    } catch (const Failure&) {
        return false;
    }
}

}  // namespace kivo::KeychainKey
