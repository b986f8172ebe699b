#include "FakeAppServices.h"

namespace Parlindo::Testing {

namespace {

// Answers every load with the document it was given.
class FixedFeed final : public TessarinUpdates::FeedLoading {
public:
    explicit FixedFeed(std::string document)
        : document_(std::move(document)) {}
    System::Concurrency::Task<std::string> load(std::string) override { co_return document_; }

private:
    std::string document_;
};

// Tells no one: the model's tests look at the updater's presence, not at its windows.
class SilentUserDriver final : public TessarinUpdates::UpdateUserDriver {
public:
    void showUpdateFound(const TessarinUpdates::AppcastItem&, const std::string&, bool,
                         std::function<void(Choice)>) override {}
    void showUpToDate(const std::string&) override {}
    void showUpdateError(const std::string&) override {}
};

} // namespace

FakeAppServices::FakeAppServices(System::Concurrency::Executor& mainActor)
    : mainActor_(mainActor) {}

std::shared_ptr<System::LoginItem::LoginItemService> FakeAppServices::makeLoginItem() {
    calls.push_back("loginItem");
    return loginItem;
}

std::unique_ptr<TessarinUpdates::AppUpdater>
FakeAppServices::makeUpdater(TessarinUpdates::AppUpdater::Configuration configuration) {
    calls.push_back("updater");
    updaterConfiguration = configuration;
    return std::make_unique<TessarinUpdates::AppUpdater>(
        mainActor_, std::move(configuration), std::make_shared<FixedFeed>(updateFeed),
        std::make_shared<SilentUserDriver>(), TessarinUpdates::AppUpdater::Host{});
}

std::shared_ptr<TessarinCore::SecretStore>
FakeAppServices::makeKeychainSecretStore(const std::string& service) {
    calls.push_back("keychain");
    keychainService = service;
    return keychain;
}

std::shared_ptr<TessarinCore::PermissionsProviding> FakeAppServices::makePermissionService() {
    calls.push_back("permissions");
    return permissions;
}

std::shared_ptr<TessarinCore::AudioCapturing> FakeAppServices::makeRecorder() {
    calls.push_back("recorder");
    return recorder;
}

std::shared_ptr<TessarinCore::FrontmostAppProviding> FakeAppServices::makeFrontmostAppProvider() {
    calls.push_back("frontmostApp");
    frontmostApps.push_back(std::make_shared<TessarinCore::Fakes::FakeFrontmostApp>());
    return frontmostApps.back();
}

std::shared_ptr<TessarinCore::TextInserting>
FakeAppServices::makeInserter(std::shared_ptr<TessarinCore::FrontmostAppProviding> frontmostApp,
                              System::Concurrency::Duration restoreDelay) {
    calls.push_back("inserter");
    inserterFrontmostApp = std::move(frontmostApp);
    inserterRestoreDelay = restoreDelay;
    return inserter;
}

std::shared_ptr<TessarinCore::SecretStore>
FakeAppServices::makeContainerSecretStore(const std::filesystem::path& directory,
                                          std::shared_ptr<TessarinCore::SecretStore> migratingFrom) {
    calls.push_back("containerSecretStore");
    container->directory = directory;
    container->migratingFrom = std::move(migratingFrom);
    return container;
}

std::shared_ptr<TessarinCloudService>
FakeAppServices::makeCloudTranscriber(const std::string& baseURL, const std::string& appVersion,
                                      std::shared_ptr<TessarinCore::SecretStore> secrets,
                                      std::shared_ptr<System::Defaults::UserDefaults> defaults,
                                      double requestTimeout) {
    calls.push_back("cloudTranscriber");
    cloud->baseURL = baseURL;
    cloud->appVersion = appVersion;
    cloud->secrets = std::move(secrets);
    cloud->defaults = std::move(defaults);
    cloud->requestTimeout = requestTimeout;
    return cloud;
}

std::shared_ptr<TessarinCore::SpeechTranscribing> FakeAppServices::makeAppleSpeechTranscriber() {
    calls.push_back("appleSpeech");
    return appleSpeech;
}

std::shared_ptr<TessarinCore::HotkeyEventSource> FakeAppServices::makeHotkeySource() {
    calls.push_back("hotkeySource");
    return hotkeySource;
}

} // namespace Parlindo::Testing
