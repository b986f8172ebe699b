#include "TessarinWhisper/ZodozorEroTranscriber.h"

#include "System/Concurrency/Instant.h"
#include "System/Json/BoundedJson.h"
#include "System/Log/Logger.h"
#include "System/Net/HttpClient.h"
#include "VuzadoDudi/External/Hub/HubApi.h"
#include "VuzadoDudi/External/Hub/HubApiWrapper.h"
#include "ZodozorEro/Core/ZodozorEro.h"

#include <algorithm>
#include <array>
#include <system_error>

namespace TessarinWhisper {

using namespace System::Concurrency;
using TessarinCore::AudioClip;
using TessarinCore::DictationLanguage;
using TessarinCore::EnginePreparation;
using TessarinCore::Transcript;
using TessarinCore::TranscriptionConfig;
namespace fs = std::filesystem;

namespace {

const System::Log::Logger log{"com.tessarin.Tessarin", "Whisper"};

constexpr std::array<const char*, 3> kCompiledModels{"MelSpectrogram.mlmodelc", "AudioEncoder.mlmodelc",
                                                     "TextDecoder.mlmodelc"};
constexpr std::string_view kPreferredPrefix = "openai_";
const Duration kPollInterval = Duration::milliseconds(500);
const Duration kListingTimeout = Duration::seconds(std::int64_t{10});

// The model name goes into an address as it is, so only names of unreserved characters are asked about.
bool isAddressSafe(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_' || c == '.' || c == '~';
    });
}

std::string withoutTrailingSlashes(std::string address) {
    while (!address.empty() && address.back() == '/') {
        address.pop_back();
    }
    return address;
}

// The sizes of the listing's file entries added up; nothing when the document is not a list of entries, each
// with a type and, where given, a whole-number size.
std::optional<std::int64_t> sumOfFileSizes(const nlohmann::json& listing) {
    if (!listing.is_array()) {
        return std::nullopt;
    }
    std::int64_t total = 0;
    for (const auto& entry : listing) {
        if (!entry.is_object()) {
            return std::nullopt;
        }
        const auto type = entry.find("type");
        if (type == entry.end() || !type->is_string()) {
            return std::nullopt;
        }
        const auto size = entry.find("size");
        const bool hasSize = size != entry.end() && !size->is_null();
        if (hasSize && !size->is_number_integer()) {
            return std::nullopt;
        }
        if (!hasSize || type->get_ref<const std::string&>() != "file") {
            continue;
        }
        std::int64_t bytes = 0;
        if (size->is_number_unsigned()) {
            const auto value = size->get<std::uint64_t>();
            if (value > std::uint64_t(INT64_MAX)) {
                return std::nullopt;
            }
            bytes = std::int64_t(value);
        } else {
            bytes = size->get<std::int64_t>();
        }
        if (__builtin_add_overflow(total, bytes, &total)) {
            return std::nullopt;
        }
    }
    return total;
}

} // namespace

// ---- Errors ----

ZodozorEroTranscriber::TranscriberError::TranscriberError(Case errorCase, std::string description)
    : DescribedError(std::move(description))
    , case_(errorCase) {}

ZodozorEroTranscriber::TranscriberError ZodozorEroTranscriber::TranscriberError::modelNotLoaded() {
    return TranscriberError(Case::modelNotLoaded, "The Whisper model isn't loaded.");
}

ZodozorEroTranscriber::TranscriberError ZodozorEroTranscriber::TranscriberError::stillPreparing() {
    return TranscriberError(Case::stillPreparing,
                            "The Whisper model is still downloading or being optimized.");
}

// ---- The engine ----

ZodozorEroTranscriber::ZodozorEroTranscriber(std::string model, fs::path modelsDirectory)
    : ZodozorEroTranscriber(std::move(model), std::move(modelsDirectory),
                            [](ZodozorEro::ZodozorEroConfig config) {
                                return ZodozorEro::ZodozorEro::create(std::move(config));
                            }) {}

ZodozorEroTranscriber::ZodozorEroTranscriber(std::string model, fs::path modelsDirectory,
                                             PipelineFactory makePipeline)
    : model_(std::move(model))
    , modelsDirectory_(std::move(modelsDirectory))
    , makePipeline_(std::move(makePipeline)) {}

ZodozorEroTranscriber::~ZodozorEroTranscriber() = default;

template <class T>
Task<T> ZodozorEroTranscriber::onActor(Task<T> work) {
    co_return co_await spawn(actor_, std::move(work)).value();
}

