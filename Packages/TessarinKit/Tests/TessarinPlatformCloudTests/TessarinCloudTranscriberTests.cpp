#include "CloudTestSupport.h"

#include "System/Log/Logger.h"
#include "System/Tests/NetTesting/LoopbackServer.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace CloudTestSupport;
using System::Concurrency::currentExecutor;
using System::Concurrency::Executor;
using System::Concurrency::spawn;
using System::Concurrency::TaskHandle;
using System::Net::Testing::Gate;
using System::Net::Testing::LoopbackServer;
using TessarinCore::DictationLanguage;
using TessarinCore::EngineID;
using TessarinCore::SecretKey;
using TessarinCore::Transcript;
using TessarinCore::TranscriptionConfig;
using TessarinPlatform::TessarinCloudTranscriber;
using CloudError = TessarinCloudTranscriber::CloudError;

namespace {

constexpr const char* devices = "/api/v1/devices";
constexpr const char* transcriptions = "/api/v1/transcriptions";

class TessarinCloudTranscriberTest : public testing::Test {
protected:
    void SetUp() override {
        // Every registration hands out a fresh identifier and token: device-N and token-N.
        server.on("POST", devices, [this](const auto&, httplib::Response& response) {
            const int n = ++registrations;
            response.set_content(R"({"deviceId":"device-)" + std::to_string(n) + R"(","token":"token-)" +
                                     std::to_string(n) + R"("})",
                                 "application/json");
        });
    }

    static TranscriptionConfig config(DictationLanguage language) {
        return TranscriptionConfig{language, std::nullopt, "gpt-transcribe", "whisper-large-v3"};
    }
    void storeDevice(std::optional<std::string> id, std::optional<std::string> token) {
        if (id) {
            defaults->set("tessarinDeviceID", *id);
        }
        if (token) {
            secrets.put(SecretKey::tessarinDeviceToken, *token);
        }
    }
    Transcript finish(DictationLanguage language = DictationLanguage::english,
                      const TessarinCore::AudioClip& clip = sampleClip()) {
        return blockingRun([&]() -> Task<Transcript> {
            auto session = co_await engine->beginSession(config(language));
            co_return co_await session->finish(clip);
        }());
    }
    std::optional<CloudError> finishFailure(DictationLanguage language = DictationLanguage::english) {
        return failure<CloudError>([&]() -> Task<Transcript> {
            auto session = co_await engine->beginSession(config(language));
            co_return co_await session->finish(sampleClip());
        }());
    }
    // Registrations answer device-1 and token-1 once the returned gate opens.
    Gate& holdRegistrations() {
        Gate& gate = server.gate();
        server.on("POST", devices, [this, &gate](const auto&, httplib::Response& response) {
            ++registrations;
            gate.wait();
            response.set_content(R"({"deviceId":"device-1","token":"token-1"})", "application/json");
        });
        return gate;
    }
    std::size_t count(const char* method, const char* path) const {
        return server.requests(method, path).size();
    }

    std::atomic<int> registrations{0}; // before the server: its handlers count here until it stops
    LoopbackServer server;
    MemorySecrets secrets;
    std::shared_ptr<System::Defaults::UserDefaults> defaults =
        std::make_shared<System::Defaults::UserDefaults>();
    std::shared_ptr<TessarinCloudTranscriber> engine = std::make_shared<TessarinCloudTranscriber>(
        server.url("/api"), "2.4.1", secrets.store, defaults, System::Net::HttpClient::Configuration{}, 15);
};

TEST_F(TessarinCloudTranscriberTest, IsTheCloudEngineForEveryLanguage) {
    EXPECT_EQ(engine->engine(), EngineID::tessarin);
    EXPECT_EQ(engine->supportedLanguages(),
              (std::set<DictationLanguage>{DictationLanguage::automatic, DictationLanguage::english,
                                           DictationLanguage::arabic}));
    EXPECT_EQ(engine->minutesLeft(), std::nullopt);
    EXPECT_FALSE(engine->isBlocked());
}

