#pragma once

// A whole decoding pipeline over generated models: a small Whisper-style tokenizer, a tiny front end and a
// scripted (or random) decoder, wired into a TranscribeTask as the pipeline wires them.

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "System/Audio/FakeAudioDevice.h"
#include "System/ML/Model.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "TinyModelGenerator/TinyModelGenerator.h"
#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"
#include "WhisperTokenizerWriter.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/Text/SegmentSeeker.h"
#include "ZodozorEro/Core/TextDecoder.h"
#include "ZodozorEro/Core/TranscribeTask.h"
#include "ZodozorEro/Core/WhisperTokenizerWrapper.h"

namespace PipelineTesting {

// The tokenizer the other suites use too, so its folder is written once.
inline std::shared_ptr<const ZodozorEro::WhisperTokenizerWrapper> tokenizer() {
    static const auto instance = [] {
        WhisperTokenizerWriter::Options options;
        options.mergeCount = 4000;
        options.generatedWords = 40000;
        const auto folder = WhisperTokenizerWriter::cachedFolder(options);
        return std::make_shared<const ZodozorEro::WhisperTokenizerWrapper>(
            VuzadoDudi::AutoTokenizerWrapper::from(folder, true), folder);
    }();
    return instance;
}

inline int id(const std::string& token) {
    const auto found = tokenizer()->convertTokenToId(token);
    if (!found) {
        throw std::runtime_error("no token " + token);
    }
    return *found;
}

// The ids of a text, as the model would emit them: without the control tokens the encoder wraps it in.
inline std::vector<int> encoded(const std::string& text) {
    auto tokens = tokenizer()->encode(text);
    std::erase_if(tokens, [](int token) { return token >= tokenizer()->specialTokens().specialTokenBegin; });
    return tokens;
}

inline int vocabularySize() {
    return id(WhisperTokenizerWriter::specialTokens().back()) + 1;
}

// The timestamp token of `seconds` (a multiple of 0.02).
inline int timestamp(double seconds) {
    return tokenizer()->specialTokens().timeTokenBegin + int(seconds / 0.02 + 0.5);
}

constexpr int encoderWidth = 16;
constexpr int encoderPositions = 1500;

// The front end of a 30-second window with a narrow random encoder.
inline TinyModelGenerator::EncoderOptions frontEndOptions() {
    TinyModelGenerator::EncoderOptions options;
    options.melCount = 8;
    options.width = encoderWidth;
    options.layers = 1;
    options.heads = 2;
    options.positions = encoderPositions;
    return options;
}

// A text decoder that keeps what each model call was given: the token, the position and both masks.
class RecordingTextDecoder : public ZodozorEro::TextDecoder {
public:
    struct Call {
        int token;
        int cacheLength;
        std::vector<float> updateMask;
        std::vector<float> paddingMask;
    };

    System::Concurrency::Task<std::optional<ZodozorEro::TextDecoderOutputType>>
    predictLogits(ZodozorEro::TextDecoderInputType inputs) override {
        if (const auto* arrays = std::any_cast<ZodozorEro::TextDecoderMLMultiArrayInputType>(&inputs)) {
            std::lock_guard lock(mutex_);
            calls_.push_back({int(arrays->inputIds.value(0)), int(arrays->cacheLength.value(0)),
                              arrays->kvCacheUpdateMask.toFloats(),
                              arrays->decoderKeyPaddingMask.toFloats()});
        }
        return TextDecoder::predictLogits(std::move(inputs));
    }

