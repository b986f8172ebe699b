#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"
#include "TessarinPlatform/Cloud/WholeClipSession.h"

#include "System/Log/Logger.h"
#include "TessarinCore/UseCases/WavEncoder.h"

namespace TessarinPlatform {

using System::Concurrency::Task;
using System::Concurrency::TaskHandle;
using TessarinCore::SecretKey;

namespace {

const System::Log::Logger& logger() {
    static const System::Log::Logger log{"com.tessarin.Tessarin", "Cloud"};
    return log;
}

constexpr const char* deviceIDKey = "tessarinDeviceID";

bool isUsableToken(const std::string& token) {
    // A token that would break the Authorization header is as good as none: registering replaces it.
    return !token.empty() && System::Net::isSafeHeaderValue(token);
}

// Where the device identifier is kept.
struct DeviceIDStore {
    std::shared_ptr<System::Defaults::UserDefaults> defaults;

    std::optional<std::string> get() const { return defaults->get<std::string>(deviceIDKey); }
    void set(const std::string& id) const { defaults->set(deviceIDKey, id); }
    void remove() const { defaults->remove(deviceIDKey); }
};

} // namespace

// The device's registration: one registration in flight serves every caller that needs a token meanwhile.
class TessarinCloudTranscriber::DeviceAccount {
public:
    DeviceAccount(API api, std::shared_ptr<TessarinCore::SecretStore> secrets, DeviceIDStore storedID)
        : api_(std::move(api))
        , secrets_(std::move(secrets))
        , storedID_(std::move(storedID)) {}

    const DeviceIDStore& storedID() const { return storedID_; }

