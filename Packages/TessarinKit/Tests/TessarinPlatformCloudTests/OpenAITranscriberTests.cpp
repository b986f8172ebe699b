#include "CloudTestSupport.h"

#include "System/Tests/NetTesting/LoopbackServer.h"
#include "TessarinPlatform/Cloud/OpenAITranscriber.h"

#include <gtest/gtest.h>

#include <regex>

using namespace CloudTestSupport;
using System::Net::Testing::Gate;
using System::Net::Testing::LoopbackServer;
using TessarinCore::DictationLanguage;
using TessarinCore::EngineID;
using TessarinCore::SecretKey;
using TessarinCore::Transcript;
using TessarinCore::TranscriptionConfig;
using TessarinPlatform::OpenAITranscriber;
using CloudError = OpenAITranscriber::CloudError;

namespace {

constexpr const char* uploadPath = "/v1/audio/transcriptions";

// What one multipart body must hold, written out by hand.
std::string field(const std::string& boundary, const std::string& name, const std::string& value) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
           "\r\n";
}
std::string filePart(const std::string& boundary, const std::string& wav) {
    return "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"dictation.wav\"\r\n" +
           "Content-Type: audio/wav\r\n\r\n" + wav + "\r\n";
}

class OpenAITranscriberTest : public testing::Test {
protected:
    std::shared_ptr<OpenAITranscriber> makeEngine(const OpenAITranscriber::Provider& base,
                                                  double timeout = 15) {
        auto provider = base;
        provider.baseURL = server.url("/v1");
        return std::make_shared<OpenAITranscriber>(provider, secrets.store,
                                                   System::Net::HttpClient::Configuration{}, timeout);
    }
    static TranscriptionConfig config(DictationLanguage language, std::optional<std::string> prompt,
                                      std::string openAIModel = "gpt-transcribe",
                                      std::string groqModel = "whisper-large-v3") {
        return TranscriptionConfig{language, std::move(prompt), std::move(openAIModel), std::move(groqModel)};
    }
    Transcript finish(const std::shared_ptr<OpenAITranscriber>& engine,
                      const TranscriptionConfig& configuration,
                      const TessarinCore::AudioClip& clip = sampleClip()) {
        return blockingRun([&]() -> Task<Transcript> {
            auto session = co_await engine->beginSession(configuration);
            co_return co_await session->finish(clip);
        }());
    }
    std::optional<CloudError> finishFailure(const std::shared_ptr<OpenAITranscriber>& engine,
                                            const TranscriptionConfig& configuration) {
        return failure<CloudError>([&]() -> Task<Transcript> {
            auto session = co_await engine->beginSession(configuration);
            co_return co_await session->finish(sampleClip(10));
        }());
    }
    // The boundary the upload announced in its Content-Type.
    static std::string boundaryOf(const System::Net::Testing::RecordedRequest& request) {
        const std::string prefix = "multipart/form-data; boundary=";
        const auto contentType = request.header("Content-Type").value_or("");
        EXPECT_TRUE(contentType.starts_with(prefix)) << contentType;
        return contentType.substr(prefix.size());
    }

    LoopbackServer server;
    MemorySecrets secrets;
};

TEST_F(OpenAITranscriberTest, ProvidersAreOpenAIAndGroq) {
    const auto& openAI = OpenAITranscriber::Provider::openAI();
    const auto& groq = OpenAITranscriber::Provider::groq();
    EXPECT_EQ(openAI.engine, EngineID::openAI);
    EXPECT_EQ(openAI.name, "OpenAI");
    EXPECT_TRUE(openAI.baseURL.starts_with("https://") && openAI.baseURL.ends_with("/v1"));
    EXPECT_EQ(openAI.secretKey, SecretKey::openAIAPIKey);
    EXPECT_EQ(groq.engine, EngineID::groq);
    EXPECT_EQ(groq.name, "Groq");
    EXPECT_TRUE(groq.baseURL.starts_with("https://") && groq.baseURL.ends_with("/openai/v1"));
    EXPECT_EQ(groq.secretKey, SecretKey::groqAPIKey);
    const auto configuration = config(DictationLanguage::english, std::nullopt, "model-a", "model-b");
    EXPECT_EQ(openAI.model(configuration), "model-a");
    EXPECT_EQ(groq.model(configuration), "model-b");
    EXPECT_EQ(makeEngine(groq)->supportedLanguages().size(), 3u);
}

