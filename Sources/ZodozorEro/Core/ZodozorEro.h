#pragma once

#include "System/Concurrency/Task.h"
#include "VuzadoDudi/External/Hub/ModelState.h"
#include "VuzadoDudi/External/Hub/Progress.h"
#include "VuzadoDudi/Logging.h"
#include "ZodozorEro/Core/Audio/AudioInputOptions.h"
#include "ZodozorEro/Core/Audio/AudioProcessing.h"
#include "ZodozorEro/Core/Audio/VoiceActivityDetector.h"
#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/ModelComputeOptions.h"
#include "ZodozorEro/Core/ModelSupportConfig.h"
#include "ZodozorEro/Core/ModelVariant.h"
#include "ZodozorEro/Core/Text/SegmentSeeking.h"
#include "ZodozorEro/Core/TextDecoding.h"
#include "ZodozorEro/Core/TranscriptionProgress.h"
#include "ZodozorEro/Core/TranscriptionSegment.h"
#include "ZodozorEro/Core/TranscriptionTimings.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"
#include "ZodozorEro/Core/ZodozorEroConfig.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ZodozorEro {

// The one object through which the rest of the program uses the on-device Whisper pipeline: it finds or
// downloads a model folder, loads its stages and tokenizer, and transcribes audio. It owns its stages, which
// may be replaced; its async operations run on the caller's executor, one caller at a time, except that the
// batch entry points run their arrays on worker threads of their own.
//
// Made with `create`, which runs the setup, prewarm and load the configuration asks for through the
// overridable operations, so a subclass's versions run.
class ZodozorEro : public std::enable_shared_from_this<ZodozorEro> {
public:
    using ModelStateCallback =
        std::function<void(std::optional<VuzadoDudi::ModelState> previous, VuzadoDudi::ModelState current)>;
    using TranscriptionStateCallback = std::function<void(TranscriptionState)>;
    using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;
    using DownloadProgressCallback = std::function<void(const VuzadoDudi::Progress&)>;

    static constexpr int sampleRate = 16'000;
    static constexpr int hopLength = 160;
    static constexpr float secondsPerTimeToken = 0.02f;
    // The repository the models are fetched from when the configuration names none.
    static constexpr std::string_view defaultModelRepo = "zodozorero/zodozorero-coreml";

    // The machine's hardware model identifier.
    static std::string deviceName();

    // The stages, options and folders of the configuration, nothing loaded: use `create`.
    explicit ZodozorEro(const ZodozorEroConfig& config);
    virtual ~ZodozorEro();
    ZodozorEro(const ZodozorEro&) = delete;
    ZodozorEro& operator=(const ZodozorEro&) = delete;

    // A facade of type `Facade` (constructible from the configuration) after its model setup, then its
    // prewarm when `prewarm` is true, then its load when `load` is true or absent with a model folder given.
    // Errors of those steps pass on and no facade is returned.
    template <class Facade = ZodozorEro>
    static System::Concurrency::Task<std::shared_ptr<Facade>> create(ZodozorEroConfig config) {
        auto facade = std::make_shared<Facade>(config);
        co_await facade->startUp(std::move(config));
        co_return facade;
    }

