#include "ZodozorEro/Core/TranscriptionTimings.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "VuzadoDudi/Logging.h"

namespace ZodozorEro {

namespace {

using Field = double TranscriptionTimings::*;

// The coded form's keys, in field order.
constexpr std::array<std::pair<const char*, Field>, 33> kFields{{
    {"pipelineStart", &TranscriptionTimings::pipelineStart},
    {"firstTokenTime", &TranscriptionTimings::firstTokenTime},
    {"inputAudioSeconds", &TranscriptionTimings::inputAudioSeconds},
    {"modelLoading", &TranscriptionTimings::modelLoading},
    {"prewarmLoadTime", &TranscriptionTimings::prewarmLoadTime},
    {"encoderLoadTime", &TranscriptionTimings::encoderLoadTime},
    {"decoderLoadTime", &TranscriptionTimings::decoderLoadTime},
    {"encoderSpecializationTime", &TranscriptionTimings::encoderSpecializationTime},
    {"decoderSpecializationTime", &TranscriptionTimings::decoderSpecializationTime},
    {"tokenizerLoadTime", &TranscriptionTimings::tokenizerLoadTime},
    {"audioLoading", &TranscriptionTimings::audioLoading},
    {"audioProcessing", &TranscriptionTimings::audioProcessing},
    {"logmels", &TranscriptionTimings::logmels},
    {"encoding", &TranscriptionTimings::encoding},
    {"decodingInit", &TranscriptionTimings::decodingInit},
    {"decodingLoop", &TranscriptionTimings::decodingLoop},
    {"decodingPredictions", &TranscriptionTimings::decodingPredictions},
    {"decodingFiltering", &TranscriptionTimings::decodingFiltering},
    {"decodingSampling", &TranscriptionTimings::decodingSampling},
    {"decodingFallback", &TranscriptionTimings::decodingFallback},
    {"decodingWindowing", &TranscriptionTimings::decodingWindowing},
    {"decodingKvCaching", &TranscriptionTimings::decodingKvCaching},
    {"decodingWordTimestamps", &TranscriptionTimings::decodingWordTimestamps},
    {"decodingNonPrediction", &TranscriptionTimings::decodingNonPrediction},
    {"totalAudioProcessingRuns", &TranscriptionTimings::totalAudioProcessingRuns},
    {"totalLogmelRuns", &TranscriptionTimings::totalLogmelRuns},
    {"totalEncodingRuns", &TranscriptionTimings::totalEncodingRuns},
    {"totalDecodingLoops", &TranscriptionTimings::totalDecodingLoops},
    {"totalKVUpdateRuns", &TranscriptionTimings::totalKVUpdateRuns},
    {"totalTimestampAlignmentRuns", &TranscriptionTimings::totalTimestampAlignmentRuns},
    {"totalDecodingFallbacks", &TranscriptionTimings::totalDecodingFallbacks},
    {"totalDecodingWindows", &TranscriptionTimings::totalDecodingWindows},
    {"fullPipeline", &TranscriptionTimings::fullPipeline},
}};

// printf's text, except that a value that is not a number reads "nan" whatever its sign bit (0 / 0 sets it).
std::string formatted(const char* format, double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// A double as a count is shown in logs: its shortest decimal, with ".0" when it is integral (2 shows as 2.0).
std::string countText(double value) {
    char buffer[64];
    const bool plain = value == 0 || (std::abs(value) >= 1e-4 && std::abs(value) < 9007199254740992.0);
    const auto result = plain ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed)
                              : std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

} // namespace

JsonCoding::OrderedJson TranscriptionTimings::encode() const {
    JsonCoding::OrderedJson json = JsonCoding::OrderedJson::object();
    for (const auto& [key, field] : kFields) {
        json[key] = JsonCoding::encodeDouble(this->*field, key);
    }
    return json;
}

TranscriptionTimings TranscriptionTimings::decode(const JsonCoding::Json& json) {
    JsonCoding::requireObject(json, "TranscriptionTimings");
    TranscriptionTimings timings;
    for (const auto& [key, field] : kFields) {
        timings.*field = JsonCoding::decodeRequired<double>(json, key);
    }
    return timings;
}

std::string timingReport(const TranscriptionTimings& t, std::int64_t totalTokens) {
    const double totalMilliseconds =
        (t.decodingLoop > t.fullPipeline ? t.decodingLoop : t.fullPipeline) * 1000;
    const auto stage = [&](double seconds, double runs) {
        return VuzadoDudi::Logging::formatTimeWithPercentage(seconds, runs, totalMilliseconds);
    };
    const double rtf = t.fullPipeline / t.inputAudioSeconds;

    std::string report;
    report += "---- Transcription Timings ----\nAudio Load:          " + stage(t.audioLoading, 1);
    report += "\nAudio Processing:    " + stage(t.audioProcessing, t.totalAudioProcessingRuns);
    report += "\nMels:                " + stage(t.logmels, t.totalLogmelRuns);
    report += "\nEncoding:            " + stage(t.encoding, t.totalEncodingRuns);
    report += "\nMatrices Init:       " + stage(t.decodingInit, 1);
    report += "\nDecoding:            " + stage(t.decodingPredictions, t.totalDecodingLoops);
    report += "\nNon-inference:       " + stage(t.decodingNonPrediction, t.totalDecodingLoops);
    report += "\n- Logit Filtering:   " + stage(t.decodingFiltering, t.totalDecodingLoops);
    report += "\n- Sampling:          " + stage(t.decodingSampling, t.totalDecodingLoops);
    report += "\n- Kv Caching:        " + stage(t.decodingKvCaching, t.totalKVUpdateRuns);
    report += "\n- Word Timestamps:   " + stage(t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
    report += "\n- Windowing:         " +
              stage(t.decodingWindowing - t.decodingWordTimestamps, t.totalDecodingWindows);
    report += "\nFallbacks:           " + stage(t.decodingFallback, t.totalDecodingFallbacks);
    report += "\nDecoding Full Loop:  " + stage(t.decodingLoop, t.totalDecodingLoops);
    report += "\n-------------------------------\nModel Load Time:               " +
              formatted("%.2f", t.modelLoading);
    report += " seconds\n- Prewarm:                     " + formatted("%.2f", t.prewarmLoadTime);
    report += " seconds\n- Encoder:                     " + formatted("%.2f", t.encoderLoadTime);
    report += " seconds\n- Decoder:                     " + formatted("%.2f", t.decoderLoadTime);
    report += " seconds\n- Tokenizer:                   " + formatted("%.2f", t.tokenizerLoadTime);
    report += " seconds\nInference Duration (Global):   " + formatted("%.2f", t.fullPipeline);
    report += " seconds\n- Decoding Loop (Avg/window):  " +
              formatted("%.2f", t.decodingLoop / t.totalAudioProcessingRuns);
    report += " seconds\n- Audio Windows:               " + formatted("%.2f", t.totalAudioProcessingRuns);
    report += "\nTime to first token:           " + formatted("%.2f", t.firstTokenTime - t.pipelineStart);
    report += " seconds\nTotal Tokens:                  " + std::to_string(totalTokens);
    report += "\nTokens per Second:             " + formatted("%.2f", t.totalDecodingLoops / t.fullPipeline);
    report += " tok/s\nReal Time Factor:              " + formatted("%.3f", rtf);
    report += "\nSpeed Factor:                  " + formatted("%.3f", 1 / rtf);
    report += "\nFallbacks:                     " + countText(t.totalDecodingFallbacks);
    return report;
}

} // namespace ZodozorEro
