// The token loop of the text decoder: one model call per position, the prompt forced through the model, then
// one sampled token per step until the text ends.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "System/ML/MultiArrayDataType.h"
#include "VuzadoDudi/FoundationExtensions.h"
#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/UUID.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/PipelineClock.h"
#include "ZodozorEro/Core/TextDecoding.h"
#include "ZodozorEro/Utilities/TextUtilities.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

using System::ML::MultiArray;
using VuzadoDudi::Logging;

namespace {

std::string decodedToken(const WhisperTokenizer& tokenizer, int token) {
    return tokenizer.decode({token});
}

// The per-token lines decode a token each: built only when they will be written.
bool tracesTokens() {
    return Logging::shared().isLoggingEnabledFor(Logging::LogLevel::debug);
}

std::vector<int> ordinaryTokens(const std::vector<int>& tokens, int specialTokenBegin) {
    std::vector<int> kept;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(kept),
                 [&](int token) { return token < specialTokenBegin; });
    return kept;
}

float average(const std::vector<float>& values) {
    return values.empty() ? 0.0f : std::accumulate(values.begin(), values.end(), 0.0f) / float(values.size());
}

std::string formatted(const char* format, auto... values) {
    char line[160];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

// Element `position` of an array as a double; NaN past its end.
double elementOrNaN(const MultiArray& array, std::size_t position) {
    return position < array.count() ? array.value(position) : std::nan("");
}

} // namespace

void TextDecoding::debugCaches(DecodingInputs& decoderInputs, int) const {
    if (!tracesTokens()) {
        return;
    }
    Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
    Logging::debug(formatted("Cache Length: %2.0f Input Token: %4.0f",
                             elementOrNaN(decoderInputs.cacheLength(), 0),
                             elementOrNaN(decoderInputs.inputIds(), 0)));
    Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    // Row i of the alignment weights, whatever the number of frames in a row.
    const auto& alignment = decoderInputs.alignmentWeights();
    const auto rowLength = std::size_t(alignment.shape().back());
    for (std::size_t i = 0; i < 4; ++i) {
        Logging::debug(formatted(
            "%9.6f | %9.6f | %9.6f | %11.0f | %12.0f | %d", elementOrNaN(decoderInputs.keyCache(), i),
            elementOrNaN(decoderInputs.valueCache(), i), elementOrNaN(alignment, i * rowLength),
            elementOrNaN(decoderInputs.kvCacheUpdateMask(), i),
            elementOrNaN(decoderInputs.decoderKeyPaddingMask(), i), int(i)));
    }
}

std::vector<std::shared_ptr<LogitsFiltering>>
TextDecoding::createLogitsFilters(const DecodingOptions& options, int initialPromptIndex,
                                  const WhisperTokenizer& tokenizer, bool promptEndsInTimestamp) {
    std::vector<std::shared_ptr<LogitsFiltering>> filters;
    if (auto configured = logitsFilters()) {
        filters = std::move(*configured);
    }
    const auto& specialTokens = tokenizer.specialTokens();
    if (options.suppressBlank) {
        filters.push_back(std::make_shared<SuppressBlankFilter>(specialTokens, initialPromptIndex));
    }
    if (!options.suppressTokens.empty()) {
        filters.push_back(std::make_shared<SuppressTokensFilter>(
            ordinaryTokens(options.suppressTokens, specialTokens.specialTokenBegin)));
    }
    if (!options.withoutTimestamps) {
        std::optional<int> maxInitialTimestampIndex;
        if (options.maxInitialTimestamp) {
            maxInitialTimestampIndex = int(*options.maxInitialTimestamp / 0.02f);
        }
        // The first timestamp (the model's own choice for the prompt's last slot, or the 0.00 there) opens
        // the first segment: what follows must pair with it and never go back before it.
        filters.push_back(std::make_shared<TimestampRulesFilter>(
            specialTokens, promptEndsInTimestamp ? initialPromptIndex - 1 : initialPromptIndex,
            maxInitialTimestampIndex, isModelMultilingual()));
    }
    return filters;
}

