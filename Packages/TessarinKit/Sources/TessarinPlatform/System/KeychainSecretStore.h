#pragma once

#include "System/Concurrency/SerialQueue.h"
#include "System/Concurrency/Task.h"
#include "System/Keychain/Keychain.h"
#include "System/Log/ErrorDescription.h"
#include "TessarinCore/Ports/SecretStore.h"
#include "TessarinPlatform/System/SecretCache.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace TessarinPlatform {

// Secrets as generic-password items of the user's keychain, one item per secret (account = the key's raw
// value, under this store's service). Every value read or written is cached in memory and never refreshed.
// `hasSecret` asks the keychain on the caller's thread; every other keychain call runs, one at a time and in
// arrival order, on the store's serial queue "com.tessarin.keychain" and resumes the caller on its own
// executor.
class KeychainSecretStore final : public TessarinCore::SecretStore {
public:
    class KeychainError : public System::Log::DescribedError {
    public:
        enum class Case { unexpectedStatus, accessDenied };

        static KeychainError unexpectedStatus(System::Keychain::Status status) {
            return KeychainError(Case::unexpectedStatus, status);
        }
        static KeychainError accessDenied() { return KeychainError(Case::accessDenied, 0); }

        Case kind() const { return kind_; }
        // The keychain status of `unexpectedStatus`; 0 for `accessDenied`.
        System::Keychain::Status status() const { return status_; }
        bool operator==(const KeychainError& other) const {
            return kind_ == other.kind_ && status_ == other.status_;
        }

    private:
        KeychainError(Case kind, System::Keychain::Status status);
        Case kind_;
        System::Keychain::Status status_;
    };

    // The store over `keychain`; by default the session's Secret Service.
    explicit KeychainSecretStore(std::string service,
                                 std::shared_ptr<System::Keychain::Keychain> keychain = nullptr);

    bool hasSecret(TessarinCore::SecretKey key) override;
    System::Concurrency::Task<std::optional<std::string>> secret(TessarinCore::SecretKey key) override;
    System::Concurrency::Task<void> setSecret(std::string secret, TessarinCore::SecretKey key) override;
    System::Concurrency::Task<void> removeSecret(TessarinCore::SecretKey key) override;

    const std::string& service() const { return service_; }

private:
    System::Keychain::ItemQuery baseQuery(TessarinCore::SecretKey key) const;

    template <class F>
    System::Concurrency::Task<std::invoke_result_t<F>> onKeychainQueue(F work) {
        return System::Concurrency::runOn(queue_, std::move(work));
    }

    std::string service_;
    std::shared_ptr<System::Keychain::Keychain> keychain_;
    SecretCache cache_;
    System::Concurrency::SerialQueue queue_{"com.tessarin.keychain"};
};

} // namespace TessarinPlatform
