#include "ZodozorEro/Core/TranscriptionResult.h"

#include <cstdio>

#include "VuzadoDudi/Logging.h"

namespace ZodozorEro {

using namespace JsonCoding;

namespace {

OrderedJson encodeSegments(const std::vector<TranscriptionSegment>& segments) {
    OrderedJson array = OrderedJson::array();
    for (const TranscriptionSegment& segment : segments) {
        array.push_back(segment.encode());
    }
    return array;
}

} // namespace

TranscriptionResult::TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text))
    , segments_(std::move(segments))
    , language_(std::move(language))
    , timings_(std::move(timings))
    , seekTime_(seekTime) {}

std::vector<WordTiming> TranscriptionResult::allWords() const {
    std::vector<WordTiming> words;
    for (const TranscriptionSegment& segment : segments()) {
        if (segment.words) {
            words.insert(words.end(), segment.words->begin(), segment.words->end());
        }
    }
    return words;
}

void TranscriptionResult::logSegments() const {
    const std::vector<TranscriptionSegment> all = segments();
    for (std::size_t i = 0; i < all.size(); ++i) {
        char span[96];
        std::snprintf(span, sizeof span, "] [%.2f --> %.2f] ", static_cast<double>(all[i].start),
                      static_cast<double>(all[i].end));
        VuzadoDudi::Logging::debug("[Segment " + std::to_string(i) + span + all[i].text);
    }
}

void TranscriptionResult::logTimings() const {
    std::int64_t totalTokens = 0;
    for (const TranscriptionSegment& segment : segments()) {
        totalTokens += static_cast<std::int64_t>(segment.tokens.size());
    }
    VuzadoDudi::Logging::info(timingReport(timings(), totalTokens));
}

OrderedJson TranscriptionResult::encode() const {
    OrderedJson json = OrderedJson::object();
    json["text"] = text();
    json["segments"] = encodeSegments(segments());
    json["language"] = language();
    json["timings"] = timings().encode();
    const std::optional<float> seek = seekTime();
    json["seekTime"] = seek ? encodeFloat(*seek, "seekTime") : OrderedJson(nullptr);
    return json;
}

TranscriptionResult TranscriptionResult::decode(const Json& json) {
    requireObject(json, "TranscriptionResult");
    auto text = decodeRequired<std::string>(json, "text");
    auto segments = decodeRequired<std::vector<TranscriptionSegment>>(json, "segments");
    auto language = decodeRequired<std::string>(json, "language");
    auto timings = decodeRequired<TranscriptionTimings>(json, "timings");
    if (!json.contains("seekTime")) {
        throw keyNotFound("seekTime");
    }
    auto seekTime = decodeIfPresent<float>(json, "seekTime");
    return TranscriptionResult(std::move(text), std::move(segments), std::move(language), timings, seekTime);
}

OrderedJson TranscriptionResultStruct::encode() const {
    OrderedJson json = OrderedJson::object();
    json["text"] = text;
    json["segments"] = encodeSegments(segments);
    json["language"] = language;
    json["timings"] = timings.encode();
    if (seekTime) {
        json["seekTime"] = encodeFloat(*seekTime, "seekTime");
    }
    return json;
}

TranscriptionResultStruct TranscriptionResultStruct::decode(const Json& json) {
    requireObject(json, "TranscriptionResultStruct");
    return TranscriptionResultStruct{
        .text = decodeRequired<std::string>(json, "text"),
        .segments = decodeRequired<std::vector<TranscriptionSegment>>(json, "segments"),
        .language = decodeRequired<std::string>(json, "language"),
        .timings = decodeRequired<TranscriptionTimings>(json, "timings"),
        .seekTime = decodeIfPresent<float>(json, "seekTime"),
    };
}

} // namespace ZodozorEro
