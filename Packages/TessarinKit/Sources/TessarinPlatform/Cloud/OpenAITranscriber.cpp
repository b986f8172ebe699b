#include "TessarinPlatform/Cloud/OpenAITranscriber.h"
#include "TessarinPlatform/Cloud/WholeClipSession.h"

#include "System/Net/Url.h"
#include "TessarinCore/UseCases/WavEncoder.h"
#include "TessarinPlatform/Cloud/WireDecoding.h"

#include <random>

namespace TessarinPlatform {

using System::Concurrency::Duration;
using System::Concurrency::Task;
using System::Net::HttpRequest;
using TessarinCore::DictationLanguage;
namespace Wire = WireDecoding;

namespace {

std::string describe(OpenAITranscriber::CloudError::Case kind, const std::string& provider,
                     const std::string& model, int status, const std::string& message) {
    using Case = OpenAITranscriber::CloudError::Case;
    switch (kind) {
    case Case::missingAPIKey:
        return "Add your " + provider + " API key in Parlindo Settings \u203A Cloud.";
    case Case::invalidAPIKey:
        return provider + " rejected the API key.";
    case Case::modelUnavailable:
        return "Your " + provider + " account can't use " + model + ".";
    case Case::http:
        return provider + " error " + std::to_string(status) + ": " + message;
    case Case::badResponse:
        break;
    case Case::unsendableAPIKey:
        return "Your " + provider +
               " API key holds a line break or another character that can't be sent. Paste it "
               "again in Parlindo Settings \u203A Cloud.";
    }
    return provider + " returned an unexpected response.";
}

// A random (version 4) UUID in its 36-character uppercase hyphenated form.
std::string uuidString() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    unsigned char bytes[16];
    for (int i = 0; i < 16; i += 8) {
        const std::uint64_t value = generator();
        for (int j = 0; j < 8; ++j) {
            bytes[i + j] = static_cast<unsigned char>(value >> (8 * j));
        }
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(hex[bytes[i] >> 4]);
        text.push_back(hex[bytes[i] & 0x0F]);
    }
    return text;
}

struct TranscriptionResponse {
    std::string text;
    std::optional<std::string> firstLanguage; // the "code" of the first element of "languages"
};

TranscriptionResponse decodeTranscription(const std::string& body) {
    const auto object = Wire::object(body);
    TranscriptionResponse response{Wire::requiredString(object, "text"), std::nullopt};
    const auto languages = object.find("languages");
    if (languages != object.end() && !languages->is_null()) {
        if (!languages->is_array()) {
            throw Wire::DecodingError("languages is not an array");
        }
        for (const auto& language : *languages) {
            if (!language.is_object()) {
                throw Wire::DecodingError("a language is not an object");
            }
            auto code = Wire::requiredString(language, "code");
            if (!response.firstLanguage) {
                response.firstLanguage = std::move(code);
            }
        }
    }
    return response;
}

std::optional<std::string> decodeErrorMessage(const std::string& body) {
    try {
        return Wire::requiredString(Wire::requiredObject(Wire::object(body), "error"), "message");
    } catch (const Wire::DecodingError&) {
        return std::nullopt;
    }
}

std::string joinedURL(const std::string& base, std::string_view path) {
    auto url = System::Net::appendingPath(base, path);
    if (!url) {
        throw System::Net::TransportError(System::Net::TransportError::Code::badURL, "base address " + base);
    }
    return *url;
}

} // namespace

using OpenAISession = WholeClipSession<OpenAITranscriber>;

OpenAITranscriber::CloudError::CloudError(Case kind, std::string provider, std::string model, int status,
                                          std::string message)
    : DescribedError(describe(kind, provider, model, status, message))
    , kind_(kind)
    , provider_(std::move(provider))
    , model_(std::move(model))
    , status_(status)
    , message_(std::move(message)) {}

const OpenAITranscriber::Provider& OpenAITranscriber::Provider::openAI() {
    static const Provider provider{
        TessarinCore::EngineID::openAI, "OpenAI", "https://api.openai.com/v1",
        TessarinCore::SecretKey::openAIAPIKey,
        [](const TessarinCore::TranscriptionConfig& config) { return config.openAIModel; }};
    return provider;
}

const OpenAITranscriber::Provider& OpenAITranscriber::Provider::groq() {
    static const Provider provider{
        TessarinCore::EngineID::groq, "Groq", "https://api.groq.com/openai/v1",
        TessarinCore::SecretKey::groqAPIKey,
        [](const TessarinCore::TranscriptionConfig& config) { return config.groqModel; }};
    return provider;
}

OpenAITranscriber::OpenAITranscriber(Provider provider, std::shared_ptr<TessarinCore::SecretStore> secrets,
                                     System::Net::HttpClient::Configuration configuration,
                                     double requestTimeout)
    : supportedLanguages_{DictationLanguage::automatic, DictationLanguage::english, DictationLanguage::arabic}
    , provider_(std::move(provider))
    , secrets_(std::move(secrets))
    , baseURL_(provider_.baseURL)
    , requestTimeout_(requestTimeout) {
    configuration.requestTimeout = Duration::seconds(requestTimeout);
    session_ = std::make_shared<System::Net::HttpClient>(configuration);
}

