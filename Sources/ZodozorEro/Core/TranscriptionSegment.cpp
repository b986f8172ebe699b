#include "ZodozorEro/Core/TranscriptionSegment.h"

#include <algorithm>

#include "ZodozorEro/Utilities/Hashing.h"

namespace ZodozorEro {

using namespace JsonCoding;

OrderedJson TranscriptionSegment::encode() const {
    OrderedJson json = OrderedJson::object();
    json["id"] = id;
    json["seek"] = seek;
    json["start"] = encodeFloat(start, "start");
    json["end"] = encodeFloat(end, "end");
    json["text"] = text;
    json["tokens"] = tokens;
    OrderedJson logProbs = OrderedJson::array();
    for (const auto& probabilities : tokenLogProbs) {
        OrderedJson entry = OrderedJson::object();
        for (const auto& [token, logProb] : probabilities) {
            entry[std::to_string(token)] = encodeFloat(logProb, "tokenLogProbs");
        }
        logProbs.push_back(std::move(entry));
    }
    json["tokenLogProbs"] = std::move(logProbs);
    json["temperature"] = encodeFloat(temperature, "temperature");
    json["avgLogprob"] = encodeFloat(avgLogprob, "avgLogprob");
    json["compressionRatio"] = encodeFloat(compressionRatio, "compressionRatio");
    json["noSpeechProb"] = encodeFloat(noSpeechProb, "noSpeechProb");
    if (words) {
        OrderedJson array = OrderedJson::array();
        for (const WordTiming& word : *words) {
            array.push_back(word.encode());
        }
        json["words"] = std::move(array);
    }
    return json;
}

TranscriptionSegment TranscriptionSegment::decode(const Json& json) {
    requireObject(json, "TranscriptionSegment");
    return TranscriptionSegment{
        .id = decodeRequired<int>(json, "id"),
        .seek = decodeRequired<std::int64_t>(json, "seek"),
        .start = decodeRequired<float>(json, "start"),
        .end = decodeRequired<float>(json, "end"),
        .text = decodeRequired<std::string>(json, "text"),
        .tokens = decodeRequired<std::vector<int>>(json, "tokens"),
        .tokenLogProbs = decodeRequired<std::vector<std::map<int, float>>>(json, "tokenLogProbs"),
        .temperature = decodeRequired<float>(json, "temperature"),
        .avgLogprob = decodeRequired<float>(json, "avgLogprob"),
        .compressionRatio = decodeRequired<float>(json, "compressionRatio"),
        .noSpeechProb = decodeRequired<float>(json, "noSpeechProb"),
        .words = decodeIfPresent<std::vector<WordTiming>>(json, "words"),
    };
}

bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment) {
    return std::any_of(segments.begin(), segments.end(), [&](const TranscriptionSegment& candidate) {
        return candidate.start == segment.start;
    });
}

} // namespace ZodozorEro

std::size_t std::hash<ZodozorEro::TranscriptionSegment>::operator()(
    const ZodozorEro::TranscriptionSegment& segment) const {
    return ZodozorEro::Hasher()
        .combine(segment.id)
        .combine(segment.seek)
        .combine(segment.start)
        .combine(segment.end)
        .combine(segment.text)
        .combine(segment.tokens)
        .combine(segment.tokenLogProbs)
        .combine(segment.temperature)
        .combine(segment.avgLogprob)
        .combine(segment.compressionRatio)
        .combine(segment.noSpeechProb)
        .combine(segment.words)
        .finalize();
}
