// Encode and decode throughput of the Whisper-sized byte-level BPE tokenizer, on English prose and on text
// mixing scripts. Each run reports bytes per second of input text (encode) or of decoded text (decode).
// Encoding is the whole tokenizer (added-token search, pre-tokenizer, BPE model and id look-up), except for
// the Merge runs, which measure the BPE model alone merging pieces the pre-tokenizer split beforehand.

#include <benchmark/benchmark.h>

#include <random>

#include "VuzadoDudi/External/Hub/HubApi.h"
#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"
#include "VuzadoDudi/External/Tokenizers/PreTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"
#include "WhisperTokenizerWriter.h"

namespace {

using VuzadoDudi::TokenizerWrapper;

const TokenizerWrapper& whisper() {
    static const TokenizerWrapper tokenizer =
        VuzadoDudi::AutoTokenizerWrapper::from(WhisperTokenizerWriter::cachedFolder(), true);
    return tokenizer;
}

std::string repeatedTo(const std::string& text, std::size_t size) {
    std::string out;
    while (out.size() < size) {
        out += text;
    }
    return out;
}

// About 1 MB of English prose: the license texts every Debian system carries.
const std::string& englishProse() {
    static const std::string text = [] {
        WhisperTokenizerWriter::Options options;
        options.generatedWords = 0;
        return repeatedTo(WhisperTokenizerWriter::trainingText(options), 1 << 20);
    }();
    return text;
}

const std::string& mixedScripts() {
    static const std::string text = repeatedTo(
        "The meeting is at 10:30 tomorrow. \u0627\u0644\u0627\u062C\u062A\u0645\u0627\u0639 "
        "\u063A\u062F\u064B\u0627 "
        "\u0641\u064A \u0627\u0644\u0633\u0627\u0639\u0629 \u0627\u0644\u0639\u0627\u0634\u0631\u0629\u060C "
        "\u0625\u0646 \u0634\u0627\u0621 \u0627\u0644\u0644\u0647. "
        "\u4F1A\u8BAE\u5728\u660E\u5929\u5341\u70B9\u534A"
        "\u3002\u8BF7\u51C6\u65F6\u53C2\u52A0\u3002 \u0412\u0441\u0442\u0440\u0435\u0447\u0430 "
        "\u0437\u0430\u0432"
        "\u0442\u0440\u0430. Caf\u00E9 cr\u00E8me br\u00FBl\u00E9e \U0001F600\U0001F44D\U0001F3FD!\n",
        1 << 20);
    return text;
}

// Transcript text with a timestamp token around every few words: the added-token search sees 1,600 tokens.
const std::string& timestampedTranscript() {
    static const std::string text = repeatedTo(
        "<|0.00|> So the plan for tomorrow is simple.<|2.40|><|2.40|> We meet at ten and walk to the station."
        "<|5.10|><|5.10|> Bring water, it will be warm.<|7.80|>",
        1 << 20);
    return text;
}

// About 1 MB of words of random letters: almost no piece repeats, so nothing kept from earlier pieces helps.
const std::string& randomWords() {
    static const std::string text = [] {
        std::mt19937_64 numbers(7);
        std::string out;
        while (out.size() < (1 << 20)) {
            const auto length = 2 + numbers() % 9;
            for (std::size_t i = 0; i < length; ++i) {
                out += static_cast<char>('a' + numbers() % 26);
            }
            out += ' ';
        }
        return out;
    }();
    return text;
}

void encode(benchmark::State& state, const std::string& text) {
    benchmark::DoNotOptimize(whisper().encode(text, false));
    for (auto _ : state) {
        benchmark::DoNotOptimize(whisper().encode(text, false));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void decode(benchmark::State& state, const std::string& text) {
    const auto ids = whisper().encode(text, false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(whisper().decode(ids));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["tokens"] = static_cast<double>(ids.size());
}

void EncodeEnglish(benchmark::State& state) {
    encode(state, englishProse());
}

// A fresh tokenizer for every pass: no piece has been seen before, whatever a tokenizer keeps between calls.
void encodeFirstPass(benchmark::State& state, const std::string& text) {
    const auto folder = WhisperTokenizerWriter::cachedFolder();
    std::size_t tokens = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto fresh = VuzadoDudi::AutoTokenizerWrapper::from(folder, true);
        state.ResumeTiming();
        tokens = fresh.encode(text, false).size();
        state.PauseTiming();
        fresh = {};
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["tokens"] = static_cast<double>(tokens);
}
void EncodeEnglishFirstPass(benchmark::State& state) {
    encodeFirstPass(state, englishProse());
}
void EncodeRandomWordsFirstPass(benchmark::State& state) {
    encodeFirstPass(state, randomWords());
}

// One piece of 16,000 letters, different in every pass so that nothing kept from an earlier pass serves it:
// the merge loop's cost in the length of one piece. Random letters, and one letter repeated (every pair
// alike) with a second letter at a moving place.
void encodeLongPiece(benchmark::State& state, bool repeatedLetter) {
    // Kept across runs, so that repeated runs get new pieces too.
    static std::mt19937_64 numbers(11);
    static std::size_t pass = 0;
    std::string piece(16000, 'a');
    for (auto _ : state) {
        state.PauseTiming();
        if (repeatedLetter) {
            std::fill(piece.begin(), piece.end(), 'a');
            piece[pass++ % piece.size()] = 'b';
        } else {
            for (auto& c : piece) {
                c = static_cast<char>('a' + numbers() % 26);
            }
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(whisper().encode(piece, false));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * piece.size()));
}
void EncodeLongPiece(benchmark::State& state) {
    encodeLongPiece(state, false);
}
void EncodeLongPieceOneLetter(benchmark::State& state) {
    encodeLongPiece(state, true);
}

// The merging of pieces alone, which keeps no results between calls.
void merge(benchmark::State& state, const std::string& text) {
    const auto folder = WhisperTokenizerWriter::cachedFolder();
    const VuzadoDudi::BPETokenizer model(VuzadoDudi::HubApi::configuration(folder / "tokenizer_config.json"),
                                         VuzadoDudi::HubApi::configuration(folder / "tokenizer.json"), {});
    const auto pieces =
        VuzadoDudi::ByteLevelPreTokenizer(VuzadoDudi::Config::parseJSON(R"({"add_prefix_space": false})"))
            .preTokenize(text, {});
    for (auto _ : state) {
        for (const auto& piece : pieces) {
            benchmark::DoNotOptimize(model.bpe(piece));
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
void MergeEnglish(benchmark::State& state) {
    merge(state, englishProse());
}
void MergeRandomWords(benchmark::State& state) {
    merge(state, randomWords());
}

void DecodeEnglish(benchmark::State& state) {
    decode(state, englishProse());
}
void EncodeMixedScripts(benchmark::State& state) {
    encode(state, mixedScripts());
}
void DecodeMixedScripts(benchmark::State& state) {
    decode(state, mixedScripts());
}
void EncodeTimestampedTranscript(benchmark::State& state) {
    encode(state, timestampedTranscript());
}

BENCHMARK(EncodeEnglish)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeEnglishFirstPass)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(EncodeRandomWordsFirstPass)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(EncodeLongPiece)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeLongPieceOneLetter)->Unit(benchmark::kMillisecond);
BENCHMARK(MergeEnglish)->Unit(benchmark::kMillisecond);
BENCHMARK(MergeRandomWords)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeEnglish)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeMixedScripts)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeMixedScripts)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeTimestampedTranscript)->Unit(benchmark::kMillisecond);

} // namespace
