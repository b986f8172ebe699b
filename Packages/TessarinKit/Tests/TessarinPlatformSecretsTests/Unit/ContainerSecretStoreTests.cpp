#include "System/Concurrency/BlockingRun.h"
#include "System/Concurrency/ManualExecutor.h"
#include "System/Keychain/InMemoryKeychain.h"
#include "System/Log/Logger.h"
#include "System/Paths/Files.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "TessarinPlatform/System/ContainerSecretStore.h"
#include "TessarinPlatform/System/KeychainSecretStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using System::Concurrency::blockingRun;
using System::Keychain::InMemoryKeychain;
using TessarinCore::SecretKey;
using TessarinPlatform::ContainerSecretStore;
using TessarinPlatform::KeychainSecretStore;
using Operation = InMemoryKeychain::Operation;

namespace {

constexpr const char* service = "com.tessarin.Tessarin";

using namespace System::FileTesting;
using System::Paths::readFile;

class ContainerSecretStoreTest : public testing::Test {
protected:
    // The keychain store as the older store, holding `value` under `key`.
    void keepInKeychain(SecretKey key, std::string value) {
        keychain_->putItem({service, std::string(TessarinCore::rawValue(key))}, {std::move(value), "label"});
    }
    bool keychainHolds(SecretKey key) const {
        return keychain_->item({service, std::string(TessarinCore::rawValue(key))}).has_value();
    }
    ContainerSecretStore migratingStore() { return ContainerSecretStore(directory_, legacy_); }
    fs::path fileOf(SecretKey key) const { return directory_ / std::string(TessarinCore::rawValue(key)); }
    fs::path markerOf(SecretKey key) const {
        return directory_ / ("." + std::string(TessarinCore::rawValue(key)) + ".moved");
    }

    TemporaryFolder root_{"container-store-test"};
    const fs::path directory_ = root_ / "Tessarin" / "Secrets";
    std::shared_ptr<InMemoryKeychain> keychain_ = std::make_shared<InMemoryKeychain>();
    std::shared_ptr<KeychainSecretStore> legacy_ = std::make_shared<KeychainSecretStore>(service, keychain_);
    System::Log::CaptureSink log_;
};

TEST_F(ContainerSecretStoreTest, WithoutAnOlderStoreAMissingSecretTouchesNothing) {
    ContainerSecretStore store(directory_, nullptr);
    EXPECT_FALSE(store.hasSecret(SecretKey::openAIAPIKey));
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), std::nullopt);
    EXPECT_FALSE(fs::exists(directory_));
}

TEST_F(ContainerSecretStoreTest, TheFirstReadMovesTheSecretIntoAPrivateFile) {
    keepInKeychain(SecretKey::tessarinDeviceToken, "token-\u00E9");
    auto store = migratingStore();
    const mode_t oldMask = umask(0); // the modes must not depend on a permissive umask
    const auto value = blockingRun(store.secret(SecretKey::tessarinDeviceToken));
    umask(oldMask);

    EXPECT_EQ(value, "token-\u00E9");
    EXPECT_EQ(readFile(fileOf(SecretKey::tessarinDeviceToken)), "token-\u00E9");
    EXPECT_EQ(modeOf(fileOf(SecretKey::tessarinDeviceToken)), 0600u);
    EXPECT_EQ(modeOf(directory_), 0700u);
    EXPECT_TRUE(fs::exists(directory_ / ".tessarin-device-token.moved"));
    EXPECT_EQ(log_.messages("Secrets"),
              std::vector<std::string>{"Moved tessarin-device-token out of the Keychain"});
    EXPECT_TRUE(keychainHolds(SecretKey::tessarinDeviceToken)); // the older store keeps its item

    fs::remove(fileOf(SecretKey::tessarinDeviceToken));
    EXPECT_EQ(blockingRun(store.secret(SecretKey::tessarinDeviceToken)), "token-\u00E9"); // from the cache
    EXPECT_EQ(keychain_->callCount(Operation::copy), 1);
}

TEST_F(ContainerSecretStoreTest, AnOlderStoreWithoutTheSecretIsAskedAgainLater) {
    auto store = migratingStore();
    EXPECT_EQ(blockingRun(store.secret(SecretKey::groqAPIKey)), std::nullopt);
    EXPECT_FALSE(fs::exists(markerOf(SecretKey::groqAPIKey)));

    keepInKeychain(SecretKey::groqAPIKey, "gsk");
    EXPECT_TRUE(store.hasSecret(SecretKey::groqAPIKey));
    EXPECT_EQ(blockingRun(store.secret(SecretKey::groqAPIKey)), "gsk");
}

