// The facade's transcription of sample arrays, one or many, and its language detection.

#include "ZodozorEro/Core/ZodozorEro.h"

#include "System/Concurrency/SerialQueue.h"
#include "VuzadoDudi/FoundationExtensions.h"
#include "ZodozorEro/Core/Audio/AudioChunker.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/Audio/EnergyVAD.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/Text/TokenSampler.h"
#include "ZodozorEro/Utilities/TranscriptionUtilities.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <algorithm>

namespace ZodozorEro {

using System::Concurrency::Task;
using VuzadoDudi::Logging;
using VuzadoDudi::ModelState;

namespace {

std::vector<TranscriptionSegment> shifted(std::vector<TranscriptionSegment> segments, std::int64_t sampleOffset) {
    for (auto& segment : segments) {
        segment = TranscriptionUtilities::updateSegmentTimings(segment, sampleOffset);
    }
    return segments;
}

// The callback told each segment list moved by `sampleOffset` samples; none stays none.
ZodozorEro::SegmentDiscoveryCallback shifting(ZodozorEro::SegmentDiscoveryCallback callback,
                                              std::int64_t sampleOffset) {
    if (!callback) {
        return nullptr;
    }
    return [callback = std::move(callback), sampleOffset](const std::vector<TranscriptionSegment>& segments) {
        callback(shifted(segments, sampleOffset));
    };
}

} // namespace

std::vector<TranscriptionOutcome> ZodozorEro::everyOneFailed(std::size_t count, std::exception_ptr error) {
    std::vector<TranscriptionOutcome> outcomes(count);
    for (auto& outcome : outcomes) {
        outcome.error = error;
    }
    return outcomes;
}

Task<std::exception_ptr> ZodozorEro::loadModelsForBatch() {
    std::exception_ptr failure;
    if (modelState_ != ModelState::loaded) {
        try {
            co_await loadModels(false);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    co_return failure;
}

Task<std::vector<TranscriptionOutcome>>
ZodozorEro::runOnWorkers(std::vector<Task<TranscriptionOutcome>> children) {
    const std::size_t workerCount = std::min<std::size_t>(
        children.size(), std::size_t(std::max(1, VuzadoDudi::ConcurrencyUtilities::activeProcessorCount())));
    // Children sharing a worker take turns at their awaits.
    std::vector<std::unique_ptr<System::Concurrency::SerialQueue>> workers;
    for (std::size_t index = 0; index < workerCount; ++index) {
        workers.push_back(std::make_unique<System::Concurrency::SerialQueue>("transcription worker"));
    }
    std::vector<System::Concurrency::TaskHandle<TranscriptionOutcome>> handles;
    for (std::size_t index = 0; index < children.size(); ++index) {
        handles.push_back(System::Concurrency::spawn(*workers[index % workerCount], std::move(children[index])));
    }
    const auto cancellation = co_await System::Concurrency::currentCancellation();
    const auto cancelId = cancellation->onCancel([handles] {
        for (const auto& handle : handles) {
            handle.cancel();
        }
    });
    // Awaited in order, so the outcomes keep it whatever order the children end in. The workers are stopped
    // only after every child has ended.
    std::vector<TranscriptionOutcome> outcomes;
    for (const auto& handle : handles) {
        outcomes.push_back(co_await handle.value());
    }
    cancellation->removeCallback(cancelId);
    co_return outcomes;
}

Task<TranscriptionOutcome> ZodozorEro::outcomeOf(std::weak_ptr<ZodozorEro> weakFacade,
                                                 std::function<Task<Results>(ZodozorEro&)> work) {
    TranscriptionOutcome outcome;
    const auto facade = weakFacade.lock();
    if (!facade) {
        outcome.error = std::make_exception_ptr(WhisperError::transcriptionFailed("ZodozorEro instance was deallocated"));
        co_return outcome;
    }
    try {
        outcome.results = co_await work(*facade);
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

std::int64_t ZodozorEro::windowSamples() const {
    return featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples);
}

std::shared_ptr<const VoiceActivityDetector> ZodozorEro::detectorOrDefault() const {
    return voiceActivityDetector_ ? voiceActivityDetector_ : std::make_shared<EnergyVAD>(16'000, 1'600, 0, 0.02f);
}

Task<std::vector<std::optional<ZodozorEro::Results>>>
ZodozorEro::transcribe(std::vector<std::vector<float>> audioArrays, std::optional<DecodingOptions> decodeOptions,
                       TranscriptionProgressCallback callback) {
    co_return toOptionalArrays(
        co_await transcribeWithResults(std::move(audioArrays), std::move(decodeOptions), std::move(callback)));
}

Task<std::vector<TranscriptionOutcome>>
ZodozorEro::transcribeWithResults(std::vector<std::vector<float>> audioArrays,
                                  std::optional<DecodingOptions> decodeOptions, TranscriptionProgressCallback callback) {
    std::vector<std::optional<DecodingOptions>> optionsList(audioArrays.size(), decodeOptions);
    co_return co_await transcribeWithOptions(std::move(audioArrays), std::move(optionsList), std::nullopt,
                                             std::move(callback));
}

Task<std::vector<TranscriptionOutcome>>
ZodozorEro::transcribeWithOptions(std::vector<std::vector<float>> audioArrays,
                                  std::vector<std::optional<DecodingOptions>> decodeOptionsArray,
                                  std::optional<std::vector<std::int64_t>> seekOffsets,
                                  TranscriptionProgressCallback callback) {
    const std::size_t count = audioArrays.size();
    if (decodeOptionsArray.size() != count) {
        co_return everyOneFailed(count,
                                 std::make_exception_ptr(WhisperError::transcriptionFailed(
                                     "The number of audio arrays and decoding options must be balanced.")));
    }
    if (seekOffsets && seekOffsets->size() != count) {
        co_return everyOneFailed(
            count, std::make_exception_ptr(WhisperError::transcriptionFailed(
                       "The number of audio arrays and seek offset indexes must be balanced.")));
    }
    if (count == 0) {
        co_return std::vector<TranscriptionOutcome>();
    }
    if (const auto failure = co_await loadModelsForBatch()) {
        co_return everyOneFailed(count, failure);
    }

    std::int64_t batchSize = 0;
    for (const auto& options : decodeOptionsArray) {
        batchSize = std::max<std::int64_t>(batchSize, options ? options->concurrentWorkerCount : 0);
    }
    if (batchSize <= 0) {
        batchSize = std::int64_t(count);
    }
    const std::weak_ptr<ZodozorEro> self = weak_from_this();

    std::vector<TranscriptionOutcome> outcomes;
    outcomes.reserve(count);
    for (std::size_t batchStart = 0; batchStart < count; batchStart += std::size_t(batchSize)) {
        const std::size_t batchEnd = std::min(count, batchStart + std::size_t(batchSize));
        std::vector<Task<TranscriptionOutcome>> children;
        for (std::size_t index = batchStart; index < batchEnd; ++index) {
            TranscriptionProgressCallback progressForArray;
            if (callback) {
                progressForArray = [callback, windowId = int(index)](const TranscriptionProgress& progress) {
                    TranscriptionProgress relabelled = progress;
                    relabelled.windowId = windowId;
                    return callback(relabelled);
                };
            }
            SegmentDiscoveryCallback segments = segmentDiscoveryCallback;
            if (seekOffsets) {
                segments = shifting(std::move(segments), (*seekOffsets)[index]);
            }
            children.push_back(outcomeOf(
                self, [array = std::move(audioArrays[index]), options = decodeOptionsArray[index],
                       progressForArray = std::move(progressForArray),
                       segments = std::move(segments)](ZodozorEro& facade) mutable {
                    return facade.transcribe(std::move(array), std::move(options), std::move(progressForArray),
                                             std::move(segments));
                }));
        }
        for (auto& outcome : co_await runOnWorkers(std::move(children))) {
            outcomes.push_back(std::move(outcome));
        }
    }
    co_return outcomes;
}

Task<ZodozorEro::Results> ZodozorEro::transcribe(std::vector<float> audioArray,
                                                 std::optional<DecodingOptions> decodeOptions,
                                                 TranscriptionProgressCallback callback,
                                                 SegmentDiscoveryCallback segmentCallback) {
    co_return co_await transcribe(std::move(audioArray), 0, std::move(decodeOptions), std::move(callback),
                                  std::move(segmentCallback));
}

Task<ZodozorEro::Results> ZodozorEro::transcribe(std::vector<float> audioArray, std::int64_t audioArrayOffset,
                                                 std::optional<DecodingOptions> decodeOptions,
                                                 TranscriptionProgressCallback callback,
                                                 SegmentDiscoveryCallback segmentCallback) {
    const std::int64_t window = windowSamples();
    const bool chunked = std::int64_t(audioArray.size()) > window && decodeOptions &&
                         decodeOptions->chunkingStrategy == ChunkingStrategy::vad;
    Results results;
    if (chunked) {
        const VADAudioChunker chunker(16'000, detectorOrDefault());
        const std::vector<AudioChunk> chunks = chunker.chunkAll(audioArray, window, decodeOptions->prepareSeekClips(
                                                                                        std::int64_t(audioArray.size())));
        Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
        const auto progress = progress_.get();
        progress->setTotalUnitCount(std::max<std::int64_t>(std::int64_t(chunks.size()), progress->totalUnitCount()));

        DecodingOptions chunkOptions = *decodeOptions;
        chunkOptions.clipTimestamps.clear();
        std::vector<std::vector<float>> arrays;
        std::vector<std::int64_t> offsets;
        for (const auto& chunk : chunks) {
            arrays.push_back(chunk.audioSamples);
            offsets.push_back(audioArrayOffset + chunk.seekOffsetIndex);
        }
        const auto outcomes =
            co_await transcribeWithOptions(std::move(arrays), std::vector<std::optional<DecodingOptions>>(chunks.size(), chunkOptions),
                                           std::move(offsets), callback);
        // A failed chunk leaves a gap in the text: it is reported, and a call whose every chunk failed fails.
        std::exception_ptr firstFailure;
        std::size_t failures = 0;
        for (std::size_t index = 0; index < outcomes.size(); ++index) {
            if (!outcomes[index].succeeded()) {
                ++failures;
                firstFailure = firstFailure ? firstFailure : outcomes[index].error;
                Logging::error("Transcription of chunk " + std::to_string(index) + " of " +
                               std::to_string(outcomes.size()) +
                               " failed: " + System::Log::errorDescription(outcomes[index].error));
            }
        }
        if (!outcomes.empty() && failures == outcomes.size()) {
            std::rethrow_exception(firstFailure);
        }
        results = chunker.updateSeekOffsetsForResults(outcomes, chunks);
    } else {
        SegmentDiscoveryCallback segments = segmentCallback ? segmentCallback : segmentDiscoveryCallback;
        if (audioArrayOffset >= 1) {
            segments = shifting(std::move(segments), audioArrayOffset);
        }
        results = co_await runTranscribeTask(std::move(audioArray), decodeOptions, std::move(callback),
                                             std::move(segments));
    }
    if (decodeOptions && decodeOptions->verbose) {
        Logging::info("Total Transcription Results: " + std::to_string(results.size()));
        for (std::size_t index = 0; index < results.size(); ++index) {
            Logging::debug("[Result " + std::to_string(index) + "]");
            results[index]->logSegments();
        }
    }
    co_return results;
}

std::shared_ptr<TranscribeTask>
ZodozorEro::setupTranscribeTask(TranscriptionTimings currentTimings,
                                std::shared_ptr<TranscriptionProgressCounter> progress,
                                std::shared_ptr<AudioProcessing> audioProcessor,
                                std::shared_ptr<AudioEncoding> audioEncoder,
                                std::shared_ptr<FeatureExtracting> featureExtractor,
                                std::shared_ptr<SegmentSeeking> segmentSeeker,
                                std::shared_ptr<TextDecoding> textDecoder,
                                std::shared_ptr<const WhisperTokenizer> tokenizer) {
    return std::make_shared<TranscribeTask>(std::move(currentTimings), std::move(progress), std::move(audioProcessor),
                                            std::move(audioEncoder), std::move(featureExtractor),
                                            std::move(segmentSeeker), std::move(textDecoder), std::move(tokenizer));
}

Task<ZodozorEro::Results> ZodozorEro::runTranscribeTask(std::vector<float> audioArray,
                                                        std::optional<DecodingOptions> decodeOptions,
                                                        TranscriptionProgressCallback callback,
                                                        SegmentDiscoveryCallback segmentCallback) {
    if (modelState_ != ModelState::loaded) {
        co_await loadModels(false);
    }
    if (!tokenizer_) {
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    }
    if (co_await System::Concurrency::isCancelled()) {
        renewProgress();
        throw System::Concurrency::CancellationError();
    }
    const auto progress = progress_.get();
    const auto childProgress = std::make_shared<TranscriptionProgressCounter>();
    progress->setTotalUnitCount(std::max<std::int64_t>(1, progress->totalUnitCount()));
    progress->addChild(childProgress, 1);

    const auto task = setupTranscribeTask(currentTimings_, childProgress, audioProcessor_, audioEncoder_,
                                          featureExtractor_, segmentSeeker_, textDecoder_, tokenizer_);
    task->segmentDiscoveryCallback = std::move(segmentCallback);
    bool cancelled = false;
    std::optional<TranscriptionResult> result;
    try {
        result.emplace(co_await task->run(std::move(audioArray), decodeOptions, std::move(callback)));
    } catch (const System::Concurrency::CancellationError&) {
        cancelled = true;
    }
    if (cancelled) {
        renewProgress();
        throw System::Concurrency::CancellationError();
    }
    auto shared = std::make_shared<TranscriptionResult>(std::move(*result));
    if (decodeOptions && decodeOptions->verbose) {
        shared->logTimings();
    }
    if (progress_.get()->isFinished()) {
        renewProgress();
    }
    co_return Results{std::move(shared)};
}

Task<std::pair<std::string, std::map<std::string, float>>> ZodozorEro::detectLangauge(std::vector<float> audioArray) {
    if (modelState_ != ModelState::loaded) {
        co_await loadModels(false);
    }
    if (!textDecoder_->isModelMultilingual()) {
        throw WhisperError::decodingFailed("Language detection not supported for this model");
    }
    if (!tokenizer_) {
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    }
    DecodingOptions options;
    options.verbose = Logging::shared().isLoggingEnabled();
    options.usePrefillPrompt = true;
    options.detectLanguage = false;
    options.suppressBlank = false;
    options.suppressTokens.clear();
    options.concurrentWorkerCount = 16;

    const auto decoderInputs =
        textDecoder_->prepareDecoderInputs({tokenizer_->specialTokens().startOfTranscriptToken});
    const auto window = audioProcessor_->padOrTrim(audioArray, 0, windowSamples());
    if (!window) {
        throw WhisperError::transcriptionFailed("Audio samples are nil");
    }
    const auto mel = co_await featureExtractor_->logMelSpectrogram(
        System::ML::MultiArray::withValues<float>({int(window->size())}, *window));
    if (!mel) {
        throw WhisperError::transcriptionFailed("Mel output is nil");
    }
    const auto encoded = co_await audioEncoder_->encodeFeatures(*mel);
    if (!encoded) {
        throw WhisperError::transcriptionFailed("Encoder output is nil");
    }
    GreedyTokenSampler sampler(System::ML::Half(0.0f), tokenizer_->specialTokens().endToken, options);
    std::optional<DecodingResult> result;
    try {
        result.emplace(co_await textDecoder_->detectLanguage(*encoded, *decoderInputs, sampler, options,
                                                             FloatType(0.0f)));
    } catch (...) {
    }
    if (!result) {
        throw WhisperError::decodingFailed("Language detection failed");
    }
    co_return std::make_pair(result->language, result->languageProbs);
}

Task<std::pair<std::string, std::map<std::string, float>>> ZodozorEro::detectLanguage(std::string audioPath) {
    std::error_code error;
    if (!std::filesystem::exists(audioPath, error)) {
        throw WhisperError::loadAudioFailed("Resource path does not exist " + audioPath);
    }
    auto samples = AudioProcessor::loadAudioAsFloatArray(audioPath, ChannelMode::sumChannels(), 0.0, 30.0);
    co_return co_await detectLangauge(std::move(samples));
}

} // namespace ZodozorEro
