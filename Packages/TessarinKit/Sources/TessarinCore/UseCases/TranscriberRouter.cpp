#include "TessarinCore/UseCases/TranscriberRouter.h"

#include "System/Log/Logger.h"

#include <algorithm>
#include <array>

namespace TessarinCore {

namespace {
bool supports(const SpeechTranscribing& engine, DictationLanguage language) {
    return engine.supportedLanguages().contains(language);
}
} // namespace

TranscriberRouter::TranscriberRouter(std::vector<Engine> engines)
    : engines_(std::move(engines)) {
    if (std::find(engines_.begin(), engines_.end(), nullptr) != engines_.end()) {
        System::Log::fatalError("TranscriberRouter: a registered engine is null");
    }
}

TranscriberRouter::Engine TranscriberRouter::primary(DictationLanguage language,
                                                     const EnginePreferences& preferences) const {
    if (Engine preferred = engine(preferences.preferred(language));
        preferred && supports(*preferred, language)) {
        return preferred;
    }
    for (const Engine& candidate : engines_) {
        if (isLocal(candidate->engine()) && supports(*candidate, language)) {
            return candidate;
        }
    }
    return nullptr;
}

TranscriberRouter::Engine TranscriberRouter::fallback(DictationLanguage language, EngineID failed) const {
    const std::array<EngineID, 2> order = language == DictationLanguage::english
                                              ? std::array{EngineID::appleSpeech, EngineID::zodozorEro}
                                              : std::array{EngineID::zodozorEro, EngineID::appleSpeech};
    for (const EngineID candidate : order) {
        if (candidate == failed) {
            continue;
        }
        if (Engine registered = engine(candidate); registered && supports(*registered, language)) {
            return registered;
        }
    }
    return nullptr;
}

std::vector<EngineID> TranscriberRouter::availableEngines() const {
    std::vector<EngineID> ids;
    ids.reserve(engines_.size());
    for (const Engine& registered : engines_) {
        ids.push_back(registered->engine());
    }
    return ids;
}

TranscriberRouter::Engine TranscriberRouter::engine(EngineID id) const {
    const auto found = std::find_if(engines_.begin(), engines_.end(),
                                    [&](const Engine& registered) { return registered->engine() == id; });
    return found == engines_.end() ? nullptr : *found;
}

} // namespace TessarinCore
