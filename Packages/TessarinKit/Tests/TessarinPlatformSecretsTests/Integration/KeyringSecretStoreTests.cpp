#include "System/Concurrency/BlockingRun.h"
#include "System/Keychain/SecretServiceKeychain.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "TessarinPlatform/System/ContainerSecretStore.h"
#include "TessarinPlatform/System/KeychainSecretStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;
using System::Concurrency::blockingRun;
using TessarinCore::SecretKey;
using TessarinPlatform::ContainerSecretStore;
using TessarinPlatform::KeychainSecretStore;

namespace {

// A service name of this run's own, so that nothing else in the keyring is touched.
std::string testService() {
    return "com.tessarin.Tessarin.KeyringTests." + std::to_string(getpid());
}

TEST(KeyringSecretStoreTest, SecretsRoundTripThroughTheSecretService) {
    const std::string service = testService();
    {
        KeychainSecretStore store(service);
        EXPECT_FALSE(store.hasSecret(SecretKey::openAIAPIKey));
        EXPECT_EQ(blockingRun(store.secret(SecretKey::openAIAPIKey)), std::nullopt);
        blockingRun(store.setSecret("sk-first", SecretKey::openAIAPIKey));
        blockingRun(store.setSecret("sk-second \u00E9", SecretKey::openAIAPIKey));
    }
    // A fresh store has no cache: the value comes from the keyring.
    KeychainSecretStore fresh(service);
    EXPECT_TRUE(fresh.hasSecret(SecretKey::openAIAPIKey));
    EXPECT_EQ(blockingRun(fresh.secret(SecretKey::openAIAPIKey)), "sk-second \u00E9");

    System::Keychain::SecretServiceKeychain keychain;
    std::string data;
    EXPECT_EQ(keychain.copyData({service, "openai-api-key"}, data), System::Keychain::status::success);
    EXPECT_EQ(data, "sk-second \u00E9");

    blockingRun(fresh.removeSecret(SecretKey::openAIAPIKey));
    blockingRun(fresh.removeSecret(SecretKey::openAIAPIKey));
    EXPECT_FALSE(KeychainSecretStore(service).hasSecret(SecretKey::openAIAPIKey));
}

TEST(KeyringSecretStoreTest, TheContainerStoreMovesASecretOutOfTheKeyring) {
    const std::string service = testService();
    const System::FileTesting::TemporaryFolder folder("keyring-migration");
    auto keychainStore = std::make_shared<KeychainSecretStore>(service);
    blockingRun(keychainStore->setSecret("token-from-keyring", SecretKey::tessarinDeviceToken));

    ContainerSecretStore container(folder / "Tessarin" / "Secrets",
                                   std::make_shared<KeychainSecretStore>(service));
    EXPECT_TRUE(container.hasSecret(SecretKey::tessarinDeviceToken));
    EXPECT_EQ(blockingRun(container.secret(SecretKey::tessarinDeviceToken)), "token-from-keyring");
    EXPECT_TRUE(fs::exists(folder / "Tessarin" / "Secrets" / "tessarin-device-token"));
    EXPECT_TRUE(fs::exists(folder / "Tessarin" / "Secrets" / ".tessarin-device-token.moved"));
    EXPECT_TRUE(keychainStore->hasSecret(SecretKey::tessarinDeviceToken));

    blockingRun(keychainStore->removeSecret(SecretKey::tessarinDeviceToken));
}

} // namespace
