#pragma once

#include "System/Concurrency/Task.h"
#include "VuzadoDudi/External/Hub/ModelState.h"
#include "VuzadoDudi/External/Hub/Progress.h"
#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/ConcurrencyUtilities.h"
#include "ZodozorEro/Core/AggregateProgress.h"
#include "ZodozorEro/Core/Audio/AudioInputOptions.h"
#include "ZodozorEro/Core/Audio/AudioProcessing.h"
#include "ZodozorEro/Core/Audio/IncrementalFileStream.h"
#include "ZodozorEro/Core/Audio/VoiceActivityDetector.h"
#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/ModelComputeOptions.h"
#include "ZodozorEro/Core/ModelSupportConfig.h"
#include "ZodozorEro/Core/ModelVariant.h"
#include "ZodozorEro/Core/Text/SegmentSeeking.h"
#include "ZodozorEro/Core/TextDecoding.h"
#include "ZodozorEro/Core/TranscribeTask.h"
#include "ZodozorEro/Core/TranscriptionOutcome.h"
#include "ZodozorEro/Core/TranscriptionProgress.h"
#include "ZodozorEro/Core/TranscriptionSegment.h"
#include "ZodozorEro/Core/TranscriptionTimings.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"
#include "ZodozorEro/Core/ZodozorEroConfig.h"

#include <filesystem>
#include <functional>
#include <map>
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
// Made only with `create`, which runs the setup, prewarm and load the configuration asks for through the
// overridable operations, so a subclass's versions run. Every facade is thus shared, which its batches rely
// on: they hold it weakly.
class ZodozorEro : public std::enable_shared_from_this<ZodozorEro> {
protected:
    // Only `create` makes one: a subclass's constructor takes it and hands it to this class's.
    class ConstructionKey {
        friend class ZodozorEro;
        ConstructionKey() = default;
    };

public:
    using ModelStateCallback =
        std::function<void(std::optional<VuzadoDudi::ModelState> previous, VuzadoDudi::ModelState current)>;
    using TranscriptionStateCallback = std::function<void(TranscriptionState)>;
    using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;
    using DownloadProgressCallback = std::function<void(const VuzadoDudi::Progress&)>;
    using Results = std::vector<std::shared_ptr<TranscriptionResult>>;

    static constexpr int sampleRate = 16'000;
    static constexpr int hopLength = 160;
    static constexpr float secondsPerTimeToken = 0.02f;
    // The repository the models are fetched from when the configuration names none.
    static constexpr std::string_view defaultModelRepo = "zodozorero/zodozorero-coreml";

    // The machine's hardware model identifier.
    static std::string deviceName();

    // The stages, options and folders of the configuration, nothing loaded: only for `create`.
    ZodozorEro(const ZodozorEroConfig& config, ConstructionKey);
    virtual ~ZodozorEro();
    ZodozorEro(const ZodozorEro&) = delete;
    ZodozorEro& operator=(const ZodozorEro&) = delete;

    // A facade of type `Facade` (constructible from the configuration and the key) after its model setup,
    // then its prewarm when `prewarm` is true, then its load when `load` is true or absent with a model
    // folder given. Errors of those steps pass on and no facade is returned.
    template <class Facade = ZodozorEro>
    static System::Concurrency::Task<std::shared_ptr<Facade>> create(ZodozorEroConfig config) {
        auto facade = std::make_shared<Facade>(config, ConstructionKey());
        co_await facade->startUp(std::move(config));
        co_return facade;
    }

