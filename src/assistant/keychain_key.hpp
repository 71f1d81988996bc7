#pragma once

// A hosted model provider's API key, kept out of the editor's settings and files: in the
// desktop's keyring (the Secret Service, one item per provider with the attributes "service"
// and "account"), or, when no secret service answers (no session bus, no service on it, or
// none that could be started) or the one that answers has no keyring to store in (started on
// demand, its login keyring never made), in a file only the user can read:
// $XDG_CONFIG_HOME/kivo-pdf/provider-keys.json (default ~/.config), never under the support
// folder, which the worker may read. A locked keyring or a dismissed prompt is a failure, not a
// reason to fall back.
//
// The service name is KIVO_PDF_KEYCHAIN_SERVICE when set and not empty, else "kivo-pdf", read
// once per process; the account is the provider id. Nothing keeps a key in memory.

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kivo::KeychainKey {

// Where a saved key went; the words differ ("keyring" or "a file only you can read").
enum class Place { keyring, file };

class Failure : public std::exception {
public:
    enum class Kind {
        // The keyring or the file could not store or read the key.
        store,
        // Nothing left after trimming.
        empty,
        // A control character or ill-formed UTF-8: it could never travel in a request header.
        invalid,
    };

    // `code`: the GLib error code or errno; `message`: the system's words, may be empty.
    static Failure store(Place place, int code, std::string message);
    static Failure empty();
    static Failure invalid();

    Kind kind() const noexcept { return kind_; }
    Place place() const noexcept { return place_; }
    int code() const noexcept { return code_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    // Same case and, for `store`, the same code.
    bool operator==(const Failure& other) const noexcept;

private:
    Failure(Kind kind, Place place, int code, std::string description);

    Kind kind_;
    Place place_;
    int code_;
    std::string description_;
};

// The service name of every item.
const std::string& service();
// The service name for a value of KIVO_PDF_KEYCHAIN_SERVICE (null when unset).
std::string serviceNamed(const char* environmentValue);

// The stored key unchanged, or nothing when none is stored, it is empty, or it is not UTF-8.
// Throws Failure (store) when the keyring or the file fails.
std::optional<std::string> read(const std::string& provider);

// Stores the key trimmed of white space and newlines, replacing the provider's key. Throws
// Failure empty or invalid before anything is touched (a stored key stays), and Failure
// store when the keyring or the file fails.
Place save(std::string_view key, const std::string& provider);

// Removes the provider's key; removing a key that is not stored succeeds. Throws Failure
// store when the keyring or the file fails.
void remove(const std::string& provider);

// Where the key that `read` gives is kept, or nothing when it gives none. Throws as `read`.
std::optional<Place> placeOf(const std::string& provider);

// True exactly when `read` gives a key; a failure counts as no.
bool has(const std::string& provider);

// The owner-only fallback file for the current environment.
std::filesystem::path fallbackFile();

}  // namespace kivo::KeychainKey
