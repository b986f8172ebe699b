#include "ZodozorEro/Core/DecodingOptions.h"

#include <cmath>

#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

using namespace JsonCoding;

namespace {

template <class T>
void putIfPresent(OrderedJson& json, const char* key, const std::optional<T>& value) {
    if (value) {
        json[key] = *value;
    }
}

void putIfPresent(OrderedJson& json, const char* key, const std::optional<float>& value) {
    if (value) {
        json[key] = encodeFloat(*value, key);
    }
}

std::int64_t sampleIndex(float seconds) {
    const double sample = std::round(static_cast<double>(seconds * 16000.0f));
    // 2^63 is exact as a double; the sample must stay below it to fit.
    if (!std::isfinite(sample) || std::abs(sample) >= 9223372036854775808.0) {
        throw WhisperError::transcriptionFailed("Clip timestamps must be finite times in seconds; " +
                                                std::to_string(seconds) + " is not");
    }
    return static_cast<std::int64_t>(sample);
}

} // namespace

OrderedJson DecodingOptions::encode() const {
    OrderedJson json = OrderedJson::object();
    json["verbose"] = verbose;
    json["task"] = encodeDecodingTask(task);
    putIfPresent(json, "language", language);
    json["temperature"] = encodeFloat(temperature, "temperature");
    json["temperatureIncrementOnFallback"] =
        encodeFloat(temperatureIncrementOnFallback, "temperatureIncrementOnFallback");
    json["temperatureFallbackCount"] = temperatureFallbackCount;
    json["sampleLength"] = sampleLength;
    json["topK"] = topK;
    json["usePrefillPrompt"] = usePrefillPrompt;
    json["detectLanguage"] = detectLanguage;
    json["skipSpecialTokens"] = skipSpecialTokens;
    json["withoutTimestamps"] = withoutTimestamps;
    json["wordTimestamps"] = wordTimestamps;
    putIfPresent(json, "maxInitialTimestamp", maxInitialTimestamp);
    putIfPresent(json, "maxWindowSeek", maxWindowSeek);
    json["clipTimestamps"] = encodeFloats(clipTimestamps, "clipTimestamps");
    json["windowClipTime"] = encodeFloat(windowClipTime, "windowClipTime");
    putIfPresent(json, "promptTokens", promptTokens);
    putIfPresent(json, "prefixTokens", prefixTokens);
    json["suppressBlank"] = suppressBlank;
    json["suppressTokens"] = suppressTokens;
    putIfPresent(json, "compressionRatioThreshold", compressionRatioThreshold);
    putIfPresent(json, "logProbThreshold", logProbThreshold);
    putIfPresent(json, "firstTokenLogProbThreshold", firstTokenLogProbThreshold);
    putIfPresent(json, "noSpeechThreshold", noSpeechThreshold);
    json["concurrentWorkerCount"] = concurrentWorkerCount;
    if (chunkingStrategy) {
        json["chunkingStrategy"] = std::string(rawValue(*chunkingStrategy));
    }
    return json;
}

DecodingOptions DecodingOptions::decode(const Json& json) {
    requireObject(json, "DecodingOptions");
    // Designated initializers are evaluated in order, so the first missing key in field order is the one
    // reported.
    return DecodingOptions{
        .verbose = decodeRequired<bool>(json, "verbose"),
        .task = decodeRequired<DecodingTask>(json, "task"),
        .language = decodeIfPresent<std::string>(json, "language"),
        .temperature = decodeRequired<float>(json, "temperature"),
        .temperatureIncrementOnFallback = decodeRequired<float>(json, "temperatureIncrementOnFallback"),
        .temperatureFallbackCount = decodeRequired<int>(json, "temperatureFallbackCount"),
        .sampleLength = decodeRequired<int>(json, "sampleLength"),
        .topK = decodeRequired<int>(json, "topK"),
        .usePrefillPrompt = decodeRequired<bool>(json, "usePrefillPrompt"),
        .detectLanguage = decodeRequired<bool>(json, "detectLanguage"),
        .skipSpecialTokens = decodeRequired<bool>(json, "skipSpecialTokens"),
        .withoutTimestamps = decodeRequired<bool>(json, "withoutTimestamps"),
        .wordTimestamps = decodeRequired<bool>(json, "wordTimestamps"),
        .maxInitialTimestamp = decodeIfPresent<float>(json, "maxInitialTimestamp"),
        .maxWindowSeek = decodeIfPresent<std::int64_t>(json, "maxWindowSeek"),
        .clipTimestamps = decodeRequired<std::vector<float>>(json, "clipTimestamps"),
        .windowClipTime = decodeRequired<float>(json, "windowClipTime"),
        .promptTokens = decodeIfPresent<std::vector<int>>(json, "promptTokens"),
        .prefixTokens = decodeIfPresent<std::vector<int>>(json, "prefixTokens"),
        .suppressBlank = decodeRequired<bool>(json, "suppressBlank"),
        .suppressTokens = decodeRequired<std::vector<int>>(json, "suppressTokens"),
        .compressionRatioThreshold = decodeIfPresent<float>(json, "compressionRatioThreshold"),
        .logProbThreshold = decodeIfPresent<float>(json, "logProbThreshold"),
        .firstTokenLogProbThreshold = decodeIfPresent<float>(json, "firstTokenLogProbThreshold"),
        .noSpeechThreshold = decodeIfPresent<float>(json, "noSpeechThreshold"),
        .concurrentWorkerCount = decodeRequired<int>(json, "concurrentWorkerCount"),
        .chunkingStrategy = decodeIfPresent<ChunkingStrategy>(json, "chunkingStrategy"),
    };
}

std::vector<SampleSpan> DecodingOptions::prepareSeekClips(std::int64_t contentFrames) const {
    std::vector<std::int64_t> points;
    points.reserve(clipTimestamps.size() + 1);
    for (float seconds : clipTimestamps) {
        points.push_back(sampleIndex(seconds));
    }
    if (points.empty()) {
        points.push_back(0);
    }
    if (points.size() % 2 == 1) {
        points.push_back(contentFrames);
    }
    std::vector<SampleSpan> clips;
    for (std::size_t i = 0; i + 1 < points.size(); i += 2) {
        clips.push_back(SampleSpan{.startIndex = points[i], .endIndex = points[i + 1]});
    }
    return clips;
}

} // namespace ZodozorEro
