#pragma once

#include "App/AppServiceFactory.h"
#include "App/Platform/DesktopServices.h"
#include "FakeAudioRecorder.h"
#include "FakeFrontmostApp.h"
#include "FakeHotkeySource.h"
#include "FakeOperation.h"
#include "FakePermissions.h"
#include "FakeSecretStore.h"
#include "FakeTextInserter.h"
#include "FakeTranscriber.h"
#include "System/LoginItem/FakeLoginItem.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Parlindo::Testing {

using TessarinCore::Fakes::FakeOperation;

// The product's cloud service: an engine that answers like any fake engine, and account and version answers
// the test scripts. An account answer becomes the figures the getters report, as with the real client.
class FakeTessarinCloud final : public TessarinCloudService {
public:
    FakeTessarinCloud()
        : transcriber(std::make_shared<TessarinCore::Fakes::FakeTranscriber>(
              TessarinCore::EngineID::tessarin,
              std::set<TessarinCore::DictationLanguage>{TessarinCore::DictationLanguage::automatic,
                                                        TessarinCore::DictationLanguage::english,
                                                        TessarinCore::DictationLanguage::arabic})) {}

    std::shared_ptr<TessarinCore::SpeechTranscribing> engine() override { return transcriber; }
    std::optional<std::string> supportID() const override { return storedSupportID; }
    std::optional<std::int64_t> minutesLeft() const override { return knownMinutesLeft; }
    bool isBlocked() const override { return blocked; }

    System::Concurrency::Task<AccountStatus> accountStatus() override {
        const AccountStatus status = co_await account.call([] { return AccountStatus{false, 600, 420}; });
        knownMinutesLeft = status.minutesLeft;
        blocked = status.blocked;
        co_return status;
    }
    System::Concurrency::Task<VersionInfo> versionInfo() override {
        return version.call([] { return VersionInfo{"1.0", "1.0", std::nullopt}; });
    }

    std::shared_ptr<TessarinCore::Fakes::FakeTranscriber> transcriber;
    std::optional<std::string> storedSupportID;
    std::optional<std::int64_t> knownMinutesLeft;
    bool blocked = false;
    FakeOperation<AccountStatus> account;
    FakeOperation<VersionInfo> version;

    // What the model built it with.
    std::string baseURL;
    std::string appVersion;
    std::shared_ptr<TessarinCore::SecretStore> secrets;
    std::shared_ptr<System::Defaults::UserDefaults> defaults;
    double requestTimeout = 0;
};

// A container store that remembers where it was put and what it migrates from.
class FakeContainerStore final : public TessarinCore::SecretStore {
public:
    bool hasSecret(TessarinCore::SecretKey key) override { return store.hasSecret(key); }
    System::Concurrency::Task<std::optional<std::string>> secret(TessarinCore::SecretKey key) override {
        return store.secret(key);
    }
    System::Concurrency::Task<void> setSecret(std::string secret, TessarinCore::SecretKey key) override {
        return store.setSecret(std::move(secret), key);
    }
    System::Concurrency::Task<void> removeSecret(TessarinCore::SecretKey key) override {
        return store.removeSecret(key);
    }

    TessarinCore::Fakes::FakeSecretStore store;
    std::filesystem::path directory;
    std::shared_ptr<TessarinCore::SecretStore> migratingFrom;
};

// Every service as a fake, made up front so a test can script it before the model exists. `calls` lists
// what the model asked for, in order.
class FakeAppServices final : public AppServiceFactory {
public:
    explicit FakeAppServices(System::Concurrency::Executor& mainActor);

