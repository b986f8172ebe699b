#include "ZodozorEro/Core/TranscribeTask.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/Unicode.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/PipelineClock.h"
#include "ZodozorEro/Utilities/PipelineLogging.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

using System::Concurrency::checkCancellation;
using VuzadoDudi::Logging;

namespace {

constexpr int sampleRate = 16000;

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string tokenTexts(const std::vector<int>& ids, const WhisperTokenizer& tokenizer) {
    std::string text = "[";
    for (std::size_t index = 0; index < ids.size(); ++index) {
        text += (index ? ", \"" : "\"") + tokenizer.convertIdToToken(ids[index]).value_or("") + "\"";
    }
    return text + "]";
}

// The defaults of a run without options: the language tokens are prefilled and no detection runs.
DecodingOptions defaultRunOptions() {
    DecodingOptions options;
    options.detectLanguage = false;
    return options;
}

// Options that would keep the window loop from advancing or its arithmetic from holding.
void checkRunOptions(const DecodingOptions& options) {
    if (options.maxWindowSeek && *options.maxWindowSeek < 1) {
        throw WhisperError::transcriptionFailed("maxWindowSeek must be at least one sample, not " +
                                                std::to_string(*options.maxWindowSeek));
    }
    if (!std::isfinite(options.windowClipTime) || options.windowClipTime < 0 ||
        options.windowClipTime * sampleRate > float(std::numeric_limits<std::int32_t>::max())) {
        throw WhisperError::transcriptionFailed(
            "windowClipTime must be a finite number of seconds from 0 on");
    }
    if (options.temperatureFallbackCount < 0) {
        throw WhisperError::transcriptionFailed("temperatureFallbackCount must not be negative");
    }
}

std::size_t startOfTranscriptIndex(const std::vector<int>& prompt, int startOfTranscript) {
    const auto found = std::find(prompt.begin(), prompt.end(), startOfTranscript);
    return found == prompt.end() ? 0 : std::size_t(found - prompt.begin());
}

} // namespace

TranscribeTask::TranscribeTask(
    TranscriptionTimings currentTimings, std::shared_ptr<TranscriptionProgressCounter> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer)
    : timings_(currentTimings)
    , progress_(progress ? std::move(progress) : std::make_shared<TranscriptionProgressCounter>())
    , audioEncoder_(std::move(audioEncoder))
    , featureExtractor_(std::move(featureExtractor))
    , segmentSeeker_(std::move(segmentSeeker))
    , textDecoder_(std::move(textDecoder))
    , audioProcessor_(audioProcessor ? std::move(audioProcessor) : std::make_shared<AudioProcessor>())
    , tokenizer_(std::move(tokenizer)) {}

System::Concurrency::Task<void> TranscribeTask::windowPreprocess(AudioProcessorOutputType, std::int64_t,
                                                                 std::int64_t) {
    co_return;
}

System::Concurrency::Task<std::vector<TranscriptionSegment>>
TranscribeTask::windowPostProcess(std::int64_t, std::int64_t,
                                  std::vector<TranscriptionSegment> originalSegments) {
    co_return originalSegments;
}

