#include "ZodozorEro/Core/WordTiming.h"

#include "ZodozorEro/Utilities/Hashing.h"

namespace ZodozorEro {

using namespace JsonCoding;

OrderedJson WordTiming::encode() const {
    OrderedJson json = OrderedJson::object();
    json["word"] = word;
    json["tokens"] = tokens;
    json["start"] = encodeFloat(start, "start");
    json["end"] = encodeFloat(end, "end");
    json["probability"] = encodeFloat(probability, "probability");
    return json;
}

WordTiming WordTiming::decode(const Json& json) {
    requireObject(json, "WordTiming");
    return WordTiming{
        .word = decodeRequired<std::string>(json, "word"),
        .tokens = decodeRequired<std::vector<int>>(json, "tokens"),
        .start = decodeRequired<float>(json, "start"),
        .end = decodeRequired<float>(json, "end"),
        .probability = decodeRequired<float>(json, "probability"),
    };
}

} // namespace ZodozorEro

std::size_t std::hash<ZodozorEro::WordTiming>::operator()(const ZodozorEro::WordTiming& timing) const {
    return ZodozorEro::Hasher()
        .combine(timing.word)
        .combine(timing.tokens)
        .combine(timing.start)
        .combine(timing.end)
        .combine(timing.probability)
        .finalize();
}
