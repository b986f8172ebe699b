#pragma once

#include "System/Concurrency/Task.h"
#include "TessarinCore/Domain/RawValue.h"
#include "TessarinCore/Domain/Transcription.h"

#include <optional>
#include <string>

namespace TessarinCore {

// The secrets the system keeps; the raw value is the name a store files the secret under.
enum class SecretKey { openAIAPIKey, groqAPIKey, tessarinDeviceToken };

template <>
struct RawValues<SecretKey> {
    static constexpr std::array<std::pair<SecretKey, std::string_view>, 3> cases{{
        {SecretKey::openAIAPIKey, "openai-api-key"},
        {SecretKey::groqAPIKey, "groq-api-key"},
        {SecretKey::tessarinDeviceToken, "tessarin-device-token"},
    }};
};

// The secret that holds the engine's API key; nothing for engines that need none (the cloud service's device
// token is not an API key).
std::optional<SecretKey> apiKey(EngineID engine);

// Keeps secrets as the UTF-8 bytes of their text. A secret that is not stored is never an error: reads give
// nothing and removals succeed.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // Answers without suspending.
    virtual bool hasSecret(SecretKey key) = 0;
    virtual System::Concurrency::Task<std::optional<std::string>> secret(SecretKey key) = 0;
    virtual System::Concurrency::Task<void> setSecret(std::string secret, SecretKey key) = 0;
    virtual System::Concurrency::Task<void> removeSecret(SecretKey key) = 0;
};

} // namespace TessarinCore
