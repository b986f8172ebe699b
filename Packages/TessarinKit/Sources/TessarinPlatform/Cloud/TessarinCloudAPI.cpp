#include "System/Net/Url.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"
#include "TessarinPlatform/Cloud/WireDecoding.h"

namespace TessarinPlatform {

using System::Concurrency::Duration;
using System::Concurrency::Task;
using System::Net::HttpRequest;
using Transcriber = TessarinCloudTranscriber;
namespace Wire = WireDecoding;

namespace {

constexpr std::size_t maximumKeywords = 100;

std::string describe(Transcriber::CloudError::Case kind, int status, const std::string& message) {
    using Case = Transcriber::CloudError::Case;
    switch (kind) {
    case Case::server:
        return "Parlindo Cloud error " + std::to_string(status) + ": " + message;
    case Case::quotaExceeded:
        return "This month's Parlindo Cloud minutes are used up.";
    case Case::blocked:
        return "Parlindo Cloud is turned off for this computer.";
    case Case::updateRequired:
        return "Update Parlindo to keep using Parlindo Cloud.";
    case Case::paused:
        return "Parlindo Cloud is paused until tomorrow.";
    case Case::unauthorized:
        return "Parlindo Cloud didn't recognize this computer.";
    case Case::tooManyRegistrations:
        return "Too many computers signed up from this network today. Try again tomorrow.";
    case Case::notConfigured:
        return "Parlindo Cloud is not set up: start Parlindo with PARLINDO_API_URL set to the address of "
               "your "
               "Parlindo Cloud server.";
    case Case::badResponse:
        break;
    }
    return "Parlindo Cloud returned an unexpected response.";
}

std::string languageHeader(TessarinCore::DictationLanguage language) {
    return std::string(TessarinCore::isoCode(language).value_or("auto"));
}

// The first keywords, joined with commas and percent-encoded as UTF-8; empty when there are none.
std::string keywordsHeader(const TessarinCore::TranscriptionConfig& config) {
    auto keywords = config.keywords();
    if (keywords.size() > maximumKeywords) {
        keywords.resize(maximumKeywords);
    }
    std::string joined;
    for (std::size_t i = 0; i < keywords.size(); ++i) {
        joined += (i == 0 ? "" : ",") + keywords[i];
    }
    return System::Net::percentEncode(joined);
}

Transcriber::VersionInfo decodeVersionInfo(const std::string& body) {
    const auto object = Wire::object(body);
    Transcriber::VersionInfo info{Wire::requiredString(object, "latest"),
                                  Wire::requiredString(object, "minimum"),
                                  Wire::optionalString(object, "downloadURL")};
    if (info.downloadURL && !System::Net::isAbsoluteURL(*info.downloadURL)) {
        throw Wire::DecodingError("downloadURL is not a URL");
    }
    return info;
}

Transcriber::AccountStatus decodeAccountStatus(const std::string& body) {
    const auto object = Wire::object(body);
    return {Wire::requiredBool(object, "blocked"), Wire::requiredInteger(object, "monthlyMinutes"),
            Wire::requiredInteger(object, "minutesLeft")};
}

Transcriber::API::Registration decodeRegistration(const std::string& body) {
    const auto object = Wire::object(body);
    Transcriber::API::Registration registration{Wire::requiredString(object, "deviceId"),
                                                Wire::requiredString(object, "token")};
    // The token goes back in a header; one that would break the header is no usable answer.
    if (!System::Net::isSafeHeaderValue(registration.token)) {
        throw Wire::DecodingError("the token holds a line break or NUL");
    }
    return registration;
}

Transcriber::API::TranscriptionResponse decodeTranscription(const std::string& body) {
    const auto object = Wire::object(body);
    return {Wire::requiredString(object, "text"), Wire::optionalString(object, "language"),
            Wire::requiredInteger(object, "minutesLeft")};
}

std::optional<Transcriber::API::ErrorResponse::Detail> decodeErrorDetail(const std::string& body) {
    try {
        const auto object = Wire::object(body);
        const auto& error = Wire::requiredObject(object, "error");
        return Transcriber::API::ErrorResponse::Detail{Wire::requiredString(error, "code"),
                                                       Wire::requiredString(error, "message")};
    } catch (const Wire::DecodingError&) {
        return std::nullopt;
    }
}

} // namespace

// --- errors ----------------------------------------------------------------------------------

Transcriber::CloudError::CloudError(Case kind, int status, std::string message)
    : DescribedError(describe(kind, status, message))
    , kind_(kind)
    , status_(status)
    , message_(std::move(message)) {}

// --- requests
// -----------------------------------------------------------------------------------------------

HttpRequest Transcriber::API::request(const char* method, std::string_view path) const {
    if (baseURL.empty()) {
        throw CloudError::notConfigured();
    }
    auto url = System::Net::appendingPath(baseURL, path);
    if (!url) {
        throw System::Net::TransportError(System::Net::TransportError::Code::badURL,
                                          "base address " + baseURL);
    }
    HttpRequest request;
    request.method = method;
    request.url = std::move(*url);
    request.timeout = Duration::seconds(std::int64_t{60});
    return request;
}

template <class Record>
Task<Record> Transcriber::API::send(HttpRequest request, Record (*decode)(const std::string& body)) const {
    // A transport failure passes through unchanged.
    const auto response = co_await session->send(std::move(request));
    if (!response.isSuccess()) {
        throw error(response.status, response.body);
    }
    try {
        co_return decode(response.body);
    } catch (const Wire::DecodingError&) {
        throw CloudError::badResponse();
    }
}

Transcriber::CloudError Transcriber::API::error(int status, const std::string& data) {
    const auto detail = decodeErrorDetail(data);
    switch (status) {
    case 401:
        return CloudError::unauthorized();
    case 402:
        return CloudError::quotaExceeded();
    case 403:
        return CloudError::blocked();
    case 426:
        return CloudError::updateRequired();
    case 429:
        return CloudError::tooManyRegistrations();
    default:
        break;
    }
    if (status == 503 && detail && detail->code == "cloud_paused") {
        return CloudError::paused();
    }
    return CloudError::server(status, detail ? detail->message : System::Net::reasonPhrase(status));
}

void Transcriber::API::warmUpConnection() const {
    try {
        session->sendDetached(request("HEAD", "v1/ping"));
    } catch (const std::exception&) {
        // The warm-up never reports anything; the upload that follows will.
    }
}

Task<Transcriber::VersionInfo> Transcriber::API::versionInfo() const {
    co_return co_await send(request("GET", "v1/version"), &decodeVersionInfo);
}

Task<Transcriber::AccountStatus> Transcriber::API::me(std::string token) const {
    auto get = request("GET", "v1/me");
    get.setHeader("Authorization", "Bearer " + token);
    co_return co_await send(std::move(get), &decodeAccountStatus);
}

Task<Transcriber::API::Registration> Transcriber::API::registerDevice() const {
    auto post = request("POST", "v1/devices");
    post.setHeader("X-TS-App-Version", appVersion);
    co_return co_await send(std::move(post), &decodeRegistration);
}

Task<Transcriber::API::TranscriptionResponse>
Transcriber::API::transcribe(std::vector<std::uint8_t> wav, TessarinCore::TranscriptionConfig config,
                             std::string token) const {
    auto post = request("POST", "v1/transcriptions");
    post.timeout = Duration::seconds(requestTimeout);
    post.setHeader("Authorization", "Bearer " + token);
    post.setHeader("Content-Type", "audio/wav");
    post.setHeader("X-TS-App-Version", appVersion);
    post.setHeader("X-TS-Language", languageHeader(config.language));
    if (auto keywords = keywordsHeader(config); !keywords.empty()) {
        post.setHeader("X-TS-Keywords", std::move(keywords));
    }
    post.body.emplace(wav.begin(), wav.end());
    co_return co_await send(std::move(post), &decodeTranscription);
}

} // namespace TessarinPlatform
