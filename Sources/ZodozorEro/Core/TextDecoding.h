#pragma once

#include "System/Concurrency/Task.h"
#include "System/ML/MultiArray.h"
#include "VuzadoDudi/ConcurrencyUtilities.h"
#include "ZodozorEro/Core/DecodingInputs.h"
#include "ZodozorEro/Core/DecodingOptions.h"
#include "ZodozorEro/Core/DecodingResult.h"
#include "ZodozorEro/Core/FloatType.h"
#include "ZodozorEro/Core/StageValues.h"
#include "ZodozorEro/Core/Text/LogitsFilter.h"
#include "ZodozorEro/Core/Text/LogitsFiltering.h"
#include "ZodozorEro/Core/Text/TokenSampler.h"
#include "ZodozorEro/Core/TranscriptionProgress.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ZodozorEro {

// Told the progress of a decode after every step; answering false asks the decode to stop early (nothing
// or true lets it go on).
using TranscriptionProgressCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

// One decoder call's inputs: each a reference to the array of the decoding state (copies share buffers).
struct TextDecoderMLMultiArrayInputType {
    System::ML::MultiArray inputIds;
    System::ML::MultiArray cacheLength;
    System::ML::MultiArray keyCache;
    System::ML::MultiArray valueCache;
    System::ML::MultiArray kvCacheUpdateMask;
    System::ML::MultiArray encoderOutputEmbeds;
    System::ML::MultiArray decoderKeyPaddingMask;
};

// One decoder call's outputs: the logits, and the keys, values and alignment weights of the new position.
// Without a model both are absent.
struct TextDecoderMLMultiArrayOutputType {
    std::optional<System::ML::MultiArray> logits;
    std::optional<DecodingCache> cache;
};

// What a decoder call takes and gives. The built-in decoder exchanges the two structs above; a decoder
// supplied by the caller may use whatever its own loop reads, so the types stay open.
using TextDecoderInputType = std::any;
using TextDecoderOutputType = std::any;

// The text-decoder stage: turns one window's encoder output into tokens, one model call per position, with
// the key/value cache kept in the decoding state between calls. A pipeline configuration may hand in its own
// decoder in place of the built-in one.
class TextDecoding {
public:
    virtual ~TextDecoding() = default;

    virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const = 0;
    virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) = 0;
    virtual bool isModelMultilingual() const = 0;
    virtual void setIsModelMultilingual(bool multilingual) = 0;
    virtual bool supportsWordTimestamps() const = 0;
    virtual std::optional<int> logitsSize() const = 0;
    // Filters of the configuration, run before the built-in ones.
    virtual std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const = 0;
    virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) = 0;
    // Channels and positions of the key/value cache, frames and width of the encoder output; none while
    // unknown.
    virtual std::optional<int> kvCacheEmbedDim() const = 0;
    virtual std::optional<int> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<int> windowSize() const = 0;
    virtual std::optional<int> embedSize() const = 0;

    // One model call.
    virtual System::Concurrency::Task<std::optional<TextDecoderOutputType>>
    predictLogits(TextDecoderInputType inputs) = 0;

    // A fresh decoding state for the model's sizes: cache length 0, empty caches, position 0 open and marked
    // for writing. `prompt` is kept as it is; nothing is fed yet. WhisperError prepareDecoderInputsFailed
    // when a size is unknown.
    virtual std::shared_ptr<DecodingInputsType> prepareDecoderInputs(const std::vector<int>& prompt);

    // Sets the prompt every window starts from: start of transcript, then (multilingual models only) the
    // language and task tokens, then the timestamp or no-timestamps token, with the previous text's last 111
    // tokens before it and the forced prefix after it, both keeping only text tokens. Without options the
    // prompt is the start of transcript alone. Returns the same state. WhisperError tokenizerUnavailable
    // without a tokenizer, prepareDecoderInputsFailed for a state that is not a DecodingInputs.
    virtual System::Concurrency::Task<std::shared_ptr<DecodingInputsType>>
    prefillDecoderInputs(std::shared_ptr<DecodingInputsType> decoderInputs,
                         std::optional<DecodingOptions> options);

    // Copies the new positions of the slices ([1, channels, 1, k]) into the caches ([1, channels, 1,
    // positions]) from `insertAtIndex` on, converting between float types when the arrays differ.
    // WhisperError decodingFailed, writing nothing, when the shapes do not match or the positions fall
    // outside the cache.
    static void updateKVCache(System::ML::MultiArray& keyTensor, const System::ML::MultiArray& keySlice,
                              System::ML::MultiArray& valueTensor, const System::ML::MultiArray& valueSlice,
                              int insertAtIndex);
    // Copies the alignment weights of one step ([1, frames]) into row insertAtIndex + 1 of the tensor
    // ([positions, frames]): the step that computes position i fills row i + 1 and row 0 stays 0.
    // WhisperError decodingFailed, writing nothing, when the row or the frames do not fit.
    static void updateAlignmentWeights(System::ML::MultiArray& alignmentTensor,
                                       const System::ML::MultiArray& alignmentSlice, int insertAtIndex);

    // Decodes one window from the prompt in `decoderInputs` until the sampler completes the text, the token
    // budget is spent, the first token is too unlikely or `callback` asks to stop. The state is updated in
    // place and the result's cache shares its arrays. `callback` is called in line after each step.
    virtual System::Concurrency::Task<DecodingResult>
    decodeText(AudioEncoderOutputType encoderOutput, DecodingInputsType& decoderInputs,
               TokenSampling& sampler, DecodingOptions options,
               TranscriptionProgressCallback callback = nullptr);

    // The window's language: one model call on the start of the transcript with every non-language token
    // ruled out, the token picked by `sampler`. Writes the input token and cache length of `decoderInputs`
    // and nothing else; they must be fresh (prepared or reset). `options` and `temperature` are not read.
    virtual System::Concurrency::Task<DecodingResult>
    detectLanguage(AudioEncoderOutputType encoderOutput, DecodingInputsType& decoderInputs,
                   TokenSampling& sampler, DecodingOptions options, FloatType temperature);

    // Writes the first four cache positions of the state to the debug log, when debug lines are written.
    void debugCaches(DecodingInputs& decoderInputs, int tokenIndex) const;

    // The chain each step's logits pass: the configured filters, then blank and token suppression and the
    // timestamp rules as the options ask. `initialPromptIndex` is the prompt's length; a prompt that ends in
    // a timestamp leaves that slot to the model's first timestamp, which the timestamp rules count as
    // sampled.
    virtual std::vector<std::shared_ptr<LogitsFiltering>>
    createLogitsFilters(const DecodingOptions& options, int initialPromptIndex,
                        const WhisperTokenizer& tokenizer, bool promptEndsInTimestamp);

private:
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter(const WhisperTokenizer& tokenizer,
                                                               int logitsSize);

    // One stop flag per running decode.
    VuzadoDudi::EarlyStopActor earlyStopActor_;
    // Built on the first detection and again when the model's vocabulary or the tokenizer's languages
    // change; two detections may run at once.
    std::mutex languageFilterMutex_;
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter_;
};

} // namespace ZodozorEro
