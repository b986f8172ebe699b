#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "WhisperTokenizerWriter.h"

// whisper-tokenizer-writer FOLDER [MERGES]
int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s FOLDER [MERGES]\n", argv[0]);
        return 2;
    }
    WhisperTokenizerWriter::Options options;
    if (argc == 3) {
        options.mergeCount = static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10));
    }
    try {
        WhisperTokenizerWriter::write(argv[1], options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
