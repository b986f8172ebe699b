#pragma once

// Model helpers of the Whisper pipeline: the recommendation for a device, the model size read from the loaded
// models' dimensions, where each size's tokenizer lives on the hub, loading that tokenizer, and the model names
// of a repository listing.

#include "System/Concurrency/Task.h"
#include "ZodozorEro/Core/ModelSupportConfig.h"
#include "ZodozorEro/Core/ModelVariant.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ZodozorEro::ModelUtilities {

// The models the device should use, from `table` or, without one, from the built-in table.
ModelSupport modelSupport(const std::string& deviceIdentifier, const ModelSupportConfig* table = nullptr);

// The model size for a decoder vocabulary and an encoder width: the vocabulary decides English-only,
// multilingual or the latest large model, the width the size. An unknown width gives the base size of that
// vocabulary; an unknown vocabulary gives `base` and an error line in the log.
ModelVariant detectVariant(int logitsDim, int encoderDim);

// The hub repository holding the tokenizer of a model size ("openai/whisper-tiny.en", ...).
std::string tokenizerNameForVariant(ModelVariant variant);

// The tokenizer of a model size. Folders are searched in order: the repository's folder in the hub cache
// below `tokenizerFolder`, `tokenizerFolder` itself, then `additionalSearchPaths`; the first holding a
// "tokenizer.json" is read. When none does, or that one cannot be read, the tokenizer is fetched from the hub
// into the cache (whose errors pass on).
System::Concurrency::Task<std::shared_ptr<const WhisperTokenizer>>
loadTokenizer(ModelVariant variant, std::optional<std::filesystem::path> tokenizerFolder,
              std::vector<std::filesystem::path> additionalSearchPaths, bool useBackgroundSession);

// The model folder names of a repository listing that belong to a known model size, each once, ordered by
// the first size whose name they contain, then alphabetically.
std::vector<std::string> formatModelFiles(const std::vector<std::string>& files);

} // namespace ZodozorEro::ModelUtilities
