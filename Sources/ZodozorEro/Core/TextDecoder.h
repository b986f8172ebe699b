#pragma once

#include "VuzadoDudi/ConcurrencyUtilities.h"
#include "ZodozorEro/Core/TextDecoding.h"
#include "ZodozorEro/Core/WhisperMLModel.h"

namespace ZodozorEro {

// The text decoder over a "TextDecoder" model: one token per call, the key/value cache kept by the caller
// in the decoding state.
class TextDecoder : public TextDecoding, public WhisperMLModel {
public:
    TextDecoder() = default;

    std::shared_ptr<System::ML::Model> model() const override { return model_.get(); }
    // A model whose cache holds fewer positions than a window's token context would have its cache written
    // past the end by the token loop: WhisperError modelsUnavailable, and the stage keeps what it had.
    void setModel(std::shared_ptr<System::ML::Model> model) override;

    std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return tokenizer_; }
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) override {
        tokenizer_ = std::move(tokenizer);
    }
    bool isModelMultilingual() const override { return isModelMultilingual_; }
    void setIsModelMultilingual(bool multilingual) override { isModelMultilingual_ = multilingual; }
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const override {
        return logitsFilters_;
    }
    void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) override {
        logitsFilters_ = std::move(filters);
    }

    // Read from the loaded model's features: "alignment_heads_weights" output (present), "logits" output
    // dimension 2, "key_cache" input dimensions 1 and 3, "encoder_output_embeds" input dimensions 3 and 1.
    bool supportsWordTimestamps() const override;
    std::optional<int> logitsSize() const override;
    std::optional<int> kvCacheEmbedDim() const override;
    std::optional<int> kvCacheMaxSequenceLength() const override;
    std::optional<int> windowSize() const override;
    std::optional<int> embedSize() const override;

    // `inputs` must hold a TextDecoderMLMultiArrayInputType (else WhisperError transcriptionFailed); gives a
    // TextDecoderMLMultiArrayOutputType, with neither logits nor cache when no model is loaded.
    // CancellationError when the task is cancelled before the call; errors of the prediction pass on, and a
    // model that gives no logits or cache updates is a WhisperError transcriptionFailed.
    System::Concurrency::Task<std::optional<TextDecoderOutputType>>
    predictLogits(TextDecoderInputType inputs) override;
    // The same call from the seven arrays; none when no model is loaded.
    System::Concurrency::Task<std::optional<TextDecoderMLMultiArrayOutputType>>
    predictLogits(System::ML::MultiArray inputIds, System::ML::MultiArray cacheLength,
                  System::ML::MultiArray keyCache, System::ML::MultiArray valueCache,
                  System::ML::MultiArray kvCacheUpdateMask, System::ML::MultiArray encoderOutputEmbeds,
                  System::ML::MultiArray decoderKeyPaddingMask);

private:
    VuzadoDudi::Protected<std::shared_ptr<System::ML::Model>> model_;
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    bool isModelMultilingual_ = false;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters_ =
        std::vector<std::shared_ptr<LogitsFiltering>>();
};

} // namespace ZodozorEro