    // ---- State ----
    ModelVariant modelVariant() const { return modelVariant_; }
    VuzadoDudi::ModelState modelState() const { return modelState_; }
    const ModelComputeOptions& modelCompute() const { return modelCompute_; }
    void setModelCompute(ModelComputeOptions options) { modelCompute_ = options; }
    const AudioInputOptions& audioInputOptions() const { return audioInputOptions_; }
    void setAudioInputOptions(AudioInputOptions options) { audioInputOptions_ = std::move(options); }
    // A second name of the audio input options.
    const AudioInputOptions& audioInputConfig() const { return audioInputOptions_; }
    void setAudioInputConfig(AudioInputOptions options) { audioInputOptions_ = std::move(options); }
    const std::shared_ptr<const WhisperTokenizer>& tokenizer() const { return tokenizer_; }
    // Also hands the tokenizer (or none) to the text decoder, which always holds the facade's.
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer);
    const std::shared_ptr<AudioProcessing>& audioProcessor() const { return audioProcessor_; }
    void setAudioProcessor(std::shared_ptr<AudioProcessing> stage) { audioProcessor_ = std::move(stage); }
    const std::shared_ptr<FeatureExtracting>& featureExtractor() const { return featureExtractor_; }
    void setFeatureExtractor(std::shared_ptr<FeatureExtracting> stage) { featureExtractor_ = std::move(stage); }
    const std::shared_ptr<AudioEncoding>& audioEncoder() const { return audioEncoder_; }
    void setAudioEncoder(std::shared_ptr<AudioEncoding> stage) { audioEncoder_ = std::move(stage); }
    const std::shared_ptr<TextDecoding>& textDecoder() const { return textDecoder_; }
    void setTextDecoder(std::shared_ptr<TextDecoding> stage) { textDecoder_ = std::move(stage); }
    const std::shared_ptr<SegmentSeeking>& segmentSeeker() const { return segmentSeeker_; }
    void setSegmentSeeker(std::shared_ptr<SegmentSeeking> stage) { segmentSeeker_ = std::move(stage); }
    const std::shared_ptr<const VoiceActivityDetector>& voiceActivityDetector() const {
        return voiceActivityDetector_;
    }
    void setVoiceActivityDetector(std::shared_ptr<const VoiceActivityDetector> detector) {
        voiceActivityDetector_ = std::move(detector);
    }
    const TranscriptionTimings& currentTimings() const { return currentTimings_; }
    const std::optional<std::filesystem::path>& modelFolder() const { return modelFolder_; }
    void setModelFolder(std::optional<std::filesystem::path> folder) { modelFolder_ = std::move(folder); }
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }
    void setTokenizerFolder(std::optional<std::filesystem::path> folder) { tokenizerFolder_ = std::move(folder); }
    bool useBackgroundDownloadSession() const { return useBackgroundDownloadSession_; }

    // Told each segment list a transcription discovers when the caller gives no segment callback.
    SegmentDiscoveryCallback segmentDiscoveryCallback;
    // Told every change of the model state, also a change to the same state.
    ModelStateCallback modelStateCallback;
    // Told the coarse state of file transcriptions.
    TranscriptionStateCallback transcriptionStateCallback;

    // ---- Model support (no network for the first; the others fall back to the built-in table) ----
    static ModelSupport recommendedModels();
    static System::Concurrency::Task<ModelSupport>
    recommendedRemoteModels(std::string repo, std::optional<std::filesystem::path> downloadBase,
                            std::optional<std::string> token, std::string remoteConfigName, std::string endpoint);
    // The repository's support table, or the built-in one when it has none or it cannot be fetched or read.
    static System::Concurrency::Task<ModelSupportConfig>
    fetchModelSupportConfig(std::string repo, std::optional<std::filesystem::path> downloadBase,
                            std::optional<std::string> token, std::string remoteConfigName, std::string endpoint);
    // The model names this device supports that match one of the glob patterns, each once.
    static System::Concurrency::Task<std::vector<std::string>>
    fetchAvailableModels(std::string repo, std::vector<std::string> patterns,
                         std::optional<std::filesystem::path> downloadBase, std::optional<std::string> token,
                         std::string remoteConfigName, std::string endpoint);

    // ---- Download ----
    // Finds the one model folder of the repository whose name ends in `variant` (or, when that is not one,
    // also holds "openai"), fetches it into the hub cache (files already current are kept) and returns the
    // local folder. WhisperError modelsUnavailable when no single folder matches; errors of the hub client
    // pass on.
    static System::Concurrency::Task<std::filesystem::path>
    download(std::string variant, std::optional<std::filesystem::path> downloadBase, bool useBackgroundSession,
             std::string from, std::optional<std::string> token, std::string endpoint,
             DownloadProgressCallback progressCallback = nullptr);

    // ---- Model lifecycle ----
    // Takes the given folder, or downloads the model (the device's recommended one when none is named) when
    // `download` is true; otherwise leaves the folder as it is.
    virtual System::Concurrency::Task<void>
    setupModels(std::optional<std::string> model, std::optional<std::filesystem::path> downloadBase,
                std::optional<std::string> modelRepo, std::optional<std::string> modelToken,
                std::optional<std::string> modelFolder, bool download, std::string remoteConfigName,
                std::string endpoint);
    // Loads every model once and lets it go again, so a later load is quick.
    virtual System::Concurrency::Task<void> prewarmModels();
    // Loads the three models from the model folder (mel, decoder, encoder) and, unless prewarming, the
    // tokenizer. Every model file is checked before any is loaded.
    virtual System::Concurrency::Task<void> loadModels(bool prewarmMode = false);
    virtual System::Concurrency::Task<void> loadTokenizerIfNeeded();
    // Lets the models go; the tokenizer, folders and timings stay.
    virtual System::Concurrency::Task<void> unloadModels();
    // Stops audio capture and starts the timings afresh.
    virtual void clearState();
    // Sends every log line of the library to `callback` (none restores the normal log).
    virtual void loggingCallback(VuzadoDudi::Logging::Callback callback);

protected:
    // Moves the model state and tells the observer.
    void setModelState(VuzadoDudi::ModelState state);
    TranscriptionTimings& mutableTimings() { return currentTimings_; }

private:
    System::Concurrency::Task<void> startUp(ZodozorEroConfig config);

    ModelVariant modelVariant_ = ModelVariant::tiny;
    VuzadoDudi::ModelState modelState_ = VuzadoDudi::ModelState::unloaded;
    ModelComputeOptions modelCompute_;
    AudioInputOptions audioInputOptions_;
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector_;
    TranscriptionTimings currentTimings_;
    std::optional<std::filesystem::path> modelFolder_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    bool useBackgroundDownloadSession_ = false;
};

} // namespace ZodozorEro
