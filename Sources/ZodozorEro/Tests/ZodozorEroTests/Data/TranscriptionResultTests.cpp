#include "ZodozorEro/Core/TranscriptionResult.h"

#include <unordered_set>

#include <gtest/gtest.h>

#include "Data/JsonTesting.h"
#include "Data/LogCapture.h"
#include "ZodozorEro/Core/TranscriptionProgress.h"

namespace {

using ZodozorEro::DecodingError;
using ZodozorEro::TranscriptionResult;
using ZodozorEro::TranscriptionResultStruct;
using ZodozorEro::TranscriptionSegment;
using ZodozorEro::TranscriptionTimings;
using ZodozorEro::WordTiming;
using ZodozorEroTesting::decodingError;
using ZodozorEroTesting::roundTrip;

WordTiming word(std::string text, float start, float end) {
    return WordTiming{
        .word = std::move(text), .tokens = {400, 401}, .start = start, .end = end, .probability = 0.75f};
}

TranscriptionSegment segment(int id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    return TranscriptionSegment{
        .id = id,
        .seek = 480000,
        .start = start,
        .end = end,
        .text = std::move(text),
        .tokens = {50364, 400, 401, 50414},
        .tokenLogProbs = {{{50364, -0.1f}}, {{400, -0.25f}}, {{401, -1.5f}}, {{50414, -0.5f}}},
        .temperature = 0.2f,
        .avgLogprob = -0.4f,
        .compressionRatio = 1.3f,
        .noSpeechProb = 0.05f,
        .words = std::move(words),
    };
}

TEST(TranscriptionSegmentTest, CodedFormUsesTheFieldNamesAndDecimalTokenKeys) {
    const TranscriptionSegment withWords = segment(3, 1.5f, 2.25f, " Hello", {{word(" Hello", 1.5f, 2.25f)}});
    const auto json = withWords.encode();
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"id", "seek", "start", "end", "text", "tokens", "tokenLogProbs",
                                              "temperature", "avgLogprob", "compressionRatio", "noSpeechProb",
                                              "words"}));
    EXPECT_EQ(json["tokenLogProbs"][2].dump(), R"({"401":-1.5})");
    EXPECT_EQ(json["temperature"].dump(), "0.2");
    EXPECT_EQ(roundTrip(withWords), withWords);

    const TranscriptionSegment withoutWords = segment(4, 2.25f, 3, " there");
    EXPECT_FALSE(withoutWords.encode().contains("words"));
    EXPECT_EQ(roundTrip(withoutWords).words, std::nullopt);
    EXPECT_EQ(roundTrip(withoutWords), withoutWords);
}

TEST(TranscriptionSegmentTest, EqualityAndHashingTakeEveryField) {
    const TranscriptionSegment a = segment(1, 0, 1, " a");
    TranscriptionSegment b = a;
    b.noSpeechProb = 0.06f;
    EXPECT_NE(a, b);
    EXPECT_EQ(a.duration(), 1.0f);

    TranscriptionSegment positiveZero = a;
    positiveZero.start = 0.0f;
    TranscriptionSegment negativeZero = a;
    negativeZero.start = -0.0f;
    EXPECT_EQ(positiveZero, negativeZero);
    EXPECT_EQ(std::hash<TranscriptionSegment>{}(positiveZero),
              std::hash<TranscriptionSegment>{}(negativeZero));

    const std::unordered_set<TranscriptionSegment> set = {a, b, a};
    EXPECT_EQ(set.size(), 2u);
    const std::unordered_set<WordTiming> words = {word("x", 0, 1), word("x", 0, 1), word("y", 0, 1)};
    EXPECT_EQ(words.size(), 2u);
}

TEST(TranscriptionSegmentTest, StrictDecodingRefusesDamagedSegments) {
    const auto good = segment(1, 0, 1, " a", {{word(" a", 0, 1)}}).encode();
    struct Case {
        std::string name;
        std::function<void(ZodozorEro::JsonCoding::OrderedJson&)> damage;
        DecodingError::Kind kind;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"missing text", [](auto& j) { j.erase("text"); }, DecodingError::Kind::keyNotFound, "text"},
        {"missing noSpeechProb", [](auto& j) { j.erase("noSpeechProb"); }, DecodingError::Kind::keyNotFound,
         "noSpeechProb"},
        {"id as a string", [](auto& j) { j["id"] = "1"; }, DecodingError::Kind::typeMismatch, "id"},
        {"fractional seek", [](auto& j) { j["seek"] = 1.5; }, DecodingError::Kind::dataCorrupted, "seek"},
        {"token key not a number",
         [](auto& j) {
             j["tokenLogProbs"][1] = {{"four", -1.0}};
         },
         DecodingError::Kind::dataCorrupted, "tokenLogProbs[1].four"},
        {"word without probability", [](auto& j) { j["words"][0].erase("probability"); },
         DecodingError::Kind::keyNotFound, "words[0].probability"},
        {"float out of range", [](auto& j) { j["end"] = 1e39; }, DecodingError::Kind::dataCorrupted, "end"},
        {"null start", [](auto& j) { j["start"] = nullptr; }, DecodingError::Kind::typeMismatch, "start"},
    };
    for (const Case& c : cases) {
        auto damaged = good;
        c.damage(damaged);
        const DecodingError error = decodingError<TranscriptionSegment>(damaged.dump());
        EXPECT_EQ(error.kind(), c.kind) << c.name;
        EXPECT_EQ(error.codingPath(), c.path) << c.name;
    }
    auto nullWords = good;
    nullWords["words"] = nullptr;
    nullWords["unknown"] = 1;
    EXPECT_EQ(TranscriptionSegment::decode(System::Json::parse(nullWords.dump())).words, std::nullopt);
}

