#include "TessarinCore/Ports/SecretStore.h"

namespace TessarinCore {

std::optional<SecretKey> apiKey(EngineID engine) {
    switch (engine) {
    case EngineID::openAI:
        return SecretKey::openAIAPIKey;
    case EngineID::groq:
        return SecretKey::groqAPIKey;
    default:
        return std::nullopt;
    }
}

} // namespace TessarinCore