Task<void> ZodozorEroTranscriber::prepare(DictationLanguage, ProgressHandler progress) {
    co_await onActor(prepareOnActor(std::move(progress)));
}

Task<void> ZodozorEroTranscriber::prepareOnActor(ProgressHandler progress) {
    if (pipe_) {
        co_return;
    }
    progressHandlers_.push_back(progress);
    if (preparation_) {
        progress(*preparation_);
    }
    std::exception_ptr failure;
    try {
        co_await loadedPipe();
    } catch (...) {
        failure = std::current_exception();
    }
    // Every waiting caller returns with this one, so their handlers go too.
    progressHandlers_.clear();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void ZodozorEroTranscriber::report(EnginePreparation phase) {
    preparation_ = phase;
    // A handler that calls back into the engine only queues work on the actor, so the list cannot change
    // while the handlers run.
    for (const auto& handler : progressHandlers_) {
        handler(phase);
    }
}

Task<ZodozorEroTranscriber::Pipeline> ZodozorEroTranscriber::loadedPipe() {
    if (pipe_) {
        co_return pipe_;
    }
    if (!loadTask_.isValid()) {
        loadTask_ = spawn(actor_, load());
    }
    const auto task = loadTask_;
    try {
        co_await task.value();
    } catch (...) {
        // Only this load is forgotten: a caller who woke earlier may already have started the next one.
        if (loadTask_ == task) {
            loadTask_ = {};
        }
        throw;
    }
    if (!pipe_) {
        throw TranscriberError::modelNotLoaded();
    }
    co_return pipe_;
}

Task<void> ZodozorEroTranscriber::load() {
    // Whatever way the load ends, no phase outlives it: a transcription would otherwise be refused as still
    // preparing for good.
    struct PhaseReset {
        std::optional<EnginePreparation>& phase;
        ~PhaseReset() { phase.reset(); }
    } reset{preparation_};

    fs::create_directories(modelsDirectory_);
    const Instant start = Instant::now();

    if (const auto local = localModelFolder(modelsDirectory_, model_)) {
        std::exception_ptr failure;
        try {
            pipe_ = co_await makePipe(*local);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            log.notice("Whisper model loaded from disk in {} ms", (Instant::now() - start).milliseconds());
            co_return;
        }
        log.error("Local Whisper model failed to load, downloading again: {}",
                  System::Log::Public(System::Log::errorDescription(failure)));
    }

    log.notice("Downloading Whisper model {}", System::Log::Public(model_));
    const fs::path folder = co_await download();
    pipe_ = co_await makePipe(folder);
    log.notice("Whisper model ready in {} ms", (Instant::now() - start).milliseconds());
}

std::optional<fs::path> ZodozorEroTranscriber::localModelFolder(const fs::path& modelsDirectory,
                                                                const std::string& model) {
    const VuzadoDudi::HubApiWrapper hub(modelsDirectory, std::nullopt, std::nullopt, false);
    const fs::path repository =
        hub.localRepoLocation({std::string(modelRepository), VuzadoDudi::HubApiWrapper::RepoType::models});

    std::error_code error;
    fs::directory_iterator entries(repository, error);
    if (error) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
        if (error) {
            return std::nullopt;
        }
        std::string name = entries->path().filename().string();
        if (name.ends_with(model)) {
            names.push_back(std::move(name));
        }
    }
    // The directory's own order differs between file systems; the name order makes the choice repeatable.
    std::sort(names.begin(), names.end());
    std::stable_partition(names.begin(), names.end(),
                          [](const std::string& name) { return name.starts_with(kPreferredPrefix); });

    for (const auto& name : names) {
        const fs::path folder = repository / name;
        const bool complete =
            std::all_of(kCompiledModels.begin(), kCompiledModels.end(), [&](const char* file) {
                std::error_code missing;
                return fs::exists(folder / file, missing);
            });
        if (complete) {
            return folder;
        }
    }
    return std::nullopt;
}

Task<ZodozorEroTranscriber::Pipeline> ZodozorEroTranscriber::makePipe(fs::path modelFolder) {
    ZodozorEro::ZodozorEroConfig config;
    config.model = model_;
    config.downloadBase = modelsDirectory_;
    config.modelFolder = modelFolder.string();
    config.verbose = false;
    config.logLevel = VuzadoDudi::Logging::LogLevel::error;
    // Warming and loading are done here, step by step, so that each step is reported.
    config.prewarm = false;
    config.load = false;
    config.download = false;
    config.useBackgroundDownloadSession = false;

    Pipeline pipeline = co_await makePipeline_(std::move(config));
    report(EnginePreparation::optimizing());
    co_await pipeline->prewarmModels();
    report(EnginePreparation::loading());
    co_await pipeline->loadModels(false);
    co_return pipeline;
}