TEST_F(TessarinCloudTranscriberTest, WithoutAnAddressEveryUseSaysTheServiceIsNotSetUp) {
    engine = std::make_shared<TessarinCloudTranscriber>("", "2.4.1", secrets.store, defaults,
                                                        System::Net::HttpClient::Configuration{}, 15);
    const auto notConfigured = [](const std::optional<CloudError>& error) {
        return error && error->kind() == CloudError::Case::notConfigured;
    };
    EXPECT_TRUE(notConfigured(failure<CloudError>(engine->prepare(DictationLanguage::arabic))));
    // A session still begins, so the dictation fails with the sentence when it finishes.
    EXPECT_TRUE(notConfigured(finishFailure(DictationLanguage::arabic)));
    EXPECT_TRUE(notConfigured(failure<CloudError>(engine->accountStatus())));
    EXPECT_TRUE(notConfigured(failure<CloudError>(engine->versionInfo())));
    EXPECT_EQ(engine->supportID(), std::nullopt);
    EXPECT_EQ(secrets.stored(SecretKey::tessarinDeviceToken), std::nullopt);
}

TEST_F(TessarinCloudTranscriberTest, ConcurrentFirstUsesShareOneRegistration) {
    Gate& gate = holdRegistrations();

    blockingRun([&]() -> Task<void> {
        Executor* executor = co_await currentExecutor();
        std::vector<TaskHandle<void>> preparations;
        for (int i = 0; i < 3; ++i) {
            preparations.push_back(spawn(*executor, engine->prepare(DictationLanguage::english)));
        }
        // All three start before the registration's first step, so all three wait for that one registration.
        co_await System::Concurrency::runOn(*executor, [] {});
        gate.open();
        for (auto& preparation : preparations) {
            co_await preparation.value();
        }
    }());

    EXPECT_EQ(count("POST", devices), 1u);
    EXPECT_EQ(engine->supportID(), "device-1");
    EXPECT_EQ(secrets.stored(SecretKey::tessarinDeviceToken), "token-1");

    blockingRun(engine->prepare(DictationLanguage::arabic));
    EXPECT_EQ(count("POST", devices), 1u);
}

TEST_F(TessarinCloudTranscriberTest, EveryCallerWaitingForTheRegistrationGetsItsToken) {
    Gate& gate = holdRegistrations();
    server.on("GET", "/api/v1/me", [](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Authorization") != "Bearer token-1") {
            response.status = 401;
            return;
        }
        response.set_content(R"({"blocked":false,"monthlyMinutes":300,"minutesLeft":12})",
                             "application/json");
    });

    blockingRun([&]() -> Task<void> {
        Executor* executor = co_await currentExecutor();
        std::vector<TaskHandle<TessarinCloudTranscriber::AccountStatus>> queries;
        for (int i = 0; i < 3; ++i) {
            queries.push_back(spawn(*executor, engine->accountStatus()));
        }
        co_await System::Concurrency::runOn(*executor, [] {});
        gate.open();
        for (auto& query : queries) {
            EXPECT_EQ(co_await query.value(), (TessarinCloudTranscriber::AccountStatus{false, 300, 12}));
        }
    }());

    EXPECT_EQ(count("POST", devices), 1u);
    const auto queries = server.requests("GET", "/api/v1/me");
    ASSERT_EQ(queries.size(), 3u);
    for (const auto& query : queries) {
        EXPECT_EQ(query.header("Authorization"), "Bearer token-1");
    }
}

TEST_F(TessarinCloudTranscriberTest, IncompleteCredentialsRegisterAnewAndReplaceBoth) {
    const struct {
        std::optional<std::string> id;
        std::optional<std::string> token;
    } cases[] = {
        {"old-device", std::nullopt},
        {"old-device", ""},
        {std::nullopt, "old-token"},
        {"old-device", "old\r\ntoken"}, // a token that cannot go into a header is no token
    };
    for (const auto& c : cases) {
        secrets = MemorySecrets();
        defaults = std::make_shared<System::Defaults::UserDefaults>();
        engine =
            std::make_shared<TessarinCloudTranscriber>(server.url("/api"), "2.4.1", secrets.store, defaults,
                                                       System::Net::HttpClient::Configuration{}, 15);
        storeDevice(c.id, c.token);
        const int before = registrations;

        blockingRun(engine->prepare(DictationLanguage::english));

        EXPECT_EQ(registrations, before + 1);
        EXPECT_EQ(engine->supportID(), "device-" + std::to_string(before + 1));
        EXPECT_EQ(secrets.stored(SecretKey::tessarinDeviceToken), "token-" + std::to_string(before + 1));
    }
}

