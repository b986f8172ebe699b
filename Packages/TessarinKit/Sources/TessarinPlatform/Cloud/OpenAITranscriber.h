#pragma once

#include "System/Concurrency/Task.h"
#include "System/Log/ErrorDescription.h"
#include "System/Net/HttpClient.h"
#include "TessarinCore/Ports/SecretStore.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"
#include "TessarinPlatform/Cloud/MultipartForm.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace TessarinPlatform {

// A speech engine on an OpenAI-compatible "audio/transcriptions" endpoint, with the user's own API key. One
// class serves OpenAI and Groq. Sessions ignore the audio while the key is held and upload the finished clip
// as one multipart form. Create it with std::make_shared: sessions hold the engine.
class OpenAITranscriber final : public TessarinCore::SpeechTranscribing,
                                public std::enable_shared_from_this<OpenAITranscriber> {
public:
    struct Provider {
        TessarinCore::EngineID engine;
        std::string name; // used in every error message
        std::string baseURL;
        TessarinCore::SecretKey secretKey;
        std::function<std::string(const TessarinCore::TranscriptionConfig&)> model;

        static const Provider& openAI();
        static const Provider& groq();
    };

    class CloudError : public System::Log::DescribedError {
    public:
        enum class Case {
            missingAPIKey,
            invalidAPIKey,
            modelUnavailable,
            http,
            badResponse,
            unsendableAPIKey, // the stored key holds a line break or NUL, so it cannot go into a header
        };

        static CloudError missingAPIKey(std::string provider) {
            return {Case::missingAPIKey, std::move(provider)};
        }
        static CloudError invalidAPIKey(std::string provider) {
            return {Case::invalidAPIKey, std::move(provider)};
        }
        static CloudError modelUnavailable(std::string provider, std::string model) {
            return {Case::modelUnavailable, std::move(provider), std::move(model)};
        }
        static CloudError http(std::string provider, int status, std::string message) {
            return {Case::http, std::move(provider), {}, status, std::move(message)};
        }
        static CloudError badResponse(std::string provider) {
            return {Case::badResponse, std::move(provider)};
        }
        static CloudError unsendableAPIKey(std::string provider) {
            return {Case::unsendableAPIKey, std::move(provider)};
        }

        Case kind() const { return kind_; }
        const std::string& provider() const { return provider_; }
        const std::string& model() const { return model_; }
        int status() const { return status_; }
        const std::string& message() const { return message_; }
        bool operator==(const CloudError& other) const {
            return kind_ == other.kind_ && provider_ == other.provider_ && model_ == other.model_ &&
                   status_ == other.status_ && message_ == other.message_;
        }

    private:
        CloudError(Case kind, std::string provider, std::string model = {}, int status = 0,
                   std::string message = {});
        Case kind_;
        std::string provider_;
        std::string model_;
        int status_;
        std::string message_;
    };

    OpenAITranscriber(Provider provider, std::shared_ptr<TessarinCore::SecretStore> secrets,
                      System::Net::HttpClient::Configuration configuration, double requestTimeout);

    using SpeechTranscribing::prepare;
    TessarinCore::EngineID engine() const override { return provider_.engine; }
    std::set<TessarinCore::DictationLanguage> supportedLanguages() const override {
        return supportedLanguages_;
    }
    // Checks that a key is stored; never reports progress.
    System::Concurrency::Task<void> prepare(TessarinCore::DictationLanguage language,
                                            ProgressHandler progress) override;
    // Checks that a key is stored, starts the warm-up request and returns a session.
    System::Concurrency::Task<std::shared_ptr<TessarinCore::TranscriptionSession>>
    beginSession(TessarinCore::TranscriptionConfig config) override;
    // Asks the provider whether the key may use `model`.
    System::Concurrency::Task<void> validate(std::string model);

    const Provider& provider() const { return provider_; }

private:
    template <class>
    friend class WholeClipSession;

    // Throws missingAPIKey unless the store reports a key.
    void requireStoredKey() const;
    void warmUpConnection() const;
    // The stored key; nothing when none or an empty one is stored.
    System::Concurrency::Task<std::optional<std::string>> apiKey() const;
    // The key for a request: throws missingAPIKey or unsendableAPIKey when there is no key that can be sent.
    System::Concurrency::Task<std::string> requestKey() const;
    System::Concurrency::Task<TessarinCore::Transcript> transcribe(TessarinCore::AudioClip clip,
                                                                   TessarinCore::TranscriptionConfig config);
    void check(const System::Net::HttpResponse& response, const std::string& model) const;
    static MultipartForm form(const TessarinCore::AudioClip& clip,
                              const TessarinCore::TranscriptionConfig& config, const std::string& model);

    std::set<TessarinCore::DictationLanguage> supportedLanguages_;
    Provider provider_;
    std::shared_ptr<TessarinCore::SecretStore> secrets_;
    std::shared_ptr<System::Net::HttpClient> session_;
    std::string baseURL_;
    double requestTimeout_;
};

} // namespace TessarinPlatform
