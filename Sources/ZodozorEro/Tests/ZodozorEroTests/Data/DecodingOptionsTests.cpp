#include "ZodozorEro/Core/DecodingOptions.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "Data/JsonTesting.h"
#include "ZodozorEro/Core/FloatType.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace {

using ZodozorEro::ChunkingStrategy;
using ZodozorEro::DecodingError;
using ZodozorEro::DecodingOptions;
using ZodozorEro::DecodingTask;
using ZodozorEro::SampleSpan;
using Json = ZodozorEro::JsonCoding::OrderedJson;

TEST(DecodingOptionsTest, DefaultsAndTheSubstitutionsOfTheInitializer) {
    const DecodingOptions options;
    EXPECT_FALSE(options.verbose);
    EXPECT_EQ(options.task, DecodingTask::transcribe);
    EXPECT_EQ(options.language, std::nullopt);
    EXPECT_EQ(options.temperature, 0.0f);
    EXPECT_EQ(options.temperatureIncrementOnFallback, 0.2f);
    EXPECT_EQ(options.temperatureFallbackCount, 5);
    EXPECT_EQ(options.sampleLength, 224);
    EXPECT_EQ(options.topK, 5);
    EXPECT_TRUE(options.usePrefillPrompt);
    EXPECT_FALSE(options.detectLanguage);
    EXPECT_FALSE(options.skipSpecialTokens || options.withoutTimestamps || options.wordTimestamps ||
                 options.suppressBlank);
    EXPECT_EQ(options.maxInitialTimestamp, std::nullopt);
    EXPECT_EQ(options.maxWindowSeek, std::nullopt);
    EXPECT_TRUE(options.clipTimestamps.empty());
    EXPECT_EQ(options.windowClipTime, 1.0f);
    EXPECT_EQ(options.promptTokens, std::nullopt);
    EXPECT_EQ(options.prefixTokens, std::nullopt);
    EXPECT_TRUE(options.suppressTokens.empty());
    EXPECT_EQ(options.compressionRatioThreshold, 2.4f);
    EXPECT_EQ(options.logProbThreshold, -1.0f);
    EXPECT_EQ(options.firstTokenLogProbThreshold, -1.5f);
    EXPECT_EQ(options.noSpeechThreshold, 0.6f);
    EXPECT_EQ(options.concurrentWorkerCount, 16);
    EXPECT_EQ(options.chunkingStrategy, std::nullopt);

    EXPECT_TRUE(DecodingOptions{.usePrefillPrompt = false}.detectLanguage);
    EXPECT_FALSE((DecodingOptions{.usePrefillPrompt = false, .detectLanguage = false}.detectLanguage));
    EXPECT_EQ(DecodingOptions{.suppressTokens = {}}, DecodingOptions{});
    EXPECT_EQ(DecodingOptions{.concurrentWorkerCount = 0}.concurrentWorkerCount, 0);

    DecodingOptions copy = options;
    copy.promptTokens = std::vector<int>{50361, 400};
    EXPECT_EQ(options.promptTokens, std::nullopt);
}

TEST(DecodingOptionsTest, DefaultOptionsEncodeWithoutTheAbsentFieldsAndReadBack) {
    const Json json = DecodingOptions{}.encode();
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"verbose",
                                              "task",
                                              "temperature",
                                              "temperatureIncrementOnFallback",
                                              "temperatureFallbackCount",
                                              "sampleLength",
                                              "topK",
                                              "usePrefillPrompt",
                                              "detectLanguage",
                                              "skipSpecialTokens",
                                              "withoutTimestamps",
                                              "wordTimestamps",
                                              "clipTimestamps",
                                              "windowClipTime",
                                              "suppressBlank",
                                              "suppressTokens",
                                              "compressionRatioThreshold",
                                              "logProbThreshold",
                                              "firstTokenLogProbThreshold",
                                              "noSpeechThreshold",
                                              "concurrentWorkerCount"}));
    EXPECT_EQ(json["task"].dump(), R"({"transcribe":{}})");
    EXPECT_EQ(json["compressionRatioThreshold"].dump(), "2.4");
    EXPECT_EQ(json["logProbThreshold"].dump(), "-1.0");
    EXPECT_EQ(json["firstTokenLogProbThreshold"].dump(), "-1.5");
    EXPECT_EQ(json["noSpeechThreshold"].dump(), "0.6");
    EXPECT_EQ(json["temperatureIncrementOnFallback"].dump(), "0.2");
    EXPECT_EQ(ZodozorEroTesting::roundTrip(DecodingOptions{}), DecodingOptions{});
}