System::Concurrency::Task<TranscriptionResult>
TranscribeTask::run(std::vector<float> audioArray, std::optional<DecodingOptions> decodeOptions,
                    TranscriptionProgressCallback callback) {
    const auto& category = PipelineLogging::transcribeTask();
    auto interval = PipelineLogging::beginSignpost("TranscribeAudio", category.signposter());

    timings_.pipelineStart = std::min(timings_.pipelineStart, PipelineClock::absoluteTimeNow());
    Logging::debug("Starting pipeline at: " + std::to_string(PipelineClock::absoluteTimeNow()));

    DecodingOptions options = decodeOptions.value_or(defaultRunOptions());
    options.verbose = Logging::shared().isLoggingEnabled();
    checkRunOptions(options);

    const auto sampleCount = std::int64_t(audioArray.size());
    const double firstClip = decodeOptions && !decodeOptions->clipTimestamps.empty()
                                 ? double(decodeOptions->clipTimestamps.front())
                                 : 0.0;
    timings_.inputAudioSeconds = double(sampleCount) / sampleRate - firstClip;

    const auto& specialTokens = tokenizer_->specialTokens();
    const auto initStart = PipelineClock::start();
    auto decoderInputs = textDecoder_->prepareDecoderInputs({specialTokens.startOfTranscriptToken});
    timings_.decodingInit = PipelineClock::secondsSince(initStart);
    Logging::debug("Decoder init time: " + std::to_string(timings_.decodingInit));

    if (options.usePrefillPrompt) {
        decoderInputs = co_await textDecoder_->prefillDecoderInputs(decoderInputs, options);
    }
    Logging::debug("Prefill prompt: " + tokenTexts(decoderInputs->initialPrompt(), *tokenizer_));

    // Clips are kept inside the audio, so every slice below is valid.
    auto seekClips = options.prepareSeekClips(sampleCount);
    std::int64_t totalUnits = 0;
    for (auto& clip : seekClips) {
        clip.startIndex = std::clamp<std::int64_t>(clip.startIndex, 0, sampleCount);
        clip.endIndex = std::clamp<std::int64_t>(clip.endIndex, 0, sampleCount);
        totalUnits += std::max<std::int64_t>(clip.endIndex - clip.startIndex, 0);
    }
    progress_->setTotalUnitCount(totalUnits);
    const auto decodeLoopStart = PipelineClock::absoluteTimeNow();
    const auto windowClipSamples = std::int64_t(options.windowClipTime * float(sampleRate));

    std::optional<std::string> detectedLanguage;
    int windowIndex = 0;
    std::vector<TranscriptionSegment> allSegments;
    std::vector<int> allTokens;

    for (const auto& clip : seekClips) {
        const auto baseCount = progress_->completedUnitCount();
        const std::int64_t windowLength =
            featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples);
        if (windowLength < 1) {
            throw WhisperError::transcriptionFailed("The feature extractor's window holds no samples");
        }
        std::int64_t seek = clip.startIndex;
        while (seek < clip.endIndex - windowClipSamples) {
            const auto segmentSize = std::min({windowLength, sampleCount - seek, clip.endIndex - seek});
            const auto windowEnd = seek + segmentSize;
            Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" +
                           formatted("%.2f", double(seek) / sampleRate) + "s)");
            Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " (" +
                           formatted("%.2f", double(windowEnd) / sampleRate - double(seek) / sampleRate) +
                           "s)");

            const auto audioStart = PipelineClock::start();
            const std::vector<float> slice(audioArray.begin() + seek, audioArray.begin() + windowEnd);
            const auto padded = audioProcessor_->padOrTrim(slice, 0, windowLength);
            if (!padded) {
                throw WhisperError::transcriptionFailed("Audio samples are nil");
            }
            AudioProcessorOutputType audio =
                System::ML::MultiArray::withValues<float>({int(padded->size())}, *padded);
            co_await windowPreprocess(audio, seek, segmentSize);
            timings_.audioProcessing += PipelineClock::secondsSince(audioStart);
            timings_.totalAudioProcessingRuns += 1;
            co_await checkCancellation();

            const auto melStart = PipelineClock::start();
            auto mel = co_await featureExtractor_->logMelSpectrogram(std::move(audio));
            if (!mel) {
                throw WhisperError::transcriptionFailed("Mel output is nil");
            }
            timings_.logmels += PipelineClock::secondsSince(melStart);
            timings_.totalLogmelRuns += 1;
            co_await checkCancellation();

            const auto encoderStart = PipelineClock::start();
            auto encoderOutput = co_await audioEncoder_->encodeFeatures(std::move(*mel));
            if (!encoderOutput) {
                throw WhisperError::transcriptionFailed("Encoder output is nil");
            }
            timings_.encoding += PipelineClock::secondsSince(encoderStart);
            timings_.totalEncodingRuns += 1;

            Logging::info("Decoding " + formatted("%.2f", double(seek) / sampleRate) + "s - " +
                          formatted("%.2f", double(windowEnd) / sampleRate) + "s");

            // The window's place in this run: a count of windows, since fallbacks and silent windows would
            // skew any figure taken from the timings.
            const int windowId = windowIndex++;
            TranscriptionProgressCallback windowCallback;
            if (callback) {
                windowCallback = [callback, windowId](const TranscriptionProgress& progress) {
                    auto relayed = progress;
                    relayed.windowId = windowId;
                    return callback(relayed);
                };
            }
            co_await checkCancellation();

            const auto decodingResult = co_await decodeWithFallback(*encoderOutput, options, decoderInputs,
                                                                    detectedLanguage, windowCallback);

            const auto windowingStart = PipelineClock::start();
            auto [seekPoint, segments] = segmentSeeker_->findSeekPointAndSegments(
                decodingResult, options, int(allSegments.size()), seek, segmentSize, sampleRate,
                specialTokens.timeTokenBegin, specialTokens.specialTokenBegin, *tokenizer_);
            auto nextSeek = std::max(seekPoint, seek);

            if (options.wordTimestamps && decodingResult.cache && decodingResult.cache->alignmentWeights) {
                const auto wordsStart = PipelineClock::start();
                const auto rowOffset = startOfTranscriptIndex(decoderInputs->initialPrompt(),
                                                              specialTokens.startOfTranscriptToken);
                segments = segmentSeeker_->addWordTimestamps(
                    segments.value_or(std::vector<TranscriptionSegment>{}),
                    *decodingResult.cache->alignmentWeights, std::int64_t(rowOffset), *tokenizer_, seek,
                    segmentSize, Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations,
                    float(double(seek) / sampleRate), options, timings_);
                timings_.decodingWordTimestamps += PipelineClock::secondsSince(wordsStart);
                timings_.totalTimestampAlignmentRuns += 1;
                if (segments) {
                    std::erase_if(*segments, [](const TranscriptionSegment& segment) {
                        return !(segment.start < segment.end);
                    });
                    if (!segments->empty()) {
                        nextSeek = std::max(nextSeek, std::int64_t(segments->back().end * sampleRate));
                    }
                    if (options.verbose) {
                        Logging::debug("Word timestamps:");
                        for (const auto& segment : *segments) {
                            for (const auto& word : segment.words.value_or(std::vector<WordTiming>{})) {
                                Logging::debug("[" + formatted("%.3g", word.start) + " -> " +
                                               formatted("%.3g", word.end) + "] prob: " +
                                               std::to_string(word.probability) + ", word: " + word.word);
                            }
                        }
                    }
                }
            }
            if (options.maxWindowSeek) {
                // Saturated: a bound past any sample count must not wrap around to a seek behind this one.
                const std::int64_t room = std::numeric_limits<std::int64_t>::max() - seek;
                nextSeek = std::min(nextSeek, *options.maxWindowSeek > room
                                                  ? std::numeric_limits<std::int64_t>::max()
                                                  : seek + *options.maxWindowSeek);
            }
            // A seeker of the caller's that stays put would repeat the window forever.
            if (nextSeek <= seek) {
                nextSeek = windowEnd;
            }

            // Whatever the window yielded, the next one starts from clean masks.
            decoderInputs->reset(Constants::maxTokenContext);

            if (segments) {
                auto processed = co_await windowPostProcess(seek, segmentSize, std::move(*segments));
                if (options.verbose) {
                    Logging::debug("Segments for window:");
                    for (const auto& segment : processed) {
                        Logging::debug("[" + formatted("%.2f", segment.start) + " --> " +
                                       formatted("%.2f", segment.end) + "] " + segment.text);
                    }
                }
                if (segmentDiscoveryCallback) {
                    segmentDiscoveryCallback(processed);
                }
                for (auto& segment : processed) {
                    allTokens.insert(allTokens.end(), segment.tokens.begin(), segment.tokens.end());
                    allSegments.push_back(std::move(segment));
                }
                timings_.decodingWindowing += PipelineClock::secondsSince(windowingStart);
                timings_.totalDecodingWindows += 1;
                progress_->setCompletedUnitCount(baseCount + std::min(nextSeek, clip.endIndex) -
                                                 clip.startIndex);
            }
            seek = nextSeek;
        }
    }

    progress_->setCompletedUnitCount(progress_->totalUnitCount());
    const auto now = PipelineClock::absoluteTimeNow();
    timings_.decodingLoop = now - decodeLoopStart;
    timings_.fullPipeline = now - timings_.pipelineStart;

    auto result = finalizeTranscriptionResult(allTokens, std::move(allSegments), detectedLanguage, timings_);
    PipelineLogging::endSignpost("TranscribeAudio", interval, category);
    co_return result;
}