    // The same from the configuration's values one by one; the hub token and endpoint, the audio input
    // options and the voice-activity detector are left absent.
    template <class Facade = ZodozorEro>
    static System::Concurrency::Task<std::shared_ptr<Facade>>
    create(std::optional<std::string> model, std::optional<std::filesystem::path> downloadBase,
           std::optional<std::string> modelRepo, std::optional<std::string> modelFolder,
           std::optional<std::filesystem::path> tokenizerFolder,
           std::optional<ModelComputeOptions> computeOptions, std::shared_ptr<AudioProcessing> audioProcessor,
           std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<AudioEncoding> audioEncoder,
           std::shared_ptr<TextDecoding> textDecoder,
           std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters,
           std::shared_ptr<SegmentSeeking> segmentSeeker, bool verbose,
           VuzadoDudi::Logging::LogLevel logLevel, std::optional<bool> prewarm, std::optional<bool> load,
           bool download, bool useBackgroundDownloadSession) {
        ZodozorEroConfig config;
        config.model = std::move(model);
        config.downloadBase = std::move(downloadBase);
        config.modelRepo = std::move(modelRepo);
        config.modelFolder = std::move(modelFolder);
        config.tokenizerFolder = std::move(tokenizerFolder);
        config.computeOptions = computeOptions;
        config.audioProcessor = std::move(audioProcessor);
        config.featureExtractor = std::move(featureExtractor);
        config.audioEncoder = std::move(audioEncoder);
        config.textDecoder = std::move(textDecoder);
        config.logitsFilters = std::move(logitsFilters);
        config.segmentSeeker = std::move(segmentSeeker);
        config.verbose = verbose;
        config.logLevel = logLevel;
        config.prewarm = prewarm;
        config.load = load;
        config.download = download;
        config.useBackgroundDownloadSession = useBackgroundDownloadSession;
        co_return co_await create<Facade>(std::move(config));
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
    // The progress of the runs going on; replaced by a fresh one once they are all done or one is cancelled.
    std::shared_ptr<AggregateProgress> progress() const { return progress_.get(); }
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

    // ---- Language detection ----
    // The language spoken in the first 30 s of the file, and the probability of each language.
    virtual System::Concurrency::Task<std::pair<std::string, std::map<std::string, float>>>
    detectLanguage(std::string audioPath);
    // The same for samples (16 kHz mono); loads the models first when they are not loaded.
    virtual System::Concurrency::Task<std::pair<std::string, std::map<std::string, float>>>
    detectLangauge(std::vector<float> audioArray);

    // ---- Transcription of arrays ----
    // One outcome per array, in input order; nothing where that array failed. Never throws.
    virtual System::Concurrency::Task<std::vector<std::optional<Results>>>
    transcribe(std::vector<std::vector<float>> audioArrays, std::optional<DecodingOptions> decodeOptions,
               TranscriptionProgressCallback callback = nullptr);
    virtual System::Concurrency::Task<std::vector<TranscriptionOutcome>>
    transcribeWithResults(std::vector<std::vector<float>> audioArrays, std::optional<DecodingOptions> decodeOptions,
                          TranscriptionProgressCallback callback = nullptr);
    // Runs the arrays in batches of the largest worker count of the options (all at once for 0) on worker
    // threads, batch after batch, and gives one outcome per array in input order. The progress callback sees
    // the array's index as the window id; segments go to `segmentDiscoveryCallback`, moved by each array's
    // seek offset when given. Counts that do not match give every array the same failure.
    virtual System::Concurrency::Task<std::vector<TranscriptionOutcome>>
    transcribeWithOptions(std::vector<std::vector<float>> audioArrays,
                          std::vector<std::optional<DecodingOptions>> decodeOptionsArray,
                          std::optional<std::vector<std::int64_t>> seekOffsets = std::nullopt,
                          TranscriptionProgressCallback callback = nullptr);
    virtual System::Concurrency::Task<Results>
    transcribe(std::vector<float> audioArray, std::optional<DecodingOptions> decodeOptions = std::nullopt,
               TranscriptionProgressCallback callback = nullptr, SegmentDiscoveryCallback segmentCallback = nullptr);
    // `audioArrayOffset` is where the array starts in a longer recording: segments reported to the callback
    // are moved by it, the results keep times relative to the array. An array longer than one window is cut
    // at silences when the options ask for voice-activity chunking; a chunk that fails is logged and left
    // out, and the call fails when every chunk failed.
    virtual System::Concurrency::Task<Results>
    transcribe(std::vector<float> audioArray, std::int64_t audioArrayOffset,
               std::optional<DecodingOptions> decodeOptions, TranscriptionProgressCallback callback,
               SegmentDiscoveryCallback segmentCallback);
    virtual std::shared_ptr<TranscribeTask>
    setupTranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<TranscriptionProgressCounter> progress,
                        std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                        std::shared_ptr<FeatureExtracting> featureExtractor,
                        std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                        std::shared_ptr<const WhisperTokenizer> tokenizer);
    // One task over the whole array; loads the models first when they are not loaded.
    virtual System::Concurrency::Task<Results>
    runTranscribeTask(std::vector<float> audioArray, std::optional<DecodingOptions> decodeOptions,
                      TranscriptionProgressCallback callback, SegmentDiscoveryCallback segmentCallback);

