#include "ZodozorEro/Core/ZodozorEro.h"

#include "VuzadoDudi/External/Hub/HubApiWrapper.h"
#include "VuzadoDudi/FoundationExtensions.h"
#include "VuzadoDudi/ModelUtilities.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/Text/SegmentSeeker.h"
#include "ZodozorEro/Core/TextDecoder.h"
#include "ZodozorEro/Core/WhisperMLModel.h"
#include "ZodozorEro/Utilities/ModelUtilities.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <chrono>
#include <cstdio>

namespace ZodozorEro {

using System::Concurrency::Task;
using VuzadoDudi::Logging;
using VuzadoDudi::ModelState;

namespace {
constexpr int englishOnlyVocabulary = 51864;

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string twoDecimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

template <class Stage>
WhisperMLModel* loadable(const std::shared_ptr<Stage>& stage) {
    return dynamic_cast<WhisperMLModel*>(stage.get());
}
} // namespace

std::string ZodozorEro::deviceName() {
    return VuzadoDudi::ProcessInfo::hwModel();
}

ZodozorEro::ZodozorEro(const ZodozorEroConfig& config, ConstructionKey)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions()))
    , audioInputOptions_(config.audioInputConfig.value_or(AudioInputOptions()))
    , audioProcessor_(config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>())
    , featureExtractor_(config.featureExtractor ? config.featureExtractor : std::make_shared<FeatureExtractor>())
    , audioEncoder_(config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>())
    , textDecoder_(config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>())
    , segmentSeeker_(config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>())
    , voiceActivityDetector_(config.voiceActivityDetector)
    , tokenizerFolder_(config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase)
    , useBackgroundDownloadSession_(config.useBackgroundDownloadSession) {
    // Even an empty list replaces the decoder's own filters.
    if (config.logitsFilters) {
        textDecoder_->setLogitsFilters(config.logitsFilters);
    }
    Logging::updateLogLevel(config.verbose ? config.logLevel : Logging::LogLevel::none);
}

ZodozorEro::~ZodozorEro() {
    audioProcessor_->stopRecording();
}

Task<void> ZodozorEro::startUp(ZodozorEroConfig config) {
    co_await setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken, config.modelFolder,
                         config.download, std::string(Constants::defaultRemoteConfigName),
                         config.modelEndpoint.value_or(VuzadoDudi::HubApi::hubEndpointFromEnv()));
    if (config.prewarm.value_or(false)) {
        Logging::info("Prewarming models...");
        co_await prewarmModels();
    }
    if (config.load.value_or(config.modelFolder.has_value())) {
        Logging::info("Loading models...");
        co_await loadModels(false);
    }
}

void ZodozorEro::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
    tokenizer_ = std::move(tokenizer);
    textDecoder_->setTokenizer(tokenizer_);
}

void ZodozorEro::setModelState(ModelState state) {
    const ModelState previous = modelState_;
    modelState_ = state;
    if (modelStateCallback) {
        modelStateCallback(previous, state);
    }
}

Task<void> ZodozorEro::setupModels(std::optional<std::string> model,
                                   std::optional<std::filesystem::path> downloadBase,
                                   std::optional<std::string> modelRepo, std::optional<std::string> modelToken,
                                   std::optional<std::string> modelFolder, bool download,
                                   std::string remoteConfigName, std::string endpoint) {
    if (modelFolder) {
        modelFolder_ = std::filesystem::path(*modelFolder);
        co_return;
    }
    if (!download) {
        co_return;
    }
    const std::string repo = modelRepo.value_or(std::string(defaultModelRepo));
    std::optional<std::string> failure;
    try {
        if (!model) {
            const ModelSupport support =
                co_await recommendedRemoteModels(repo, downloadBase, modelToken, remoteConfigName, endpoint);
            model = support.defaultModel;
        }
        modelFolder_ = co_await ZodozorEro::download(*model, downloadBase, useBackgroundDownloadSession_, repo,
                                                     modelToken, endpoint);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) {
        throw WhisperError::modelsUnavailable(
            "Model not found. Please check the model or repo name and try again.\nError: " + *failure);
    }
}

Task<void> ZodozorEro::prewarmModels() {
    co_await loadModels(true);
}

