#include "assistant/secret_keyring.hpp"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <memory>
#include <string_view>
#include <utility>

#include "assistant/keychain_key.hpp"

namespace kivo::SecretKeyring {
namespace {

const SecretSchema* schema() {
    static const SecretSchema provider = {
        "org.kivo-pdf.ProviderKey",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &provider;
}

struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

struct ValueUnref {
    void operator()(SecretValue* value) const noexcept { secret_value_unref(value); }
};

// True for the failures that mean nobody serves secrets on the bus: the name is unknown or
// unowned, or starting the service that would own it failed.
bool meansNoService(const GError* error) {
    if (error->domain != G_DBUS_ERROR) return false;
    switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FORK_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
        case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        case G_DBUS_ERROR_SPAWN_NO_MEMORY: return true;
        default: return false;
    }
}

[[noreturn]] void fail(const GError* error) {
    if (meansNoService(error)) throw NoSecretService(error->message ? error->message : "no secret service");
    throw KeychainKey::Failure::store(KeychainKey::Place::keyring, error->code,
                                      error->message ? error->message : "");
}

struct ObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};

// Whether the service keeps no keyring behind the default alias, where new items go: one started on
// demand whose login keyring was never made (nothing unlocked it at a login). Asking neither prompts
// nor unlocks; a service that cannot say counts as one that has a keyring.
bool hasNoDefaultKeyring() {
    GError* raw = nullptr;
    const std::unique_ptr<SecretService, ObjectUnref> secrets(
        secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &raw));
    Error error(raw);
    if (!secrets) return false;
    raw = nullptr;
    const std::unique_ptr<SecretCollection, ObjectUnref> keyring(secret_collection_for_alias_sync(
        secrets.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw));
    error.reset(raw);
    return !keyring && !error;
}

// True for a store that failed because the keyring it went to does not exist: the service then names an
// object that is not there.
bool meansNoKeyringToStoreIn(const GError* error) {
    const bool missingObject = error->domain == G_DBUS_ERROR && (error->code == G_DBUS_ERROR_UNKNOWN_METHOD ||
                                                                 error->code == G_DBUS_ERROR_UNKNOWN_OBJECT);
    return missingObject && hasNoDefaultKeyring();
}

// Any failure to reach the session bus means no secret service can answer.
void requireSessionBus() {
    GError* raw = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
    const Error error(raw);
    if (bus == nullptr) throw NoSecretService(error && error->message ? error->message : "no session bus");
    g_object_unref(bus);
}

struct ObjectListFree {
    void operator()(GList* list) const noexcept { g_list_free_full(list, g_object_unref); }
};
using ObjectList = std::unique_ptr<GList, ObjectListFree>;

struct TableUnref {
    void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
};

const char* attribute(GHashTable* attributes, const char* name) {
    return static_cast<const char*>(g_hash_table_lookup(attributes, name));
}

// Whether an item may be ours although a search cannot say: a keyring read locked from disk, and
// never unlocked since, shows its items without their attributes, which searches then pass over.
// Some keyrings show a digest of each value instead (MD5, under "gkr:compat:hashed:"), which tells
// ours from others; an item that shows no attribute at all may be ours, one that shows readable
// attributes of another kind is another program's.
bool mayBeOurs(GHashTable* attributes, const std::string& service, const std::string& account) {
    if (attribute(attributes, "service") != nullptr) return false;  // readable: the search saw it
    bool digested = false;
    bool matches = true;
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"xdg:schema", schema()->name},
                                      {"service", service},
                                      {"account", account}}) {
        const char* stored = attribute(attributes, (std::string("gkr:compat:hashed:") + name).c_str());
        if (stored == nullptr) continue;
        const std::unique_ptr<gchar, decltype(&g_free)> digest(
            g_compute_checksum_for_string(G_CHECKSUM_MD5, value.c_str(), static_cast<gssize>(value.size())),
            g_free);
        digested = true;
        matches = matches && std::string_view(stored) == digest.get();
    }
    return digested ? matches : g_hash_table_size(attributes) == 0;
}

