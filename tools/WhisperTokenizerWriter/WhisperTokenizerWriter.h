#pragma once

// Writes a Whisper-style tokenizer definition (tokenizer.json, tokenizer_config.json) for tests and
// benchmarks: a byte-level BPE vocabulary whose merges are learned from the license texts every Debian system
// carries, topped up by a seeded generator of words in several scripts, and every Whisper special token.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace WhisperTokenizerWriter {

struct Options {
    // How many merges to learn (fewer when the training text runs out of pairs).
    std::size_t mergeCount = 50000;
    // Plain-text files to learn from; none means the files of defaultCorpusFolder().
    std::vector<std::filesystem::path> corpusFiles;
    // Words of the seeded generator added to the training text.
    std::size_t generatedWords = 400000;
    std::uint64_t seed = 20240101;
    bool cleanUpTokenizationSpaces = false;
};

std::filesystem::path defaultCorpusFolder();

// The training text: the corpus files in name order, then the generated words.
std::string trainingText(const Options& options);

// Writes tokenizer.json and tokenizer_config.json into `folder` (created when missing).
void write(const std::filesystem::path& folder, const Options& options = {});

// A folder written once per options and kept in the temporary folder, so tests and benchmarks get one
// quickly; a folder being written by another process is never read half-done.
std::filesystem::path cachedFolder(const Options& options = {});

// The special tokens in id order, starting right after the learned vocabulary.
std::vector<std::string> specialTokens();
// The language codes, in the order of their tokens.
const std::vector<std::string>& languageCodes();

} // namespace WhisperTokenizerWriter
