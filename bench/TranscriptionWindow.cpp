// One 30-second window through the pipeline's own stages on base-size models with random weights: log-mel
// features, the encoder (width 512, 6 layers, 1500 frames) and 100 tokens of the decoder (width 512, 6
// layers, a full vocabulary), the way a transcription decodes a window.
//
// Counters: "seconds_per_window", "real_time_factor" (window seconds over audio seconds), and the share of
// each stage: "mel_s", "encoder_s", "decode_s" (of which "predictions_s" inside the decoder model);
// "model_ms_per_token" is the time of one decoder call inside the window (the cross-attention keys and values
// of the window's first call included), "isolated_ms_per_token" that of a call made directly on the model
// right after the window, and "window_over_isolated" their ratio. The isolated call reuses the keys and
// values of the cross-attention; "cross_memo_ms" is what computing them once more adds to a call, and
// "window_over_isolated_with_memo" sets the window's calls beside isolated ones that share that cost as the
// window's do. PARLINDO_ML_THREADS sets the threads, as for the program. Arguments: the weights' bits (32 or
// 16), then busy: the processors that threads of the benchmark's own keep busy while it measures, as another
// program would (see BusyProcessors.h).
#include "BusyProcessors.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/ML/Compute.h"
#include "System/ML/Model.h"
#include "TinyModelGenerator/TinyModelGenerator.h"
#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"
#include "WhisperTokenizerWriter.h"
#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/TextDecoder.h"
#include "ZodozorEro/Core/WhisperTokenizerWrapper.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <unistd.h>

namespace {

using namespace ZodozorEro;

constexpr int windowSamples = 480'000;
constexpr int decodedTokens = 100;

// Written and loaded once per run of the benchmark.
struct BasePipeline {
    std::filesystem::path folder;
    std::shared_ptr<const WhisperTokenizerWrapper> tokenizer;
    FeatureExtractor extractor;
    AudioEncoder encoder;
    TextDecoder decoder;

    explicit BasePipeline(System::ML::SafeTensorsDType weightType)
        : folder(std::filesystem::temp_directory_path() /
                 ("parlindo-bench-" + std::to_string(::getpid()) + "-window-" +
                  std::string(System::ML::dtypeName(weightType)))) {
        const auto tokenizerFolder = WhisperTokenizerWriter::cachedFolder();
        tokenizer = std::make_shared<const WhisperTokenizerWrapper>(
            VuzadoDudi::AutoTokenizerWrapper::from(tokenizerFolder, true), tokenizerFolder);

        TinyModelGenerator::EncoderOptions encoderOptions;
        encoderOptions.melCount = 80;
        encoderOptions.width = 512;
        encoderOptions.layers = 6;
        encoderOptions.heads = 8;
        encoderOptions.positions = 1500;
        encoderOptions.weightType = weightType;
        TinyModelGenerator::writeFrontEnd(folder, encoderOptions);

        TinyModelGenerator::DecoderOptions decoderOptions;
        decoderOptions.vocabularySize =
            *tokenizer->convertTokenToId(WhisperTokenizerWriter::specialTokens().back()) + 1;
        decoderOptions.width = 512;
        decoderOptions.layers = 6;
        decoderOptions.heads = 8;
        decoderOptions.encoderPositions = 1500;
        decoderOptions.alignmentHeads = TinyModelGenerator::upperHalfHeads(6, 8);
        decoderOptions.weightType = weightType;
        TinyModelGenerator::writeDecoderModel(folder / "TextDecoder.mlmodelc", decoderOptions);

        extractor.setModel(System::ML::Model::load(folder / "MelSpectrogram.mlmodelc"));
        encoder.setModel(System::ML::Model::load(folder / "AudioEncoder.mlmodelc"));
        decoder.setModel(System::ML::Model::load(folder / "TextDecoder.mlmodelc"));
        decoder.setTokenizer(tokenizer);
        decoder.setIsModelMultilingual(true);
        // A random model may end its text at any token: the end is ruled out so every window decodes the
        // same number of tokens.
        decoder.setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{
            std::make_shared<SuppressTokensFilter>(std::vector<int>{tokenizer->specialTokens().endToken})});
    }
    ~BasePipeline() { std::filesystem::remove_all(folder); }
    BasePipeline(const BasePipeline&) = delete;
    BasePipeline& operator=(const BasePipeline&) = delete;
};

BasePipeline& pipeline(System::ML::SafeTensorsDType weightType) {
    static std::map<System::ML::SafeTensorsDType, std::unique_ptr<BasePipeline>> pipelines;
    auto& instance = pipelines[weightType];
    if (!instance) {
        instance = std::make_unique<BasePipeline>(weightType);
    }
    return *instance;
}

struct StageSeconds {
    double mel = 0;
    double encoder = 0;
    double decode = 0;
    double predictions = 0; // of decode: inside the decoder model
    double modelCalls = 0;
    double isolatedStep = 0; // one decoder call on its own, right after the window, on the same state
    double crossMemo = 0;    // what one call on a new encoder output adds to an isolated call
    std::size_t tokens = 0;
};