std::vector<FloatType> TranscribeTask::temperatureSchedule(float temperature, float increment,
                                                           int fallbackCount) {
    if (fallbackCount < 0) {
        throw WhisperError::decodingFailed("temperatureFallbackCount must not be negative");
    }
    const FloatType start = temperature;
    const FloatType step = increment;
    std::vector<FloatType> schedule;
    for (int index = 0; index <= fallbackCount; ++index) {
        // Rounded to half precision after the multiply and again after the add, as the models compute.
        const FloatType product = FloatType(float(index)) * float(step);
        schedule.push_back(FloatType(float(start) + float(product)));
    }
    return schedule;
}

System::Concurrency::Task<DecodingResult> TranscribeTask::decodeWithFallback(
    AudioEncoderOutputType encoderSegment, const DecodingOptions& decodingOptions,
    std::shared_ptr<DecodingInputsType>& decoderInputs, std::optional<std::string>& detectedLanguage,
    const TranscriptionProgressCallback& callback) {
    const auto& category = PipelineLogging::transcribeTask();
    auto interval = PipelineLogging::beginSignpost("Decode", category.signposter());

    const auto schedule =
        temperatureSchedule(decodingOptions.temperature, decodingOptions.temperatureIncrementOnFallback,
                            decodingOptions.temperatureFallbackCount);
    std::string scheduleText = "[";
    for (std::size_t index = 0; index < schedule.size(); ++index) {
        scheduleText += (index ? ", " : "") + std::to_string(float(schedule[index]));
    }
    Logging::debug("Decoding with temperatures " + scheduleText + "]");

    const int endToken = tokenizer_->specialTokens().endToken;
    std::optional<DecodingResult> kept;
    for (std::size_t attempt = 0; attempt < schedule.size(); ++attempt) {
        const FloatType temperature = schedule[attempt];
        Logging::info("Decoding Temperature: " + std::to_string(float(temperature)));
        const auto attemptStart = PipelineClock::start();
        GreedyTokenSampler sampler(temperature, endToken, decodingOptions);
        DecodingOptions attemptOptions = decodingOptions;

        if (textDecoder_->isModelMultilingual() && !decodingOptions.language &&
            decodingOptions.detectLanguage) {
            std::optional<DecodingResult> languageResult;
            try {
                languageResult = co_await textDecoder_->detectLanguage(encoderSegment, *decoderInputs,
                                                                       sampler, decodingOptions, temperature);
            } catch (const System::Concurrency::CancellationError&) {
                throw;
            } catch (const std::exception& error) {
                Logging::debug(std::string("Language detection failed: ") + error.what());
            }
            detectedLanguage = languageResult ? std::optional(languageResult->language) : std::nullopt;
            attemptOptions.language = detectedLanguage;
            if (decodingOptions.usePrefillPrompt) {
                decoderInputs = co_await textDecoder_->prefillDecoderInputs(decoderInputs, attemptOptions);
            }
            Logging::debug("Prefill prompt updated to: " +
                           tokenTexts(decoderInputs->initialPrompt(), *tokenizer_));
            if (languageResult && languageResult->timings) {
                timings_.decodingPredictions += languageResult->timings->decodingPredictions;
                timings_.decodingSampling += languageResult->timings->decodingSampling;
            }
        }

        TranscriptionProgressCallback attemptCallback;
        if (callback) {
            // The decoder knows only its own attempt: the report gets the attempt's temperature and the
            // fallbacks so far, so that a caller can tell a new attempt from a new window.
            attemptCallback = [callback, temperature, fallbacks = timings_.totalDecodingFallbacks](
                                  const TranscriptionProgress& progress) {
                auto relayed = progress;
                relayed.temperature = float(temperature);
                relayed.timings.totalDecodingFallbacks = fallbacks;
                return callback(relayed);
            };
        }
        auto result = co_await textDecoder_->decodeText(encoderSegment, *decoderInputs, sampler,
                                                        attemptOptions, attemptCallback);
        if (!detectedLanguage) {
            detectedLanguage = result.language;
        }
        if (result.timings) {
            const auto& decoded = *result.timings;
            timings_.firstTokenTime = std::min(timings_.firstTokenTime, decoded.firstTokenTime);
            timings_.decodingPredictions += decoded.decodingPredictions;
            timings_.decodingFiltering += decoded.decodingFiltering;
            timings_.decodingSampling += decoded.decodingSampling;
            timings_.decodingKvCaching += decoded.decodingKvCaching;
            timings_.decodingNonPrediction += decoded.decodingNonPrediction;
            timings_.totalDecodingLoops += decoded.totalDecodingLoops;
            timings_.totalKVUpdateRuns += decoded.totalKVUpdateRuns;
        }
        const bool accepted = !result.fallback || !result.fallback->needsFallback;
        const std::string reason = result.fallback ? result.fallback->fallbackReason : std::string();
        kept = std::move(result);
        if (accepted) {
            break;
        }
        timings_.decodingFallback += PipelineClock::secondsSince(attemptStart);
        timings_.totalDecodingFallbacks += 1;
        decoderInputs->reset(Constants::maxTokenContext);
        Logging::info("Fallback #" + std::to_string(attempt + 1) + " (" + reason + ")");
    }
    PipelineLogging::endSignpost("Decode", interval, category);
    co_return std::move(*kept);
}

TranscriptionResult TranscribeTask::finalizeTranscriptionResult(const std::vector<int>& tokens,
                                                                std::vector<TranscriptionSegment> segments,
                                                                const std::optional<std::string>& language,
                                                                const TranscriptionTimings& timings) const {
    std::vector<int> ordinary;
    const int specialTokenBegin = tokenizer_->specialTokens().specialTokenBegin;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(ordinary),
                 [&](int token) { return token < specialTokenBegin; });
    // Space separators and tabs only: a line break the text ends in is kept.
    std::string text = VuzadoDudi::Unicode::trimmingBlanks(tokenizer_->decode(ordinary));
    return TranscriptionResult(std::move(text), std::move(segments),
                               language.value_or(std::string(Constants::defaultLanguageCode)), timings);
}

} // namespace ZodozorEro
