#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ZodozorEro/Core/ModelSupportConfig.h"

namespace ZodozorEro::Constants {

// The decoder's token context, and the default number of tokens decoded in one window.
inline constexpr int maxTokenContext = 224;
// One 30-second window at 16 kHz.
inline constexpr std::int64_t defaultWindowSamples = 480'000;
// Frames read from an audio file at a time.
inline constexpr std::uint32_t defaultAudioReadFrameSize = 1'323'000;
inline constexpr std::string_view defaultLanguageCode = "en";

// The 112 language names (alternative names included) and their codes.
const std::map<std::string, std::string>& languages();
// The 100 distinct codes of `languages()`.
const std::set<std::string>& languageCodes();

// "<", "|" and ">", the characters that wrap special tokens.
inline constexpr std::u32string_view specialTokenCharacters = U"<|>";

// The punctuation that word timing joins to the next word, and to the previous word.
inline constexpr std::string_view defaultPrependPunctuations = "\"'\u201c\u00a1\u00bf([{-";
inline constexpr std::string_view defaultAppendPunctuations =
    "\"'.\u3002,\uff0c!\uff01?\uff1f:\uff1a\u201d)]}\u3001";

// The model support table's file name in the model repository.
inline constexpr std::string_view defaultRemoteConfigName = "config.json";
// The model hub asked when the configuration names none (a build setting).
std::string defaultRemoteEndpoint();

// The built-in device table, and every model it knows in table order.
const ModelSupportConfig& fallbackModelSupportConfig();
const std::vector<std::string>& knownModels();

} // namespace ZodozorEro::Constants
