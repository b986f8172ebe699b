#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"

#include "VuzadoDudi/External/Hub/LanguageModelConfigurationFromHub.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

using System::Concurrency::Task;

namespace VuzadoDudi::AutoTokenizerWrapper {

namespace {

TokenizerWrapper fromConfigurations(const LanguageModelConfigurationFromHub::Configurations& loaded,
                                    bool strict) {
    const auto tokenizerConfig = LanguageModelConfigurationFromHub::completedTokenizerConfig(loaded);
    if (!tokenizerConfig) {
        throw TokenizerError::missingConfig();
    }
    return from(*tokenizerConfig, loaded.tokenizerData, strict);
}

Task<TokenizerWrapper> fromLoader(const LanguageModelConfigurationFromHub& loader, bool strict) {
    co_return fromConfigurations(co_await loader.configurations(), strict);
}

} // namespace

TokenizerWrapper from(const std::filesystem::path& modelFolder, bool strict) {
    return fromConfigurations(LanguageModelConfigurationFromHub::loadConfig(modelFolder), strict);
}

Task<TokenizerWrapper> fromPretrained(std::string pretrained, HubApiWrapper hubApi, bool strict) {
    const LanguageModelConfigurationFromHub loader(std::move(pretrained), "main", std::move(hubApi));
    co_return co_await fromLoader(loader, strict);
}

Task<TokenizerWrapper> fromModelFolder(std::filesystem::path modelFolder, HubApiWrapper hubApi, bool strict) {
    const LanguageModelConfigurationFromHub loader(std::move(modelFolder), std::move(hubApi));
    co_return co_await fromLoader(loader, strict);
}

} // namespace VuzadoDudi::AutoTokenizerWrapper
