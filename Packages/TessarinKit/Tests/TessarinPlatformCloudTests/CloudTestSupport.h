#pragma once

#include "System/Concurrency/BlockingRun.h"
#include "System/Keychain/InMemoryKeychain.h"
#include "System/Tests/NetTesting/LoopbackServer.h"
#include "TessarinCore/UseCases/WavEncoder.h"
#include "TessarinPlatform/System/KeychainSecretStore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

namespace CloudTestSupport {

using System::Concurrency::blockingRun;
using System::Concurrency::Task;

// A secret store in memory (the keychain store over the in-memory keychain), whose keychain can be made to
// fail and can be looked into.
struct MemorySecrets {
    static constexpr const char* service = "com.tessarin.Tessarin";

    std::shared_ptr<System::Keychain::InMemoryKeychain> keychain =
        std::make_shared<System::Keychain::InMemoryKeychain>();
    std::shared_ptr<TessarinPlatform::KeychainSecretStore> store =
        std::make_shared<TessarinPlatform::KeychainSecretStore>(service, keychain);

    static System::Keychain::ItemQuery query(TessarinCore::SecretKey key) {
        return {service, std::string(TessarinCore::rawValue(key))};
    }
    void put(TessarinCore::SecretKey key, std::string value) {
        keychain->putItem(query(key), {std::move(value), ""});
    }
    std::optional<std::string> stored(TessarinCore::SecretKey key) const {
        auto item = keychain->item(query(key));
        return item ? std::optional(item->data) : std::nullopt;
    }
};

// A short clip whose samples make every WAV byte count.
inline TessarinCore::AudioClip sampleClip(std::size_t count = 1600) {
    TessarinCore::AudioClip clip;
    for (std::size_t i = 0; i < count; ++i) {
        clip.samples.push_back(static_cast<float>(std::sin(static_cast<double>(i) * 0.05) * 0.8));
    }
    return clip;
}

inline std::string wavBytes(const TessarinCore::AudioClip& clip) {
    const auto wav = TessarinCore::WAVEncoder::encode(clip);
    return std::string(wav.begin(), wav.end());
}

// Runs the task to its end and returns the error of type E it failed with; fails the test when it ends
// otherwise.
template <class E, class T>
std::optional<E> failure(Task<T> task) {
    try {
        blockingRun(std::move(task));
    } catch (const E& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "failed with another error: " << other.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "did not fail";
    return std::nullopt;
}

} // namespace CloudTestSupport