TEST_F(ContainerSecretStoreTest, ASecretTheOlderStoreRefusesIsNotGivenUp) {
    keepInKeychain(SecretKey::openAIAPIKey, "sk-kept");
    keychain_->setFailure(Operation::copy, System::Keychain::status::userCanceled);
    auto store = migratingStore();

    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), std::nullopt);
    EXPECT_EQ(log_.messages("Secrets"),
              std::vector<std::string>{
                  "Couldn't move openai-api-key out of the Keychain: Parlindo wasn\u2019t allowed to "
                  "read its key from your keyring. Unlock the keyring when your desktop asks."});
    // No marker: once the older store answers, the key still moves.
    EXPECT_FALSE(fs::exists(markerOf(SecretKey::openAIAPIKey)));
    EXPECT_TRUE(store.hasSecret(SecretKey::openAIAPIKey));
    keychain_->setFailure(Operation::copy, std::nullopt);
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), "sk-kept");
    EXPECT_EQ(readFile(fileOf(SecretKey::openAIAPIKey)), "sk-kept");
}

TEST_F(ContainerSecretStoreTest, ASecretThatCannotBeStoredHereIsStillGivenAndMovedLater) {
    keepInKeychain(SecretKey::openAIAPIKey, "sk-kept");
    fs::create_directories(directory_.parent_path());
    std::ofstream(directory_) << "a file where the folder should be";
    auto store = migratingStore();

    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), "sk-kept");
    ASSERT_EQ(log_.messages("Secrets").size(), 1u);
    EXPECT_TRUE(
        log_.messages("Secrets")[0].starts_with("Couldn't move openai-api-key out of the Keychain: "));

    fs::remove(directory_);
    auto later = migratingStore();
    EXPECT_EQ(blockingRun(later.secret(SecretKey::openAIAPIKey)), "sk-kept");
    EXPECT_EQ(readFile(fileOf(SecretKey::openAIAPIKey)), "sk-kept");
    EXPECT_TRUE(fs::exists(markerOf(SecretKey::openAIAPIKey)));
}

TEST_F(ContainerSecretStoreTest, AnEmptyValueInTheOlderStoreEndsTheMove) {
    keepInKeychain(SecretKey::groqAPIKey, "");
    auto store = migratingStore();
    EXPECT_EQ(blockingRun(store.secret(SecretKey::groqAPIKey)), std::nullopt);
    EXPECT_TRUE(fs::exists(markerOf(SecretKey::groqAPIKey)));
    EXPECT_FALSE(store.hasSecret(SecretKey::groqAPIKey));
    EXPECT_TRUE(log_.messages("Secrets").empty());
}

TEST_F(ContainerSecretStoreTest, AnEmptyFileCountsAsPresentButIsNotReadAsASecret) {
    fs::create_directories(directory_);
    std::ofstream(fileOf(SecretKey::openAIAPIKey)) << "";
    keepInKeychain(SecretKey::openAIAPIKey, "sk-from-keychain");
    auto store = migratingStore();

    EXPECT_TRUE(store.hasSecret(SecretKey::openAIAPIKey));
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), "sk-from-keychain");
}

TEST_F(ContainerSecretStoreTest, ARemovedSecretDoesNotComeBackFromTheOlderStore) {
    keepInKeychain(SecretKey::openAIAPIKey, "sk-moved");
    keepInKeychain(SecretKey::groqAPIKey, "gsk-never-moved");
    auto store = migratingStore();
    blockingRun(store.secret(SecretKey::openAIAPIKey));

    blockingRun(store.removeSecret(SecretKey::openAIAPIKey));
    blockingRun(store.removeSecret(SecretKey::groqAPIKey));

    for (const auto key : {SecretKey::openAIAPIKey, SecretKey::groqAPIKey}) {
        EXPECT_FALSE(store.hasSecret(key));
        EXPECT_EQ(blockingRun(store.secret(key)), std::nullopt);
        EXPECT_FALSE(fs::exists(fileOf(key)));
        EXPECT_TRUE(keychainHolds(key)); // the older store is not touched
    }
}

