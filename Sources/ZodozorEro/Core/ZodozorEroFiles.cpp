// The facade's transcription of audio files: whole files loaded and transcribed as arrays, or streamed in
// slices that are transcribed as they arrive.

#include "ZodozorEro/Core/ZodozorEro.h"

#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Utilities/TranscriptionUtilities.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <algorithm>
#include <chrono>

namespace ZodozorEro {

using System::Concurrency::Task;
using VuzadoDudi::Logging;

namespace {
double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
} // namespace

void ZodozorEro::reportState(TranscriptionState state) const {
    if (transcriptionStateCallback) {
        transcriptionStateCallback(state);
    }
}

Task<std::vector<std::optional<ZodozorEro::Results>>>
ZodozorEro::transcribe(std::vector<std::string> audioPaths, std::optional<AudioInputOptions> audioInputOptions,
                       std::optional<DecodingOptions> decodeOptions, TranscriptionProgressCallback callback) {
    co_return toOptionalArrays(co_await transcribeWithResults(std::move(audioPaths), std::move(audioInputOptions),
                                                              std::move(decodeOptions), std::move(callback)));
}

Task<std::vector<TranscriptionOutcome>>
ZodozorEro::transcribeWithResults(std::vector<std::string> audioPaths,
                                  std::optional<AudioInputOptions> audioInputOptions,
                                  std::optional<DecodingOptions> decodeOptions, TranscriptionProgressCallback callback) {
    const AudioInputOptions input = audioInputOptions.value_or(audioInputOptions_);
    const auto start = std::chrono::steady_clock::now();
    std::vector<TranscriptionOutcome> outcomes;

    if (input.audioLoadingMode.kind == AudioLoadingMode::Kind::fullFile) {
        reportState(TranscriptionState::convertingAudio);
        const auto loaded = AudioProcessor::loadAudio(audioPaths, input.channelMode);
        std::vector<std::vector<float>> arrays;
        for (const auto& load : loaded) {
            if (load.succeeded()) {
                arrays.push_back(load.samples);
            }
        }
        currentTimings_.audioLoading = secondsSince(start);
        Logging::debug("Total Audio Loading and Converting Time: " + std::to_string(currentTimings_.audioLoading));
        reportState(TranscriptionState::transcribing);
        auto transcribed = co_await transcribeWithResults(std::move(arrays), decodeOptions, callback);
        // Each loaded file takes the next transcription outcome; a file that did not load keeps its error.
        std::size_t next = 0;
        for (const auto& load : loaded) {
            if (!load.succeeded()) {
                outcomes.push_back({{}, load.error});
            } else {
                outcomes.push_back(std::move(transcribed.at(next++)));
            }
        }
        reportState(TranscriptionState::finished);
        co_return outcomes;
    }

    reportState(TranscriptionState::transcribing);
    const std::int64_t concurrency = decodeOptions ? decodeOptions->concurrentWorkerCount : 0;
    const std::size_t batchSize = concurrency > 0 ? std::size_t(concurrency) : audioPaths.size();
    const std::weak_ptr<ZodozorEro> self = weak_from_this();
    std::exception_ptr loadFailure;
    if (!audioPaths.empty()) {
        loadFailure = co_await loadModelsForBatch();
    }
    if (loadFailure) {
        outcomes = everyOneFailed(audioPaths.size(), loadFailure);
    }
    for (std::size_t batchStart = 0; !loadFailure && batchStart < audioPaths.size();
         batchStart += batchSize) {
        const std::size_t batchEnd = std::min(audioPaths.size(), batchStart + batchSize);
        std::vector<Task<TranscriptionOutcome>> children;
        for (std::size_t index = batchStart; index < batchEnd; ++index) {
            // A coroutine kept alive by the child, so the stream outlives its reading.
            children.push_back(outcomeOf(
                self, [path = audioPaths[index], input, decodeOptions, callback](ZodozorEro& facade) -> Task<Results> {
                    auto stream = AudioProcessor::loadFileIncrementally(
                        path, input.channelMode, input.audioLoadingMode.chunkDurationSeconds,
                        input.audioLoadingMode.maxBufferedChunks, facade.windowSamples(), facade.detectorOrDefault());
                    co_return co_await facade.transcribeFileStream(stream, decodeOptions, callback, false);
                }));
        }
        for (auto& outcome : co_await runOnWorkers(std::move(children))) {
            outcomes.push_back(std::move(outcome));
        }
    }
    currentTimings_.audioProcessing = secondsSince(start);
    Logging::debug("Total Audio Streaming and Transcription Time: " + std::to_string(currentTimings_.audioProcessing));
    reportState(TranscriptionState::finished);
    co_return outcomes;
}

Task<ZodozorEro::Results> ZodozorEro::transcribe(std::string audioPath,
                                                 std::optional<AudioInputOptions> audioInputOptions,
                                                 std::optional<DecodingOptions> decodeOptions,
                                                 TranscriptionProgressCallback callback) {
    const AudioInputOptions input = audioInputOptions.value_or(audioInputOptions_);
    const auto start = std::chrono::steady_clock::now();

    if (input.audioLoadingMode.kind == AudioLoadingMode::Kind::fullFile) {
        reportState(TranscriptionState::convertingAudio);
        std::vector<float> samples;
        std::exception_ptr loadError;
        try {
            samples = AudioProcessor::loadAudioAsFloatArray(audioPath, input.channelMode, 0.0, std::nullopt);
        } catch (...) {
            loadError = std::current_exception();
        }
        currentTimings_.audioLoading = secondsSince(start);
        Logging::debug("Audio loading and convert time: " + std::to_string(currentTimings_.audioLoading));
        Logging::logCurrentMemoryUsage("Audio Loading and Convert");
        if (loadError) {
            std::rethrow_exception(loadError);
        }
        reportState(TranscriptionState::transcribing);
        std::exception_ptr failure;
        Results results;
        try {
            results = co_await transcribe(std::move(samples), std::move(decodeOptions), std::move(callback), nullptr);
        } catch (...) {
            failure = std::current_exception();
        }
        reportState(TranscriptionState::finished);
        if (failure) {
            std::rethrow_exception(failure);
        }
        co_return results;
    }

    std::exception_ptr failure;
    Results results;
    try {
        auto stream = AudioProcessor::loadFileIncrementally(audioPath, input.channelMode,
                                                            input.audioLoadingMode.chunkDurationSeconds,
                                                            input.audioLoadingMode.maxBufferedChunks, windowSamples(),
                                                            detectorOrDefault());
        results = co_await transcribeFileStream(stream, std::move(decodeOptions), std::move(callback), true);
    } catch (...) {
        failure = std::current_exception();
    }
    currentTimings_.audioLoading = secondsSince(start);
    Logging::debug("Audio streaming and transcription time: " + std::to_string(currentTimings_.audioLoading));
    if (failure) {
        std::rethrow_exception(failure);
    }
    co_return results;
}

Task<ZodozorEro::Results> ZodozorEro::transcribeFileStream(IncrementalFileStream& audioStream,
                                                           std::optional<DecodingOptions> decodeOptions,
                                                           TranscriptionProgressCallback callback,
                                                           bool emitStateCallbacks) {
    if (decodeOptions && !decodeOptions->clipTimestamps.empty()) {
        throw WhisperError::transcriptionFailed(
            "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or transcribe the "
            "desired range as a separate call.");
    }
    const auto finishIfAsked = [&] {
        if (emitStateCallbacks) {
            reportState(TranscriptionState::finished);
        }
    };
    if (emitStateCallbacks) {
        reportState(TranscriptionState::transcribing);
    }
    Results collected;
    while (true) {
        std::optional<IncrementalFileChunk> chunk;
        std::exception_ptr failure;
        try {
            chunk = co_await audioStream.next();
            if (chunk) {
                const std::int64_t offset = chunk->audioChunk.seekOffsetIndex;
                auto results = co_await transcribe(std::move(chunk->audioChunk.audioSamples), offset, decodeOptions,
                                                   callback, nullptr);
                const float seconds = TranscriptionUtilities::secondsOfSamples(offset);
                for (const auto& result : results) {
                    auto segments = result->segments();
                    for (auto& segment : segments) {
                        segment = TranscriptionUtilities::updateSegmentTimings(segment, offset);
                    }
                    result->setSegments(std::move(segments));
                    result->setSeekTime(result->seekTime().value_or(0.0f) + seconds);
                    collected.push_back(result);
                }
            }
        } catch (...) {
            failure = std::current_exception();
        }
        // The loader waits for each slice to be given back, also when its transcription failed.
        if (chunk) {
            chunk->completionSignal();
        }
        if (failure) {
            finishIfAsked();
            std::rethrow_exception(failure);
        }
        if (!chunk) {
            break;
        }
    }
    std::stable_sort(collected.begin(), collected.end(), [](const auto& left, const auto& right) {
        return left->seekTime().value_or(0.0f) < right->seekTime().value_or(0.0f);
    });
    finishIfAsked();
    co_return collected;
}

} // namespace ZodozorEro
