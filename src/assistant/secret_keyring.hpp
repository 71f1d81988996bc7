#pragma once

// The desktop keyring through libsecret: one item per service and account. The binary calls
// carry the key as bytes, so nothing cuts it at a NUL.
//
// `NoSecretService` says that no secret service answers at all (no session bus, none on it,
// none that could be started), or, from store(), that the one answering keeps no keyring to store
// in (started on demand, its login keyring never made): the caller may fall back. Every other failure, a
// locked keyring or a dismissed prompt included, is thrown as KeychainKey::Failure (store, place keyring)
// with the GLib error's code and message. Clearing succeeds only when the item is gone or was never there: an
// item left in a locked keyring is a failure too. A locked keyring that holds the item, or may hold it where
// it hides its items' attributes (read locked from disk and not unlocked since), is a failure for reading and
// clearing, never "no item".

#include <optional>
#include <stdexcept>
#include <string>

namespace kivo::SecretKeyring {

class NoSecretService : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The stored bytes, or nothing when no item matches, in no locked keyring either.
std::optional<std::string> lookup(const std::string& service, const std::string& account);
void store(const std::string& service, const std::string& account, const std::string& key);
void clear(const std::string& service, const std::string& account);

}  // namespace kivo::SecretKeyring