TEST(DecodingOptionsTest, EveryFieldSurvivesARoundTrip) {
    const DecodingOptions options{
        .verbose = true,
        .task = DecodingTask::translate,
        .language = "ar",
        .temperature = 0.4f,
        .temperatureIncrementOnFallback = 0.1f,
        .temperatureFallbackCount = 2,
        .sampleLength = 100,
        .topK = 3,
        .usePrefillPrompt = false,
        .detectLanguage = true,
        .skipSpecialTokens = true,
        .withoutTimestamps = true,
        .wordTimestamps = true,
        .maxInitialTimestamp = 1.5f,
        .maxWindowSeek = 9'000'000'000,
        .clipTimestamps = {0.5f, 1.25f, 3.1f},
        .windowClipTime = 0.75f,
        .promptTokens = std::vector<int>{50361, 1, 2},
        .prefixTokens = std::vector<int>{},
        .suppressBlank = true,
        .suppressTokens = {-1, 50257},
        .compressionRatioThreshold = std::nullopt,
        .logProbThreshold = -2.0f,
        .firstTokenLogProbThreshold = std::nullopt,
        .noSpeechThreshold = 0.3f,
        .concurrentWorkerCount = 0,
        .chunkingStrategy = ChunkingStrategy::vad,
    };
    const Json json = options.encode();
    EXPECT_EQ(json["task"].dump(), R"({"translate":{}})");
    EXPECT_EQ(json["chunkingStrategy"], "vad");
    EXPECT_EQ(json["clipTimestamps"].dump(), "[0.5,1.25,3.1]");
    EXPECT_EQ(json["prefixTokens"].dump(), "[]");
    EXPECT_FALSE(json.contains("compressionRatioThreshold"));
    EXPECT_EQ(ZodozorEroTesting::roundTrip(options), options);
}

// The default document with `change` applied.
std::string defaultsWith(const std::function<void(Json&)>& change) {
    Json json = DecodingOptions{}.encode();
    change(json);
    return json.dump();
}

TEST(DecodingOptionsTest, DocumentsThatDecode) {
    struct Case {
        std::string name;
        std::string document;
        std::function<bool(const DecodingOptions&)> holds;
    };
    const std::vector<Case> cases = {
        {"all thresholds absent", defaultsWith([](Json& j) {
             for (const char* key : {"compressionRatioThreshold", "logProbThreshold",
                                     "firstTokenLogProbThreshold", "noSpeechThreshold"}) {
                 j.erase(key);
             }
         }),
         [](const DecodingOptions& o) {
             return !o.compressionRatioThreshold && !o.logProbThreshold && !o.firstTokenLogProbThreshold &&
                    !o.noSpeechThreshold;
         }},
        {"null optionals", defaultsWith([](Json& j) {
             j["noSpeechThreshold"] = nullptr;
             j["language"] = nullptr;
             j["chunkingStrategy"] = nullptr;
         }),
         [](const DecodingOptions& o) { return !o.noSpeechThreshold && !o.language && !o.chunkingStrategy; }},
        {"task contents are not read", defaultsWith([](Json& j) {
             j["task"] = {{"translate", {{"x", 1}}}};
         }),
         [](const DecodingOptions& o) { return o.task == DecodingTask::translate; }},
        {"unknown keys are ignored", defaultsWith([](Json& j) {
             j["future"] = {1, 2};
             j["task"]["other"] = 3;
         }),
         [](const DecodingOptions& o) { return o == DecodingOptions{}; }},
        {"integral numbers for floats and ints", defaultsWith([](Json& j) {
             j["temperature"] = 1;
             j["topK"] = 7.0;
         }),
         [](const DecodingOptions& o) { return o.temperature == 1.0f && o.topK == 7; }},
        {"detectLanguage is read, not derived", defaultsWith([](Json& j) { j["usePrefillPrompt"] = false; }),
         [](const DecodingOptions& o) { return !o.usePrefillPrompt && !o.detectLanguage; }},
        {"language and prompt", defaultsWith([](Json& j) {
             j["language"] = "ja";
             j["promptTokens"] = {50361, 3};
             j["chunkingStrategy"] = "none";
         }),
         [](const DecodingOptions& o) {
             return o.language == "ja" && o.promptTokens == std::vector<int>{50361, 3} &&
                    o.chunkingStrategy == ChunkingStrategy::none;
         }},
    };
    for (const Case& c : cases) {
        const DecodingOptions decoded = DecodingOptions::decode(System::Json::parse(c.document));
        EXPECT_TRUE(c.holds(decoded)) << c.name;
    }
}

