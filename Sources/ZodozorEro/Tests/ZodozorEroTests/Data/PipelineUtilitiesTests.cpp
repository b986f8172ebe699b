#include "ZodozorEro/Core/TranscriptionOutcome.h"
#include "ZodozorEro/Utilities/PipelineLogging.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <gtest/gtest.h>

#include "Data/LogCapture.h"

namespace {

using ZodozorEro::WhisperError;

TEST(WhisperErrorTest, EqualWhenCaseAndMessageAreEqual) {
    EXPECT_EQ(WhisperError::modelsUnavailable("x"), WhisperError::modelsUnavailable("x"));
    EXPECT_NE(WhisperError::modelsUnavailable("x"), WhisperError::loadAudioFailed("x"));
    EXPECT_NE(WhisperError::modelsUnavailable("x"), WhisperError::modelsUnavailable("y"));
    EXPECT_STREQ(WhisperError::decodingFailed("Language detection failed").what(),
                 "Language detection failed");
}

TEST(WhisperErrorTest, TheDescriptionIsTheMessageAndLeavesATrace) {
    ZodozorEroTesting::LogCapture log(VuzadoDudi::Logging::LogLevel::error);
    const WhisperError error = WhisperError::loadAudioFailed("Audio file not found at path: /tmp/a.wav");
    EXPECT_EQ(error.errorDescription(), "Audio file not found at path: /tmp/a.wav");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Audio file not found at path: /tmp/a.wav"});
}

TEST(PipelineLoggingTest, StageIntervalsAreMarkedInTheirCategory) {
    System::Log::CaptureSink sink;
    const auto& category = ZodozorEro::PipelineLogging::transcribeTask();
    auto interval = ZodozorEro::PipelineLogging::beginSignpost("Decode", category.signposter());
    ZodozorEro::PipelineLogging::endSignpost("Decode", interval, category);
    ZodozorEro::PipelineLogging::endSignpost("Decode", interval, category);

    std::vector<System::Log::RecordKind> kinds;
    for (const auto& record : sink.records()) {
        if (record.category == "TranscribeTask") {
            EXPECT_EQ(record.subsystem, ZodozorEro::PipelineLogging::subsystem);
            kinds.push_back(record.kind);
        }
    }
    EXPECT_EQ(kinds, (std::vector<System::Log::RecordKind>{System::Log::RecordKind::intervalBegin,
                                                           System::Log::RecordKind::intervalEnd,
                                                           System::Log::RecordKind::message}));
    EXPECT_EQ(sink.messages("TranscribeTask").back(), "[Error] Interval already ended: Decode");
    EXPECT_EQ(&ZodozorEro::PipelineLogging::audioEncoding(), &ZodozorEro::PipelineLogging::audioEncoding());
    EXPECT_EQ(ZodozorEro::PipelineLogging::featureExtractor().logger().category(), "FeatureExtractor");
}

TEST(TranscriptionOutcomeTest, FailuresBecomeGapsInPlace) {
    auto result = std::make_shared<ZodozorEro::TranscriptionResult>(
        " a", std::vector<ZodozorEro::TranscriptionSegment>{}, "en", ZodozorEro::TranscriptionTimings{});
    const std::vector<ZodozorEro::TranscriptionOutcome> outcomes = {
        {{result}, nullptr},
        {{}, std::make_exception_ptr(WhisperError::transcriptionFailed("Audio samples are nil"))},
        {{}, nullptr},
    };
    const auto arrays = ZodozorEro::toOptionalArrays(outcomes);
    ASSERT_EQ(arrays.size(), 3u);
    ASSERT_TRUE(arrays[0]);
    EXPECT_EQ((*arrays[0])[0], result);
    EXPECT_FALSE(arrays[1]);
    ASSERT_TRUE(arrays[2]);
    EXPECT_TRUE(arrays[2]->empty());
}

} // namespace
