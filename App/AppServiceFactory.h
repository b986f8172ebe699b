#pragma once

#include "App/TessarinCloudService.h"
#include "System/Concurrency/Duration.h"
#include "System/Defaults/UserDefaults.h"
#include "System/LoginItem/LoginItem.h"
#include "TessarinCore/Ports/AudioCapturing.h"
#include "TessarinCore/Ports/FrontmostAppProviding.h"
#include "TessarinCore/Ports/HotkeyEventSource.h"
#include "TessarinCore/Ports/PermissionsProviding.h"
#include "TessarinCore/Ports/SecretStore.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"
#include "TessarinCore/Ports/TextInserting.h"
#include "TessarinUpdates/AppUpdater.h"

#include <filesystem>
#include <memory>
#include <string>

namespace Parlindo {

// Makes the services the application model builds, each once, in the model's fixed order. The application
// gets the real ones (LinuxAppServices); tests hand in fakes. Called on the main actor.
class AppServiceFactory {
public:
    virtual ~AppServiceFactory() = default;

    // The running application's own login item.
    virtual std::shared_ptr<System::LoginItem::LoginItemService> makeLoginItem() = 0;
    // Started at once; nothing when the application has no update feed.
    virtual std::unique_ptr<TessarinUpdates::AppUpdater>
    makeUpdater(TessarinUpdates::AppUpdater::Configuration configuration) = 0;
    virtual std::shared_ptr<TessarinCore::SecretStore>
    makeKeychainSecretStore(const std::string& service) = 0;
    virtual std::shared_ptr<TessarinCore::PermissionsProviding> makePermissionService() = 0;
    virtual std::shared_ptr<TessarinCore::AudioCapturing> makeRecorder() = 0;
    virtual std::shared_ptr<TessarinCore::FrontmostAppProviding> makeFrontmostAppProvider() = 0;
    virtual std::shared_ptr<TessarinCore::TextInserting>
    makeInserter(std::shared_ptr<TessarinCore::FrontmostAppProviding> frontmostApp,
                 System::Concurrency::Duration restoreDelay) = 0;
    // Secrets in files of `directory`, moved once out of `migratingFrom`.
    virtual std::shared_ptr<TessarinCore::SecretStore>
    makeContainerSecretStore(const std::filesystem::path& directory,
                             std::shared_ptr<TessarinCore::SecretStore> migratingFrom) = 0;
    virtual std::shared_ptr<TessarinCloudService>
    makeCloudTranscriber(const std::string& baseURL, const std::string& appVersion,
                         std::shared_ptr<TessarinCore::SecretStore> secrets,
                         std::shared_ptr<System::Defaults::UserDefaults> defaults, double requestTimeout) = 0;
    virtual std::shared_ptr<TessarinCore::SpeechTranscribing> makeAppleSpeechTranscriber() = 0;
    virtual std::shared_ptr<TessarinCore::HotkeyEventSource> makeHotkeySource() = 0;
};

} // namespace Parlindo
