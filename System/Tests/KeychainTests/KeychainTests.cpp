#include "System/Keychain/InMemoryKeychain.h"
#include "System/Keychain/SecretServiceKeychain.h"

#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

using namespace System::Keychain;

namespace {

// Every test works under a service name of its own, so that items never leak between tests.
ItemQuery uniqueQuery(const std::string& account) {
    static int counter = 0;
    return {"com.tessarin.KeychainTests." + std::to_string(getpid()) + "." + std::to_string(++counter),
            account};
}

std::string allByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    return bytes;
}

// The behaviour the stores above rely on, checked on the real Secret Service and on the fake alike, so that
// tests on the fake stand for the real thing.
template <class Backend>
class KeychainBehaviourTest : public testing::Test {
protected:
    Backend keychain;
};

using Backends = testing::Types<SecretServiceKeychain, InMemoryKeychain>;
TYPED_TEST_SUITE(KeychainBehaviourTest, Backends);

TYPED_TEST(KeychainBehaviourTest, MissingItemsAnswerItemNotFoundEverywhere) {
    const auto query = uniqueQuery("openai-api-key");
    std::string data = "untouched";
    EXPECT_EQ(this->keychain.findItem(query), status::itemNotFound);
    EXPECT_EQ(this->keychain.copyData(query, data), status::itemNotFound);
    EXPECT_EQ(data, "untouched");
    EXPECT_EQ(this->keychain.updateData(query, "x"), status::itemNotFound);
    EXPECT_EQ(this->keychain.deleteItem(query), status::itemNotFound);
    EXPECT_EQ(this->keychain.findItem(query), status::itemNotFound);
}

TYPED_TEST(KeychainBehaviourTest, AddFindCopyUpdateDelete) {
    const auto query = uniqueQuery("tessarin-device-token");
    std::string data;

    ASSERT_EQ(this->keychain.addItem(query, "first", "Parlindo \u2013 tessarin-device-token"),
              status::success);
    EXPECT_EQ(this->keychain.findItem(query), status::success);
    EXPECT_EQ(this->keychain.copyData(query, data), status::success);
    EXPECT_EQ(data, "first");
    EXPECT_EQ(this->keychain.addItem(query, "again", "label"), status::duplicateItem);

    EXPECT_EQ(this->keychain.updateData(query, "second"), status::success);
    EXPECT_EQ(this->keychain.copyData(query, data), status::success);
    EXPECT_EQ(data, "second");

    EXPECT_EQ(this->keychain.deleteItem(query), status::success);
    EXPECT_EQ(this->keychain.findItem(query), status::itemNotFound);
}

TYPED_TEST(KeychainBehaviourTest, DataIsKeptByteForByte) {
    for (const std::string& bytes : {allByteValues(), std::string(), std::string("\xFF\xFE not UTF-8")}) {
        const auto query = uniqueQuery("groq-api-key");
        std::string data = "untouched";
        ASSERT_EQ(this->keychain.addItem(query, bytes, "label"), status::success);
        EXPECT_EQ(this->keychain.copyData(query, data), status::success);
        EXPECT_EQ(data, bytes);
        this->keychain.deleteItem(query);
    }
}

TYPED_TEST(KeychainBehaviourTest, ItemsAreToldApartByServiceAndAccount) {
    const auto query = uniqueQuery("openai-api-key");
    const ItemQuery otherAccount{query.service, "groq-api-key"};
    const ItemQuery otherService{query.service + ".other", query.account};
    ASSERT_EQ(this->keychain.addItem(query, "mine", "label"), status::success);

    EXPECT_EQ(this->keychain.findItem(otherAccount), status::itemNotFound);
    EXPECT_EQ(this->keychain.findItem(otherService), status::itemNotFound);
    EXPECT_EQ(this->keychain.deleteItem(otherService), status::itemNotFound);
    EXPECT_EQ(this->keychain.findItem(query), status::success);
    this->keychain.deleteItem(query);
}

// --- the real Secret Service
// ---------------------------------------------------------------------------------

struct ObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};

SecretService* service() {
    static SecretService* shared = [] {
        GError* error = nullptr;
        SecretService* result = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
        if (result == nullptr) {
            ADD_FAILURE() << "no Secret Service: " << (error ? error->message : "unknown");
        }
        return result;
    }();
    return shared;
}

// The labels of the items this layer wrote for `query`, read behind its back.
std::vector<std::string> labelsOf(const ItemQuery& query) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(query.service.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(query.account.c_str()));
    GList* items =
        secret_service_search_sync(service(), nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
    g_hash_table_unref(attributes);
    std::vector<std::string> labels;
    for (GList* item = items; item != nullptr; item = item->next) {
        gchar* label = secret_item_get_label(SECRET_ITEM(item->data));
        labels.emplace_back(label);
        g_free(label);
    }
    g_list_free_full(items, g_object_unref);
    return labels;
}