    Task<std::string> token() {
        if (storedID_.get() && secrets_->hasSecret(SecretKey::tessarinDeviceToken)) {
            // An error of this read goes to the caller; no registration is tried.
            auto stored = co_await secrets_->secret(SecretKey::tessarinDeviceToken);
            if (stored && isUsableToken(*stored)) {
                co_return *stored;
            }
        }
        System::Concurrency::Executor* executor = co_await System::Concurrency::currentExecutor();
        Registration registration;
        bool created = false;
        {
            std::lock_guard lock(mutex_);
            if (!registration_.task.isValid()) {
                auto token = std::make_shared<std::string>();
                registration_ = {
                    System::Concurrency::spawn(*executor, registerDevice(api_, secrets_, storedID_, token)),
                    token};
                created = true;
            }
            registration = registration_;
        }
        std::exception_ptr failure;
        try {
            co_await registration.task.value();
        } catch (...) {
            failure = std::current_exception();
        }
        if (created) {
            std::lock_guard lock(mutex_);
            if (registration_.task == registration.task) {
                registration_ = {};
            }
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
        co_return *registration.token;
    }

    Task<void> forget() {
        storedID_.remove();
        try {
            co_await secrets_->removeSecret(SecretKey::tessarinDeviceToken);
        } catch (const std::exception&) {
            // A token left behind is replaced by the next registration.
        }
    }

private:
    // The registration in flight. A task's value can be taken only once, so the token is handed to every
    // waiter through `token`, which the task fills before it ends.
    struct Registration {
        TaskHandle<void> task;
        std::shared_ptr<std::string> token;
    };

    // Runs apart from any caller, so that it serves every caller that waits for it.
    static Task<void> registerDevice(API api, std::shared_ptr<TessarinCore::SecretStore> secrets,
                                     DeviceIDStore storedID, std::shared_ptr<std::string> token) {
        const auto answer = co_await api.registerDevice();
        co_await secrets->setSecret(answer.token, SecretKey::tessarinDeviceToken);
        storedID.set(answer.deviceId);
        *token = answer.token;
    }

    API api_;
    std::shared_ptr<TessarinCore::SecretStore> secrets_;
    DeviceIDStore storedID_;
    std::mutex mutex_;
    Registration registration_;
};

using TessarinCloudSession = WholeClipSession<TessarinCloudTranscriber>;

TessarinCloudTranscriber::TessarinCloudTranscriber(std::string baseURL, std::string appVersion,
                                                   std::shared_ptr<TessarinCore::SecretStore> secrets,
                                                   std::shared_ptr<System::Defaults::UserDefaults> defaults,
                                                   System::Net::HttpClient::Configuration configuration,
                                                   double requestTimeout)
    : supportedLanguages_{TessarinCore::DictationLanguage::automatic,
                          TessarinCore::DictationLanguage::english, TessarinCore::DictationLanguage::arabic} {
    configuration.requestTimeout = System::Concurrency::Duration::seconds(requestTimeout);
    api_ = API{std::move(baseURL), std::move(appVersion),
               std::make_shared<System::Net::HttpClient>(configuration), requestTimeout};
    account_ = std::make_shared<DeviceAccount>(api_, std::move(secrets), DeviceIDStore{std::move(defaults)});
}

TessarinCloudTranscriber::~TessarinCloudTranscriber() = default;

Task<void> TessarinCloudTranscriber::prepare(TessarinCore::DictationLanguage, ProgressHandler) {
    co_await account_->token();
}

Task<std::shared_ptr<TessarinCore::TranscriptionSession>>
TessarinCloudTranscriber::beginSession(TessarinCore::TranscriptionConfig config) {
    api_.warmUpConnection();
    co_return std::make_shared<TessarinCloudSession>(shared_from_this(), std::move(config));
}

std::optional<std::string> TessarinCloudTranscriber::supportID() const {
    return account_->storedID().get();
}

std::optional<std::int64_t> TessarinCloudTranscriber::minutesLeft() const {
    std::lock_guard lock(lastStatusMutex_);
    return lastStatus_.minutesLeft;
}

bool TessarinCloudTranscriber::isBlocked() const {
    std::lock_guard lock(lastStatusMutex_);
    return lastStatus_.blocked;
}

Task<TessarinCloudTranscriber::VersionInfo> TessarinCloudTranscriber::versionInfo() {
    co_return co_await api_.versionInfo();
}

template <class R, class Body>
Task<R> TessarinCloudTranscriber::withToken(Body body) {
    try {
        const std::string token = co_await account_->token();
        co_return co_await body(token);
    } catch (const CloudError& error) {
        if (error.kind() != CloudError::Case::unauthorized) {
            throw;
        }
    }
    logger().notice("Tessarin Cloud didn't recognize this computer; registering again");
    co_await account_->forget();
    const std::string token = co_await account_->token();
    co_return co_await body(token);
}

Task<TessarinCore::Transcript>
TessarinCloudTranscriber::transcribe(TessarinCore::AudioClip clip, TessarinCore::TranscriptionConfig config) {
    // The same bytes serve both attempts.
    const auto wav = TessarinCore::WAVEncoder::encode(clip);
    API::TranscriptionResponse response;
    try {
        response = co_await withToken<API::TranscriptionResponse>(
            [&](const std::string& token) { return api_.transcribe(wav, config, token); });
    } catch (const CloudError& error) {
        std::lock_guard lock(lastStatusMutex_);
        if (error.kind() == CloudError::Case::blocked) {
            lastStatus_.blocked = true;
        } else if (error.kind() == CloudError::Case::quotaExceeded) {
            lastStatus_ = {0, false};
        }
        throw;
    }
    {
        std::lock_guard lock(lastStatusMutex_);
        lastStatus_ = {response.minutesLeft, false};
    }
    auto languageCode = response.language;
    if (!languageCode) {
        if (auto iso = TessarinCore::isoCode(config.language)) {
            languageCode = std::string(*iso);
        }
    }
    co_return TessarinCore::Transcript{response.text, languageCode, engine_};
}

Task<TessarinCloudTranscriber::AccountStatus> TessarinCloudTranscriber::accountStatus() {
    const auto status =
        co_await withToken<AccountStatus>([this](const std::string& token) { return api_.me(token); });
    {
        std::lock_guard lock(lastStatusMutex_);
        lastStatus_ = {status.minutesLeft, status.blocked};
    }
    co_return status;
}

} // namespace TessarinPlatform
