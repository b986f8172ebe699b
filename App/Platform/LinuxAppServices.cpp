#include "App/Platform/LinuxAppServices.h"

#include "App/Platform/BoundedProbe.h"

#include "System/LoginItem/AutostartLoginItem.h"
#include "System/Net/HttpClient.h"
#include "TessarinPlatform/Audio/AVAudioEngineRecorder.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"
#include "TessarinPlatform/Hotkey/CGEventTapHotkeySource.h"
#include "TessarinPlatform/Insertion/SystemTextInserter.h"
#include "TessarinPlatform/Speech/AppleSpeechTranscriber.h"
#include "TessarinPlatform/System/ContainerSecretStore.h"
#include "TessarinPlatform/System/KeychainSecretStore.h"
#include "TessarinPlatform/System/TCCPermissionService.h"
#include "TessarinPlatform/System/WorkspaceFrontmostAppProvider.h"
#include "TessarinUpdates/HttpFeedLoader.h"

namespace Parlindo {

using namespace TessarinCore;

namespace {

// A sound server answers within milliseconds; one that has not answered in a second is taken as stopped.
const System::Concurrency::Duration soundServerPatience =
    System::Concurrency::Duration::seconds(std::int64_t{1});

} // namespace

LinuxAppServices::LinuxAppServices(System::Concurrency::Executor& mainActor,
                                   const System::Bundle::Bundle& bundle, std::string windowClass,
                                   std::shared_ptr<TessarinUpdates::UpdateUserDriver> userDriver,
                                   TessarinUpdates::AppUpdater::Host updaterHost,
                                   std::vector<std::pair<std::string, std::string>> givenAtStart)
    : mainActor_(mainActor)
    , bundle_(bundle)
    , windowClass_(std::move(windowClass))
    , userDriver_(std::move(userDriver))
    , updaterHost_(std::move(updaterHost))
    , givenAtStart_(std::move(givenAtStart)) {}

LinuxAppServices::~LinuxAppServices() = default;

std::shared_ptr<System::LoginItem::LoginItemService> LinuxAppServices::makeLoginItem() {
    return std::make_shared<System::LoginItem::AutostartLoginItem>(
        bundle_.identifier().value_or("com.tessarin.Tessarin"),
        bundle_.object(System::Bundle::nameKey).value_or("Parlindo"), bundle_.executablePath(),
        System::LoginItem::AutostartLoginItem::defaultDirectory(), givenAtStart_);
}

std::unique_ptr<TessarinUpdates::AppUpdater>
LinuxAppServices::makeUpdater(TessarinUpdates::AppUpdater::Configuration configuration) {
    auto loader =
        std::make_shared<TessarinUpdates::HttpFeedLoader>(std::make_shared<System::Net::HttpClient>());
    return std::make_unique<TessarinUpdates::AppUpdater>(mainActor_, std::move(configuration),
                                                         std::move(loader), userDriver_, updaterHost_);
}

std::shared_ptr<SecretStore> LinuxAppServices::makeKeychainSecretStore(const std::string& service) {
    return std::make_shared<TessarinPlatform::KeychainSecretStore>(service);
}

std::shared_ptr<PermissionsProviding> LinuxAppServices::makePermissionService() {
    // The microphone counts as granted when the sound server answers with a default source to record. The
    // permissions are read on the main actor, which a stopped server must not hold up.
    return std::make_shared<TessarinPlatform::TCCPermissionService>(
        BoundedProbe(soundServerAnswers, soundServerPatience));
}

std::shared_ptr<AudioCapturing> LinuxAppServices::makeRecorder() {
    return std::make_shared<TessarinPlatform::AVAudioEngineRecorder>();
}

std::shared_ptr<FrontmostAppProviding> LinuxAppServices::makeFrontmostAppProvider() {
    return std::make_shared<TessarinPlatform::WorkspaceFrontmostAppProvider>();
}

std::shared_ptr<TextInserting>
LinuxAppServices::makeInserter(std::shared_ptr<FrontmostAppProviding> frontmostApp,
                               System::Concurrency::Duration restoreDelay) {
    return std::make_shared<TessarinPlatform::SystemTextInserter>(std::move(frontmostApp), restoreDelay,
                                                                  windowClass_);
}

std::shared_ptr<SecretStore>
LinuxAppServices::makeContainerSecretStore(const std::filesystem::path& directory,
                                           std::shared_ptr<SecretStore> migratingFrom) {
    return std::make_shared<TessarinPlatform::ContainerSecretStore>(directory, std::move(migratingFrom));
}

std::shared_ptr<TessarinCloudService> LinuxAppServices::makeCloudTranscriber(
    const std::string& baseURL, const std::string& appVersion, std::shared_ptr<SecretStore> secrets,
    std::shared_ptr<System::Defaults::UserDefaults> defaults, double requestTimeout) {
    // A client of its own keeps no cookies, cache or credentials: the ephemeral configuration.
    return std::make_shared<TessarinCloudClient>(std::make_shared<TessarinPlatform::TessarinCloudTranscriber>(
        baseURL, appVersion, std::move(secrets), std::move(defaults),
        System::Net::HttpClient::Configuration{}, requestTimeout));
}

std::shared_ptr<SpeechTranscribing> LinuxAppServices::makeAppleSpeechTranscriber() {
    return std::make_shared<TessarinPlatform::AppleSpeechTranscriber>();
}

std::shared_ptr<HotkeyEventSource> LinuxAppServices::makeHotkeySource() {
    return std::make_shared<TessarinPlatform::CGEventTapHotkeySource>();
}

} // namespace Parlindo