TEST(TranscriptionSegmentTest, MembershipComparesTheStartOnly) {
    const std::vector<TranscriptionSegment> segments = {segment(0, 0, 1, " a"), segment(1, 1, 2, " b")};
    EXPECT_TRUE(ZodozorEro::contains(segments, segment(9, 1, 5, " other")));
    EXPECT_FALSE(ZodozorEro::contains(segments, segment(0, 0.5f, 1, " a")));
    EXPECT_FALSE(ZodozorEro::contains({}, segment(0, 0, 1, " a")));
}

TEST(TranscriptionResultTest, AllWordsFollowTheSegmentsAndSkipThoseWithout) {
    TranscriptionResult result(" a b c", {}, "en", {});
    EXPECT_TRUE(result.allWords().empty());
    result.setSegments({segment(0, 0, 1, " a", {{word(" a", 0, 0.5f), word(" b", 0.5f, 1)}}),
                        segment(1, 1, 2, " -"), segment(2, 2, 3, " c", {{word(" c", 2, 3)}})});
    std::vector<std::string> words;
    for (const WordTiming& timing : result.allWords()) {
        words.push_back(timing.word);
    }
    EXPECT_EQ(words, (std::vector<std::string>{" a", " b", " c"}));
}

TEST(TranscriptionResultTest, SeekTimeIsWrittenAsNullAndMustBePresent) {
    TranscriptionTimings timings;
    timings.fullPipeline = 2.5;
    const TranscriptionResult result(
        " Hello there", {segment(0, 0, 1.5f, " Hello", {{word(" Hello", 0, 1.5f)}})}, "en", timings);
    const auto json = result.encode();
    ASSERT_TRUE(json.contains("seekTime"));
    EXPECT_TRUE(json["seekTime"].is_null());

    const TranscriptionResult back = roundTrip(result);
    EXPECT_EQ(back.text(), result.text());
    EXPECT_EQ(back.segments(), result.segments());
    EXPECT_EQ(back.language(), "en");
    EXPECT_EQ(back.timings(), timings);
    EXPECT_EQ(back.seekTime(), std::nullopt);

    auto withoutKey = json;
    withoutKey.erase("seekTime");
    const DecodingError error = decodingError<TranscriptionResult>(withoutKey.dump());
    EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound);
    EXPECT_EQ(error.codingPath(), "seekTime");
    // The plain-value form takes the same document.
    const auto plain = TranscriptionResultStruct::decode(System::Json::parse(withoutKey.dump()));
    EXPECT_EQ(plain.text, " Hello there");
    EXPECT_EQ(plain.seekTime, std::nullopt);

    TranscriptionResult seeked(" x", {}, "de", {}, 12.5f);
    EXPECT_EQ(roundTrip(seeked).seekTime(), 12.5f);
}

TEST(TranscriptionResultTest, ThePlainFormLeavesAnAbsentSeekTimeOut) {
    TranscriptionResultStruct plain{.text = " x", .segments = {segment(0, 0, 1, " x")}, .language = "fr"};
    EXPECT_FALSE(plain.encode().contains("seekTime"));
    EXPECT_EQ(roundTrip(plain), plain);
    plain.seekTime = 3.25f;
    EXPECT_EQ(plain.encode()["seekTime"], 3.25);
    EXPECT_EQ(roundTrip(plain), plain);
    auto missingTimings = plain.encode();
    missingTimings.erase("timings");
    EXPECT_EQ(decodingError<TranscriptionResultStruct>(missingTimings.dump()).codingPath(), "timings");
}

TEST(TranscriptionResultTest, ANumberJsonCannotHoldIsRefusedRatherThanWrittenAsNull) {
    TranscriptionSegment broken = segment(0, 0, 1, " a");
    broken.compressionRatio = std::numeric_limits<float>::infinity();
    const TranscriptionResult result(" a", {broken}, "en", {});
    EXPECT_THROW(result.encode(), ZodozorEro::EncodingError);
}

TEST(TranscriptionResultTest, SegmentLinesCountPositionsNotIds) {
    ZodozorEroTesting::LogCapture log;
    TranscriptionResult result("", {}, "en", {});
    result.logSegments();
    EXPECT_TRUE(log.lines().empty());
    result.setSegments({segment(7, 0, 1.257f, " Hello"), segment(9, 1.257f, 3, " world")});
    result.logSegments();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[Segment 0] [0.00 --> 1.26]  Hello",
                                                     "[Segment 1] [1.26 --> 3.00]  world"}));
}

TEST(TranscriptionResultTest, TheTimingReportCountsTheTokensOfEverySegment) {
    ZodozorEroTesting::LogCapture log(VuzadoDudi::Logging::LogLevel::info);
    TranscriptionResult result("", {segment(0, 0, 1, " a"), segment(1, 1, 2, " b")}, "en", {});
    result.logTimings();
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("\nTotal Tokens:                  8\n"), std::string::npos);
    EXPECT_EQ(log.lines()[0].rfind("---- Transcription Timings ----", 0), 0u);
}

TEST(TranscriptionStateTest, Descriptions) {
    EXPECT_EQ(ZodozorEro::description(ZodozorEro::TranscriptionState::convertingAudio), "Converting Audio");
    EXPECT_EQ(ZodozorEro::description(ZodozorEro::TranscriptionState::transcribing), "Transcribing");
    EXPECT_EQ(ZodozorEro::description(ZodozorEro::TranscriptionState::finished), "Finished");
}

} // namespace
