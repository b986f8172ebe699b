#include "System/Concurrency/BlockingRun.h"
#include "System/Keychain/InMemoryKeychain.h"
#include "TessarinPlatform/System/KeychainSecretStore.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using System::Concurrency::blockingRun;
using System::Concurrency::currentExecutor;
using System::Concurrency::Executor;
using System::Concurrency::spawn;
using System::Concurrency::Task;
using System::Keychain::InMemoryKeychain;
using TessarinCore::SecretKey;
using TessarinPlatform::KeychainSecretStore;
using KeychainError = KeychainSecretStore::KeychainError;
using Operation = InMemoryKeychain::Operation;
namespace status = System::Keychain::status;

namespace {

constexpr const char* service = "com.tessarin.Tessarin";

System::Keychain::ItemQuery query(SecretKey key) {
    return {service, std::string(TessarinCore::rawValue(key))};
}

template <class T>
std::optional<KeychainError> keychainFailure(Task<T> task) {
    try {
        blockingRun(std::move(task));
    } catch (const KeychainError& error) {
        return error;
    }
    ADD_FAILURE() << "did not fail with a KeychainError";
    return std::nullopt;
}

// Remembers on which threads the keychain was called.
class ThreadRecordingKeychain final : public System::Keychain::Keychain {
public:
    System::Keychain::Status findItem(const System::Keychain::ItemQuery& q) override {
        return note(inner.findItem(q));
    }
    System::Keychain::Status copyData(const System::Keychain::ItemQuery& q, std::string& data) override {
        return note(inner.copyData(q, data));
    }
    System::Keychain::Status updateData(const System::Keychain::ItemQuery& q,
                                        std::string_view data) override {
        return note(inner.updateData(q, data));
    }
    System::Keychain::Status addItem(const System::Keychain::ItemQuery& q, std::string_view data,
                                     std::string_view label) override {
        return note(inner.addItem(q, data, label));
    }
    System::Keychain::Status deleteItem(const System::Keychain::ItemQuery& q) override {
        return note(inner.deleteItem(q));
    }

    InMemoryKeychain inner;
    std::mutex mutex;
    std::vector<std::thread::id> threads;

private:
    System::Keychain::Status note(System::Keychain::Status result) {
        std::lock_guard lock(mutex);
        threads.push_back(std::this_thread::get_id());
        return result;
    }
};

class KeychainSecretStoreTest : public testing::Test {
protected:
    std::shared_ptr<InMemoryKeychain> keychain = std::make_shared<InMemoryKeychain>();
    KeychainSecretStore store{service, keychain};
};

TEST_F(KeychainSecretStoreTest, AMissingSecretIsAbsentAndNotCached) {
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), std::nullopt);
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), std::nullopt);
    EXPECT_EQ(keychain->callCount(Operation::copy), 2);
    EXPECT_FALSE(store.hasSecret(SecretKey::openAIAPIKey));
}

TEST_F(KeychainSecretStoreTest, AStoredValueIsServedFromTheCache) {
    blockingRun(store.setSecret("sk-123", SecretKey::openAIAPIKey));
    const int calls = keychain->totalCallCount();

    EXPECT_TRUE(store.hasSecret(SecretKey::openAIAPIKey));
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), "sk-123");
    EXPECT_EQ(keychain->totalCallCount(), calls);
}

TEST_F(KeychainSecretStoreTest, ReadsAreCachedAndAReadQueuedBehindAnotherUsesItsAnswer) {
    keychain->putItem(query(SecretKey::groqAPIKey), {"gsk", "label"});

    const auto values = blockingRun([&]() -> Task<std::vector<std::optional<std::string>>> {
        Executor* executor = co_await currentExecutor();
        auto first = spawn(*executor, store.secret(SecretKey::groqAPIKey));
        auto second = spawn(*executor, store.secret(SecretKey::groqAPIKey));
        co_return std::vector{co_await first.value(), co_await second.value()};
    }());

    EXPECT_EQ(values, (std::vector<std::optional<std::string>>{"gsk", "gsk"}));
    EXPECT_EQ(keychain->callCount(Operation::copy), 1);
    EXPECT_EQ(blockingRun(store.secret(SecretKey::groqAPIKey)), "gsk");
    EXPECT_EQ(keychain->callCount(Operation::copy), 1);
}

TEST_F(KeychainSecretStoreTest, SettingCreatesTheItemWithItsLabelThenUpdatesOnlyTheData) {
    blockingRun(store.setSecret("v1", SecretKey::tessarinDeviceToken));
    EXPECT_EQ(keychain->item(query(SecretKey::tessarinDeviceToken)),
              (InMemoryKeychain::Item{"v1", "Parlindo \u2013 tessarin-device-token"}));

    keychain->putItem(query(SecretKey::tessarinDeviceToken), {"v1", "renamed by the user"});
    blockingRun(store.setSecret("v2", SecretKey::tessarinDeviceToken));
    EXPECT_EQ(keychain->item(query(SecretKey::tessarinDeviceToken)),
              (InMemoryKeychain::Item{"v2", "renamed by the user"}));
}

