#include "FacadeTesting.h"

#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/TextDecoder.h"
#include "ZodozorEro/Core/ZodozorEro.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include "System/Concurrency/BlockingRun.h"
#include "VuzadoDudi/ConcurrencyUtilities.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

namespace {

using namespace ZodozorEro;
using namespace FacadeTesting;
using System::Concurrency::blockingRun;
using System::FileTesting::TemporaryFolder;
using Facade = ::ZodozorEro::ZodozorEro;

// A loaded facade over a model folder (tokenizer inside) written once for the suite.
class FacadeFilesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        models_ = new TemporaryFolder("facade-files-models");
        writeModels(models_->path());
        copyTokenizer(models_->path());
    }
    static void TearDownTestSuite() { delete models_; }

    FacadeFilesTest() {
        ZodozorEroConfig config;
        config.modelFolder = models_->path().string();
        facade_ = blockingRun(Facade::create(config));
        facade_->transcriptionStateCallback = [this](TranscriptionState state) { states_.push_back(state); };
    }

    std::string file(const std::string& name, double seconds, std::uint64_t seed = 1) const {
        writeSpeechLikeFile(audio_ / name, seconds, seed);
        return (audio_ / name).string();
    }

    static TemporaryFolder* models_;
    TemporaryFolder audio_{"facade-files-audio"};
    std::shared_ptr<Facade> facade_;
    std::vector<TranscriptionState> states_;
};

TemporaryFolder* FacadeFilesTest::models_ = nullptr;

double seconds(const TranscriptionOutcome& outcome) {
    return outcome.results.at(0)->timings().inputAudioSeconds;
}

TEST_F(FacadeFilesTest, SeveralWholeFilesRunOnSeveralWorkersAndComeBackInPathOrder) {
    // Each longer than the second a window leaves out at its end, so each is decoded.
    const std::vector<std::string> paths{file("a.wav", 1.5), (audio_ / "missing.wav").string(), file("b.wav", 3.0),
                                         file("c.wav", 2.0)};
    std::mutex mutex;
    std::map<int, std::thread::id> threadOfArray;
    const auto callback = [&](const TranscriptionProgress& progress) -> std::optional<bool> {
        std::lock_guard guard(mutex);
        threadOfArray[progress.windowId] = std::this_thread::get_id();
        return std::nullopt;
    };
    const auto outcomes = blockingRun(facade_->transcribeWithResults(paths, std::nullopt, quickOptions(), callback));
    ASSERT_EQ(outcomes.size(), 4u);
    ASSERT_TRUE(outcomes[0].succeeded());
    ASSERT_TRUE(outcomes[2].succeeded());
    ASSERT_TRUE(outcomes[3].succeeded());
    EXPECT_NEAR(seconds(outcomes[0]), 1.5, 0.01);
    EXPECT_NEAR(seconds(outcomes[2]), 3.0, 0.01);
    EXPECT_NEAR(seconds(outcomes[3]), 2.0, 0.01);
    try {
        std::rethrow_exception(outcomes[1].error);
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::loadAudioFailed);
    }
    EXPECT_EQ(states_, (std::vector<TranscriptionState>{TranscriptionState::convertingAudio,
                                                         TranscriptionState::transcribing,
                                                         TranscriptionState::finished}));
    // The three loaded files were transcribed off the caller's thread, the first two on different workers
    // when there are two processors to run them.
    ASSERT_EQ(threadOfArray.size(), 3u);
    for (const auto& [array, thread] : threadOfArray) {
        EXPECT_NE(thread, std::this_thread::get_id()) << array;
    }
    if (VuzadoDudi::ConcurrencyUtilities::activeProcessorCount() >= 2) {
        EXPECT_NE(threadOfArray[0], threadOfArray[1]);
    }
}

