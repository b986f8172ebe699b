#pragma once

#include "TessarinCore/Domain/DictationSettings.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"

#include <memory>
#include <vector>

namespace TessarinCore {

// Chooses the registered engine for a dictation's language (by the user's preference), and the on-device
// engine for a second try after an engine failed. Immutable; registration order breaks every tie.
class TranscriberRouter {
public:
    using Engine = std::shared_ptr<SpeechTranscribing>;

    // Every engine must be present (a null engine is a programming fault).
    explicit TranscriberRouter(std::vector<Engine> engines = {});

    const std::vector<Engine>& engines() const { return engines_; }

    // The preferred engine when it is registered and serves the language, else the first local engine that
    // does; never another cloud engine. Null when there is none.
    Engine primary(DictationLanguage language, const EnginePreferences& preferences) const;
    // The local engine to try after `failed`: for English the Apple engine before Whisper, otherwise Whisper
    // before Apple; never the engine that failed. Null when there is none.
    Engine fallback(DictationLanguage language, EngineID failed) const;
    std::vector<EngineID> availableEngines() const;
    // The first registered engine with this identifier, or null.
    Engine engine(EngineID id) const;

private:
    std::vector<Engine> engines_;
};

} // namespace TessarinCore
