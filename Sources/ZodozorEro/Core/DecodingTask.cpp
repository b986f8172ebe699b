#include "ZodozorEro/Core/DecodingTask.h"

namespace ZodozorEro {

using namespace JsonCoding;

std::string_view description(DecodingTask task) {
    return task == DecodingTask::transcribe ? "transcribe" : "translate";
}

OrderedJson encodeDecodingTask(DecodingTask task) {
    OrderedJson json = OrderedJson::object();
    json[std::string(description(task))] = OrderedJson::object();
    return json;
}

void decodeValue(const Json& json, DecodingTask& task) {
    requireObject(json, "DecodingTask");
    std::optional<DecodingTask> found;
    int count = 0;
    for (DecodingTask task : allDecodingTasks) {
        if (json.contains(description(task))) {
            found = task;
            ++count;
        }
    }
    if (count != 1) {
        throw DecodingError(DecodingError::Kind::typeMismatch, {},
                            "Invalid number of keys found, expected one.");
    }
    const std::string key(description(*found));
    withPathComponent(key, [&] { requireObject(json.at(key), key); });
    task = *found;
}

std::string_view rawValue(ChunkingStrategy strategy) {
    return strategy == ChunkingStrategy::none ? "none" : "vad";
}

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw) {
    for (ChunkingStrategy strategy : allChunkingStrategies) {
        if (rawValue(strategy) == raw) {
            return strategy;
        }
    }
    return std::nullopt;
}

void decodeValue(const Json& json, ChunkingStrategy& strategy) {
    const auto raw = decode<std::string>(json);
    const auto decoded = chunkingStrategyFromRawValue(raw);
    if (!decoded) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, {},
                            "Cannot initialize ChunkingStrategy from invalid String value " + raw);
    }
    strategy = *decoded;
}

} // namespace ZodozorEro