// The store's quick check: it never reads the key's value.
void OpenAITranscriber::requireStoredKey() const {
    if (!secrets_->hasSecret(provider_.secretKey)) {
        throw CloudError::missingAPIKey(provider_.name);
    }
}

Task<void> OpenAITranscriber::prepare(DictationLanguage, ProgressHandler) {
    requireStoredKey();
    co_return;
}

Task<std::shared_ptr<TessarinCore::TranscriptionSession>>
OpenAITranscriber::beginSession(TessarinCore::TranscriptionConfig config) {
    requireStoredKey();
    warmUpConnection();
    co_return std::make_shared<OpenAISession>(shared_from_this(), std::move(config));
}

void OpenAITranscriber::warmUpConnection() const {
    try {
        HttpRequest head;
        head.method = "HEAD";
        head.url = joinedURL(baseURL_, "models");
        head.timeout = Duration::seconds(std::int64_t{60});
        session_->sendDetached(std::move(head));
    } catch (const std::exception&) {
        // The warm-up never reports anything; the upload that follows will.
    }
}

Task<std::optional<std::string>> OpenAITranscriber::apiKey() const {
    auto key = co_await secrets_->secret(provider_.secretKey);
    if (key && key->empty()) {
        co_return std::nullopt;
    }
    co_return key;
}

Task<std::string> OpenAITranscriber::requestKey() const {
    auto key = co_await apiKey();
    if (!key) {
        throw CloudError::missingAPIKey(provider_.name);
    }
    if (!System::Net::isSafeHeaderValue(*key)) {
        throw CloudError::unsendableAPIKey(provider_.name);
    }
    co_return *key;
}

Task<TessarinCore::Transcript> OpenAITranscriber::transcribe(TessarinCore::AudioClip clip,
                                                             TessarinCore::TranscriptionConfig config) {
    const std::string key = co_await requestKey();
    const std::string model = provider_.model(config);
    const auto multipart = form(clip, config, model);

    HttpRequest post;
    post.method = "POST";
    post.url = joinedURL(baseURL_, "audio/transcriptions");
    post.timeout = Duration::seconds(requestTimeout_);
    post.setHeader("Authorization", "Bearer " + key);
    post.setHeader("Content-Type", "multipart/form-data; boundary=" + multipart.boundary);
    post.body = multipart.body();
    const auto response = co_await session_->send(std::move(post));
    check(response, model);

    TranscriptionResponse decoded;
    try {
        decoded = decodeTranscription(response.body);
    } catch (const Wire::DecodingError&) {
        throw CloudError::badResponse(provider_.name);
    }
    auto languageCode = std::move(decoded.firstLanguage);
    if (!languageCode) {
        if (auto iso = TessarinCore::isoCode(config.language)) {
            languageCode = std::string(*iso);
        }
    }
    co_return TessarinCore::Transcript{std::move(decoded.text), std::move(languageCode), provider_.engine};
}

void OpenAITranscriber::check(const System::Net::HttpResponse& response, const std::string& model) const {
    if (response.isSuccess()) {
        return;
    }
    if (response.status == 404) {
        throw CloudError::modelUnavailable(provider_.name, model);
    }
    if (response.status == 401) {
        throw CloudError::invalidAPIKey(provider_.name);
    }
    const auto message = decodeErrorMessage(response.body);
    throw CloudError::http(provider_.name, response.status,
                           message.value_or(System::Net::reasonPhrase(response.status)));
}

MultipartForm OpenAITranscriber::form(const TessarinCore::AudioClip& clip,
                                      const TessarinCore::TranscriptionConfig& config,
                                      const std::string& model) {
    MultipartForm form("Tessarin-" + uuidString());
    form.addField("model", model);
    form.addField("response_format", "json");
    if (model.starts_with("gpt-transcribe")) {
        if (config.language == DictationLanguage::english) {
            form.addField("languages[]", "en");
        } else {
            form.addField("languages[]", "ar");
            form.addField("languages[]", "en");
        }
        for (const auto& keyword : config.keywords()) {
            form.addField("keywords[]", keyword);
        }
    } else {
        if (auto iso = TessarinCore::isoCode(config.language)) {
            form.addField("language", *iso);
        }
        if (config.prompt) {
            form.addField("prompt", *config.prompt);
        }
    }
    const auto wav = TessarinCore::WAVEncoder::encode(clip);
    form.addFile("file", "dictation.wav", "audio/wav",
                 std::string_view(reinterpret_cast<const char*>(wav.data()), wav.size()));
    return form;
}

Task<void> OpenAITranscriber::validate(std::string model) {
    const std::string key = co_await requestKey();
    HttpRequest get;
    get.url = joinedURL(baseURL_, "models/" + System::Net::percentEncode(model));
    get.timeout = Duration::seconds(std::int64_t{60});
    get.setHeader("Authorization", "Bearer " + key);
    const auto response = co_await session_->send(std::move(get));
    check(response, model);
}

} // namespace TessarinPlatform