TEST_F(OpenAITranscriberTest, TheUploadIsAMultipartFormByteForByte) {
    server.reply("POST", uploadPath, 200, R"({"text":"ok"})");
    secrets.put(SecretKey::openAIAPIKey, "sk-open");
    secrets.put(SecretKey::groqAPIKey, "gsk-groq");
    const auto clip = sampleClip(400);
    const std::string wav = wavBytes(clip);
    using Fields = std::vector<std::pair<std::string, std::string>>;
    const struct {
        const OpenAITranscriber::Provider& provider;
        TranscriptionConfig configuration;
        std::string key;
        Fields fields;
    } cases[] = {
        {OpenAITranscriber::Provider::openAI(),
         config(DictationLanguage::automatic, "alpha, beta"),
         "sk-open",
         {{"model", "gpt-transcribe"},
          {"response_format", "json"},
          {"languages[]", "ar"},
          {"languages[]", "en"},
          {"keywords[]", "alpha"},
          {"keywords[]", "beta"}}},
        {OpenAITranscriber::Provider::openAI(),
         config(DictationLanguage::english, std::nullopt, "gpt-transcribe-2"),
         "sk-open",
         {{"model", "gpt-transcribe-2"}, {"response_format", "json"}, {"languages[]", "en"}}},
        {OpenAITranscriber::Provider::openAI(),
         config(DictationLanguage::english, "alpha, beta", "gpt-4o-transcribe"),
         "sk-open",
         {{"model", "gpt-4o-transcribe"},
          {"response_format", "json"},
          {"language", "en"},
          {"prompt", "alpha, beta"}}},
        {OpenAITranscriber::Provider::groq(),
         config(DictationLanguage::automatic, std::nullopt),
         "gsk-groq",
         {{"model", "whisper-large-v3"}, {"response_format", "json"}}},
        {OpenAITranscriber::Provider::groq(),
         config(DictationLanguage::arabic, "line one\nline two", "gpt-transcribe", "whisper-large-v3-turbo"),
         "gsk-groq",
         {{"model", "whisper-large-v3-turbo"},
          {"response_format", "json"},
          {"language", "ar"},
          {"prompt", "line one\nline two"}}},
    };
    for (const auto& c : cases) {
        finish(makeEngine(c.provider), c.configuration, clip);
        const auto request = server.requests("POST", uploadPath).back();
        const std::string boundary = boundaryOf(request);
        std::string expected;
        for (const auto& [name, value] : c.fields) {
            expected += field(boundary, name, value);
        }
        expected += filePart(boundary, wav) + "--" + boundary + "--\r\n";

        EXPECT_EQ(request.body, expected) << c.fields.front().second;
        EXPECT_EQ(request.header("Authorization"), "Bearer " + c.key);
        EXPECT_EQ(request.header("Content-Length"), std::to_string(expected.size()));
    }
}