TEST_F(TessarinCloudTranscriberTest, UploadUsesTheStoredTokenAndReportsTheTranscript) {
    storeDevice("device-7", "token-7");
    server.reply("POST", transcriptions, 200, R"({"text":"  Hallo Welt ","language":"de","minutesLeft":42})");
    const auto clip = sampleClip(3200);

    const auto transcript = finish(DictationLanguage::english, clip);

    EXPECT_EQ(transcript, (Transcript{"  Hallo Welt ", "de", EngineID::tessarin}));
    EXPECT_EQ(engine->minutesLeft(), 42);
    EXPECT_FALSE(engine->isBlocked());
    EXPECT_EQ(count("POST", devices), 0u);
    const auto upload = server.requests("POST", transcriptions).at(0);
    EXPECT_EQ(upload.header("Authorization"), "Bearer token-7");
    EXPECT_EQ(upload.body, wavBytes(clip));
    EXPECT_TRUE(server.waitForRequests("HEAD", "/api/v1/ping", 1)); // the warm-up of beginSession
}

TEST_F(TessarinCloudTranscriberTest, WithoutALanguageInTheAnswerTheConfiguredOneIsReported) {
    storeDevice("device-7", "token-7");
    server.reply("POST", transcriptions, 200, R"({"text":"t","minutesLeft":1})");
    EXPECT_EQ(finish(DictationLanguage::automatic).languageCode, std::nullopt);
    EXPECT_EQ(finish(DictationLanguage::english).languageCode, "en");
    EXPECT_EQ(finish(DictationLanguage::arabic).languageCode, "ar");
}

TEST_F(TessarinCloudTranscriberTest, AnUnrecognisedDeviceRegistersAgainAndUploadsTheSameBytesOnce) {
    System::Log::CaptureSink log;
    storeDevice("device-old", "token-old");
    server.on("POST", transcriptions, [](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Authorization") == "Bearer token-old") {
            response.status = 401;
        } else {
            response.set_content(R"({"text":"second","minutesLeft":5})", "application/json");
        }
    });

    const auto transcript = finish();

    EXPECT_EQ(transcript.text, "second");
    const auto uploads = server.requests("POST", transcriptions);
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[1].header("Authorization"), "Bearer token-1");
    EXPECT_EQ(uploads[0].body, uploads[1].body);
    EXPECT_EQ(engine->supportID(), "device-1");
    EXPECT_EQ(log.messages("Cloud"),
              std::vector<std::string>{"Tessarin Cloud didn't recognize this computer; registering again"});
}

TEST_F(TessarinCloudTranscriberTest, ASecondRejectionIsThrownWithoutAThirdAttempt) {
    storeDevice("device-old", "token-old");
    server.reply("POST", transcriptions, 401, "");

    const auto error = finishFailure();

    EXPECT_EQ(error, CloudError::unauthorized());
    EXPECT_EQ(error->description(), "Parlindo Cloud didn't recognize this computer.");
    EXPECT_EQ(count("POST", transcriptions), 2u);
    EXPECT_EQ(count("POST", devices), 1u);
}

TEST_F(TessarinCloudTranscriberTest, QuotaBlockAndSuccessUpdateTheAccountFigures) {
    storeDevice("device-7", "token-7");
    server.reply("POST", transcriptions, 200, R"({"text":"t","minutesLeft":42})");
    finish();
    server.reply("POST", transcriptions, 403, "");
    EXPECT_EQ(finishFailure(), CloudError::blocked());
    EXPECT_TRUE(engine->isBlocked());
    EXPECT_EQ(engine->minutesLeft(), 42);

    server.reply("POST", transcriptions, 402, "");
    EXPECT_EQ(finishFailure(), CloudError::quotaExceeded());
    EXPECT_FALSE(engine->isBlocked());
    EXPECT_EQ(engine->minutesLeft(), 0);

    server.reply("POST", transcriptions, 500, R"({"error":{"code":"x","message":"Down"}})");
    EXPECT_EQ(finishFailure(), CloudError::server(500, "Down"));
    EXPECT_EQ(engine->minutesLeft(), 0);

    server.reply("POST", transcriptions, 200, R"({"text":"t","minutesLeft":17})");
    finish();
    EXPECT_FALSE(engine->isBlocked());
    EXPECT_EQ(engine->minutesLeft(), 17);
}

