#pragma once

#include "System/Concurrency/SerialQueue.h"
#include "System/Concurrency/Task.h"
#include "System/Log/ErrorDescription.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"
#include "ZodozorEro/Core/DecodingOptions.h"
#include "ZodozorEro/Core/TranscriptionResult.h"
#include "ZodozorEro/Core/ZodozorEroConfig.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ZodozorEro {
class ZodozorEro;
class WhisperTokenizer;
} // namespace ZodozorEro

namespace TessarinWhisper {

// The on-device Whisper engine. On first use it looks for a complete model folder under its models folder,
// downloads the model from the hub when there is none (reporting the bytes that arrive), then warms and loads
// it; every caller that comes during that work waits for the same load. A finished recording is transcribed
// in one pipeline call.
//
// Its state belongs to a worker of its own (the engine's actor): every operation hops onto it and resumes its
// caller on the caller's executor, and the pipeline is only ever called from it. Make it with
// std::make_shared: a session keeps its engine alive.
class ZodozorEroTranscriber final : public TessarinCore::SpeechTranscribing,
                                    public std::enable_shared_from_this<ZodozorEroTranscriber> {
public:
    class TranscriberError : public System::Log::DescribedError {
    public:
        enum class Case { modelNotLoaded, stillPreparing };

        static TranscriberError modelNotLoaded();
        static TranscriberError stillPreparing();

        Case errorCase() const { return case_; }
        bool operator==(const TranscriberError& other) const { return case_ == other.case_; }

    private:
        TranscriberError(Case errorCase, std::string description);
        Case case_;
    };

    static constexpr std::string_view defaultModel = "large-v3-v20240930_turbo";
    // The hub repository the model folders come from.
    static constexpr std::string_view modelRepository = "zodozorero/zodozorero-coreml";

    // Makes a pipeline (nothing warmed or loaded) from a configuration; tests stand in for the real one.
    using PipelineFactory = std::function<System::Concurrency::Task<std::shared_ptr<ZodozorEro::ZodozorEro>>(
        ZodozorEro::ZodozorEroConfig)>;

    // Touches neither disk nor network.
    ZodozorEroTranscriber(std::string model, std::filesystem::path modelsDirectory);
    ZodozorEroTranscriber(std::string model, std::filesystem::path modelsDirectory,
                          PipelineFactory makePipeline);
    ~ZodozorEroTranscriber() override;
    ZodozorEroTranscriber(const ZodozorEroTranscriber&) = delete;
    ZodozorEroTranscriber& operator=(const ZodozorEroTranscriber&) = delete;

    TessarinCore::EngineID engine() const override { return TessarinCore::EngineID::zodozorEro; }
    std::set<TessarinCore::DictationLanguage> supportedLanguages() const override {
        return {TessarinCore::DictationLanguage::automatic, TessarinCore::DictationLanguage::english,
                TessarinCore::DictationLanguage::arabic};
    }
    const std::string& model() const { return model_; }
    const std::filesystem::path& modelsDirectory() const { return modelsDirectory_; }

    // Makes the pipeline ready. Returns at once, reporting nothing, when it is; otherwise `progress` gets the
    // current phase at once (when a load is under way) and every later report until the load ends. Throws
    // what the load threw.
    using SpeechTranscribing::prepare;
    System::Concurrency::Task<void> prepare(TessarinCore::DictationLanguage language,
                                            ProgressHandler progress) override;
    // Never fails and starts nothing: the model is loaded when the first clip is finished, if not before.
    System::Concurrency::Task<std::shared_ptr<TessarinCore::TranscriptionSession>>
    beginSession(TessarinCore::TranscriptionConfig config) override;

    // Transcribes the whole clip. Throws stillPreparing while the model downloads or is optimised; otherwise
    // waits for (or starts) the load. Transcriptions take turns on the pipeline, in the order they came.
    System::Concurrency::Task<TessarinCore::Transcript> transcribe(TessarinCore::AudioClip clip,
                                                                   TessarinCore::TranscriptionConfig config);

    // The decoding options of one transcription: the configuration's language, and the vocabulary prompt as
    // prompt tokens when there is a prompt and a tokenizer.
    static ZodozorEro::DecodingOptions decodingOptions(const TessarinCore::TranscriptionConfig& config,
                                                       const ZodozorEro::WhisperTokenizer* tokenizer);

    // The results' texts joined with one space, in order, and the first result's language.
    static TessarinCore::Transcript
    transcriptOf(const std::vector<std::shared_ptr<ZodozorEro::TranscriptionResult>>& results);

    // The summed size of the model's files as the hub's tree listing gives it; nothing when the listing
    // cannot be had or read, names no sizes, or the model name cannot be part of an address.
    static System::Concurrency::Task<std::optional<std::int64_t>> remoteSize(std::string model);
    // The bytes of the regular files below `folder`; symbolic links are not followed.
    static std::int64_t bytesOnDisk(const std::filesystem::path& folder);
    // The first model folder under the repository folder of `modelsDirectory` whose name ends with `model`
    // and that holds the three compiled models; folders of the "openai_" family are tried first.
    static std::optional<std::filesystem::path> localModelFolder(const std::filesystem::path& modelsDirectory,
                                                                 const std::string& model);

private:
    using Pipeline = std::shared_ptr<ZodozorEro::ZodozorEro>;
    class Session;

    // Runs `work` on the engine's worker and gives its result back to the caller's executor.
    template <class T>
    System::Concurrency::Task<T> onActor(System::Concurrency::Task<T> work);

    System::Concurrency::Task<void> prepareOnActor(ProgressHandler progress);
    System::Concurrency::Task<TessarinCore::Transcript>
    transcribeOnActor(TessarinCore::AudioClip clip, TessarinCore::TranscriptionConfig config);
    System::Concurrency::Task<Pipeline> loadedPipe();
    System::Concurrency::Task<void> load();
    System::Concurrency::Task<Pipeline> makePipe(std::filesystem::path modelFolder);
    System::Concurrency::Task<std::filesystem::path> download();
    System::Concurrency::Task<void> pollDownload(std::int64_t baseline,
                                                 std::optional<std::int64_t> remoteSize);
    void report(TessarinCore::EnginePreparation phase);

    // The pipeline serves one transcription at a time; these hand it from one to the next in arrival order.
    System::Concurrency::Task<void> takePipelineTurn();
    void endPipelineTurn();

    const std::string model_;
    const std::filesystem::path modelsDirectory_;
    const PipelineFactory makePipeline_;

    // Everything below is touched on the actor only.
    Pipeline pipe_;
    // The one load every caller waits for; cleared when it fails so that the next caller tries again.
    System::Concurrency::TaskHandle<void> loadTask_;
    std::optional<TessarinCore::EnginePreparation> preparation_;
    std::vector<ProgressHandler> progressHandlers_;
    bool pipelineBusy_ = false;
    std::deque<System::Concurrency::Continuation<void>> pipelineQueue_;

    // Last, so that its worker stops before the state it works on goes.
    System::Concurrency::SerialQueue actor_{"Whisper engine"};
};

} // namespace TessarinWhisper
