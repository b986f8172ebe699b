#pragma once

// The tokenizer factories that go through the configuration loader: by model name on the hub, or from a local
// folder, with the tokenizer class completed from the model's type when the configuration names none.

#include "System/Concurrency/Task.h"
#include "VuzadoDudi/External/Hub/HubApiWrapper.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"

#include <filesystem>
#include <string>

namespace VuzadoDudi::AutoTokenizerWrapper {

// The tokenizer of the hub repository `pretrained` at revision "main". TokenizerError::missingConfig without
// a tokenizer configuration; the loader's and the tokenizer's errors unchanged.
System::Concurrency::Task<TokenizerWrapper>
fromPretrained(std::string pretrained, HubApiWrapper hubApi = HubApiWrapper::shared(), bool strict = false);

// The tokenizer of a local folder, read on the calling thread; downloads nothing. The loader's errors
// (HubClientError::configurationMissing without tokenizer.json, its errors for a file that cannot be read or
// is no JSON object), TokenizerError::missingConfig without a tokenizer configuration, and the tokenizer's
// own errors unchanged.
TokenizerWrapper from(const std::filesystem::path& modelFolder, bool strict = false);

// The same on the loader's worker.
System::Concurrency::Task<TokenizerWrapper> fromModelFolder(std::filesystem::path modelFolder,
                                                            HubApiWrapper hubApi = HubApiWrapper::shared(),
                                                            bool strict = false);

} // namespace VuzadoDudi::AutoTokenizerWrapper