TEST(DecodingOptionsTest, DocumentsThatAreRefused) {
    const std::string invalidKeys = "Invalid number of keys found, expected one.";
    struct Case {
        std::string name;
        std::string document;
        DecodingError::Kind kind;
        std::string path;
        std::string message; // checked when not empty
    };
    const std::vector<Case> cases = {
        {"empty object", "{}", DecodingError::Kind::keyNotFound, "verbose", ""},
        {"not an object", "[]", DecodingError::Kind::typeMismatch, "", ""},
        {"no worker count", defaultsWith([](Json& j) { j.erase("concurrentWorkerCount"); }),
         DecodingError::Kind::keyNotFound, "concurrentWorkerCount", ""},
        {"no detectLanguage", defaultsWith([](Json& j) { j.erase("detectLanguage"); }),
         DecodingError::Kind::keyNotFound, "detectLanguage", ""},
        {"no suppressTokens", defaultsWith([](Json& j) { j.erase("suppressTokens"); }),
         DecodingError::Kind::keyNotFound, "suppressTokens", ""},
        {"first missing key in field order", defaultsWith([](Json& j) {
             j.erase("topK");
             j.erase("sampleLength");
             j.erase("windowClipTime");
         }),
         DecodingError::Kind::keyNotFound, "sampleLength", ""},
        {"task without keys", defaultsWith([](Json& j) { j["task"] = Json::object(); }),
         DecodingError::Kind::typeMismatch, "task", invalidKeys},
        {"task with both keys", defaultsWith([](Json& j) {
             j["task"] = {{"transcribe", {}}, {"translate", {}}};
         }),
         DecodingError::Kind::typeMismatch, "task", invalidKeys},
        {"task with an unknown key only", defaultsWith([](Json& j) {
             j["task"] = {{"summarise", Json::object()}};
         }),
         DecodingError::Kind::typeMismatch, "task", invalidKeys},
        {"task as a string", defaultsWith([](Json& j) { j["task"] = "transcribe"; }),
         DecodingError::Kind::typeMismatch, "task", ""},
        {"task case not an object", defaultsWith([](Json& j) {
             j["task"] = {{"transcribe", 1}};
         }),
         DecodingError::Kind::typeMismatch, "task.transcribe", ""},
        {"chunking in capitals", defaultsWith([](Json& j) { j["chunkingStrategy"] = "VAD"; }),
         DecodingError::Kind::dataCorrupted, "chunkingStrategy", ""},
        {"verbose as a number", defaultsWith([](Json& j) { j["verbose"] = 1; }),
         DecodingError::Kind::typeMismatch, "verbose", ""},
        {"temperature as text", defaultsWith([](Json& j) { j["temperature"] = "0"; }),
         DecodingError::Kind::typeMismatch, "temperature", ""},
        {"fractional topK", defaultsWith([](Json& j) { j["topK"] = 2.5; }),
         DecodingError::Kind::dataCorrupted, "topK", ""},
        {"worker count beyond an int",
         defaultsWith([](Json& j) { j["concurrentWorkerCount"] = 4294967296LL; }),
         DecodingError::Kind::dataCorrupted, "concurrentWorkerCount", ""},
        {"a token that is text", defaultsWith([](Json& j) {
             j["suppressTokens"] = {1, "a"};
         }),
         DecodingError::Kind::typeMismatch, "suppressTokens[1]", ""},
        {"threshold beyond a float", defaultsWith([](Json& j) { j["logProbThreshold"] = -1e300; }),
         DecodingError::Kind::dataCorrupted, "logProbThreshold", ""},
        {"null required field", defaultsWith([](Json& j) { j["windowClipTime"] = nullptr; }),
         DecodingError::Kind::typeMismatch, "windowClipTime", ""},
    };
    for (const Case& c : cases) {
        const DecodingError error = ZodozorEroTesting::decodingError<DecodingOptions>(c.document);
        EXPECT_EQ(error.kind(), c.kind) << c.name;
        EXPECT_EQ(error.codingPath(), c.path) << c.name;
        if (!c.message.empty()) {
            EXPECT_EQ(error.debugDescription(), c.message) << c.name;
        }
    }
}

