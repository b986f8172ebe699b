#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include "StageTesting.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Concurrency/RunLoop.h"
#include "System/Log/Logger.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

namespace {

using namespace ZodozorEro;
using System::Concurrency::blockingRun;
using System::FileTesting::TemporaryFolder;
using System::ML::ComputeUnits;
using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using ZodozorEroTesting::expectWhisperError;

constexpr int kMels = 8;
constexpr int kWidth = 16;
constexpr int kPositions = 10;
constexpr int kSamples = 2 * kPositions * 160;

// A model folder's front end, written once per test.
class FrontStagesTest : public ::testing::Test {
protected:
    FrontStagesTest()
        : folder_("front-stages") {
        TinyModelGenerator::EncoderOptions options;
        options.melCount = kMels;
        options.width = kWidth;
        options.heads = 2;
        options.layers = 1;
        options.positions = kPositions;
        TinyModelGenerator::writeFrontEnd(folder_.path(), options);
    }
    std::filesystem::path melFolder() const { return folder_ / "MelSpectrogram.mlmodelc"; }
    std::filesystem::path encoderFolder() const { return folder_ / "AudioEncoder.mlmodelc"; }

    static MultiArray audio() {
        return MultiArray::withValues<float>(
            {kSamples}, TinyModelGenerator::RandomWeights(4).uniform(kSamples, -0.5f, 0.5f));
    }

private:
    TemporaryFolder folder_;
};

TEST_F(FrontStagesTest, AFreshStageIsUnloadedAndKnowsNoShapes) {
    FeatureExtractor extractor;
    AudioEncoder encoder;
    EXPECT_FALSE(extractor.isModelLoaded());
    EXPECT_FALSE(encoder.isModelLoaded());
    EXPECT_EQ(extractor.melCount(), std::nullopt);
    EXPECT_EQ(extractor.windowSamples(), std::nullopt);
    EXPECT_EQ(encoder.embedSize(), std::nullopt);
    EXPECT_EQ(encoder.sequenceLength(), std::nullopt);
}

TEST_F(FrontStagesTest, TheInputTypeIsCheckedBeforeTheModel) {
    FeatureExtractor extractor;
    AudioEncoder encoder;
    const std::vector<float> notAnArray(kSamples, 0.0f);
    expectWhisperError([&] { blockingRun(extractor.logMelSpectrogram(notAnArray)); },
                       WhisperError::Kind::audioProcessingFailed,
                       "FeatureExtractor input must be MLMultiArray");
    expectWhisperError([&] { blockingRun(encoder.encodeFeatures(FeatureExtractorOutputType(notAnArray))); },
                       WhisperError::Kind::audioProcessingFailed, "AudioEncoder input must be MLMultiArray");
    expectWhisperError([&] { blockingRun(extractor.logMelSpectrogram(audio())); },
                       WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    expectWhisperError(
        [&] {
            blockingRun(encoder.encodeFeatures(
                MultiArray({1, kMels, 1, 2 * kPositions}, MultiArrayDataType::float32)));
        },
        WhisperError::Kind::modelsUnavailable, "Models are unavailable");
}

TEST_F(FrontStagesTest, LoadingReadsTheShapesAndPrewarmingLeavesTheStageUnloaded) {
    FeatureExtractor extractor;
    AudioEncoder encoder;
    blockingRun(extractor.loadModel(melFolder(), ComputeUnits::cpuOnly, true));
    blockingRun(encoder.loadModel(encoderFolder(), ComputeUnits::all, true));
    EXPECT_FALSE(extractor.isModelLoaded());
    EXPECT_FALSE(encoder.isModelLoaded());

    blockingRun(extractor.loadModel(melFolder(), ComputeUnits::cpuOnly, false));
    blockingRun(encoder.loadModel(encoderFolder(), ComputeUnits::cpuAndNeuralEngine, false));
    ASSERT_TRUE(extractor.isModelLoaded());
    EXPECT_EQ(extractor.model()->configuration().computeUnits, ComputeUnits::cpuOnly);
    EXPECT_EQ(encoder.model()->configuration().computeUnits, ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(extractor.melCount(), kMels);
    EXPECT_EQ(extractor.windowSamples(), kSamples);
    EXPECT_EQ(encoder.embedSize(), kWidth);
    EXPECT_EQ(encoder.sequenceLength(), kPositions);

    encoder.unloadModel();
    EXPECT_FALSE(encoder.isModelLoaded());
    EXPECT_EQ(encoder.embedSize(), std::nullopt);
}

TEST_F(FrontStagesTest, LoadErrorsPassThroughAndLeaveTheStageAsItWas) {
    FeatureExtractor extractor;
    try {
        blockingRun(extractor.loadModel(melFolder().parent_path() / "TextDecoder.mlmodelc", ComputeUnits::all,
                                        false));
        FAIL() << "a missing model loaded";
    } catch (const System::ML::ModelError& error) {
        EXPECT_EQ(error.reason(), System::ML::ModelError::Reason::missingFile);
    }
    EXPECT_FALSE(extractor.isModelLoaded());
}

TEST_F(FrontStagesTest, AudioBecomesFeaturesAndFeaturesBecomeEmbeddings) {
    FeatureExtractor extractor;
    AudioEncoder encoder;
    blockingRun(extractor.loadModel(melFolder(), ComputeUnits::all, false));
    blockingRun(encoder.loadModel(encoderFolder(), ComputeUnits::all, false));
    System::Log::CaptureSink log;

    const auto features = blockingRun(extractor.logMelSpectrogram(audio()));
    ASSERT_TRUE(features);
    const auto* mel = std::any_cast<MultiArray>(&*features);
    ASSERT_NE(mel, nullptr);
    EXPECT_EQ(mel->shape(), (std::vector<int>{1, kMels, 1, 2 * kPositions}));

    const auto embeds = blockingRun(encoder.encodeFeatures(*features));
    ASSERT_TRUE(embeds);
    const auto* array = std::any_cast<MultiArray>(&*embeds);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->shape(), (std::vector<int>{1, kWidth, 1, kPositions}));

    // The same as the models give when asked directly.
    System::ML::DictionaryFeatureProvider direct({{"melspectrogram_features", *mel}});
    EXPECT_EQ(array->toFloats(), encoder.model()
                                     ->predict(direct)
                                     ->featureValue("encoder_output_embeds")
                                     ->multiArrayValue()
                                     ->toFloats());

    // Each stage marks its work as one interval in its own category.
    std::vector<std::pair<std::string, std::string>> intervals;
    for (const auto& record : log.records()) {
        if (record.kind == System::Log::RecordKind::intervalBegin) {
            intervals.emplace_back(record.category, record.message);
        }
    }
    EXPECT_EQ(intervals,
              (std::vector<std::pair<std::string, std::string>>{{"FeatureExtractor", "ExtractAudioFeatures"},
                                                                {"AudioEncoding", "EncodeAudio"}}));
}

TEST_F(FrontStagesTest, ACancelledTaskStopsBeforeThePrediction) {
    FeatureExtractor extractor;
    blockingRun(extractor.loadModel(melFolder(), ComputeUnits::all, false));
    System::Log::CaptureSink log;
    System::Concurrency::RunLoop loop;
    auto handle = System::Concurrency::spawn(loop, extractor.logMelSpectrogram(audio()));
    handle.cancel();
    loop.runUntil([&] { return handle.isDone(); });
    EXPECT_THROW(handle.result(), System::Concurrency::CancellationError);
    EXPECT_TRUE(log.records().empty()); // no interval was opened
}

} // namespace