Task<fs::path> ZodozorEroTranscriber::download() {
    const std::optional<std::int64_t> remote = co_await remoteSize(model_);
    const std::int64_t baseline = bytesOnDisk(modelsDirectory_);
    report(EnginePreparation::downloading(remote ? std::optional<double>(0.0) : std::nullopt, 0));

    const auto poller = spawn(actor_, pollDownload(baseline, remote));
    std::exception_ptr failure;
    fs::path folder;
    try {
        folder = co_await ZodozorEro::ZodozorEro::download(model_, modelsDirectory_, false,
                                                           std::string(modelRepository), std::nullopt,
                                                           VuzadoDudi::HubApi::hubEndpointFromEnv());
    } catch (...) {
        failure = std::current_exception();
    }
    poller.cancel();
    // The poller ends at once when cancelled; waiting for it means no report comes after this point and no
    // poll outlives the engine.
    try {
        co_await poller.value();
    } catch (const CancellationError&) {
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    co_return folder;
}

Task<void> ZodozorEroTranscriber::pollDownload(std::int64_t baseline,
                                               std::optional<std::int64_t> remoteSize) {
    while (true) {
        co_await sleep(kPollInterval);
        if (co_await isCancelled()) {
            co_return;
        }
        const std::int64_t received = std::max<std::int64_t>(0, bytesOnDisk(modelsDirectory_) - baseline);
        std::optional<double> fraction;
        if (remoteSize) {
            fraction = std::min(1.0, double(received) / double(*remoteSize));
        }
        report(EnginePreparation::downloading(fraction, received));
    }
}

Task<std::optional<std::int64_t>> ZodozorEroTranscriber::remoteSize(std::string model) {
    if (!isAddressSafe(model)) {
        co_return std::nullopt;
    }
    System::Net::HttpRequest request;
    request.url = withoutTrailingSlashes(VuzadoDudi::HubApi::hubEndpointFromEnv()) + "/api/models/" +
                  std::string(modelRepository) + "/tree/main/openai_whisper-" + model + "?recursive=true";
    request.timeout = kListingTimeout;
    request.maxResponseSize = VuzadoDudi::HubApi::maxJsonAnswerSize;
    std::optional<System::Net::HttpResponse> response;
    try {
        response = co_await VuzadoDudi::HubApi::httpClient().send(std::move(request));
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        log.info("Whisper model size unknown: {}", System::Log::Public(error.what()));
        co_return std::nullopt;
    }
    if (response->status != 200) {
        co_return std::nullopt;
    }
    const auto listing = System::Json::tryParse(response->body);
    if (!listing) {
        co_return std::nullopt;
    }
    const auto total = sumOfFileSizes(*listing);
    if (!total || *total < 1) {
        co_return std::nullopt;
    }
    co_return total;
}

std::int64_t ZodozorEroTranscriber::bytesOnDisk(const fs::path& folder) {
    std::error_code error;
    fs::recursive_directory_iterator entries(folder, error);
    if (error) {
        return 0;
    }
    std::int64_t total = 0;
    for (; entries != fs::recursive_directory_iterator(); entries.increment(error)) {
        if (error) {
            // A file that vanished under the walk ends it early; the next poll counts afresh.
            break;
        }
        std::error_code unreadable;
        if (entries->symlink_status(unreadable).type() != fs::file_type::regular) {
            continue;
        }
        const auto size = entries->file_size(unreadable);
        if (!unreadable) {
            total += std::int64_t(size);
        }
    }
    return total;
}

// ---- Transcription ----

class ZodozorEroTranscriber::Session final : public TessarinCore::TranscriptionSession {
public:
    Session(std::shared_ptr<ZodozorEroTranscriber> transcriber, TranscriptionConfig config)
        : transcriber_(std::move(transcriber))
        , config_(std::move(config)) {}

    // The clip is transcribed whole when it is finished.
    Task<void> append(TessarinCore::AudioChunk) override { co_return; }
    Task<Transcript> finish(AudioClip clip) override {
        co_return co_await transcriber_->transcribe(std::move(clip), config_);
    }
    // A transcription already running goes on; its caller still gets its result.
    Task<void> cancel() override { co_return; }

private:
    std::shared_ptr<ZodozorEroTranscriber> transcriber_;
    TranscriptionConfig config_;
};

Task<std::shared_ptr<TessarinCore::TranscriptionSession>>
ZodozorEroTranscriber::beginSession(TranscriptionConfig config) {
    co_return std::make_shared<Session>(shared_from_this(), std::move(config));
}

ZodozorEro::DecodingOptions
ZodozorEroTranscriber::decodingOptions(const TranscriptionConfig& config,
                                       const ZodozorEro::WhisperTokenizer* tokenizer) {
    const bool automatic = config.language == DictationLanguage::automatic;
    std::optional<std::string> language;
    if (const auto code = TessarinCore::isoCode(config.language)) {
        language = std::string(*code);
    }
    ZodozorEro::DecodingOptions options{
        .verbose = false,
        .task = ZodozorEro::DecodingTask::transcribe,
        .language = language,
        .temperature = 0.0f,
        .temperatureIncrementOnFallback = 0.2f,
        .temperatureFallbackCount = 1,
        .sampleLength = ZodozorEro::Constants::maxTokenContext,
        .topK = 5,
        .usePrefillPrompt = true,
        .detectLanguage = automatic,
        .skipSpecialTokens = true,
        .withoutTimestamps = true,
        .wordTimestamps = false,
        .maxInitialTimestamp = std::nullopt,
        .maxWindowSeek = std::nullopt,
        .clipTimestamps = {},
        .windowClipTime = 1.0f,
        .promptTokens = std::nullopt,
        .prefixTokens = std::nullopt,
        .suppressBlank = true,
        .compressionRatioThreshold = 2.4f,
        .logProbThreshold = std::nullopt,
        .firstTokenLogProbThreshold = std::nullopt,
        .noSpeechThreshold = 0.6f,
        .chunkingStrategy = std::nullopt,
    };
    if (config.prompt && tokenizer) {
        // The leading space makes the first word encode as it does inside a sentence.
        const int specialBegin = tokenizer->specialTokens().specialTokenBegin;
        std::vector<int> tokens;
        for (const int token : tokenizer->encode(" " + *config.prompt)) {
            if (token < specialBegin) {
                tokens.push_back(token);
            }
        }
        options.promptTokens = std::move(tokens);
    }
    return options;
}

Task<void> ZodozorEroTranscriber::takePipelineTurn() {
    if (!pipelineBusy_) {
        pipelineBusy_ = true;
        co_return;
    }
    // The turn is handed over by endPipelineTurn, which leaves the pipeline marked busy for the next one.
    co_await withContinuation<void>(
        [this](Continuation<void> continuation) { pipelineQueue_.push_back(std::move(continuation)); });
}

void ZodozorEroTranscriber::endPipelineTurn() {
    if (pipelineQueue_.empty()) {
        pipelineBusy_ = false;
        return;
    }
    auto next = std::move(pipelineQueue_.front());
    pipelineQueue_.pop_front();
    next.resume();
}

Task<Transcript> ZodozorEroTranscriber::transcribeOnActor(AudioClip clip, TranscriptionConfig config) {
    if (preparation_ && !std::holds_alternative<EnginePreparation::Loading>(preparation_->value)) {
        throw TranscriberError::stillPreparing();
    }
    const Pipeline pipe = co_await loadedPipe();
    const ZodozorEro::DecodingOptions options = decodingOptions(config, pipe->tokenizer().get());

    co_await takePipelineTurn();
    ZodozorEro::ZodozorEro::Results results;
    std::exception_ptr failure;
    try {
        results = co_await pipe->transcribe(std::move(clip.samples), options, nullptr, nullptr);
    } catch (...) {
        failure = std::current_exception();
    }
    endPipelineTurn();
    if (failure) {
        std::rethrow_exception(failure);
    }

    co_return transcriptOf(results);
}

Transcript ZodozorEroTranscriber::transcriptOf(const ZodozorEro::ZodozorEro::Results& results) {
    // The texts are joined as they are: a space the pipeline kept at either end stays.
    Transcript transcript{
        .text = "", .languageCode = std::nullopt, .engine = TessarinCore::EngineID::zodozorEro};
    for (std::size_t index = 0; index < results.size(); ++index) {
        transcript.text +=
            (index == 0 ? "" : " ") + (results[index] ? results[index]->text() : std::string());
    }
    if (!results.empty() && results.front()) {
        transcript.languageCode = results.front()->language();
    }
    return transcript;
}

Task<Transcript> ZodozorEroTranscriber::transcribe(AudioClip clip, TranscriptionConfig config) {
    co_return co_await onActor(transcribeOnActor(std::move(clip), std::move(config)));
}

} // namespace TessarinWhisper
