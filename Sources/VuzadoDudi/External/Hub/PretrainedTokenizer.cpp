#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"

#include "VuzadoDudi/External/Hub/LanguageModelConfigurationFromHub.h"
#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

using System::Concurrency::Task;

namespace VuzadoDudi::AutoTokenizerWrapper {

namespace {

Task<TokenizerWrapper> fromLoader(const LanguageModelConfigurationFromHub& loader, bool strict) {
    const auto tokenizerConfig = co_await loader.tokenizerConfig();
    if (!tokenizerConfig) {
        throw TokenizerError::missingConfig();
    }
    const auto loaded = co_await loader.configurations();
    const auto construct = AutoTokenizer::tokenizerClass(*tokenizerConfig);
    co_return TokenizerWrapper{construct(*tokenizerConfig, loaded.tokenizerData, strict)};
}

} // namespace

Task<TokenizerWrapper> fromPretrained(std::string pretrained, HubApiWrapper hubApi, bool strict) {
    const LanguageModelConfigurationFromHub loader(std::move(pretrained), "main", std::move(hubApi));
    co_return co_await fromLoader(loader, strict);
}

Task<TokenizerWrapper> fromModelFolder(std::filesystem::path modelFolder, HubApiWrapper hubApi, bool strict) {
    const LanguageModelConfigurationFromHub loader(std::move(modelFolder), std::move(hubApi));
    co_return co_await fromLoader(loader, strict);
}

} // namespace VuzadoDudi::AutoTokenizerWrapper