TEST_F(TessarinCloudTranscriberTest, AccountStatusRefreshesTheFigures) {
    storeDevice("device-7", "token-7");
    server.reply("GET", "/api/v1/me", 200, R"({"blocked":true,"monthlyMinutes":300,"minutesLeft":12})");

    const auto status = blockingRun(engine->accountStatus());

    EXPECT_EQ(status, (TessarinCloudTranscriber::AccountStatus{true, 300, 12}));
    EXPECT_TRUE(engine->isBlocked());
    EXPECT_EQ(engine->minutesLeft(), 12);
    EXPECT_EQ(server.requests("GET", "/api/v1/me").at(0).header("Authorization"), "Bearer token-7");

    server.reply("GET", "/api/v1/me", 500, "");
    EXPECT_EQ(failure<CloudError>(engine->accountStatus()), CloudError::server(500, "Internal Server Error"));
    EXPECT_EQ(engine->minutesLeft(), 12);
}

TEST_F(TessarinCloudTranscriberTest, SessionsIgnoreAudioAndUploadEachFinish) {
    storeDevice("device-7", "token-7");
    server.reply("POST", transcriptions, 200, R"({"text":"t","minutesLeft":1})");
    const auto clip = sampleClip(800);

    blockingRun([&]() -> Task<void> {
        auto session = co_await engine->beginSession(config(DictationLanguage::english));
        co_await session->append(TessarinCore::AudioChunk{{0.5f, 0.25f}});
        co_await session->cancel();
        co_await session->finish(clip);
        co_await session->finish(clip);
    }());

    const auto uploads = server.requests("POST", transcriptions);
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0].body, wavBytes(clip));
    EXPECT_EQ(uploads[1].body, wavBytes(clip));
}

TEST_F(TessarinCloudTranscriberTest, VersionQueriesNeedNoRegistration) {
    server.reply("GET", "/api/v1/version", 200, R"({"latest":"3.0","minimum":"2.0"})");
    EXPECT_EQ(blockingRun(engine->versionInfo()),
              (TessarinCloudTranscriber::VersionInfo{"3.0", "2.0", std::nullopt}));
    EXPECT_EQ(count("POST", devices), 0u);
    EXPECT_EQ(engine->supportID(), std::nullopt);
}

TEST_F(TessarinCloudTranscriberTest, AFailedRegistrationStoresNothingAndTheNextCallTriesAgain) {
    server.reply("POST", devices, 429, "");
    EXPECT_EQ(failure<CloudError>(engine->prepare(DictationLanguage::english)),
              CloudError::tooManyRegistrations());
    EXPECT_EQ(engine->supportID(), std::nullopt);
    EXPECT_EQ(secrets.stored(SecretKey::tessarinDeviceToken), std::nullopt);

    server.reply("POST", devices, 401, "");
    EXPECT_EQ(failure<CloudError>(engine->prepare(DictationLanguage::english)), CloudError::unauthorized());
    EXPECT_EQ(count("POST", devices), 2u); // preparation does not retry after a rejection
}

TEST_F(TessarinCloudTranscriberTest, TheDeviceIsForgottenUntilTheNextSuccessfulRegistration) {
    storeDevice("device-old", "token-old");
    server.reply("POST", transcriptions, 401, "");
    server.reply("POST", devices, 426, "");

    EXPECT_EQ(finishFailure(), CloudError::updateRequired());

    EXPECT_EQ(engine->supportID(), std::nullopt);
    EXPECT_EQ(secrets.stored(SecretKey::tessarinDeviceToken), std::nullopt);
}

TEST_F(TessarinCloudTranscriberTest, SecretStoreFailuresReachTheCaller) {
    storeDevice("device-7", "token-7");
    secrets.keychain->setFailure(System::Keychain::InMemoryKeychain::Operation::copy,
                                 System::Keychain::status::userCanceled);
    EXPECT_EQ(failure<TessarinPlatform::KeychainSecretStore::KeychainError>(
                  engine->prepare(DictationLanguage::english)),
              TessarinPlatform::KeychainSecretStore::KeychainError::accessDenied());
    EXPECT_EQ(count("POST", devices), 0u);

    // A token that cannot be stored fails the registration, and the identifier is not written.
    secrets = MemorySecrets();
    defaults = std::make_shared<System::Defaults::UserDefaults>();
    engine = std::make_shared<TessarinCloudTranscriber>(server.url("/api"), "2.4.1", secrets.store, defaults,
                                                        System::Net::HttpClient::Configuration{}, 15);
    secrets.keychain->setFailure(System::Keychain::InMemoryKeychain::Operation::add,
                                 System::Keychain::status::notAvailable);
    EXPECT_TRUE(failure<TessarinPlatform::KeychainSecretStore::KeychainError>(
        engine->prepare(DictationLanguage::english)));
    EXPECT_EQ(engine->supportID(), std::nullopt);
}

} // namespace
