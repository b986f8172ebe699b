#pragma once

#include "System/Concurrency/Task.h"
#include "System/Defaults/UserDefaults.h"
#include "System/Log/ErrorDescription.h"
#include "System/Net/HttpClient.h"
#include "TessarinCore/Domain/Version.h"
#include "TessarinCore/Ports/SecretStore.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace TessarinPlatform {

// The speech engine `tessarin`: the product's own cloud service. Its sessions ignore the audio while the key
// is held and upload the whole clip as WAV when the dictation finishes. The service knows each machine as an
// anonymous device, registered on first use; the device token lives in a secret store, the device identifier
// in the user defaults ("tessarinDeviceID"). Create it with std::make_shared: sessions hold the engine.
class TessarinCloudTranscriber final : public TessarinCore::SpeechTranscribing,
                                       public std::enable_shared_from_this<TessarinCloudTranscriber> {
public:
    // A failure reported by the service, or no service to ask; the description is the sentence shown to the
    // user.
    class CloudError : public System::Log::DescribedError {
    public:
        enum class Case {
            server,
            quotaExceeded,
            blocked,
            updateRequired,
            paused,
            unauthorized,
            tooManyRegistrations,
            badResponse,
            // The build named no address for the service and none was given at the start.
            notConfigured,
        };

        static CloudError server(int status, std::string message) {
            return CloudError(Case::server, status, std::move(message));
        }
        static CloudError quotaExceeded() { return CloudError(Case::quotaExceeded); }
        static CloudError blocked() { return CloudError(Case::blocked); }
        static CloudError updateRequired() { return CloudError(Case::updateRequired); }
        static CloudError paused() { return CloudError(Case::paused); }
        static CloudError unauthorized() { return CloudError(Case::unauthorized); }
        static CloudError tooManyRegistrations() { return CloudError(Case::tooManyRegistrations); }
        static CloudError badResponse() { return CloudError(Case::badResponse); }
        static CloudError notConfigured() { return CloudError(Case::notConfigured); }

        Case kind() const { return kind_; }
        // The payload of `server`: 0 and empty for the other cases.
        int status() const { return status_; }
        const std::string& message() const { return message_; }
        bool operator==(const CloudError& other) const {
            return kind_ == other.kind_ && status_ == other.status_ && message_ == other.message_;
        }

    private:
        explicit CloudError(Case kind, int status = 0, std::string message = {});
        Case kind_;
        int status_;
        std::string message_;
    };

    // The account figures of this device.
    struct AccountStatus {
        bool blocked = false;
        std::int64_t monthlyMinutes = 0;
        std::int64_t minutesLeft = 0;
        bool operator==(const AccountStatus&) const = default;
    };

    // The newest version and the oldest version the service still serves.
    struct VersionInfo {
        std::string latest;
        std::string minimum;
        std::optional<std::string> downloadURL;

        // True when `current` is older than `latest`.
        bool hasUpdate(std::string_view current) const { return TessarinCore::isVersion(current, latest); }
        // True when `current` is older than `minimum`.
        bool requiresUpdate(std::string_view current) const {
            return TessarinCore::isVersion(current, minimum);
        }
        bool operator==(const VersionInfo&) const = default;
    };

    // The client side of the service's protocol: an immutable value; copies share one HTTP client.
    struct API {
        struct Registration {
            std::string deviceId;
            std::string token;
        };
        struct TranscriptionResponse {
            std::string text;
            std::optional<std::string> language;
            std::int64_t minutesLeft = 0;
        };
        struct ErrorResponse {
            struct Detail {
                std::string code;
                std::string message;
            };
            Detail error;
        };

        std::string baseURL; // empty when no service is configured: every request fails as `notConfigured`
        std::string appVersion;
        std::shared_ptr<System::Net::HttpClient> session;
        double requestTimeout = 15; // seconds; the timeout of the upload

        // Starts a HEAD request that opens the connection before an upload follows; its outcome is dropped.
        void warmUpConnection() const;
        System::Concurrency::Task<VersionInfo> versionInfo() const;
        System::Concurrency::Task<AccountStatus> me(std::string token) const;
        // POST "v1/devices" ("register" is a reserved word here).
        System::Concurrency::Task<Registration> registerDevice() const;
        System::Concurrency::Task<TranscriptionResponse> transcribe(std::vector<std::uint8_t> wav,
                                                                    TessarinCore::TranscriptionConfig config,
                                                                    std::string token) const;

    private:
        System::Net::HttpRequest request(const char* method, std::string_view path) const;
        // Performs the request and decodes a success body with `decode`; failures as the protocol maps them.
        template <class Record>
        System::Concurrency::Task<Record> send(System::Net::HttpRequest request,
                                               Record (*decode)(const std::string& body)) const;
        static CloudError error(int status, const std::string& data);
    };

    // An empty `baseURL` leaves the service not configured: every operation that needs it throws
    // `CloudError::notConfigured` and nothing is sent.
    TessarinCloudTranscriber(std::string baseURL, std::string appVersion,
                             std::shared_ptr<TessarinCore::SecretStore> secrets,
                             std::shared_ptr<System::Defaults::UserDefaults> defaults,
                             System::Net::HttpClient::Configuration configuration, double requestTimeout);
    ~TessarinCloudTranscriber() override;

    using SpeechTranscribing::prepare;
    TessarinCore::EngineID engine() const override { return engine_; }
    std::set<TessarinCore::DictationLanguage> supportedLanguages() const override {
        return supportedLanguages_;
    }
    // Obtains the device token (registering when needed) and drops it; never reports progress.
    System::Concurrency::Task<void> prepare(TessarinCore::DictationLanguage language,
                                            ProgressHandler progress) override;
    // Starts the warm-up request and returns a session; never throws.
    System::Concurrency::Task<std::shared_ptr<TessarinCore::TranscriptionSession>>
    beginSession(TessarinCore::TranscriptionConfig config) override;

    // The stored device identifier, shown to the user for support; absent before the first registration.
    std::optional<std::string> supportID() const;
    // The last known minutes left; absent until a figure is known.
    std::optional<std::int64_t> minutesLeft() const;
    bool isBlocked() const;
    // The service's version figures; needs no device token and changes nothing.
    System::Concurrency::Task<VersionInfo> versionInfo();
    System::Concurrency::Task<AccountStatus> accountStatus();

private:
    template <class>
    friend class WholeClipSession;
    class DeviceAccount;
    struct LastStatus {
        std::optional<std::int64_t> minutesLeft;
        bool blocked = false;
    };

    // Runs `body` with the device token; after an `unauthorized` answer forgets the device, registers again
    // and runs it once more.
    template <class R, class Body>
    System::Concurrency::Task<R> withToken(Body body);
    // Uploads one clip (the session's work).
    System::Concurrency::Task<TessarinCore::Transcript> transcribe(TessarinCore::AudioClip clip,
                                                                   TessarinCore::TranscriptionConfig config);

    TessarinCore::EngineID engine_ = TessarinCore::EngineID::tessarin;
    std::set<TessarinCore::DictationLanguage> supportedLanguages_;
    API api_;
    std::shared_ptr<DeviceAccount> account_;
    mutable std::mutex lastStatusMutex_;
    LastStatus lastStatus_;
};

} // namespace TessarinPlatform
