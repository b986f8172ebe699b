#include "System/Keychain/SecretServiceKeychain.h"

#include "System/Log/Logger.h"

#include <libsecret/secret.h>

#include <memory>

namespace System::Keychain {

namespace {

const Log::Logger& logger() {
    static const Log::Logger log{"com.tessarin.Tessarin", "Keychain"};
    return log;
}

const SecretSchema* schema() {
    static const SecretSchema genericPassword = {"com.tessarin.GenericPassword",
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
                                                 nullptr};
    return &genericPassword;
}

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct HashTableDeleter {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueDeleter {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct ItemListDeleter {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using ServiceHandle = std::unique_ptr<SecretService, GObjectDeleter>;
using AttributesHandle = std::unique_ptr<GHashTable, HashTableDeleter>;
using ValueHandle = std::unique_ptr<SecretValue, ValueDeleter>;
using ItemList = std::unique_ptr<GList, ItemListDeleter>;

// Holds the GError a libsecret call reports.
class ErrorSlot {
public:
    GError** out() { return &error_; }
    explicit operator bool() const { return error_ != nullptr; }
    ~ErrorSlot() {
        if (error_ != nullptr) {
            g_error_free(error_);
        }
    }
    // Logs the backend's own account (only the status reaches the caller) and maps it to a status.
    Status status(const char* operation) const {
        logger().error("Secret Service {} failed: {}", Log::Public(operation), Log::Public(error_->message));
        if (error_->domain == SECRET_ERROR && error_->code == SECRET_ERROR_IS_LOCKED) {
            return status::interactionNotAllowed;
        }
        if (error_->domain == SECRET_ERROR && error_->code == SECRET_ERROR_NO_SUCH_OBJECT) {
            return status::itemNotFound;
        }
        if (error_->domain == G_IO_ERROR && error_->code == G_IO_ERROR_CANCELLED) {
            return status::userCanceled;
        }
        if (error_->domain == G_DBUS_ERROR || error_->domain == G_IO_ERROR) {
            return status::notAvailable;
        }
        return status::internalComponent;
    }

private:
    GError* error_ = nullptr;
};

AttributesHandle attributes(const ItemQuery& query) {
    return AttributesHandle(secret_attributes_build(schema(), "service", query.service.c_str(), "account",
                                                    query.account.c_str(), nullptr));
}

// The session's Secret Service, or the status that says why there is none.
Status connect(ServiceHandle& service) {
    ErrorSlot error;
    service.reset(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
    if (error || !service) {
        return error ? error.status("connect") : status::notAvailable;
    }
    return status::success;
}

bool hasNul(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

// Attributes are C strings: a NUL inside would silently shorten the name of another item.
bool isExpressible(const ItemQuery& query) {
    return !hasNul(query.service) && !hasNul(query.account);
}

// The first item of the query (searching with `flags`), or the status that says why there is none.
Status search(const ItemQuery& query, SecretSearchFlags flags, ItemList& items) {
    if (!isExpressible(query)) {
        return status::parameter;
    }
    ServiceHandle service;
    if (const Status connected = connect(service); connected != status::success) {
        return connected;
    }
    ErrorSlot error;
    auto attributeTable = attributes(query);
    items.reset(secret_service_search_sync(service.get(), schema(), attributeTable.get(), flags, nullptr,
                                           error.out()));
    if (error) {
        return error.status("search");
    }
    return items ? status::success : status::itemNotFound;
}

SecretItem* firstItem(const ItemList& items) {
    return SECRET_ITEM(items->data);
}

} // namespace

Status SecretServiceKeychain::findItem(const ItemQuery& query) {
    ItemList items;
    return search(query, SECRET_SEARCH_NONE, items);
}

Status SecretServiceKeychain::copyData(const ItemQuery& query, std::string& data) {
    ItemList items;
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS);
    if (const Status found = search(query, flags, items); found != status::success) {
        return found;
    }
    ValueHandle value(secret_item_get_secret(firstItem(items)));
    if (!value) {
        // Still locked: the unlock prompt was dismissed or could not be shown.
        return secret_item_get_locked(firstItem(items)) ? status::interactionNotAllowed
                                                        : status::internalComponent;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    data.assign(bytes, length);
    return status::success;
}

Status SecretServiceKeychain::updateData(const ItemQuery& query, std::string_view data) {
    ItemList items;
    if (const Status found = search(query, SECRET_SEARCH_UNLOCK, items); found != status::success) {
        return found;
    }
    if (secret_item_get_locked(firstItem(items))) {
        return status::interactionNotAllowed;
    }
    ValueHandle value(secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain"));
    ErrorSlot error;
    if (!secret_item_set_secret_sync(firstItem(items), value.get(), nullptr, error.out())) {
        return error ? error.status("update") : status::internalComponent;
    }
    return status::success;
}

Status SecretServiceKeychain::addItem(const ItemQuery& query, std::string_view data, std::string_view label) {
    if (hasNul(label)) {
        return status::parameter;
    }
    const Status existing = findItem(query);
    if (existing == status::success) {
        return status::duplicateItem;
    }
    if (existing != status::itemNotFound) {
        return existing;
    }
    auto attributeTable = attributes(query);
    ValueHandle value(secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain"));
    const std::string labelText(label);
    ErrorSlot error;
    if (!secret_password_storev_binary_sync(schema(), attributeTable.get(), SECRET_COLLECTION_DEFAULT,
                                            labelText.c_str(), value.get(), nullptr, error.out())) {
        return error ? error.status("add") : status::internalComponent;
    }
    return status::success;
}

Status SecretServiceKeychain::deleteItem(const ItemQuery& query) {
    if (!isExpressible(query)) {
        return status::parameter;
    }
    ServiceHandle service;
    if (const Status connected = connect(service); connected != status::success) {
        return connected;
    }
    auto attributeTable = attributes(query);
    ErrorSlot error;
    const gboolean removed =
        secret_service_clear_sync(service.get(), schema(), attributeTable.get(), nullptr, error.out());
    if (error) {
        return error.status("delete");
    }
    return removed ? status::success : status::itemNotFound;
}

} // namespace System::Keychain