    // Also notes the temperature of the sampler that picks the language.
    System::Concurrency::Task<ZodozorEro::DecodingResult>
    detectLanguage(ZodozorEro::AudioEncoderOutputType encoderOutput,
                   ZodozorEro::DecodingInputsType& decoderInputs, ZodozorEro::TokenSampling& sampler,
                   ZodozorEro::DecodingOptions options, ZodozorEro::FloatType temperature) override {
        if (const auto* greedy = dynamic_cast<const ZodozorEro::GreedyTokenSampler*>(&sampler)) {
            std::lock_guard lock(mutex_);
            languageTemperatures_.push_back(float(greedy->temperature));
        }
        return TextDecoder::detectLanguage(std::move(encoderOutput), decoderInputs, sampler,
                                           std::move(options), temperature);
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<float> languageTemperatures() const {
        std::lock_guard lock(mutex_);
        return languageTemperatures_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<float> languageTemperatures_;
};

// Model folders in a temporary folder and the stages loaded from them.
class Pipeline {
public:
    // A pipeline whose decoder answers position p with script[p] (the last step past the end).
    static std::unique_ptr<Pipeline> scripted(std::vector<TinyModelGenerator::ScriptStep> script,
                                              bool multilingual = true) {
        auto pipeline = std::unique_ptr<Pipeline>(new Pipeline());
        TinyModelGenerator::ScriptedDecoderOptions options;
        options.vocabularySize = vocabularySize();
        options.width = encoderWidth;
        options.cacheChannels = 8;
        options.encoderPositions = encoderPositions;
        options.script = std::move(script);
        TinyModelGenerator::writeScriptedDecoderModel(pipeline->folder_ / "TextDecoder.mlmodelc", options);
        pipeline->load(multilingual);
        return pipeline;
    }

    // A pipeline with a random decoder of the tokenizer's vocabulary.
    static std::unique_ptr<Pipeline> random() {
        auto pipeline = std::unique_ptr<Pipeline>(new Pipeline());
        TinyModelGenerator::DecoderOptions options;
        options.vocabularySize = vocabularySize();
        options.width = encoderWidth;
        options.layers = 1;
        options.heads = 2;
        options.encoderPositions = encoderPositions;
        options.alignmentHeads = {{0, 0}};
        TinyModelGenerator::writeDecoderModel(pipeline->folder_ / "TextDecoder.mlmodelc", options);
        pipeline->load(true);
        return pipeline;
    }

    std::shared_ptr<ZodozorEro::TranscribeTask> makeTask() const {
        return std::make_shared<ZodozorEro::TranscribeTask>(ZodozorEro::TranscriptionTimings(), nullptr,
                                                            audioProcessor, encoder, extractor, seeker,
                                                            decoder, tokenizer());
    }

    // Encoder output of one window, for decoding without the front end.
    static System::ML::MultiArray silentEncoderOutput() {
        return System::ML::MultiArray({1, encoderWidth, 1, encoderPositions},
                                      System::ML::MultiArrayDataType::float32);
    }

    const std::filesystem::path& folder() const { return folder_.path(); }

    System::Audio::FakeAudioDevice device;
    std::shared_ptr<ZodozorEro::AudioProcessor> audioProcessor =
        std::make_shared<ZodozorEro::AudioProcessor>(device.factory());
    std::shared_ptr<ZodozorEro::FeatureExtractor> extractor =
        std::make_shared<ZodozorEro::FeatureExtractor>();
    std::shared_ptr<ZodozorEro::AudioEncoder> encoder = std::make_shared<ZodozorEro::AudioEncoder>();
    std::shared_ptr<RecordingTextDecoder> decoder = std::make_shared<RecordingTextDecoder>();
    std::shared_ptr<ZodozorEro::SegmentSeeker> seeker = std::make_shared<ZodozorEro::SegmentSeeker>();

private:
    Pipeline()
        : folder_("pipeline") {
        TinyModelGenerator::writeFrontEnd(folder_.path(), frontEndOptions());
    }

    void load(bool multilingual) {
        extractor->setModel(System::ML::Model::load(folder_ / "MelSpectrogram.mlmodelc"));
        encoder->setModel(System::ML::Model::load(folder_ / "AudioEncoder.mlmodelc"));
        decoder->setModel(System::ML::Model::load(folder_ / "TextDecoder.mlmodelc"));
        decoder->setTokenizer(tokenizer());
        decoder->setIsModelMultilingual(multilingual);
    }

    System::FileTesting::TemporaryFolder folder_;
};

} // namespace PipelineTesting
