#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VuzadoDudi/Logging.h"
#include "ZodozorEro/Core/Audio/AudioInputOptions.h"
#include "ZodozorEro/Core/Audio/AudioProcessing.h"
#include "ZodozorEro/Core/Audio/VoiceActivityDetector.h"
#include "ZodozorEro/Core/ModelComputeOptions.h"
#include "ZodozorEro/Core/Text/LogitsFiltering.h"
#include "ZodozorEro/Core/Text/SegmentSeeking.h"
#include "ZodozorEro/Core/TextDecoding.h"

namespace ZodozorEro {

// The log-mel and audio-encoder stages, defined with the model stages themselves.
class FeatureExtracting;
class AudioEncoding;

// Everything a Whisper pipeline is built from. The pipeline reads it once while it is set up; changes made
// afterwards do not reach it. Nothing is filled in or checked here: an absent value leaves the choice to the
// pipeline. Stage objects are shared with the caller who made them.
struct ZodozorEroConfig {
    // A model name to find or fetch, such as one of Constants::knownModels().
    std::optional<std::string> model;
    // The folder models are downloaded under.
    std::optional<std::filesystem::path> downloadBase;
    // The hub repository holding the model folders.
    std::optional<std::string> modelRepo;
    // A hub access token; the program never stores one.
    std::optional<std::string> modelToken;
    std::optional<std::string> modelEndpoint;
    // The path of a model folder already on disk.
    std::optional<std::string> modelFolder;
    // Where the tokenizer files are, or are to be put.
    std::optional<std::filesystem::path> tokenizerFolder;
    std::optional<ModelComputeOptions> computeOptions;
    std::optional<AudioInputOptions> audioInputConfig;
    // Stages that replace the built-in ones.
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    // Used when the decoding options ask for chunking at silences.
    std::shared_ptr<const VoiceActivityDetector> voiceActivityDetector;
    bool verbose = false;
    // The level the pipeline installs in the library logger.
    VuzadoDudi::Logging::LogLevel logLevel = VuzadoDudi::Logging::LogLevel::none;
    // Prewarm (specialise) and load the models on creation; absent leaves the choice to the pipeline.
    std::optional<bool> prewarm;
    std::optional<bool> load;
    // Download the model when it is not present.
    bool download = false;
    bool useBackgroundDownloadSession = false;
};

} // namespace ZodozorEro
