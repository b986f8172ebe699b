// The text decoder's language detection: one model call on the start of the transcript, with every token but
// the language tokens ruled out.

#include "VuzadoDudi/Logging.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/PipelineClock.h"
#include "ZodozorEro/Core/TextDecoding.h"
#include "ZodozorEro/Utilities/TextUtilities.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

using System::ML::MultiArray;
using VuzadoDudi::Logging;

std::shared_ptr<LanguageLogitsFilter> TextDecoding::languageLogitsFilter(const WhisperTokenizer& tokenizer,
                                                                         int logitsSize) {
    std::lock_guard lock(languageFilterMutex_);
    if (!languageLogitsFilter_ || languageLogitsFilter_->logitsDim() != logitsSize ||
        languageLogitsFilter_->allLanguageTokens() != tokenizer.allLanguageTokens()) {
        languageLogitsFilter_ =
            std::make_shared<LanguageLogitsFilter>(tokenizer.allLanguageTokens(), logitsSize, 0);
    }
    return languageLogitsFilter_;
}

System::Concurrency::Task<DecodingResult> TextDecoding::detectLanguage(AudioEncoderOutputType encoderOutput,
                                                                       DecodingInputsType& decoderInputs,
                                                                       TokenSampling& sampler,
                                                                       DecodingOptions, FloatType) {
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) {
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    }
    const auto size = logitsSize();
    if (!size) {
        throw WhisperError::modelsUnavailable("Failed to read logits size from model");
    }
    const auto filter = languageLogitsFilter(*tokenizer, *size);

    const int startOfTranscript = tokenizer->specialTokens().startOfTranscriptToken;
    decoderInputs.inputIds().setValue(0, startOfTranscript);
    decoderInputs.cacheLength().setValue(0, 0);
    Logging::debug("Detecting language...");

    const auto* encoderEmbeds = std::any_cast<MultiArray>(&encoderOutput);
    if (!encoderEmbeds) {
        throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
    }
    auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs);
    if (!inputs) {
        throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    }

    TranscriptionTimings timings;
    const auto predictionStart = PipelineClock::start();
    const auto anyOutput = co_await predictLogits(TextDecoderMLMultiArrayInputType{
        inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(), inputs->valueCache(),
        inputs->kvCacheUpdateMask(), *encoderEmbeds, inputs->decoderKeyPaddingMask()});
    timings.decodingPredictions = PipelineClock::secondsSince(predictionStart);
    const auto* output = anyOutput ? std::any_cast<TextDecoderMLMultiArrayOutputType>(&*anyOutput) : nullptr;
    if (!output || !output->logits) {
        Logging::error("Unable to decode logits");
        throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");
    }

    const std::vector<int> tokens{startOfTranscript};
    const std::vector<float> logProbs{0.0f};
    const auto logits = filter->filterLogits(*output->logits, tokens);

    const auto samplingStart = PipelineClock::start();
    const auto sampled = sampler.update(tokens, logits, logProbs);
    timings.decodingSampling = PipelineClock::secondsSince(samplingStart);

    const auto code = [&](int token) { return trimmingSpecialTokenCharacters(tokenizer->decode({token})); };
    DecodingResult result;
    const auto& languageTokens = tokenizer->allLanguageTokens();
    for (std::size_t index = 0; index < sampled.tokens.size(); ++index) {
        if (languageTokens.contains(sampled.tokens[index]) && index < sampled.logProbs.size()) {
            result.languageProbs[code(sampled.tokens[index])] = sampled.logProbs[index];
        }
    }
    result.language = code(sampled.tokens.back());
    if (Constants::languageCodes().contains(result.language)) {
        Logging::debug("Detected language: " + result.language);
    } else {
        Logging::error("Detected language " + result.language + " is not supported, defaulting to " +
                       std::string(Constants::defaultLanguageCode));
        result.language = std::string(Constants::defaultLanguageCode);
    }
    result.timings = timings;
    co_return result;
}

} // namespace ZodozorEro