TEST_F(OpenAITranscriberTest, EveryUploadHasAFreshBoundary) {
    server.reply("POST", uploadPath, 200, R"({"text":"ok"})");
    secrets.put(SecretKey::openAIAPIKey, "sk");
    const auto engine = makeEngine(OpenAITranscriber::Provider::openAI());
    finish(engine, config(DictationLanguage::english, std::nullopt));
    finish(engine, config(DictationLanguage::english, std::nullopt));

    const auto uploads = server.requests("POST", uploadPath);
    const std::regex pattern("Tessarin-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    const auto first = boundaryOf(uploads[0]);
    const auto second = boundaryOf(uploads[1]);
    EXPECT_TRUE(std::regex_match(first, pattern)) << first;
    EXPECT_TRUE(std::regex_match(second, pattern)) << second;
    EXPECT_NE(first, second);
    EXPECT_TRUE(uploads[0].body.starts_with("--" + first + "\r\n"));
}

TEST_F(OpenAITranscriberTest, BeginningASessionWarmsUpTheConnectionWithoutTheKey) {
    secrets.put(SecretKey::groqAPIKey, "gsk");
    const auto engine = makeEngine(OpenAITranscriber::Provider::groq());
    const auto session = blockingRun(engine->beginSession(config(DictationLanguage::english, {})));
    ASSERT_TRUE(server.waitForRequests("HEAD", "/v1/models", 1));
    EXPECT_EQ(server.requests("HEAD", "/v1/models").at(0).header("Authorization"), std::nullopt);
}

TEST_F(OpenAITranscriberTest, AMissingOrEmptyKeyIsReportedBeforeAnythingIsSent) {
    const auto engine = makeEngine(OpenAITranscriber::Provider::openAI());
    EXPECT_EQ(failure<CloudError>(engine->prepare(DictationLanguage::english)),
              CloudError::missingAPIKey("OpenAI"));
    EXPECT_EQ(failure<CloudError>(engine->beginSession(config(DictationLanguage::english, {}))),
              CloudError::missingAPIKey("OpenAI"));
    EXPECT_EQ(CloudError::missingAPIKey("OpenAI").description(),
              "Add your OpenAI API key in Parlindo Settings \u203A Cloud.");

    // An empty key counts as stored for the quick checks, but not when it would be sent.
    secrets.put(SecretKey::openAIAPIKey, "");
    blockingRun(engine->prepare(DictationLanguage::english));
    EXPECT_EQ(finishFailure(engine, config(DictationLanguage::english, {})),
              CloudError::missingAPIKey("OpenAI"));
    EXPECT_TRUE(server.requests("POST", uploadPath).empty());
}

TEST_F(OpenAITranscriberTest, AKeyThatWouldBreakTheHeaderIsRefused) {
    for (const std::string& key :
         {std::string("sk-abc\n"), std::string("sk\r\nX-Evil: 1"), std::string("sk\0x", 4)}) {
        secrets = MemorySecrets();
        secrets.put(SecretKey::openAIAPIKey, key);
        const auto engine = makeEngine(OpenAITranscriber::Provider::openAI());
        const auto error = finishFailure(engine, config(DictationLanguage::english, {}));
        EXPECT_EQ(error, CloudError::unsendableAPIKey("OpenAI"));
        EXPECT_EQ(failure<CloudError>(engine->validate("gpt-transcribe")),
                  CloudError::unsendableAPIKey("OpenAI"));
    }
    EXPECT_TRUE(server.requests("POST", uploadPath).empty());
    EXPECT_TRUE(server.requests("GET", "/v1/models/gpt-transcribe").empty());
}

TEST_F(OpenAITranscriberTest, StatusesMapToErrors) {
    secrets.put(SecretKey::openAIAPIKey, "sk");
    secrets.put(SecretKey::groqAPIKey, "gsk");
    const auto openAI = makeEngine(OpenAITranscriber::Provider::openAI());
    const auto groq = makeEngine(OpenAITranscriber::Provider::groq());
    const auto configuration =
        config(DictationLanguage::english, {}, "gpt-transcribe", "whisper-large-v3-turbo");
    const struct {
        std::shared_ptr<OpenAITranscriber> engine;
        int status;
        std::string body;
        std::optional<CloudError> expected; // nothing: a success
        std::string description;
    } cases[] = {
        {openAI, 299, R"({"text":"ok"})", std::nullopt, ""},
        {openAI, 300, R"({"text":"ok"})", CloudError::http("OpenAI", 300, "Multiple Choices"), ""},
        {openAI, 400, R"({"error":{"message":"Bad file"}})", CloudError::http("OpenAI", 400, "Bad file"), ""},
        {openAI, 401, R"({"error":{"message":"ignored"}})", CloudError::invalidAPIKey("OpenAI"),
         "OpenAI rejected the API key."},
        {groq, 404, R"({"error":{"message":"ignored"}})",
         CloudError::modelUnavailable("Groq", "whisper-large-v3-turbo"),
         "Your Groq account can't use whisper-large-v3-turbo."},
        {openAI, 429, R"({"error":{"message":"Slow down"}})", CloudError::http("OpenAI", 429, "Slow down"),
         "OpenAI error 429: Slow down"},
        {openAI, 429, "<html>busy</html>", CloudError::http("OpenAI", 429, "Too Many Requests"),
         "OpenAI error 429: Too Many Requests"},
        {groq, 200, R"({"languages":[{"code":"en"}]})", CloudError::badResponse("Groq"),
         "Groq returned an unexpected response."},
        {groq, 200, R"({"text":"x","languages":"en"})", CloudError::badResponse("Groq"), ""},
    };
    for (const auto& c : cases) {
        server.reply("POST", uploadPath, c.status, c.body);
        if (!c.expected) {
            EXPECT_EQ(finish(c.engine, configuration).text, "ok");
            continue;
        }
        const auto error = finishFailure(c.engine, configuration);
        EXPECT_EQ(error, c.expected) << c.status << " " << c.body;
        if (error && !c.description.empty()) {
            EXPECT_EQ(error->description(), c.description);
        }
    }
}

TEST_F(OpenAITranscriberTest, TheTranscriptCarriesTheReportedOrRequestedLanguage) {
    secrets.put(SecretKey::groqAPIKey, "gsk");
    const auto engine = makeEngine(OpenAITranscriber::Provider::groq());
    const struct {
        std::string body;
        DictationLanguage language;
        Transcript expected;
    } cases[] = {
        {R"({"text":" Hi ","languages":[]})", DictationLanguage::arabic, {" Hi ", "ar", EngineID::groq}},
        {R"({"text":"Hi","languages":[{"code":"fr"},{"code":"en"}]})",
         DictationLanguage::arabic,
         {"Hi", "fr", EngineID::groq}},
        {R"({"text":"Hi"})", DictationLanguage::automatic, {"Hi", std::nullopt, EngineID::groq}},
        {R"({"text":"","languages":null})", DictationLanguage::english, {"", "en", EngineID::groq}},
    };
    for (const auto& c : cases) {
        server.reply("POST", uploadPath, 200, c.body);
        EXPECT_EQ(finish(engine, config(c.language, {})), c.expected) << c.body;
    }
}

TEST_F(OpenAITranscriberTest, ValidationAsksForTheModelWithAnEncodedName) {
    secrets.put(SecretKey::openAIAPIKey, "sk");
    const auto engine = makeEngine(OpenAITranscriber::Provider::openAI());
    server.reply("GET", "/v1/models/gpt-transcribe", 200, "not read");
    server.reply("GET", "/v1/models/whisper%2Flarge%20v3%3F", 404, "");

    blockingRun(engine->validate("gpt-transcribe"));
    EXPECT_EQ(failure<CloudError>(engine->validate("whisper/large v3?")),
              CloudError::modelUnavailable("OpenAI", "whisper/large v3?"));

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer sk");
    EXPECT_EQ(requests[1].target, "/v1/models/whisper%2Flarge%20v3%3F");
}

TEST_F(OpenAITranscriberTest, TransportFailuresPassThroughUnchanged) {
    Gate& gate = server.gate();
    server.on("POST", uploadPath, [&](const auto&, auto&) { gate.wait(); });
    secrets.put(SecretKey::openAIAPIKey, "sk");
    const auto engine = makeEngine(OpenAITranscriber::Provider::openAI(), 0.1);

    const auto error = failure<System::Net::TransportError>([&]() -> Task<Transcript> {
        auto session = co_await engine->beginSession(config(DictationLanguage::english, {}));
        co_return co_await session->finish(sampleClip(10));
    }());

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), System::Net::TransportError::Code::timedOut);
}

} // namespace
