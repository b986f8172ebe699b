// One 30-second window through the pipeline's own stages on base-size models with random weights: log-mel
// features, the encoder (width 512, 6 layers, 1500 frames) and 100 tokens of the decoder (width 512, 6
// layers, a full vocabulary), the way a transcription decodes a window.
//
// Counters: "seconds_per_window", "real_time_factor" (window seconds over audio seconds), and the share of
// each stage: "mel_s", "encoder_s", "decode_s" (of which "predictions_s" inside the decoder model). PARLINDO_ML_THREADS sets the threads, as for the program.
#include "System/Concurrency/BlockingRun.h"
#include "System/ML/Model.h"
#include "TinyModelGenerator/TinyModelGenerator.h"
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
#include <unistd.h>

namespace {

using namespace ZodozorEro;

constexpr int windowSamples = 480'000;
constexpr int decodedTokens = 100;

// Written and loaded once per run of the benchmark.
struct BasePipeline {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("parlindo-bench-" + std::to_string(::getpid()) + "-window");
    std::shared_ptr<const WhisperTokenizerWrapper> tokenizer;
    FeatureExtractor extractor;
    AudioEncoder encoder;
    TextDecoder decoder;

    BasePipeline() {
        const auto tokenizerFolder = WhisperTokenizerWriter::cachedFolder();
        tokenizer = std::make_shared<const WhisperTokenizerWrapper>(
            VuzadoDudi::AutoTokenizerWrapper::from(tokenizerFolder, true), tokenizerFolder);

        TinyModelGenerator::EncoderOptions encoderOptions;
        encoderOptions.melCount = 80;
        encoderOptions.width = 512;
        encoderOptions.layers = 6;
        encoderOptions.heads = 8;
        encoderOptions.positions = 1500;
        TinyModelGenerator::writeFrontEnd(folder, encoderOptions);

        TinyModelGenerator::DecoderOptions decoderOptions;
        decoderOptions.vocabularySize =
            *tokenizer->convertTokenToId(WhisperTokenizerWriter::specialTokens().back()) + 1;
        decoderOptions.width = 512;
        decoderOptions.layers = 6;
        decoderOptions.heads = 8;
        decoderOptions.encoderPositions = 1500;
        decoderOptions.alignmentHeads = TinyModelGenerator::upperHalfHeads(6, 8);
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

BasePipeline& pipeline() {
    static BasePipeline instance;
    return instance;
}

struct StageSeconds {
    double mel = 0;
    double encoder = 0;
    double decode = 0;
    double predictions = 0; // of decode: inside the decoder model
    std::size_t tokens = 0;
};

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
    const auto decoded = co_await stages.decoder.decodeText(std::move(*embeds), *inputs, sampler, options);
    result.decode = seconds(start);
    result.predictions = decoded.timings ? decoded.timings->decodingPredictions : 0;
    result.tokens = decoded.tokens.size() - inputs->initialPrompt().size() - 1;
    co_return result;
}

void BM_TranscriptionWindow(benchmark::State& state) {
    auto& stages = pipeline();
    std::vector<float> audio(windowSamples);
    for (std::size_t index = 0; index < audio.size(); ++index) {
        audio[index] = 0.3f * float(std::sin(2 * M_PI * 220 * double(index) / 16000));
    }
    StageSeconds total;
    for (auto _ : state) {
        const auto window = System::Concurrency::blockingRun(transcribeWindow(stages, audio));
        total.mel += window.mel;
        total.encoder += window.encoder;
        total.decode += window.decode;
        total.predictions += window.predictions;
        total.tokens = window.tokens;
    }
    const double iterations = double(state.iterations());
    const double perWindow = (total.mel + total.encoder + total.decode) / iterations;
    state.counters["seconds_per_window"] = perWindow;
    state.counters["real_time_factor"] = perWindow / 30.0;
    state.counters["mel_s"] = total.mel / iterations;
    state.counters["encoder_s"] = total.encoder / iterations;
    state.counters["decode_s"] = total.decode / iterations;
    state.counters["predictions_s"] = total.predictions / iterations;
    state.counters["tokens"] = double(total.tokens);
}
BENCHMARK(BM_TranscriptionWindow)->Unit(benchmark::kSecond)->UseRealTime()->MinTime(5.0);

} // namespace
