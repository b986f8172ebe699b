#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "ZodozorEro/Utilities/JsonCoding.h"

namespace ZodozorEro {

// Transcribe in the spoken language, or translate into English.
enum class DecodingTask { transcribe, translate };

inline constexpr std::array<DecodingTask, 2> allDecodingTasks = {DecodingTask::transcribe,
                                                                 DecodingTask::translate};

// "transcribe" or "translate".
std::string_view description(DecodingTask task);

// The keyed form: {"transcribe": {}} or {"translate": {}}.
JsonCoding::OrderedJson encodeDecodingTask(DecodingTask task);
// Exactly one of the two keys, holding an object whose contents are not read; other keys are ignored. Fails
// with a typeMismatch "Invalid number of keys found, expected one." for none or both.
void decodeValue(const JsonCoding::Json& json, DecodingTask& task);

// How long audio is cut before decoding: not at all, or at the silences voice activity detection finds.
enum class ChunkingStrategy { none, vad };

inline constexpr std::array<ChunkingStrategy, 2> allChunkingStrategies = {ChunkingStrategy::none,
                                                                          ChunkingStrategy::vad};

// "none" or "vad".
std::string_view rawValue(ChunkingStrategy strategy);
// Case-sensitive: "VAD" gives nothing.
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view raw);
// The raw string; another string fails with dataCorrupted.
void decodeValue(const JsonCoding::Json& json, ChunkingStrategy& strategy);

} // namespace ZodozorEro