Task<void> ZodozorEro::loadModels(bool prewarmMode) {
    setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
    const double start = secondsNow();
    if (!modelFolder_) {
        throw WhisperError::modelsUnavailable("Model folder is not set.");
    }
    const std::filesystem::path folder = *modelFolder_;
    Logging::debug("Loading models from " + folder.string() + " with prewarmMode: " +
                   (prewarmMode ? "true" : "false"));

    const auto melFile = VuzadoDudi::ModelUtilities::detectModelURL(folder, "MelSpectrogram");
    const auto encoderFile = VuzadoDudi::ModelUtilities::detectModelURL(folder, "AudioEncoder");
    const auto decoderFile = VuzadoDudi::ModelUtilities::detectModelURL(folder, "TextDecoder");
    for (const auto& file : {melFile, encoderFile, decoderFile}) {
        std::error_code error;
        if (!std::filesystem::exists(file, error)) {
            throw WhisperError::modelsUnavailable("Model file not found at " + file.string());
        }
    }

    if (auto* stage = loadable(featureExtractor_)) {
        Logging::debug("Loading feature extractor");
        co_await stage->loadModel(melFile, modelCompute_.melCompute, prewarmMode);
        Logging::debug("Loaded feature extractor");
    }
    // The decoder and the encoder are timed; the specialisation of a prewarm is kept apart from a load.
    const auto loadTimed = [&](WhisperMLModel& stage, const std::string& name, const std::filesystem::path& file,
                               System::ML::ComputeUnits units, double& loadTime,
                               double& specializationTime) -> Task<void> {
        Logging::debug("Loading " + name);
        const double stageStart = secondsNow();
        co_await stage.loadModel(file, units, prewarmMode);
        const double elapsed = secondsNow() - stageStart;
        (prewarmMode ? specializationTime : loadTime) = elapsed;
        Logging::debug("Loaded " + name + " in " + twoDecimals(elapsed) + "s");
    };
    if (auto* stage = loadable(textDecoder_)) {
        co_await loadTimed(*stage, "text decoder", decoderFile, modelCompute_.textDecoderCompute,
                           currentTimings_.decoderLoadTime, currentTimings_.decoderSpecializationTime);
    }
    if (auto* stage = loadable(audioEncoder_)) {
        co_await loadTimed(*stage, "audio encoder", encoderFile, modelCompute_.audioEncoderCompute,
                           currentTimings_.encoderLoadTime, currentTimings_.encoderSpecializationTime);
    }

    if (prewarmMode) {
        setModelState(ModelState::prewarmed);
        currentTimings_.prewarmLoadTime = secondsNow() - start;
        co_return;
    }
    co_await loadTokenizerIfNeeded();
    setModelState(ModelState::loaded);
    currentTimings_.modelLoading = secondsNow() - start + currentTimings_.prewarmLoadTime;
    Logging::info("Loaded models for whisper size: " + std::string(description(modelVariant_)) + " in " +
                  twoDecimals(currentTimings_.modelLoading) + "s");
}

Task<void> ZodozorEro::loadTokenizerIfNeeded() {
    if (tokenizer_) {
        Logging::debug("Tokenizer already exists on ZodozorEro, skipping load");
        co_return;
    }
    const auto logitsSize = textDecoder_->logitsSize();
    const auto embedSize = audioEncoder_->embedSize();
    if (!logitsSize || !embedSize) {
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    }
    textDecoder_->setIsModelMultilingual(*logitsSize != englishOnlyVocabulary);
    modelVariant_ = ModelUtilities::detectVariant(*logitsSize, *embedSize);
    Logging::debug("Loading tokenizer for " + std::string(description(modelVariant_)));
    const double start = secondsNow();

    std::vector<std::filesystem::path> searchPaths;
    if (modelFolder_) {
        const VuzadoDudi::HubApiWrapper inModelFolder(*modelFolder_);
        searchPaths = {*modelFolder_,
                       inModelFolder.localRepoLocation({ModelUtilities::tokenizerNameForVariant(modelVariant_),
                                                        VuzadoDudi::HubApiWrapper::RepoType::models})};
    }
    auto tokenizer = co_await ModelUtilities::loadTokenizer(modelVariant_, tokenizerFolder_, std::move(searchPaths),
                                                            useBackgroundDownloadSession_);
    currentTimings_.tokenizerLoadTime = secondsNow() - start;
    setTokenizer(std::move(tokenizer));
    Logging::debug("Loaded tokenizer in " + twoDecimals(currentTimings_.tokenizerLoadTime) + "s");
}

Task<void> ZodozorEro::unloadModels() {
    setModelState(ModelState::unloading);
    if (auto* stage = loadable(featureExtractor_)) {
        stage->unloadModel();
    }
    if (auto* stage = loadable(audioEncoder_)) {
        stage->unloadModel();
    }
    if (auto* stage = loadable(textDecoder_)) {
        stage->unloadModel();
    }
    setModelState(ModelState::unloaded);
    Logging::info("Unloaded all models");
    co_return;
}

void ZodozorEro::clearState() {
    audioProcessor_->stopRecording();
    currentTimings_ = TranscriptionTimings();
}

void ZodozorEro::loggingCallback(Logging::Callback callback) {
    Logging::updateCallback(std::move(callback));
}

} // namespace ZodozorEro