TEST(DecodingOptionsTest, SeekClipsFromClipTimestamps) {
    const float halfSample = 2.5f / 16000; // 2.5 samples: rounds away from zero
    struct Case {
        std::vector<float> clips;
        std::int64_t contentFrames;
        std::vector<SampleSpan> expected;
    };
    const std::vector<Case> cases = {
        {{}, 48000, {{0, 48000}}},
        {{1.0f}, 48000, {{16000, 48000}}},
        {{1.0f, 2.5f, 4.0f}, 96000, {{16000, 40000}, {64000, 96000}}},
        {{0.5f, 1.0f}, 48000, {{8000, 16000}}},
        {{3.0f, 1.0f}, 48000, {{48000, 16000}}},
        {{halfSample, -halfSample}, 10, {{3, -3}}},
        {{0.0f}, 0, {{0, 0}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodingOptions{.clipTimestamps = c.clips}.prepareSeekClips(c.contentFrames), c.expected)
            << c.clips.size() << " clips";
    }
}

TEST(DecodingOptionsTest, ClipTimesWithoutASampleIndexAreRefused) {
    for (float bad :
         {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(), 1e30f}) {
        try {
            DecodingOptions{.clipTimestamps = {0.0f, bad}}.prepareSeekClips(100);
            ADD_FAILURE() << bad;
        } catch (const ZodozorEro::WhisperError& error) {
            EXPECT_EQ(error.kind(), ZodozorEro::WhisperError::Kind::transcriptionFailed);
        }
    }
}

TEST(DecodingTaskTest, NamesAndRawValues) {
    EXPECT_EQ(ZodozorEro::description(DecodingTask::transcribe), "transcribe");
    EXPECT_EQ(ZodozorEro::description(DecodingTask::translate), "translate");
    EXPECT_EQ(ZodozorEro::rawValue(ChunkingStrategy::vad), "vad");
    EXPECT_EQ(ZodozorEro::chunkingStrategyFromRawValue("none"), ChunkingStrategy::none);
    EXPECT_EQ(ZodozorEro::chunkingStrategyFromRawValue("VAD"), std::nullopt);
    EXPECT_EQ(ZodozorEro::chunkingStrategyFromRawValue(""), std::nullopt);
}

TEST(FloatTypeTest, TheTemperatureScheduleRoundsInHalfPrecision) {
    const DecodingOptions options;
    std::vector<float> schedule;
    const ZodozorEro::FloatType increment = options.temperatureIncrementOnFallback;
    for (int i = 0; i <= options.temperatureFallbackCount; ++i) {
        const ZodozorEro::FloatType step = ZodozorEro::FloatType(float(i)) * increment;
        schedule.push_back(ZodozorEro::FloatType(ZodozorEro::FloatType(options.temperature) + step));
    }
    EXPECT_EQ(schedule,
              (std::vector<float>{0, 0.199951171875f, 0.39990234375f, 0.599609375f, 0.7998046875f, 1}));
}

} // namespace