// Whether a locked keyring holds an item that may be ours, hidden from searches.
bool hiddenInALockedKeyring(const std::string& service, const std::string& account) {
    GError* raw = nullptr;
    const std::unique_ptr<SecretService, ObjectUnref> secrets(
        secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &raw));
    const Error error(raw);
    if (error) fail(error.get());
    const ObjectList collections(secret_service_get_collections(secrets.get()));
    for (GList* entry = collections.get(); entry != nullptr; entry = entry->next) {
        auto* collection = static_cast<SecretCollection*>(entry->data);
        if (!secret_collection_get_locked(collection)) continue;
        const ObjectList items(secret_collection_get_items(collection));
        for (GList* item = items.get(); item != nullptr; item = item->next) {
            const std::unique_ptr<GHashTable, TableUnref> attributes(
                secret_item_get_attributes(static_cast<SecretItem*>(item->data)));
            if (attributes && mayBeOurs(attributes.get(), service, account)) return true;
        }
    }
    return false;
}

// Whether an item matches, locked or not, or may match where a locked keyring hides what its
// items hold; looking neither unlocks nor prompts.
bool isStored(const std::string& service, const std::string& account) {
    GError* raw = nullptr;
    GList* found = secret_password_search_sync(schema(), SECRET_SEARCH_ALL, nullptr, &raw, "service",
                                               service.c_str(), "account", account.c_str(), nullptr);
    const Error error(raw);
    const bool any = found != nullptr;
    g_list_free_full(found, g_object_unref);
    if (error) fail(error.get());
    return any || hiddenInALockedKeyring(service, account);
}

}  // namespace

std::optional<std::string> lookup(const std::string& service, const std::string& account) {
    requireSessionBus();
    GError* raw = nullptr;
    const std::unique_ptr<SecretValue, ValueUnref> value(secret_password_lookup_binary_sync(
        schema(), nullptr, &raw, "service", service.c_str(), "account", account.c_str(), nullptr));
    const Error error(raw);
    if (error) fail(error.get());
    if (!value) {
        // A key the keyring keeps locked is not a missing key.
        if (isStored(service, account)) {
            throw KeychainKey::Failure::store(KeychainKey::Place::keyring, SECRET_ERROR_IS_LOCKED,
                                              "it is locked, so the key cannot be read");
        }
        return std::nullopt;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return std::string(bytes, length);
}

void store(const std::string& service, const std::string& account, const std::string& key) {
    requireSessionBus();
    const std::unique_ptr<SecretValue, ValueUnref> value(
        secret_value_new(key.data(), static_cast<gssize>(key.size()), "text/plain"));
    const std::string label = "Kivo PDF key for " + account;
    GError* raw = nullptr;
    secret_password_store_binary_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(),
                                      nullptr, &raw, "service", service.c_str(), "account", account.c_str(),
                                      nullptr);
    const Error error(raw);
    if (error && meansNoKeyringToStoreIn(error.get()))
        throw NoSecretService(std::string("no keyring to store in: ") +
                              (error->message ? error->message : ""));
    if (error) fail(error.get());
}

void clear(const std::string& service, const std::string& account) {
    requireSessionBus();
    GError* raw = nullptr;
    const gboolean removed = secret_password_clear_sync(schema(), nullptr, &raw, "service", service.c_str(),
                                                        "account", account.c_str(), nullptr);
    const Error error(raw);
    if (error) fail(error.get());
    if (removed) return;
    // Nothing removed means nothing stored, or an item the call passed over without a word because its
    // keyring is locked: only the first is done.
    if (isStored(service, account)) {
        throw KeychainKey::Failure::store(KeychainKey::Place::keyring, SECRET_ERROR_IS_LOCKED,
                                          "it is locked, so the key stays in it");
    }
}

}  // namespace kivo::SecretKeyring
