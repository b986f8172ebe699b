#pragma once

#include "App/AppServiceFactory.h"
#include "System/Bundle/Bundle.h"
#include "System/Concurrency/Executor.h"
#include "TessarinUpdates/AppUpdater.h"
#include "TessarinUpdates/UpdateUserDriver.h"

#include <memory>
#include <string>

namespace Parlindo {

// The real services on a Linux desktop: the login item as an autostart entry, the updater over the update
// feed, secrets in the Secret Service and in private files, PulseAudio, the X session's keys, clipboard and
// windows, the on-device speech engine and the product's cloud service.
class LinuxAppServices final : public AppServiceFactory {
public:
    // `windowClass` is the class the application's own windows carry, so that dictated text is never pasted
    // into them; `userDriver` and `updaterHost` are the updater's windows and its way to the desktop;
    // `givenAtStart` are the variables this start was given that the start at login needs too.
    LinuxAppServices(System::Concurrency::Executor& mainActor, const System::Bundle::Bundle& bundle,
                     std::string windowClass, std::shared_ptr<TessarinUpdates::UpdateUserDriver> userDriver,
                     TessarinUpdates::AppUpdater::Host updaterHost,
                     std::vector<std::pair<std::string, std::string>> givenAtStart = {});
    ~LinuxAppServices() override;

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

private:
    System::Concurrency::Executor& mainActor_;
    const System::Bundle::Bundle& bundle_;
    std::string windowClass_;
    std::shared_ptr<TessarinUpdates::UpdateUserDriver> userDriver_;
    TessarinUpdates::AppUpdater::Host updaterHost_;
    std::vector<std::pair<std::string, std::string>> givenAtStart_;
};

} // namespace Parlindo