std::unique_ptr<SecretCollection, ObjectDeleter> defaultCollection() {
    return std::unique_ptr<SecretCollection, ObjectDeleter>(secret_collection_for_alias_sync(
        service(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr));
}

// Locks the default keyring for the life of the object and unlocks it again with the password that the test
// wrapper set, through gnome-keyring's own unlock call (no prompt is possible here).
class LockedKeyring {
public:
    LockedKeyring()
        : collection_(defaultCollection()) {
        GList* objects = g_list_append(nullptr, collection_.get());
        secret_service_lock_sync(service(), objects, nullptr, nullptr, nullptr);
        g_list_free(objects);
        EXPECT_TRUE(secret_collection_get_locked(collection_.get()));
    }
    ~LockedKeyring() {
        const char* password = std::getenv("KEYRING_PASSWORD");
        SecretValue* value = secret_value_new(password ? password : "", -1, "text/plain");
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            g_dbus_proxy_get_connection(G_DBUS_PROXY(service())), "org.freedesktop.secrets",
            "/org/freedesktop/secrets", "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
            "UnlockWithMasterPassword",
            g_variant_new("(o@(oayays))", g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection_.get())),
                          secret_service_encode_dbus_secret(service(), value)),
            nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
        secret_value_unref(value);
        if (reply != nullptr) {
            g_variant_unref(reply);
        }
        EXPECT_EQ(error, nullptr) << "could not unlock the keyring again: " << error->message;
    }

private:
    std::unique_ptr<SecretCollection, ObjectDeleter> collection_;
};

TEST(SecretServiceKeychainTest, TheLabelIsSetOnAddAndKeptOnUpdate) {
    SecretServiceKeychain keychain;
    const auto query = uniqueQuery("openai-api-key");
    ASSERT_EQ(keychain.addItem(query, "v1", "Parlindo \u2013 openai-api-key"), status::success);
    EXPECT_EQ(labelsOf(query), std::vector<std::string>{"Parlindo \u2013 openai-api-key"});

    ASSERT_EQ(keychain.updateData(query, "v2"), status::success);
    EXPECT_EQ(labelsOf(query), std::vector<std::string>{"Parlindo \u2013 openai-api-key"});
    keychain.deleteItem(query);
}

TEST(SecretServiceKeychainTest, ALockedKeyringRefusesReadsButStillShowsItsItems) {
    SecretServiceKeychain keychain;
    const auto query = uniqueQuery("openai-api-key");
    ASSERT_EQ(keychain.addItem(query, "secret", "label"), status::success);
    {
        LockedKeyring locked;
        std::string data = "untouched";
        EXPECT_EQ(keychain.findItem(query), status::success);
        EXPECT_EQ(keychain.copyData(query, data), status::interactionNotAllowed);
        EXPECT_EQ(data, "untouched");
        EXPECT_EQ(keychain.updateData(query, "other"), status::interactionNotAllowed);
    }
    std::string data;
    EXPECT_EQ(keychain.copyData(query, data), status::success);
    EXPECT_EQ(data, "secret");
    keychain.deleteItem(query);
}

TEST(SecretServiceKeychainTest, QueriesWithNulAreRefused) {
    SecretServiceKeychain keychain;
    const ItemQuery query{"com.tessarin.KeychainTests", std::string("a\0b", 3)};
    EXPECT_EQ(keychain.findItem(query), status::parameter);
    EXPECT_EQ(keychain.addItem(query, "x", "label"), status::parameter);
    EXPECT_EQ(keychain.deleteItem(query), status::parameter);
}

TEST(SecretServiceKeychainTest, WithoutASecretServiceTheKeychainIsNotAvailable) {
    // In a fresh process (re-executed, not forked: the parent's bus connection must not leak in) whose
    // session bus does not exist.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/parlindo-bus", 1);
            SecretServiceKeychain keychain;
            std::string data;
            const bool allUnavailable = keychain.findItem(uniqueQuery("a")) == status::notAvailable &&
                                        keychain.copyData(uniqueQuery("a"), data) == status::notAvailable &&
                                        keychain.addItem(uniqueQuery("a"), "x", "l") == status::notAvailable;
            std::exit(allUnavailable ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// --- statuses and the fake's failures
// --------------------------------------------------------------------------

TEST(KeychainStatusTest, MessagesExistForTheKnownStatusesOnly) {
    for (const Status known : {status::success, status::userCanceled, status::parameter,
                               status::internalComponent, status::notAvailable, status::authFailed,
                               status::duplicateItem, status::itemNotFound, status::interactionNotAllowed}) {
        EXPECT_TRUE(errorMessage(known).has_value()) << known;
    }
    EXPECT_EQ(errorMessage(status::itemNotFound), "The specified item could not be found in the keychain.");
    EXPECT_EQ(errorMessage(-99999), std::nullopt);
    EXPECT_EQ(errorMessage(1), std::nullopt);
}

TEST(InMemoryKeychainTest, AFailureAnswersItsStatusChangesNothingAndCountsTheCall) {
    InMemoryKeychain keychain;
    const auto query = uniqueQuery("openai-api-key");
    keychain.putItem(query, {"kept", "label"});
    keychain.setFailure(InMemoryKeychain::Operation::copy, status::userCanceled);
    keychain.setFailure(InMemoryKeychain::Operation::update, status::authFailed);
    keychain.setFailure(InMemoryKeychain::Operation::remove, status::interactionNotAllowed);

    std::string data;
    EXPECT_EQ(keychain.copyData(query, data), status::userCanceled);
    EXPECT_EQ(keychain.updateData(query, "new"), status::authFailed);
    EXPECT_EQ(keychain.deleteItem(query), status::interactionNotAllowed);
    EXPECT_EQ(keychain.findItem(query), status::success);
    EXPECT_EQ(keychain.item(query), (InMemoryKeychain::Item{"kept", "label"}));
    EXPECT_EQ(keychain.callCount(InMemoryKeychain::Operation::copy), 1);
    EXPECT_EQ(keychain.totalCallCount(), 4);

    keychain.setFailure(InMemoryKeychain::Operation::copy, std::nullopt);
    EXPECT_EQ(keychain.copyData(query, data), status::success);
    EXPECT_EQ(data, "kept");
}

} // namespace