// The decoder model called directly, as bench_WhisperDecoder does, with the state the window left: the same
// threads and the same moment of a busy machine, so the two figures can be set side by side. Returns the
// seconds of a call and those a call on an encoder output the model has not seen adds to it.
std::pair<double, double> isolatedStep(BasePipeline& stages, DecodingInputs& state,
                                       const System::ML::MultiArray& embeds) {
    constexpr int calls = 10;
    std::map<std::string, System::ML::FeatureValue> values{
        {"input_ids", state.inputIds()},
        {"cache_length", state.cacheLength()},
        {"key_cache", state.keyCache()},
        {"value_cache", state.valueCache()},
        {"kv_cache_update_mask", state.kvCacheUpdateMask()},
        {"encoder_output_embeds", embeds},
        {"decoder_key_padding_mask", state.decoderKeyPaddingMask()}};
    const System::ML::DictionaryFeatureProvider inputs(values);
    const auto model = stages.decoder.model();
    const auto seconds = [](auto start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto start = std::chrono::steady_clock::now();
    for (int call = 0; call < calls; ++call) {
        benchmark::DoNotOptimize(model->predict(inputs));
    }
    const double step = seconds(start) / calls;

    // Last: a copy of the encoder output is a buffer the model has not seen, so it computes the
    // cross-attention keys and values again, as the window's first call does.
    values.insert_or_assign("encoder_output_embeds", embeds.copy());
    const System::ML::DictionaryFeatureProvider freshInputs(std::move(values));
    start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(model->predict(freshInputs));
    return {step, std::max(0.0, seconds(start) - step)};
}

System::Concurrency::Task<StageSeconds> transcribeWindow(BasePipeline& stages,
                                                         const std::vector<float>& audio) {
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    StageSeconds result;
    auto start = Clock::now();
    auto mel = co_await stages.extractor.logMelSpectrogram(
        System::ML::MultiArray::withValues<float>({windowSamples}, audio));
    result.mel = seconds(start);

    start = Clock::now();
    auto embeds = co_await stages.encoder.encodeFeatures(std::move(*mel));
    result.encoder = seconds(start);

    start = Clock::now();
    DecodingOptions options;
    options.language = "en";
    options.sampleLength = decodedTokens;
    options.firstTokenLogProbThreshold = std::nullopt;
    auto inputs =
        stages.decoder.prepareDecoderInputs({stages.tokenizer->specialTokens().startOfTranscriptToken});
    inputs = co_await stages.decoder.prefillDecoderInputs(inputs, options);
    GreedyTokenSampler sampler(0.0f, stages.tokenizer->specialTokens().endToken, options);
    const auto decoded = co_await stages.decoder.decodeText(*embeds, *inputs, sampler, options);
    result.decode = seconds(start);
    result.predictions = decoded.timings ? decoded.timings->decodingPredictions : 0;
    result.modelCalls = decoded.timings ? decoded.timings->totalDecodingLoops : 0;
    result.tokens = decoded.tokens.size() - inputs->initialPrompt().size() - 1;
    std::tie(result.isolatedStep, result.crossMemo) =
        isolatedStep(stages, dynamic_cast<DecodingInputs&>(*inputs),
                     std::any_cast<const System::ML::MultiArray&>(*embeds));
    co_return result;
}

void BM_TranscriptionWindow(benchmark::State& state) {
    auto& stages = pipeline(state.range(0) == 16 ? System::ML::SafeTensorsDType::F16
                                                 : System::ML::SafeTensorsDType::F32);
    std::vector<float> audio(windowSamples);
    for (std::size_t index = 0; index < audio.size(); ++index) {
        audio[index] = 0.3f * float(std::sin(2 * M_PI * 220 * double(index) / 16000));
    }
    StageSeconds total;
    std::optional<BusyProcessors> busy(std::in_place, int(state.range(1)));
    for (auto _ : state) {
        const auto window = System::Concurrency::blockingRun(transcribeWindow(stages, audio));
        total.mel += window.mel;
        total.encoder += window.encoder;
        total.decode += window.decode;
        total.predictions += window.predictions;
        total.modelCalls += window.modelCalls;
        total.isolatedStep += window.isolatedStep;
        total.crossMemo += window.crossMemo;
        total.tokens = window.tokens;
    }
    busy.reset();
    const double iterations = double(state.iterations());
    const double perWindow = (total.mel + total.encoder + total.decode) / iterations;
    state.counters["seconds_per_window"] = perWindow;
    state.counters["real_time_factor"] = perWindow / 30.0;
    state.counters["mel_s"] = total.mel / iterations;
    state.counters["encoder_s"] = total.encoder / iterations;
    state.counters["decode_s"] = total.decode / iterations;
    state.counters["predictions_s"] = total.predictions / iterations;
    state.counters["tokens"] = double(total.tokens);
    state.counters["model_ms_per_token"] = 1e3 * total.predictions / std::max(total.modelCalls, 1.0);
    state.counters["isolated_ms_per_token"] = 1e3 * total.isolatedStep / iterations;
    state.counters["window_over_isolated"] =
        total.predictions / std::max(total.modelCalls, 1.0) / (total.isolatedStep / iterations);
    state.counters["cross_memo_ms"] = 1e3 * total.crossMemo / iterations;
    state.counters["window_over_isolated_with_memo"] =
        total.predictions / std::max(total.modelCalls, 1.0) /
        ((total.isolatedStep + total.crossMemo / std::max(total.modelCalls / iterations, 1.0)) / iterations);
    state.counters["threads"] = System::ML::Compute::threads();
}
BENCHMARK(BM_TranscriptionWindow)
    ->ArgNames({"bits", "busy"})
    ->ArgsProduct({{32, 16}, {0, 1}})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->MinTime(5.0);

} // namespace
