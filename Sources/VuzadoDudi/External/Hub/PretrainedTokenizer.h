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

// The same for a local folder; downloads nothing.
System::Concurrency::Task<TokenizerWrapper> fromModelFolder(std::filesystem::path modelFolder,
                                                            HubApiWrapper hubApi = HubApiWrapper::shared(),
                                                            bool strict = false);

} // namespace VuzadoDudi::AutoTokenizerWrapper
