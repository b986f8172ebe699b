#include "CloudTestSupport.h"

#include "System/Tests/NetTesting/LoopbackServer.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"

#include <gtest/gtest.h>

using namespace CloudTestSupport;
using System::Net::Testing::Gate;
using System::Net::Testing::LoopbackServer;
using TessarinCore::DictationLanguage;
using TessarinCore::TranscriptionConfig;
using API = TessarinPlatform::TessarinCloudTranscriber::API;
using CloudError = TessarinPlatform::TessarinCloudTranscriber::CloudError;
using VersionInfo = TessarinPlatform::TessarinCloudTranscriber::VersionInfo;

namespace {

class TessarinCloudAPITest : public testing::Test {
protected:
    LoopbackServer server;
    // The base address has a path of its own, which every endpoint must keep.
    API api{server.url("/api"), "2.4.1", std::make_shared<System::Net::HttpClient>(), 15};

    static TranscriptionConfig config(DictationLanguage language,
                                      std::optional<std::string> prompt = std::nullopt) {
        return TranscriptionConfig{language, std::move(prompt), "gpt-transcribe", "whisper-large-v3"};
    }
    static std::vector<std::uint8_t> wav(const TessarinCore::AudioClip& clip) {
        return TessarinCore::WAVEncoder::encode(clip);
    }
    void replyTranscription(int status, const std::string& body) {
        server.reply("POST", "/api/v1/transcriptions", status, body);
    }
    // The CloudError that GET v1/me ends with when the service answers `status` and `body`.
    std::optional<CloudError> meFailure(int status, const std::string& body) {
        server.reply("GET", "/api/v1/me", status, body);
        return failure<CloudError>(api.me("token"));
    }
};

TEST_F(TessarinCloudAPITest, WarmUpIsAHeadRequestToPingWithoutHeadersOrBody) {
    api.warmUpConnection();
    ASSERT_TRUE(server.waitForRequests("HEAD", "/api/v1/ping", 1));
    const auto request = server.requests("HEAD", "/api/v1/ping").front();
    EXPECT_EQ(request.target, "/api/v1/ping");
    EXPECT_EQ(request.body, "");
    EXPECT_EQ(request.header("Authorization"), std::nullopt);
    EXPECT_EQ(request.header("X-TS-App-Version"), std::nullopt);
}

TEST_F(TessarinCloudAPITest, VersionAndAccountQueriesAreGetsWithTheirHeaders) {
    server.reply("GET", "/api/v1/version", 200,
                 R"({"latest":"2.5.0","minimum":"2.0","downloadURL":"https://x.test/p"})");
    server.reply("GET", "/api/v1/me", 200, R"({"blocked":false,"monthlyMinutes":300,"minutesLeft":120})");

    EXPECT_EQ(blockingRun(api.versionInfo()), (VersionInfo{"2.5.0", "2.0", "https://x.test/p"}));
    EXPECT_EQ(blockingRun(api.me("tok-1")),
              (TessarinPlatform::TessarinCloudTranscriber::AccountStatus{false, 300, 120}));

    const auto version = server.requests("GET", "/api/v1/version").at(0);
    EXPECT_EQ(version.header("Authorization"), std::nullopt);
    EXPECT_EQ(version.body, "");
    const auto me = server.requests("GET", "/api/v1/me").at(0);
    EXPECT_EQ(me.header("Authorization"), "Bearer tok-1");
    EXPECT_EQ(me.body, "");
}

TEST_F(TessarinCloudAPITest, RegistrationIsAnEmptyPostWithTheAppVersion) {
    server.reply("POST", "/api/v1/devices", 201, R"({"deviceId":"dev-9","token":"tok-9","extra":1})");

    const auto registration = blockingRun(api.registerDevice());

    EXPECT_EQ(registration.deviceId, "dev-9");
    EXPECT_EQ(registration.token, "tok-9");
    const auto request = server.requests("POST", "/api/v1/devices").at(0);
    EXPECT_EQ(request.header("X-TS-App-Version"), "2.4.1");
    EXPECT_EQ(request.header("Content-Length"), "0");
    EXPECT_EQ(request.header("Content-Type"), std::nullopt);
    EXPECT_EQ(request.header("Authorization"), std::nullopt);
    EXPECT_EQ(request.body, "");
}

TEST_F(TessarinCloudAPITest, UploadSendsTheWavBytesWithEveryHeader) {
    replyTranscription(200, R"({"text":" Hello. ","language":"en","minutesLeft":99})");
    const auto clip = sampleClip();

    const auto response =
        blockingRun(api.transcribe(wav(clip), config(DictationLanguage::english, "hello world, x"), "tok"));

    EXPECT_EQ(response.text, " Hello. ");
    EXPECT_EQ(response.language, "en");
    EXPECT_EQ(response.minutesLeft, 99);
    const auto request = server.requests("POST", "/api/v1/transcriptions").at(0);
    EXPECT_EQ(request.body, wavBytes(clip));
    EXPECT_EQ(request.header("Authorization"), "Bearer tok");
    EXPECT_EQ(request.header("Content-Type"), "audio/wav");
    EXPECT_EQ(request.header("X-TS-App-Version"), "2.4.1");
    EXPECT_EQ(request.header("X-TS-Language"), "en");
    EXPECT_EQ(request.header("X-TS-Keywords"), "hello%20world%2Cx");
}

TEST_F(TessarinCloudAPITest, LanguageAndKeywordHeadersFollowTheConfiguration) {
    replyTranscription(200, R"({"text":"t","minutesLeft":1})");
    std::string longPrompt;
    for (int i = 1; i <= 150; ++i) {
        longPrompt += (i > 1 ? "," : "") + std::string("k") + std::to_string(i);
    }
    std::string first100;
    for (int i = 1; i <= 100; ++i) {
        first100 += (i > 1 ? "%2C" : "") + std::string("k") + std::to_string(i);
    }
    struct Case {
        TranscriptionConfig config;
        std::string language;
        std::optional<std::string> keywords;
    };
    const Case cases[] = {
        {config(DictationLanguage::automatic), "auto", std::nullopt},
        {config(DictationLanguage::arabic, " , ,"), "ar", std::nullopt},
        {config(DictationLanguage::english, "caf\u00E9\u060Cna\u00EFve"), "en", "caf%C3%A9%2Cna%C3%AFve"},
        {config(DictationLanguage::automatic, longPrompt), "auto", first100},
    };
    for (const auto& c : cases) {
        blockingRun(api.transcribe(wav(sampleClip(10)), c.config, "tok"));
        const auto request = server.requests("POST", "/api/v1/transcriptions").back();
        EXPECT_EQ(request.header("X-TS-Language"), c.language);
        EXPECT_EQ(request.header("X-TS-Keywords"), c.keywords);
    }
}

TEST_F(TessarinCloudAPITest, StatusesMapToCloudErrors) {
    const std::string paused = R"({"error":{"code":"cloud_paused","message":"Back tomorrow"}})";
    const std::string other = R"({"error":{"code":"overloaded","message":"Busy"}})";
    const struct {
        int status;
        std::string body;
        CloudError expected;
    } cases[] = {
        {401, paused, CloudError::unauthorized()},
        {402, "", CloudError::quotaExceeded()},
        {403, "not json", CloudError::blocked()},
        {426, other, CloudError::updateRequired()},
        {429, "", CloudError::tooManyRegistrations()},
        {503, paused, CloudError::paused()},
        {503, other, CloudError::server(503, "Busy")},
        {503, "", CloudError::server(503, "Service Unavailable")},
        {500, R"({"problem":{"code":"x","message":"y"}})", CloudError::server(500, "Internal Server Error")},
        {500, R"({"error":{"code":"x"}})", CloudError::server(500, "Internal Server Error")},
        {418, other, CloudError::server(418, "Busy")},
        {302, "", CloudError::server(302, "Found")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(meFailure(c.status, c.body), c.expected) << c.status << " " << c.body;
    }
}

TEST_F(TessarinCloudAPITest, EveryEndpointMapsStatusesAlike) {
    server.reply("POST", "/api/v1/devices", 401, "{}");
    server.reply("GET", "/api/v1/version", 503, R"({"error":{"code":"cloud_paused","message":"m"}})");
    replyTranscription(402, "");

    EXPECT_EQ(failure<CloudError>(api.registerDevice()), CloudError::unauthorized());
    EXPECT_EQ(failure<CloudError>(api.versionInfo()), CloudError::paused());
    EXPECT_EQ(
        failure<CloudError>(api.transcribe(wav(sampleClip(1)), config(DictationLanguage::english), "t")),
        CloudError::quotaExceeded());
}

TEST_F(TessarinCloudAPITest, UndecodableSuccessBodiesAreBadResponses) {
    const struct {
        const char* method;
        const char* path;
        std::string body;
    } cases[] = {
        {"POST", "/api/v1/transcriptions", R"({"text":"hi","language":"en"})"},
        {"POST", "/api/v1/transcriptions", R"({"text":5,"minutesLeft":1})"},
        {"POST", "/api/v1/transcriptions", R"({"text":"hi","minutesLeft":1.5})"},
        {"POST", "/api/v1/transcriptions", R"([{"text":"hi","minutesLeft":1}])"},
        {"POST", "/api/v1/transcriptions", "not json"},
        {"POST", "/api/v1/transcriptions", ""},
        // Nested past any answer of ours, in a key nobody reads.
        {"POST", "/api/v1/transcriptions",
         R"({"text":"hi","minutesLeft":1,"extra":)" + std::string(100'000, '[') + std::string(100'000, ']') +
             "}"},
        {"GET", "/api/v1/version", R"({"latest":"1","minimum":"1","downloadURL":"not a url"})"},
        {"GET", "/api/v1/version", R"({"latest":"1"})"},
        {"GET", "/api/v1/me", R"({"blocked":"no","monthlyMinutes":1,"minutesLeft":1})"},
        {"POST", "/api/v1/devices", R"({"deviceId":"d"})"},
        {"POST", "/api/v1/devices", R"({"deviceId":"d","token":"t\r\nX-Evil: 1"})"},
    };
    for (const auto& c : cases) {
        server.reply(c.method, c.path, 200, c.body);
        std::optional<CloudError> error;
        if (std::string(c.path) == "/api/v1/transcriptions") {
            error = failure<CloudError>(
                api.transcribe(wav(sampleClip(1)), config(DictationLanguage::english), "t"));
        } else if (std::string(c.path) == "/api/v1/version") {
            error = failure<CloudError>(api.versionInfo());
        } else if (std::string(c.path) == "/api/v1/me") {
            error = failure<CloudError>(api.me("t"));
        } else {
            error = failure<CloudError>(api.registerDevice());
        }
        EXPECT_EQ(error, CloudError::badResponse()) << c.body.substr(0, 60);
    }
}

TEST_F(TessarinCloudAPITest, OptionalKeysMayBeAbsentOrNull) {
    replyTranscription(200, R"({"text":"hi","language":null,"minutesLeft":3})");
    const auto response =
        blockingRun(api.transcribe(wav(sampleClip(1)), config(DictationLanguage::english), "t"));
    EXPECT_EQ(response.language, std::nullopt);
    EXPECT_EQ(response.minutesLeft, 3);

    for (const char* body :
         {R"({"latest":"1.2","minimum":"1.0"})", R"({"latest":"1.2","minimum":"1.0","downloadURL":null})"}) {
        server.reply("GET", "/api/v1/version", 200, body);
        EXPECT_EQ(blockingRun(api.versionInfo()), (VersionInfo{"1.2", "1.0", std::nullopt}));
    }
}

TEST_F(TessarinCloudAPITest, TransportFailuresPassThroughUnchanged) {
    Gate& gate = server.gate();
    server.on("POST", "/api/v1/transcriptions", [&](const auto&, auto&) { gate.wait(); });
    API quick{server.url("/api"), "2.4.1", std::make_shared<System::Net::HttpClient>(), 0.1};

    const auto error = failure<System::Net::TransportError>(
        quick.transcribe(wav(sampleClip(1)), config(DictationLanguage::english), "t"));

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), System::Net::TransportError::Code::timedOut);
}

TEST(TessarinCloudErrorTest, DescriptionsAreTheSentencesShownToTheUser) {
    const std::pair<CloudError, std::string> cases[] = {
        {CloudError::server(500, "Oops"), "Parlindo Cloud error 500: Oops"},
        {CloudError::quotaExceeded(), "This month's Parlindo Cloud minutes are used up."},
        {CloudError::blocked(), "Parlindo Cloud is turned off for this computer."},
        {CloudError::updateRequired(), "Update Parlindo to keep using Parlindo Cloud."},
        {CloudError::paused(), "Parlindo Cloud is paused until tomorrow."},
        {CloudError::unauthorized(), "Parlindo Cloud didn't recognize this computer."},
        {CloudError::tooManyRegistrations(),
         "Too many computers signed up from this network today. Try again tomorrow."},
        {CloudError::badResponse(), "Parlindo Cloud returned an unexpected response."},
        {CloudError::notConfigured(),
         "Parlindo Cloud is not set up: start Parlindo with PARLINDO_API_URL set "
         "to the address of your Parlindo Cloud server."},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.description(), text);
        EXPECT_STREQ(error.what(), text.c_str());
    }
    EXPECT_NE(CloudError::server(500, "a"), CloudError::server(500, "b"));
    EXPECT_NE(CloudError::server(500, "a"), CloudError::server(501, "a"));
}

TEST(TessarinCloudVersionTest, UpdateAndRequirementAreJudgedAgainstLatestAndMinimum) {
    const VersionInfo split{"2.0", "1.5", std::nullopt};
    EXPECT_TRUE(split.hasUpdate("1.7"));
    EXPECT_FALSE(split.requiresUpdate("1.7"));
}

} // namespace
