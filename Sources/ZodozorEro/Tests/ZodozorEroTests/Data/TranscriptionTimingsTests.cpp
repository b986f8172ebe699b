#include "ZodozorEro/Core/TranscriptionTimings.h"

#include <cmath>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "Data/JsonTesting.h"

namespace {

using ZodozorEro::DecodingError;
using ZodozorEro::TranscriptionTimings;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

TEST(TranscriptionTimingsTest, AFreshRecordStartsAtItsSentinels) {
    const TranscriptionTimings timings;
    EXPECT_EQ(timings.pipelineStart, std::numeric_limits<double>::max());
    EXPECT_EQ(timings.firstTokenTime, std::numeric_limits<double>::max());
    EXPECT_EQ(timings.inputAudioSeconds, 0.001);
    EXPECT_EQ(timings.realTimeFactor(), 0.0);
    EXPECT_EQ(timings.speedFactor(), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(timings.tokensPerSecond()));
}

TEST(TranscriptionTimingsTest, TheCodedFormHoldsEveryFieldInOrderAndReadsBack) {
    TranscriptionTimings timings;
    timings.pipelineStart = 12.5;
    timings.decodingWordTimestamps = 0.25;
    timings.totalDecodingFallbacks = 3;
    timings.fullPipeline = 4;
    const auto json = timings.encode();
    ASSERT_EQ(json.size(), 33u);
    EXPECT_EQ(json.begin().key(), "pipelineStart");
    EXPECT_EQ((--json.end()).key(), "fullPipeline");
    EXPECT_EQ(json.at("decodingWordTimestamps"), 0.25);
    EXPECT_EQ(ZodozorEroTesting::roundTrip(timings), timings);
    EXPECT_EQ(ZodozorEroTesting::roundTrip(TranscriptionTimings{}), TranscriptionTimings{});
}

TEST(TranscriptionTimingsTest, EveryKeyIsRequired) {
    const auto full = TranscriptionTimings{}.encode();
    for (const auto& [key, value] : full.items()) {
        auto partial = full;
        partial.erase(key);
        const DecodingError error = ZodozorEroTesting::decodingError<TranscriptionTimings>(partial.dump());
        EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound) << key;
        EXPECT_EQ(error.codingPath(), key);
    }
    auto wrongType = full;
    wrongType["logmels"] = "fast";
    EXPECT_EQ(ZodozorEroTesting::decodingError<TranscriptionTimings>(wrongType.dump()).kind(),
              DecodingError::Kind::typeMismatch);
}

TranscriptionTimings fixedRecord() {
    TranscriptionTimings t;
    t.pipelineStart = 100;
    t.firstTokenTime = 101.25;
    t.inputAudioSeconds = 10;
    t.modelLoading = 1.5;
    t.prewarmLoadTime = 0.75;
    t.encoderLoadTime = 0.5;
    t.decoderLoadTime = 0.25;
    t.tokenizerLoadTime = 0.01;
    t.audioLoading = 0.5;
    t.audioProcessing = 0.2;
    t.totalAudioProcessingRuns = 2;
    t.logmels = 0.3;
    t.totalLogmelRuns = 2;
    t.encoding = 1.0;
    t.totalEncodingRuns = 2;
    t.decodingInit = 0.05;
    t.decodingPredictions = 2.0;
    t.totalDecodingLoops = 100;
    t.decodingNonPrediction = 0.5;
    t.decodingFiltering = 0.1;
    t.decodingSampling = 0.2;
    t.decodingKvCaching = 0.15;
    t.totalKVUpdateRuns = 100;
    t.decodingWordTimestamps = 0.25; // with no alignment runs: the per-run column shows 0.00
    t.decodingWindowing = 0.4;
    t.totalDecodingWindows = 2;
    t.decodingFallback = 0.3;
    t.totalDecodingFallbacks = 2;
    t.decodingLoop = 3.0;
    t.fullPipeline = 4.0;
    return t;
}

TEST(TranscriptionTimingsTest, TheReportOfAFixedRecordReadsLineByLine) {
    const std::string report = ZodozorEro::timingReport(fixedRecord(), 57);
    const std::vector<std::string> expected = {
        "---- Transcription Timings ----",
        "Audio Load:            500.00 ms /      1 runs (  500.00 ms/run) 12.50%",
        "Audio Processing:      200.00 ms /      2 runs (  100.00 ms/run)  5.00%",
        "Mels:                  300.00 ms /      2 runs (  150.00 ms/run)  7.50%",
        "Encoding:             1000.00 ms /      2 runs (  500.00 ms/run) 25.00%",
        "Matrices Init:          50.00 ms /      1 runs (   50.00 ms/run)  1.25%",
        "Decoding:             2000.00 ms /    100 runs (   20.00 ms/run) 50.00%",
        "Non-inference:         500.00 ms /    100 runs (    5.00 ms/run) 12.50%",
        "- Logit Filtering:     100.00 ms /    100 runs (    1.00 ms/run)  2.50%",
        "- Sampling:            200.00 ms /    100 runs (    2.00 ms/run)  5.00%",
        "- Kv Caching:          150.00 ms /    100 runs (    1.50 ms/run)  3.75%",
        "- Word Timestamps:     250.00 ms /      0 runs (    0.00 ms/run)  6.25%",
        "- Windowing:           150.00 ms /      2 runs (   75.00 ms/run)  3.75%",
        "Fallbacks:             300.00 ms /      2 runs (  150.00 ms/run)  7.50%",
        "Decoding Full Loop:   3000.00 ms /    100 runs (   30.00 ms/run) 75.00%",
        "-------------------------------",
        "Model Load Time:               1.50 seconds",
        "- Prewarm:                     0.75 seconds",
        "- Encoder:                     0.50 seconds",
        "- Decoder:                     0.25 seconds",
        "- Tokenizer:                   0.01 seconds",
        "Inference Duration (Global):   4.00 seconds",
        "- Decoding Loop (Avg/window):  1.50 seconds",
        "- Audio Windows:               2.00",
        "Time to first token:           1.25 seconds",
        "Total Tokens:                  57",
        "Tokens per Second:             25.00 tok/s",
        "Real Time Factor:              0.400",
        "Speed Factor:                  2.500",
        "Fallbacks:                     2.0",
    };
    EXPECT_EQ(lines(report), expected);
    EXPECT_NE(report.back(), '\n');
}

TEST(TranscriptionTimingsTest, SharesAreTakenAgainstTheDecodingLoopWhenTheRunTimeWasNeverSet) {
    TranscriptionTimings t = fixedRecord();
    t.fullPipeline = 0;
    t.decodingLoop = 5.0;
    const auto report = lines(ZodozorEro::timingReport(t, 0));
    EXPECT_EQ(report[1], "Audio Load:            500.00 ms /      1 runs (  500.00 ms/run) 10.00%");
    EXPECT_EQ(report[14], "Decoding Full Loop:   5000.00 ms /    100 runs (   50.00 ms/run) 100.00%");
}

TEST(TranscriptionTimingsTest, AFreshRecordReportsWithoutDividingByZero) {
    const auto report = lines(ZodozorEro::timingReport(TranscriptionTimings{}, 0));
    EXPECT_TRUE(report[2].starts_with("Audio Processing:        0.00 ms /      0 runs (    0.00 ms/run)"))
        << report[2];
    EXPECT_EQ(report[24], "Time to first token:           0.00 seconds");
    EXPECT_EQ(report[26], "Tokens per Second:             nan tok/s");
    EXPECT_EQ(report[28], "Speed Factor:                  inf");
    EXPECT_EQ(report[29], "Fallbacks:                     0.0");
}

} // namespace