TEST_F(FacadeFilesTest, AStreamedFileIsTranscribedPieceByPieceOnOneTimeline) {
    // Longer than two windows: the loader hands out at least three pieces.
    const std::string path = file("long.wav", 65.0);
    AudioInputOptions streamed;
    streamed.audioLoadingMode = AudioLoadingMode::incremental(20.0, 2);
    const auto results = blockingRun(facade_->transcribe(path, streamed, quickOptions()));
    ASSERT_GE(results.size(), 3u);
    EXPECT_EQ(results[0]->seekTime(), 0.0f);
    for (std::size_t index = 0; index < results.size(); ++index) {
        const float start = results[index]->seekTime().value_or(-1);
        if (index > 0) {
            EXPECT_GT(start, results[index - 1]->seekTime().value_or(-1)) << index;
        }
        for (const auto& segment : results[index]->segments()) {
            EXPECT_GE(segment.start, start);
            EXPECT_GE(segment.seek, std::int64_t(start * 16'000) - 1);
        }
    }
    EXPECT_LE(results.back()->seekTime().value_or(-1), 65.0f);
    EXPECT_EQ(states_, (std::vector<TranscriptionState>{TranscriptionState::transcribing,
                                                         TranscriptionState::finished}));

    // Several streamed files: one outcome each, in path order.
    states_.clear();
    const auto outcomes = blockingRun(
        facade_->transcribeWithResults({path, file("short.wav", 0.5)}, streamed, quickOptions()));
    ASSERT_EQ(outcomes.size(), 2u);
    ASSERT_TRUE(outcomes[0].succeeded() && outcomes[1].succeeded());
    EXPECT_EQ(outcomes[0].results.size(), results.size());
    EXPECT_EQ(outcomes[1].results.size(), 1u);
    EXPECT_EQ(states_, (std::vector<TranscriptionState>{TranscriptionState::transcribing,
                                                         TranscriptionState::finished}));
}

// Files of a batch share the facade's stages: an unloaded facade loads them once, in the caller's context,
// before any file starts, instead of every file loading the same stages at once on its own worker.
TEST_F(FacadeFilesTest, TheFilesOfABatchShareOneModelLoadMadeBeforeTheyStart) {
    struct CountingExtractor : FeatureExtractor {
        System::Concurrency::Task<void> loadModel(std::filesystem::path folder,
                                                  System::ML::ComputeUnits units, bool prewarmMode) override {
            {
                std::lock_guard guard(mutex);
                loads.push_back(std::this_thread::get_id());
            }
            co_await FeatureExtractor::loadModel(std::move(folder), units, prewarmMode);
        }
        std::mutex mutex;
        std::vector<std::thread::id> loads;
    };
    const std::vector<std::string> paths{file("a.wav", 1.5), file("b.wav", 1.5, 2), file("c.wav", 1.5, 3)};
    AudioInputOptions streamed;
    streamed.audioLoadingMode = AudioLoadingMode::incremental(20.0, 2);
    for (const auto& input : {streamed, AudioInputOptions()}) {
        const auto extractor = std::make_shared<CountingExtractor>();
        ZodozorEroConfig config;
        config.modelFolder = models_->path().string();
        config.load = false;
        config.featureExtractor = extractor;
        const auto facade = blockingRun(Facade::create(config));
        const auto outcomes = blockingRun(facade->transcribeWithResults(paths, input, quickOptions()));
        ASSERT_EQ(outcomes.size(), paths.size());
        for (const auto& outcome : outcomes) {
            EXPECT_TRUE(outcome.succeeded()) << System::Log::errorDescription(outcome.error);
        }
        EXPECT_EQ(extractor->loads, std::vector<std::thread::id>{std::this_thread::get_id()});
        EXPECT_EQ(facade->modelState(), VuzadoDudi::ModelState::loaded);
    }
}

TEST_F(FacadeFilesTest, ClipTimestampsCannotBeStreamed) {
    AudioInputOptions streamed;
    streamed.audioLoadingMode = AudioLoadingMode::incremental(1.0, 2);
    DecodingOptions clipped = quickOptions();
    clipped.clipTimestamps = {0.5f};
    const std::string message = "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, "
                                "or transcribe the desired range as a separate call.";
    const std::string path = file("clip.wav", 1.0);
    try {
        blockingRun(facade_->transcribe(path, streamed, clipped));
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), message);
    }
    const auto outcomes = blockingRun(facade_->transcribeWithResults({path}, streamed, clipped));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(System::Log::errorDescription(outcomes[0].error), message);
}

TEST_F(FacadeFilesTest, TheLanguageOfAFileOrOfSamplesIsOneOfTheKnownCodes) {
    const std::string path = file("speech.wav", 2.0, 5);
    const auto [language, probabilities] = blockingRun(facade_->detectLanguage(path));
    EXPECT_TRUE(Constants::languageCodes().contains(language)) << language;
    EXPECT_FALSE(probabilities.empty());
    // The file's first 30 s are all there is, so its samples give the same answer.
    const auto samples = writeSpeechLikeFile(audio_ / "again.wav", 2.0, 5);
    EXPECT_EQ(blockingRun(facade_->detectLangauge(samples)).first, language);

    try {
        blockingRun(facade_->detectLanguage((audio_ / "none.wav").string()));
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), "Resource path does not exist " + (audio_ / "none.wav").string());
    }
}

TEST_F(FacadeFilesTest, AnEnglishOnlyVocabularyIsDetectedAndRefusesLanguageDetection) {
    // Stages that report the sizes of an English-only tiny model over the generated weights.
    struct EnglishDecoder : TextDecoder {
        std::optional<int> logitsSize() const override { return 51864; }
    };
    struct TinyEncoder : AudioEncoder {
        std::optional<int> embedSize() const override { return 384; }
    };
    ZodozorEroConfig config;
    config.modelFolder = models_->path().string();
    config.load = false;
    config.textDecoder = std::make_shared<EnglishDecoder>();
    config.audioEncoder = std::make_shared<TinyEncoder>();
    const auto facade = blockingRun(Facade::create(config));
    try {
        blockingRun(facade->detectLangauge(std::vector<float>(16'000)));
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::decodingFailed);
        EXPECT_EQ(error.message(), "Language detection not supported for this model");
    }
    // The models were loaded for the question, and the vocabulary told the size and the language set.
    EXPECT_EQ(facade->modelState(), VuzadoDudi::ModelState::loaded);
    EXPECT_EQ(facade->modelVariant(), ModelVariant::tinyEn);
    EXPECT_FALSE(facade->textDecoder()->isModelMultilingual());
}

} // namespace
