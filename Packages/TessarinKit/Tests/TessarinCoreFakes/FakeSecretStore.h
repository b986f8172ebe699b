#pragma once

#include "FakeOperation.h"
#include "TessarinCore/Ports/SecretStore.h"

#include <map>
#include <string>

namespace TessarinCore::Fakes {

// Keeps secrets in memory.
class FakeSecretStore final : public SecretStore {
public:
    std::map<SecretKey, std::string> secrets;
    FakeOperation<void> reading;
    FakeOperation<void> writing;
    FakeOperation<void> removing;

    bool hasSecret(SecretKey key) override { return secrets.count(key) != 0; }

    System::Concurrency::Task<std::optional<std::string>> secret(SecretKey key) override {
        co_await reading.call([] {});
        const auto found = secrets.find(key);
        co_return found == secrets.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    System::Concurrency::Task<void> setSecret(std::string secret, SecretKey key) override {
        co_await writing.call([] {});
        secrets[key] = std::move(secret);
    }
    System::Concurrency::Task<void> removeSecret(SecretKey key) override {
        co_await removing.call([] {});
        secrets.erase(key);
    }
};

} // namespace TessarinCore::Fakes