TEST_F(KeychainSecretStoreTest, RemovingWorksWhetherOrNotTheItemExists) {
    blockingRun(store.removeSecret(SecretKey::openAIAPIKey));
    blockingRun(store.setSecret("sk", SecretKey::openAIAPIKey));
    blockingRun(store.removeSecret(SecretKey::openAIAPIKey));
    EXPECT_FALSE(store.hasSecret(SecretKey::openAIAPIKey));
    EXPECT_EQ(keychain->item(query(SecretKey::openAIAPIKey)), std::nullopt);
}

TEST_F(KeychainSecretStoreTest, StoredBytesThatAreNotTextReadAsAbsent) {
    keychain->putItem(query(SecretKey::openAIAPIKey), {"\xC3\x28", ""});
    keychain->putItem(query(SecretKey::groqAPIKey), {"", ""});
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), std::nullopt);
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), std::nullopt);
    EXPECT_EQ(keychain->callCount(Operation::copy), 2);
    EXPECT_EQ(blockingRun(store.secret(SecretKey::groqAPIKey)), "");
}

TEST_F(KeychainSecretStoreTest, RefusedReadsAreAccessDeniedOtherFailuresUnexpectedStatus) {
    keychain->putItem(query(SecretKey::openAIAPIKey), {"sk", ""});
    for (const auto refused : {status::userCanceled, status::interactionNotAllowed, status::authFailed}) {
        keychain->setFailure(Operation::copy, refused);
        EXPECT_EQ(keychainFailure(store.secret(SecretKey::openAIAPIKey)), KeychainError::accessDenied())
            << refused;
    }
    EXPECT_EQ(KeychainError::accessDenied().description(),
              "Parlindo wasn\u2019t allowed to read its key from your keyring. Unlock the keyring when your "
              "desktop asks.");

    keychain->setFailure(Operation::copy, status::notAvailable);
    EXPECT_EQ(keychainFailure(store.secret(SecretKey::openAIAPIKey)),
              KeychainError::unexpectedStatus(status::notAvailable));

    // A refused write is reported by its status, not as a refused read.
    keychain->setFailure(Operation::update, status::userCanceled);
    const auto refusedWrite = keychainFailure(store.setSecret("x", SecretKey::openAIAPIKey));
    EXPECT_EQ(refusedWrite, KeychainError::unexpectedStatus(status::userCanceled));
    EXPECT_EQ(refusedWrite->description(), "User canceled the operation.");
    EXPECT_FALSE(store.hasSecret(SecretKey::groqAPIKey));
}

TEST_F(KeychainSecretStoreTest, FailedWritesAndDeletesAreReportedAndLeaveTheCache) {
    keychain->setFailure(Operation::add, -99999);
    const auto failedAdd = keychainFailure(store.setSecret("x", SecretKey::groqAPIKey));
    EXPECT_EQ(failedAdd, KeychainError::unexpectedStatus(-99999));
    EXPECT_EQ(failedAdd->description(), "Keyring error -99999");
    EXPECT_FALSE(store.hasSecret(SecretKey::groqAPIKey));

    keychain->setFailure(Operation::add, std::nullopt);
    blockingRun(store.setSecret("kept", SecretKey::groqAPIKey));
    keychain->setFailure(Operation::remove, status::interactionNotAllowed);
    EXPECT_EQ(keychainFailure(store.removeSecret(SecretKey::groqAPIKey)),
              KeychainError::unexpectedStatus(status::interactionNotAllowed));
    // The cached value went first, so the next read asks the keychain, which still has the item.
    const int copies = keychain->callCount(Operation::copy);
    EXPECT_EQ(blockingRun(store.secret(SecretKey::groqAPIKey)), "kept");
    EXPECT_EQ(keychain->callCount(Operation::copy), copies + 1);
}

TEST_F(KeychainSecretStoreTest, APresenceCheckThatFailsAnswersFalse) {
    keychain->putItem(query(SecretKey::openAIAPIKey), {"sk", ""});
    keychain->setFailure(Operation::find, status::notAvailable);
    EXPECT_FALSE(store.hasSecret(SecretKey::openAIAPIKey));
}

TEST(KeychainSecretStoreThreadTest, OnlyThePresenceCheckRunsOnTheCallersThread) {
    auto keychain = std::make_shared<ThreadRecordingKeychain>();
    KeychainSecretStore store(service, keychain);
    const auto caller = std::this_thread::get_id();

    store.hasSecret(SecretKey::openAIAPIKey);
    blockingRun([&]() -> Task<void> {
        co_await store.setSecret("sk", SecretKey::openAIAPIKey);
        co_await store.removeSecret(SecretKey::openAIAPIKey);
        co_await store.secret(SecretKey::openAIAPIKey);
        EXPECT_EQ(std::this_thread::get_id(), caller); // resumed on its own executor
    }());

    ASSERT_EQ(keychain->threads.size(), 5u); // find; update, add; delete; copy
    EXPECT_EQ(keychain->threads[0], caller);
    const std::set<std::thread::id> queueThreads(keychain->threads.begin() + 1, keychain->threads.end());
    EXPECT_EQ(queueThreads.size(), 1u);
    EXPECT_FALSE(queueThreads.contains(caller));
}

} // namespace