    std::shared_ptr<System::LoginItem::LoginItemService> makeLoginItem() override;
    std::unique_ptr<TessarinUpdates::AppUpdater>
    makeUpdater(TessarinUpdates::AppUpdater::Configuration configuration) override;
    std::shared_ptr<TessarinCore::SecretStore> makeKeychainSecretStore(const std::string& service) override;
    std::shared_ptr<TessarinCore::PermissionsProviding> makePermissionService() override;
    std::shared_ptr<TessarinCore::AudioCapturing> makeRecorder() override;
    std::shared_ptr<TessarinCore::FrontmostAppProviding> makeFrontmostAppProvider() override;
    std::shared_ptr<TessarinCore::TextInserting>
    makeInserter(std::shared_ptr<TessarinCore::FrontmostAppProviding> frontmostApp,
                 System::Concurrency::Duration restoreDelay) override;
    std::shared_ptr<TessarinCore::SecretStore>
    makeContainerSecretStore(const std::filesystem::path& directory,
                             std::shared_ptr<TessarinCore::SecretStore> migratingFrom) override;
    std::shared_ptr<TessarinCloudService>
    makeCloudTranscriber(const std::string& baseURL, const std::string& appVersion,
                         std::shared_ptr<TessarinCore::SecretStore> secrets,
                         std::shared_ptr<System::Defaults::UserDefaults> defaults,
                         double requestTimeout) override;
    std::shared_ptr<TessarinCore::SpeechTranscribing> makeAppleSpeechTranscriber() override;
    std::shared_ptr<TessarinCore::HotkeyEventSource> makeHotkeySource() override;

    std::vector<std::string> calls;

    std::shared_ptr<System::LoginItem::FakeLoginItem> loginItem =
        std::make_shared<System::LoginItem::FakeLoginItem>();
    std::optional<TessarinUpdates::AppUpdater::Configuration> updaterConfiguration;
    // The update feed the updater reads: no releases.
    std::string updateFeed = "<rss version=\"2.0\"><channel/></rss>";
    std::shared_ptr<TessarinCore::Fakes::FakeSecretStore> keychain =
        std::make_shared<TessarinCore::Fakes::FakeSecretStore>();
    std::string keychainService;
    std::shared_ptr<TessarinCore::Fakes::FakePermissions> permissions =
        std::make_shared<TessarinCore::Fakes::FakePermissions>();
    std::shared_ptr<TessarinCore::Fakes::FakeAudioRecorder> recorder =
        std::make_shared<TessarinCore::Fakes::FakeAudioRecorder>();
    // In the order they were made.
    std::vector<std::shared_ptr<TessarinCore::Fakes::FakeFrontmostApp>> frontmostApps;
    std::shared_ptr<TessarinCore::Fakes::FakeTextInserter> inserter =
        std::make_shared<TessarinCore::Fakes::FakeTextInserter>();
    std::shared_ptr<TessarinCore::FrontmostAppProviding> inserterFrontmostApp;
    System::Concurrency::Duration inserterRestoreDelay;
    std::shared_ptr<FakeContainerStore> container = std::make_shared<FakeContainerStore>();
    std::shared_ptr<FakeTessarinCloud> cloud = std::make_shared<FakeTessarinCloud>();
    std::shared_ptr<TessarinCore::Fakes::FakeTranscriber> appleSpeech =
        std::make_shared<TessarinCore::Fakes::FakeTranscriber>(
            TessarinCore::EngineID::appleSpeech,
            std::set<TessarinCore::DictationLanguage>{TessarinCore::DictationLanguage::english,
                                                      TessarinCore::DictationLanguage::arabic});
    std::shared_ptr<TessarinCore::Fakes::FakeHotkeySource> hotkeySource =
        std::make_shared<TessarinCore::Fakes::FakeHotkeySource>();

private:
    System::Concurrency::Executor& mainActor_;
};

// Records what the model asks of the desktop; starting a new instance succeeds unless told otherwise.
class FakeDesktop final : public DesktopServices {
public:
    bool openURL(const std::string& address) override {
        opened.push_back(address);
        return true;
    }
    void revealInFileManager(const std::filesystem::path& file) override { revealed.push_back(file); }
    bool launchNewInstance(const std::filesystem::path& executable) override {
        launched.push_back(executable);
        return launchSucceeds;
    }

    std::vector<std::string> opened;
    std::vector<std::filesystem::path> revealed;
    std::vector<std::filesystem::path> launched;
    bool launchSucceeds = true;
};

class FakeApplicationControl final : public ApplicationControl {
public:
    void activate() override { ++activations; }
    void terminate() override { ++terminations; }

    int activations = 0;
    int terminations = 0;
};

} // namespace Parlindo::Testing
