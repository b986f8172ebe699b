#include "WhisperTokenizerWriter.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <queue>
#include <random>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <unordered_map>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/External/Tokenizers/PreTokenizer.h"
#include "VuzadoDudi/Unicode.h"

namespace WhisperTokenizerWriter {

namespace {

using Json = nlohmann::json;

// A generator of deterministic numbers that does not depend on the library's distributions.
class Numbers {
public:
    explicit Numbers(std::uint64_t seed)
        : engine_(seed) {}
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(engine_() % bound); }
    // Small indexes far more often than large ones, as word frequencies go.
    std::size_t skewedBelow(std::size_t bound) {
        const double u = static_cast<double>(engine_() >> 11) / static_cast<double>(1ull << 53);
        return std::min(bound - 1, static_cast<std::size_t>(static_cast<double>(bound) * u * u * u));
    }

private:
    std::mt19937_64 engine_;
};

std::string codePoint(char32_t c) {
    std::string out;
    VuzadoDudi::Unicode::appendUTF8(out, c);
    return out;
}

// Syllables of several scripts; a word is one to four of them.
struct Script {
    std::vector<std::string> syllables;
    std::size_t maxSyllables;
};

std::vector<Script> scripts() {
    std::vector<Script> all;
    {
        Script latin{{}, 4};
        for (const char* onset : {"", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t", "v",
                                  "w", "st", "tr", "ch", "sh", "th", "pl", "gr"}) {
            for (const char* vowel : {"a", "e", "i", "o", "u", "ea", "ou", "ai"}) {
                for (const char* coda : {"", "n", "r", "s", "t", "ng", "l"}) {
                    latin.syllables.push_back(std::string(onset) + vowel + coda);
                }
            }
        }
        all.push_back(std::move(latin));
    }
    {
        Script arabic{{}, 4};
        for (char32_t letter = 0x0628; letter <= 0x064A; ++letter) {
            if (letter > 0x063A && letter < 0x0641) {
                continue;
            }
            arabic.syllables.push_back(codePoint(letter));
            arabic.syllables.push_back(codePoint(letter) + codePoint(0x064E));
            arabic.syllables.push_back(codePoint(letter) + codePoint(0x0627));
        }
        all.push_back(std::move(arabic));
    }
    {
        Script cyrillic{{}, 4};
        for (char32_t consonant : {0x0431, 0x0432, 0x0433, 0x0434, 0x043A, 0x043B, 0x043C, 0x043D, 0x043F, 0x0440,
                                   0x0441, 0x0442}) {
            for (char32_t vowel : {0x0430, 0x0435, 0x0438, 0x043E, 0x0443, 0x044F}) {
                cyrillic.syllables.push_back(codePoint(consonant) + codePoint(vowel));
            }
        }
        all.push_back(std::move(cyrillic));
    }
    {
        Script cjk{{}, 3};
        for (char32_t c = 0x4E00; c < 0x4E00 + 1500; ++c) {
            cjk.syllables.push_back(codePoint(c));
        }
        all.push_back(std::move(cjk));
    }
    return all;
}

std::string generatedText(std::size_t words, std::uint64_t seed) {
    Numbers numbers(seed);
    const auto inventory = scripts();
    // A lexicon per script, drawn once; the text draws words from it with skewed frequencies.
    std::vector<std::vector<std::string>> lexicons;
    for (const Script& script : inventory) {
        std::vector<std::string> lexicon;
        // Enough distinct words for the text to draw from, and no more.
        const std::size_t lexiconSize = std::clamp<std::size_t>(words / 4, 1000, 40000);
        for (std::size_t i = 0; i < lexiconSize; ++i) {
            std::string word;
            const std::size_t syllables = 1 + numbers.below(script.maxSyllables);
            for (std::size_t s = 0; s < syllables; ++s) {
                word += script.syllables[numbers.below(script.syllables.size())];
            }
            lexicon.push_back(std::move(word));
        }
        lexicons.push_back(std::move(lexicon));
    }
    static const char* const punctuation[] = {".", ",", "!", "?", ";", ":"};
    std::string text;
    std::size_t script = 0;
    for (std::size_t i = 0; i < words; ++i) {
        if (numbers.below(40) == 0) {
            script = numbers.below(lexicons.size());
        }
        const auto& lexicon = lexicons[script];
        text += ' ';
        if (numbers.below(25) == 0) {
            text += std::to_string(numbers.below(2000));
        } else {
            text += lexicon[numbers.skewedBelow(lexicon.size())];
        }
        if (numbers.below(12) == 0) {
            text += punctuation[numbers.below(std::size(punctuation))];
        }
        if (numbers.below(60) == 0) {
            text += '\n';
        }
    }
    return text;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("The training text " + path.string() + " cannot be read.");
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

struct Trained {
    std::vector<std::string> vocabulary; // id order
    std::vector<std::pair<std::string, std::string>> merges;
};

// Byte-level BPE training: the most frequent adjacent pair is merged, over and over.
Trained train(const std::string& text, std::size_t mergeCount) {
    std::unordered_map<std::string, std::int64_t> wordCounts;
    for (const auto piece : VuzadoDudi::byteLevelPieces(text)) {
        ++wordCounts[std::string(piece)];
    }
    std::vector<std::pair<std::string, std::int64_t>> sortedWords(wordCounts.begin(), wordCounts.end());
    std::sort(sortedWords.begin(), sortedWords.end());

    Trained trained;
    std::unordered_map<std::string, int> symbolIds;
    const auto& table = VuzadoDudi::byteEncoderTable();
    for (std::size_t b = 0; b < 256; ++b) {
        symbolIds.emplace(table[b], static_cast<int>(b));
        trained.vocabulary.push_back(table[b]);
    }

    std::vector<std::vector<int>> words;
    std::vector<std::int64_t> counts;
    for (const auto& [word, count] : sortedWords) {
        std::vector<int> symbols;
        for (const char c : word) {
            symbols.push_back(static_cast<unsigned char>(c));
        }
        words.push_back(std::move(symbols));
        counts.push_back(count);
    }

    auto key = [](int a, int b) { return (static_cast<std::uint64_t>(a) << 32) | static_cast<std::uint32_t>(b); };
    std::unordered_map<std::uint64_t, std::int64_t> pairCounts;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> pairWords;
    for (std::size_t w = 0; w < words.size(); ++w) {
        for (std::size_t i = 0; i + 1 < words[w].size(); ++i) {
            const auto k = key(words[w][i], words[w][i + 1]);
            pairCounts[k] += counts[w];
            pairWords[k].push_back(static_cast<std::uint32_t>(w));
        }
    }
    // Most frequent first; among equals the smaller key, so the result never depends on hashing.
    using Entry = std::pair<std::int64_t, std::uint64_t>;
    auto lower = [](const Entry& x, const Entry& y) { return x.first < y.first || (x.first == y.first && x.second > y.second); };
    std::priority_queue<Entry, std::vector<Entry>, decltype(lower)> queue(lower);
    for (const auto& [k, count] : pairCounts) {
        queue.push({count, k});
    }

    while (trained.merges.size() < mergeCount && !queue.empty()) {
        const auto [count, k] = queue.top();
        queue.pop();
        const auto current = pairCounts.find(k);
        if (current == pairCounts.end() || current->second != count || count <= 0) {
            continue;
        }
        const int a = static_cast<int>(k >> 32);
        const int b = static_cast<int>(k & 0xFFFFFFFFu);
        const std::string merged = trained.vocabulary[static_cast<std::size_t>(a)] + trained.vocabulary[static_cast<std::size_t>(b)];
        auto [symbol, isNew] = symbolIds.emplace(merged, static_cast<int>(trained.vocabulary.size()));
        if (isNew) {
            trained.vocabulary.push_back(merged);
        }
        trained.merges.emplace_back(trained.vocabulary[static_cast<std::size_t>(a)],
                                    trained.vocabulary[static_cast<std::size_t>(b)]);
        const int id = symbol->second;

        std::unordered_map<std::uint64_t, std::int64_t> delta;
        std::vector<std::uint32_t> affected = std::move(pairWords[k]);
        pairWords.erase(k);
        std::sort(affected.begin(), affected.end());
        affected.erase(std::unique(affected.begin(), affected.end()), affected.end());
        for (const std::uint32_t w : affected) {
            auto& word = words[w];
            std::vector<int> next;
            next.reserve(word.size());
            bool changed = false;
            for (std::size_t i = 0; i < word.size();) {
                if (i + 1 < word.size() && word[i] == a && word[i + 1] == b) {
                    next.push_back(id);
                    i += 2;
                    changed = true;
                } else {
                    next.push_back(word[i]);
                    i += 1;
                }
            }
            if (!changed) {
                continue;
            }
            for (std::size_t i = 0; i + 1 < word.size(); ++i) {
                delta[key(word[i], word[i + 1])] -= counts[w];
            }
            for (std::size_t i = 0; i + 1 < next.size(); ++i) {
                const auto added = key(next[i], next[i + 1]);
                delta[added] += counts[w];
                if (next[i] == id || next[i + 1] == id) {
                    pairWords[added].push_back(w);
                }
            }
            word = std::move(next);
        }
        for (const auto& [changedKey, change] : delta) {
            if (change == 0) {
                continue;
            }
            auto& total = pairCounts[changedKey];
            total += change;
            if (total > 0) {
                queue.push({total, changedKey});
            }
        }
    }
    return trained;
}

std::uint64_t fingerprint(const std::string& text) {
    std::uint64_t h = 14695981039346656037ull;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

Json addedToken(int id, const std::string& content) {
    return Json{{"id", id},          {"content", content}, {"single_word", false}, {"lstrip", false},
                {"rstrip", false},   {"normalized", false}, {"special", true}};
}

Json specialItem(const std::string& token) { return Json{{"SpecialToken", {{"id", token}, {"type_id", 0}}}}; }
Json sequenceItem(const char* id, int typeId) { return Json{{"Sequence", {{"id", id}, {"type_id", typeId}}}}; }

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file) {
        throw std::runtime_error("The file " + path.string() + " cannot be written.");
    }
}

} // namespace