TEST_F(ContainerSecretStoreTest, SetValuesAreCachedAndReadBackByANewStore) {
    auto store = migratingStore();
    blockingRun(store.setSecret("first", SecretKey::tessarinDeviceToken));
    chmod(fileOf(SecretKey::tessarinDeviceToken).c_str(), 0644);
    blockingRun(store.setSecret("second", SecretKey::tessarinDeviceToken));

    EXPECT_EQ(blockingRun(store.secret(SecretKey::tessarinDeviceToken)), "second");
    EXPECT_EQ(modeOf(fileOf(SecretKey::tessarinDeviceToken)), 0600u);
    EXPECT_TRUE(fs::exists(markerOf(SecretKey::tessarinDeviceToken)));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory_), fs::directory_iterator()),
              2); // no temporary left

    keepInKeychain(SecretKey::tessarinDeviceToken, "stale");
    EXPECT_EQ(blockingRun(migratingStore().secret(SecretKey::tessarinDeviceToken)), "second");
    EXPECT_EQ(keychain_->callCount(Operation::copy), 0);
}

TEST_F(ContainerSecretStoreTest, AFailedWriteIsReportedAndChangesNothing) {
    fs::create_directories(directory_.parent_path());
    std::ofstream(directory_) << "a file where the folder should be";
    auto store = migratingStore();

    EXPECT_THROW(blockingRun(store.setSecret("sk", SecretKey::openAIAPIKey)), std::system_error);
    EXPECT_FALSE(store.hasSecret(SecretKey::openAIAPIKey));
    EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), std::nullopt);
}

TEST_F(ContainerSecretStoreTest, AFailedDeletionIsReported) {
    auto store = migratingStore();
    blockingRun(store.setSecret("sk", SecretKey::openAIAPIKey));
    fs::remove(fileOf(SecretKey::openAIAPIKey));
    fs::create_directories(fileOf(SecretKey::openAIAPIKey) / "in-the-way"); // a folder cannot be unlinked

    EXPECT_THROW(blockingRun(store.removeSecret(SecretKey::openAIAPIKey)), std::system_error);
    EXPECT_TRUE(store.hasSecret(SecretKey::openAIAPIKey)); // what is on disk says so
}

// An older store that holds every key and whose reads wait until the test answers them, as behind a
// keyring's unlock prompt.
class WaitingStore final : public TessarinCore::SecretStore {
public:
    bool hasSecret(SecretKey) override { return true; }
    System::Concurrency::Task<std::optional<std::string>> secret(SecretKey) override {
        co_return co_await System::Concurrency::withContinuation<std::optional<std::string>>(
            [this](System::Concurrency::Continuation<std::optional<std::string>> continuation) {
                pending.emplace(std::move(continuation));
            });
    }
    System::Concurrency::Task<void> setSecret(std::string, SecretKey) override { co_return; }
    System::Concurrency::Task<void> removeSecret(SecretKey) override { co_return; }

    std::optional<System::Concurrency::Continuation<std::optional<std::string>>> pending;
};

TEST_F(ContainerSecretStoreTest, ASetOrRemovalWhileAMoveWaitsIsNotUndoneByTheMove) {
    struct Case {
        const char* name;
        std::function<System::Concurrency::Task<void>(ContainerSecretStore&)> change;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"set", [](ContainerSecretStore& s) { return s.setSecret("sk-new", SecretKey::openAIAPIKey); },
         "sk-new"},
        {"remove", [](ContainerSecretStore& s) { return s.removeSecret(SecretKey::openAIAPIKey); },
         std::nullopt},
    };
    for (const auto& c : cases) {
        TemporaryFolder folder{"container-store-race"};
        auto legacy = std::make_shared<WaitingStore>();
        ContainerSecretStore store(folder.path(), legacy);
        System::Concurrency::ManualExecutor executor;
        auto read = System::Concurrency::spawn(executor, store.secret(SecretKey::openAIAPIKey));
        executor.runUntilIdle();
        ASSERT_TRUE(legacy->pending) << c.name;
        auto change = System::Concurrency::spawn(executor, c.change(store));
        executor.runUntilIdle();
        ASSERT_TRUE(change.isDone()) << c.name;
        change.result();

        legacy->pending->resume("sk-old");
        executor.runUntilIdle();
        ASSERT_TRUE(read.isDone()) << c.name;
        EXPECT_EQ(read.result(), c.expected) << c.name;
        EXPECT_EQ(readFile(folder.path() / "openai-api-key"), c.expected) << c.name;
        EXPECT_EQ(blockingRun(ContainerSecretStore(folder.path(), legacy).secret(SecretKey::openAIAPIKey)),
                  c.expected)
            << c.name;
    }
}

} // namespace
