#pragma once

// A complete model folder of random tiny models and the Whisper-style test tokenizer, and a stand-in hub that
// serves it under the repository and folder names the facade looks for.

#include "VuzadoDudi/Tests/HubTesting/StandInHub.h"
#include "System/Audio/AudioFileWriter.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "ZodozorEro/Core/DecodingOptions.h"
#include "TinyModelGenerator/TinyModelGenerator.h"
#include "VuzadoDudi/External/Hub/NetworkMonitor.h"
#include "WhisperTokenizerWriter/WhisperTokenizerWriter.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace FacadeTesting {

// The multilingual vocabulary: the test tokenizer at its default size has exactly this many tokens.
inline constexpr int kVocabulary = 51865;
// An encoder width no published size has, so detection names the base size (and the base tokenizer).
inline constexpr int kWidth = 64;
inline const std::string kModelRepo = "zodozorero/zodozorero-coreml";
inline const std::string kModelName = "openai_whisper-base";
inline const std::string kTokenizerRepo = "openai/whisper-base";

// Writes the three models of one folder: log-mel, encoder and decoder, with the sizes of a real window
// (30 s, 1500 encoder positions, a 224-token cache) and a narrow width so the suite stays quick.
inline void writeModels(const std::filesystem::path& folder, int vocabulary = kVocabulary, std::uint64_t seed = 7) {
    TinyModelGenerator::EncoderOptions encoder;
    encoder.width = kWidth;
    encoder.layers = 1;
    encoder.heads = 2;
    encoder.seed = seed;
    TinyModelGenerator::writeFrontEnd(folder, encoder);
    TinyModelGenerator::DecoderOptions decoder;
    decoder.vocabularySize = vocabulary;
    decoder.width = kWidth;
    decoder.layers = 1;
    decoder.heads = 2;
    decoder.seed = seed + 1;
    decoder.alignmentHeads = TinyModelGenerator::upperHalfHeads(1, 2);
    TinyModelGenerator::writeDecoderModel(folder / "TextDecoder.mlmodelc", decoder);
}

// The tokenizer files, written once per machine and reused.
inline std::filesystem::path tokenizerFolder() {
    return WhisperTokenizerWriter::cachedFolder();
}

inline void copyTokenizer(const std::filesystem::path& to) {
    std::filesystem::create_directories(to);
    for (const char* name : {"tokenizer.json", "tokenizer_config.json"}) {
        std::filesystem::copy_file(tokenizerFolder() / name, to / name,
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

// Few tokens a window and no second attempt: random weights never give text worth retrying, and the suite
// stays quick.
inline ZodozorEro::DecodingOptions quickOptions() {
    ZodozorEro::DecodingOptions options;
    options.temperatureFallbackCount = 0;
    options.sampleLength = 6;
    // Random logits make every first token unlikely; the window would end before its first step.
    options.firstTokenLogProbThreshold = std::nullopt;
    return options;
}

// A 16 kHz mono float WAV file of random noise; its samples are returned.
inline std::vector<float> writeSpeechLikeFile(const std::filesystem::path& file, double seconds, std::uint64_t seed) {
    const auto count = std::size_t(seconds * 16'000);
    auto samples = TinyModelGenerator::RandomWeights(seed).uniform(count, -0.3f, 0.3f);
    System::Audio::writeAudioFile(file, System::Audio::AudioFileEncoding::wavFloat32, 16'000, {samples});
    return samples;
}

// The hub client asks the network monitor before each snapshot; the stand-in hub is on loopback, so the
// machine counts as online whatever its routes say. The tokenizer download names no hub of its own, so the
// stand-in hub is also made the process default for the life of the object.
class OnlineHub {
public:
    OnlineHub()
        : original_(VuzadoDudi::NetworkMonitor::shared()) {
        struct Online : VuzadoDudi::NetworkPathSource {
            void start(std::function<void(VuzadoDudi::NetworkPath)> report) override {
                report(VuzadoDudi::NetworkPath{true});
            }
        };
        VuzadoDudi::NetworkMonitor::setShared(
            std::make_shared<VuzadoDudi::NetworkMonitor>(std::make_unique<Online>()));
        if (const char* value = std::getenv("HUB_ENDPOINT")) {
            previousEndpoint_ = value;
        }
        setenv("HUB_ENDPOINT", hub.endpoint().c_str(), 1);
    }
    ~OnlineHub() {
        if (previousEndpoint_) {
            setenv("HUB_ENDPOINT", previousEndpoint_->c_str(), 1);
        } else {
            unsetenv("HUB_ENDPOINT");
        }
        VuzadoDudi::NetworkMonitor::setShared(original_);
    }
    OnlineHub(const OnlineHub&) = delete;
    OnlineHub& operator=(const OnlineHub&) = delete;

    VuzadoDudi::HubTesting::StandInHub hub;

private:
    std::shared_ptr<VuzadoDudi::NetworkMonitor> original_;
    std::optional<std::string> previousEndpoint_;
};

} // namespace FacadeTesting