System::Concurrency::Task<DecodingResult> TextDecoding::decodeText(AudioEncoderOutputType encoderOutput,
                                                                   DecodingInputsType& decoderInputs,
                                                                   TokenSampling& sampler,
                                                                   DecodingOptions options,
                                                                   TranscriptionProgressCallback callback) {
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) {
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    }
    const std::vector<int> prompt = decoderInputs.initialPrompt();
    if (prompt.empty()) {
        throw WhisperError::prepareDecoderInputsFailed("Initial prompt must not be empty");
    }
    const auto& specialTokens = tokenizer->specialTokens();

    std::vector<int> currentTokens = prompt;
    std::vector<float> logProbs(prompt.size(), 0.0f);
    const int initialPromptIndex = int(prompt.size());
    int nextToken = prompt.back();
    const auto filters = createLogitsFilters(options, initialPromptIndex, *tokenizer,
                                             prompt.back() >= specialTokens.timeTokenBegin);

    // Every step writes the masks at position tokenIndex + 1, which must lie inside the context, and a
    // sample length below 1 leaves only the prompt's own steps.
    int loopCount =
        std::min(initialPromptIndex + std::max(options.sampleLength, 0) - 1, Constants::maxTokenContext - 1);
    if (auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs)) {
        loopCount = std::min(loopCount, inputs->keyCache().shape().back() - 1);
    }
    loopCount = std::max(loopCount, 0);
    Logging::debug("Running main loop for a maximum of " + std::to_string(loopCount) + " iterations");

    const auto windowUUID = VuzadoDudi::UUID::random();
    earlyStopActor_.set(false, windowUUID);
    // A decode that ends by an error (or cancellation) leaves no flag behind.
    struct FlagCleanup {
        VuzadoDudi::EarlyStopActor& actor;
        const VuzadoDudi::UUID& id;
        bool done = false;
        ~FlagCleanup() {
            if (!done) {
                actor.remove(id);
            }
        }
    } flagCleanup{earlyStopActor_, windowUUID};

    TranscriptionTimings timings;
    bool hasAlignmentWeights = false;
    bool isFirstTokenLogProbTooLow = false;

    for (int tokenIndex = 0; tokenIndex < loopCount; ++tokenIndex) {
        // A cancelled run stops within one model call rather than after the window.
        co_await System::Concurrency::checkCancellation();
        const auto stepStart = PipelineClock::start();
        const bool isPrefill = tokenIndex < initialPromptIndex - 1;
        const bool isFirstToken = tokenIndex == initialPromptIndex - 1;

        if (tokenIndex < initialPromptIndex) {
            const int promptToken = prompt[std::size_t(tokenIndex)];
            // The model may choose the first timestamp itself when the prompt ends in one.
            if (isFirstToken && promptToken >= specialTokens.timeTokenBegin &&
                nextToken >= specialTokens.timeTokenBegin) {
                currentTokens[std::size_t(tokenIndex)] = nextToken;
                if (tracesTokens()) {
                    Logging::debug("Skipping prompt tokenIndex: " + std::to_string(tokenIndex) +
                                   ", token: " + std::to_string(nextToken) +
                                   ", text: " + decodedToken(*tokenizer, nextToken));
                }
            } else {
                nextToken = promptToken;
                if (tracesTokens()) {
                    Logging::debug("Forcing prompt tokenIndex: " + std::to_string(tokenIndex) +
                                   ", token: " + std::to_string(nextToken) +
                                   ", text: " + decodedToken(*tokenizer, nextToken));
                }
            }
        }

        auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs);
        if (!inputs) {
            throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
        }
        inputs->inputIds().setValue(0, nextToken);
        inputs->cacheLength().setValue(0, tokenIndex);
        if (tokenIndex < 4) {
            debugCaches(*inputs, tokenIndex);
        }
        const auto* encoderEmbeds = std::any_cast<MultiArray>(&encoderOutput);
        if (!encoderEmbeds) {
            throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
        }

        const auto predictionStart = PipelineClock::start();
        const auto anyOutput = co_await predictLogits(TextDecoderMLMultiArrayInputType{
            inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(), inputs->valueCache(),
            inputs->kvCacheUpdateMask(), *encoderEmbeds, inputs->decoderKeyPaddingMask()});
        timings.decodingPredictions += PipelineClock::secondsSince(predictionStart);
        const auto predictionEnd = PipelineClock::start();
        const auto* output =
            anyOutput ? std::any_cast<TextDecoderMLMultiArrayOutputType>(&*anyOutput) : nullptr;
        if (!output || !output->logits) {
            throw WhisperError::decodingLogitsFailed("Unable to decode logits");
        }
        if (!output->cache || !output->cache->keyCache || !output->cache->valueCache) {
            throw WhisperError::decodingLogitsFailed("Invalid model output");
        }

        const auto filteringStart = PipelineClock::start();
        MultiArray logits = *output->logits;
        // The filters see the tokens fed to the model so far, during the prompt as after it.
        std::vector<int> promptSoFar;
        if (isPrefill) {
            promptSoFar.assign(currentTokens.begin(), currentTokens.begin() + tokenIndex + 1);
        }
        for (const auto& filter : filters) {
            logits = filter->filterLogits(logits, isPrefill ? promptSoFar : currentTokens);
        }
        timings.decodingFiltering += PipelineClock::secondsSince(filteringStart);

        const auto samplingStart = PipelineClock::start();
        const auto sampled = sampler.update(currentTokens, logits, logProbs);
        timings.decodingSampling += PipelineClock::secondsSince(samplingStart);
        nextToken = sampled.tokens.back();
        const float nextTokenLogProb = sampled.logProbs.back();
        if (tracesTokens()) {
            Logging::debug("Predicted next tokenIndex: " + std::to_string(tokenIndex + 1) + ", token: " +
                           std::to_string(nextToken) + ", text: " + decodedToken(*tokenizer, nextToken));
        }

        const auto countStep = [&] {
            timings.decodingNonPrediction += PipelineClock::secondsSince(predictionEnd);
            timings.decodingLoop += PipelineClock::secondsSince(stepStart);
            timings.totalDecodingLoops += 1;
        };

        isFirstTokenLogProbTooLow = isFirstToken && options.firstTokenLogProbThreshold &&
                                    nextTokenLogProb < *options.firstTokenLogProbThreshold;
        const bool isSegmentCompleted = sampled.completed && !isPrefill;
        if (isFirstTokenLogProbTooLow || isSegmentCompleted ||
            int(currentTokens.size()) >= Constants::maxTokenContext - 1) {
            countStep();
            break;
        }

        if (!isPrefill) {
            currentTokens.push_back(nextToken);
            logProbs.push_back(nextTokenLogProb);
        }

        const auto cachingStart = PipelineClock::start();
        updateKVCache(inputs->keyCache(), *output->cache->keyCache, inputs->valueCache(),
                      *output->cache->valueCache, tokenIndex);
        inputs->decoderKeyPaddingMask().setValue(std::size_t(tokenIndex) + 1, 0);
        inputs->kvCacheUpdateMask().setValue(std::size_t(tokenIndex), 0);
        inputs->kvCacheUpdateMask().setValue(std::size_t(tokenIndex) + 1, 1);
        if (output->cache->alignmentWeights) {
            updateAlignmentWeights(inputs->alignmentWeights(), *output->cache->alignmentWeights, tokenIndex);
            hasAlignmentWeights = true;
        }
        timings.decodingKvCaching += PipelineClock::secondsSince(cachingStart);
        timings.totalKVUpdateRuns += 1;

        if (callback) {
            TranscriptionProgress progress;
            progress.timings = timings;
            progress.text = tokenizer->decode(
                options.skipSpecialTokens ? ordinaryTokens(currentTokens, specialTokens.specialTokenBegin)
                                          : currentTokens);
            progress.tokens = currentTokens;
            progress.avgLogprob = average(logProbs);
            progress.compressionRatio = TextUtilities::compressionRatio(currentTokens);
            // Called in line, so a stop request is seen right after the step it answers; a caller's answer
            // during the prompt does not count, the window has not begun.
            if (callback(progress) == false && !isPrefill) {
                Logging::debug("Early stopping");
                earlyStopActor_.set(true, windowUUID);
            }
        }

        if (tokenIndex == 0) {
            Logging::debug("Found first token at: " + std::to_string(PipelineClock::absoluteTimeNow()));
            timings.firstTokenTime = PipelineClock::absoluteTimeNow();
        }
        countStep();
        if (earlyStopActor_.get(windowUUID)) {
            break;
        }
    }

    flagCleanup.done = true;
    if (!earlyStopActor_.remove(windowUUID)) {
        Logging::error("Early stop flag not found for window: " + windowUUID.uuidString());
    }

    std::optional<DecodingCache> cache;
    if (auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs)) {
        cache = DecodingCache{inputs->keyCache(), inputs->valueCache(),
                              hasAlignmentWeights ? std::optional(inputs->alignmentWeights()) : std::nullopt};
    }

    const auto finalized = sampler.finalize(currentTokens, logProbs);
    const auto& finalTokens = finalized.tokens;
    const auto startAt =
        std::find(finalTokens.begin(), finalTokens.end(), specialTokens.startOfTranscriptToken);
    const std::size_t startIndex =
        startAt == finalTokens.end() ? 0 : std::size_t(startAt - finalTokens.begin());
    // A sampler that closes no text leaves the segment running to the last token.
    const auto endAt = std::find(finalTokens.begin() + std::ptrdiff_t(startIndex), finalTokens.end(),
                                 specialTokens.endToken);
    const std::size_t endIndex =
        endAt == finalTokens.end() ? finalTokens.size() : std::size_t(endAt - finalTokens.begin()) + 1;

    DecodingResult result;
    std::vector<float> segmentLogProbs;
    for (std::size_t index = startIndex; index < endIndex; ++index) {
        const float logProb = index < finalized.logProbs.size() ? finalized.logProbs[index] : 0.0f;
        result.tokens.push_back(finalTokens[index]);
        segmentLogProbs.push_back(logProb);
        result.tokenLogProbs.push_back({{finalTokens[index], logProb}});
    }
    result.avgLogProb = average(segmentLogProbs);
    result.compressionRatio =
        TextUtilities::compressionRatio(ordinaryTokens(result.tokens, specialTokens.specialTokenBegin));
    if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler)) {
        result.temperature = VuzadoDudi::rounded(float(greedy->temperature), 3);
    } else {
        result.temperature = options.temperature;
    }

    if (options.language) {
        result.language = *options.language;
        result.languageProbs = {{*options.language, 0.0f}};
    } else {
        const auto& languageTokens = tokenizer->allLanguageTokens();
        const auto found = std::find_if(result.tokens.begin(), result.tokens.end(),
                                        [&](int token) { return languageTokens.contains(token); });
        if (found != result.tokens.end()) {
            result.language = trimmingSpecialTokenCharacters(decodedToken(*tokenizer, *found));
            result.languageProbs = {
                {result.language, segmentLogProbs[std::size_t(found - result.tokens.begin())]}};
        } else {
            result.language = std::string(Constants::defaultLanguageCode);
            result.languageProbs = {{result.language, 0.0f}};
        }
    }

    result.text = tokenizer->decode(result.tokens);
    Logging::debug("Completed window: " + result.text);
    result.noSpeechProb = 0;
    result.cache = std::move(cache);
    result.timings = timings;
    result.fallback = DecodingFallback::decide(options, isFirstTokenLogProbTooLow, 0.0f,
                                               result.compressionRatio, result.avgLogProb);
    co_return result;
}

} // namespace ZodozorEro