    // ---- Transcription of files ----
    // Options absent: the facade's audio input options. Whole files are loaded and then transcribed as
    // arrays; incremental loading streams each file in slices transcribed as they come.
    virtual System::Concurrency::Task<std::vector<std::optional<Results>>>
    transcribe(std::vector<std::string> audioPaths, std::optional<AudioInputOptions> audioInputOptions,
               std::optional<DecodingOptions> decodeOptions, TranscriptionProgressCallback callback = nullptr);
    // One outcome per path, in path order. Never throws.
    virtual System::Concurrency::Task<std::vector<TranscriptionOutcome>>
    transcribeWithResults(std::vector<std::string> audioPaths, std::optional<AudioInputOptions> audioInputOptions,
                          std::optional<DecodingOptions> decodeOptions,
                          TranscriptionProgressCallback callback = nullptr);
    virtual System::Concurrency::Task<Results>
    transcribe(std::string audioPath, std::optional<AudioInputOptions> audioInputOptions,
               std::optional<DecodingOptions> decodeOptions, TranscriptionProgressCallback callback = nullptr);

protected:
    // Moves the model state and tells the observer.
    void setModelState(VuzadoDudi::ModelState state);
    TranscriptionTimings& mutableTimings() { return currentTimings_; }

private:
    System::Concurrency::Task<void> startUp(ZodozorEroConfig config);
    // The window length of the feature extractor, else 30 s.
    std::int64_t windowSamples() const;
    std::shared_ptr<const VoiceActivityDetector> detectorOrDefault() const;
    void reportState(TranscriptionState state) const;
    void renewProgress() { progress_.set(std::make_shared<AggregateProgress>()); }
    // Runs the children on worker threads of their own, as many as there are processors at most, and gives
    // their outcomes in the order of the children. Cancelling the caller cancels them.
    static System::Concurrency::Task<std::vector<TranscriptionOutcome>>
    runOnWorkers(std::vector<System::Concurrency::Task<TranscriptionOutcome>> children);
    System::Concurrency::Task<Results> transcribeFileStream(IncrementalFileStream& audioStream,
                                                            std::optional<DecodingOptions> decodeOptions,
                                                            TranscriptionProgressCallback callback,
                                                            bool emitStateCallbacks);
    // The children of a batch share the stages: they are loaded here, once, in the caller's context, rather
    // than by every child at once. The load's error, or none.
    System::Concurrency::Task<std::exception_ptr> loadModelsForBatch();
    static std::vector<TranscriptionOutcome> everyOneFailed(std::size_t count, std::exception_ptr error);
    // What `work` gives with the facade, when the facade is still there; the outcome holds any error.
    static System::Concurrency::Task<TranscriptionOutcome>
    outcomeOf(std::weak_ptr<ZodozorEro> facade, std::function<System::Concurrency::Task<Results>(ZodozorEro&)> work);

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
    VuzadoDudi::Protected<std::shared_ptr<AggregateProgress>> progress_{std::make_shared<AggregateProgress>()};
    std::optional<std::filesystem::path> modelFolder_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    bool useBackgroundDownloadSession_ = false;
};

} // namespace ZodozorEro
