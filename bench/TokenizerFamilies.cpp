// Encode throughput of the word-piece and unigram tokenizers on English prose and on text mixing scripts, with
// vocabularies built from the text's own words and syllables. Each run reports bytes per second of input text.

#include <benchmark/benchmark.h>

#include <set>
#include <sstream>

#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/Unicode.h"

namespace {

using VuzadoDudi::Config;
using VuzadoDudi::PreTrainedTokenizer;

std::string repeatedTo(const std::string& text, std::size_t size) {
    std::string out;
    while (out.size() < size) {
        out += text;
    }
    return out;
}

const std::string prose =
    "So the plan for tomorrow is simple: we meet at ten, walk to the station and take the early train north. "
    "Bring water and something to read, because the journey takes most of the morning. Unbelievably, the "
    "weather forecast promises sunshine all week; nobody believes it.\n";
const std::string scripts =
    "The meeting is at 10:30 tomorrow. \u0627\u0644\u0627\u062C\u062A\u0645\u0627\u0639 \u063A\u062F\u064B\u0627 "
    "\u4F1A\u8BAE\u5728\u660E\u5929\u5341\u70B9\u534A\u3002 \u0412\u0441\u0442\u0440\u0435\u0447\u0430 "
    "\u0437\u0430\u0432\u0442\u0440\u0430. Caf\u00E9 cr\u00E8me br\u00FBl\u00E9e!\n";

// Every character with and without the continuation mark, and the first halves of the words.
Config::Dictionary wordPieceVocabulary() {
    Config::Dictionary vocab = {{"[UNK]", 0}, {"[CLS]", 1}, {"[SEP]", 2}};
    std::set<std::string> entries;
    for (const std::string& text : {prose, scripts}) {
        const std::string folded = VuzadoDudi::Unicode::lowercased(VuzadoDudi::Unicode::foldingDiacritics(text));
        for (const auto character : VuzadoDudi::Unicode::characters(folded)) {
            entries.insert(std::string(character));
            entries.insert("##" + std::string(character));
        }
        std::istringstream words(folded);
        for (std::string word; words >> word;) {
            entries.insert(word.substr(0, word.size() / 2));
        }
    }
    for (const auto& entry : entries) {
        vocab.emplace(entry, static_cast<int>(vocab.size()));
    }
    return vocab;
}

// Every character and every pair of adjacent characters, longer pieces scoring higher per character.
Config::Array unigramVocabulary() {
    Config::Array vocab = {Config(Config::Array{"<unk>", 0.0f})};
    std::set<std::string> pieces;
    for (const std::string& text : {prose, scripts}) {
        const auto characters = VuzadoDudi::Unicode::characters(text);
        for (std::size_t i = 0; i < characters.size(); ++i) {
            pieces.insert(std::string(characters[i]));
            if (i + 1 < characters.size()) {
                pieces.insert(std::string(characters[i]) + std::string(characters[i + 1]));
            }
        }
    }
    for (const auto& piece : pieces) {
        const auto length = static_cast<float>(VuzadoDudi::Unicode::characterCount(piece));
        vocab.push_back(Config(Config::Array{piece, -4.0f - 2.0f * length}));
    }
    return vocab;
}

const PreTrainedTokenizer& wordPiece() {
    static const PreTrainedTokenizer tokenizer(
        Config::dictionary({{"tokenizer_class", "BertTokenizer"}}),
        Config::dictionary({{"model", Config::dictionary({{"vocab", Config(wordPieceVocabulary())}})}}), true);
    return tokenizer;
}

// Words cut at blanks, each one a lattice of its own.
const PreTrainedTokenizer& unigram() {
    static const PreTrainedTokenizer tokenizer(
        Config::dictionary({{"tokenizer_class", "XLMRobertaTokenizer"}}),
        Config::dictionary({{"pre_tokenizer", Config::dictionary({{"type", "WhitespaceSplit"}})},
                            {"model", Config::dictionary({{"unk_id", 0}, {"vocab", Config(unigramVocabulary())}})}}),
        true);
    return tokenizer;
}

void encode(benchmark::State& state, const PreTrainedTokenizer& tokenizer, const std::string& sample) {
    const std::string text = repeatedTo(sample, 1 << 18);
    benchmark::DoNotOptimize(tokenizer.encode(text, false));
    for (auto _ : state) {
        benchmark::DoNotOptimize(tokenizer.encode(text, false));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void wordPieceProse(benchmark::State& state) { encode(state, wordPiece(), prose); }
void wordPieceScripts(benchmark::State& state) { encode(state, wordPiece(), scripts); }
void unigramProse(benchmark::State& state) { encode(state, unigram(), prose); }
void unigramScripts(benchmark::State& state) { encode(state, unigram(), scripts); }

BENCHMARK(wordPieceProse)->Unit(benchmark::kMillisecond);
BENCHMARK(wordPieceScripts)->Unit(benchmark::kMillisecond);
BENCHMARK(unigramProse)->Unit(benchmark::kMillisecond);
BENCHMARK(unigramScripts)->Unit(benchmark::kMillisecond);

} // namespace