const std::vector<std::string>& languageCodes() {
    static const std::vector<std::string> codes = {
        "en", "zh", "de", "es", "ru", "ko", "fr", "ja", "pt", "tr", "pl", "ca", "nl", "ar", "sv", "it", "id",
        "hi", "fi", "vi", "he", "uk", "el", "ms", "cs", "ro", "da", "hu", "ta", "no", "th", "ur", "hr", "bg",
        "lt", "la", "mi", "ml", "cy", "sk", "te", "fa", "lv", "bn", "sr", "az", "sl", "kn", "et", "mk", "br",
        "eu", "is", "hy", "ne", "mn", "bs", "kk", "sq", "sw", "gl", "mr", "pa", "si", "km", "sn", "yo", "so",
        "af", "oc", "ka", "be", "tg", "sd", "gu", "am", "yi", "lo", "uz", "fo", "ht", "ps", "tk", "nn", "mt",
        "sa", "lb", "my", "bo", "tl", "mg", "as", "tt", "haw", "ln", "ha", "ba", "jw", "su", "yue"};
    return codes;
}

std::vector<std::string> specialTokens() {
    std::vector<std::string> tokens = {"<|endoftext|>", "<|startoftranscript|>"};
    for (const auto& code : languageCodes()) {
        tokens.push_back("<|" + code + "|>");
    }
    for (const char* token : {"<|translate|>", "<|transcribe|>", "<|startoflm|>", "<|startofprev|>", "<|nospeech|>",
                              "<|notimestamps|>"}) {
        tokens.push_back(token);
    }
    for (int step = 0; step <= 1500; ++step) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "<|%d.%02d|>", step / 50, (step % 50) * 2);
        tokens.push_back(buffer);
    }
    return tokens;
}

std::filesystem::path defaultCorpusFolder() { return "/usr/share/common-licenses"; }

std::string trainingText(const Options& options) {
    std::vector<std::filesystem::path> files = options.corpusFiles;
    if (files.empty() && std::filesystem::is_directory(defaultCorpusFolder())) {
        for (const auto& entry : std::filesystem::directory_iterator(defaultCorpusFolder())) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& file : files) {
        text += VuzadoDudi::Unicode::toUTF8(VuzadoDudi::Unicode::toUTF16(readFile(file)));
        text += '\n';
    }
    text += generatedText(options.generatedWords, options.seed);
    return text;
}

namespace {

void writeTrained(const std::filesystem::path& folder, const Options& options, const std::string& text) {
    const Trained trained = train(text, options.mergeCount);

    Json vocab = Json::object();
    for (std::size_t id = 0; id < trained.vocabulary.size(); ++id) {
        vocab[trained.vocabulary[id]] = static_cast<int>(id);
    }
    Json merges = Json::array();
    for (const auto& [a, b] : trained.merges) {
        merges.push_back(a + " " + b);
    }
    Json added = Json::array();
    const auto specials = specialTokens();
    int nextId = static_cast<int>(trained.vocabulary.size());
    for (const auto& token : specials) {
        added.push_back(addedToken(nextId++, token));
    }

    const Json tokenizer = {
        {"version", "1.0"},
        {"truncation", nullptr},
        {"padding", nullptr},
        {"added_tokens", added},
        {"normalizer", nullptr},
        {"pre_tokenizer", {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"trim_offsets", true}, {"use_regex", true}}},
        {"post_processor",
         {{"type", "TemplateProcessing"},
          {"single",
           Json::array({specialItem("<|startoftranscript|>"), specialItem("<|notimestamps|>"), sequenceItem("A", 0),
                        specialItem("<|endoftext|>")})},
          {"pair",
           Json::array({specialItem("<|startoftranscript|>"), specialItem("<|notimestamps|>"), sequenceItem("A", 0),
                        sequenceItem("B", 1), specialItem("<|endoftext|>")})}}},
        {"decoder", {{"type", "ByteLevel"}, {"add_prefix_space", true}, {"trim_offsets", true}, {"use_regex", true}}},
        {"model",
         {{"type", "BPE"},
          {"dropout", nullptr},
          {"unk_token", nullptr},
          {"continuing_subword_prefix", ""},
          {"end_of_word_suffix", ""},
          {"fuse_unk", false},
          {"vocab", vocab},
          {"merges", merges}}},
    };
    const Json config = {
        {"tokenizer_class", "WhisperTokenizer"},
        {"bos_token", "<|endoftext|>"},
        {"eos_token", "<|endoftext|>"},
        {"unk_token", "<|endoftext|>"},
        {"pad_token", "<|endoftext|>"},
        {"add_prefix_space", false},
        {"clean_up_tokenization_spaces", options.cleanUpTokenizationSpaces},
        {"model_max_length", 1024},
        {"errors", "replace"},
    };
    std::filesystem::create_directories(folder);
    writeFile(folder / "tokenizer.json", tokenizer.dump());
    writeFile(folder / "tokenizer_config.json", config.dump(2));
    writeFile(folder / "config.json", Json{{"model_type", "whisper"}, {"vocab_size", nextId}}.dump(2));
}

} // namespace

void write(const std::filesystem::path& folder, const Options& options) {
    writeTrained(folder, options, trainingText(options));
}

std::filesystem::path cachedFolder(const Options& options) {
    const std::string text = trainingText(options);
    std::ostringstream identity;
    identity << options.mergeCount << '/' << options.generatedWords << '/' << options.seed << '/'
             << options.cleanUpTokenizationSpaces << '/' << std::hex << fingerprint(text);
    char name[64];
    std::snprintf(name, sizeof name, "whisper-tokenizer-%016llx",
                  static_cast<unsigned long long>(fingerprint(identity.str())));
    const auto folder = std::filesystem::temp_directory_path() / name;
    if (std::filesystem::exists(folder / "config.json")) {
        return folder;
    }
    // Written beside the final folder and renamed into place in one step.
    const auto scratch = std::filesystem::temp_directory_path() /
                         (std::string(name) + ".partial-" + std::to_string(getpid()) + "-" +
                          std::to_string(std::random_device{}()));
    writeTrained(scratch, options, text);
    std::error_code error;
    std::filesystem::rename(scratch, folder, error);
    if (error) {
        std::filesystem::remove_all(scratch, error);
        if (!std::filesystem::exists(folder / "config.json")) {
            throw std::runtime_error("The tokenizer folder " + folder.string() + " cannot be put in place.");
        }
    }
    return folder;
}

} // namespace WhisperTokenizerWriter
