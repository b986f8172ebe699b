#include "TessarinPlatform/System/KeychainSecretStore.h"

#include "System/Keychain/SecretServiceKeychain.h"
#include "TessarinPlatform/System/SecretText.h"

namespace TessarinPlatform {

using System::Concurrency::Task;
using TessarinCore::SecretKey;
namespace status = System::Keychain::status;

namespace {

std::string describe(KeychainSecretStore::KeychainError::Case kind, System::Keychain::Status status) {
    if (kind == KeychainSecretStore::KeychainError::Case::accessDenied) {
        return "Parlindo wasn\u2019t allowed to read its key from your keyring. Unlock the keyring when your "
               "desktop asks.";
    }
    return System::Keychain::errorMessage(status).value_or("Keyring error " + std::to_string(status));
}

} // namespace

KeychainSecretStore::KeychainError::KeychainError(Case kind, System::Keychain::Status status)
    : DescribedError(describe(kind, status))
    , kind_(kind)
    , status_(status) {}

KeychainSecretStore::KeychainSecretStore(std::string service,
                                         std::shared_ptr<System::Keychain::Keychain> keychain)
    : service_(std::move(service))
    , keychain_(keychain ? std::move(keychain)
                         : std::make_shared<System::Keychain::SecretServiceKeychain>()) {}

System::Keychain::ItemQuery KeychainSecretStore::baseQuery(SecretKey key) const {
    return {service_, std::string(TessarinCore::rawValue(key))};
}

bool KeychainSecretStore::hasSecret(SecretKey key) {
    if (cache_.value(key)) {
        return true;
    }
    return keychain_->findItem(baseQuery(key)) == status::success;
}

Task<std::optional<std::string>> KeychainSecretStore::secret(SecretKey key) {
    if (auto value = cache_.value(key)) {
        co_return value;
    }
    co_return co_await onKeychainQueue([this, key]() -> std::optional<std::string> {
        // A read that queued behind another read of the same key finds its answer here.
        if (auto value = cache_.value(key)) {
            return value;
        }
        std::string data;
        const auto result = keychain_->copyData(baseQuery(key), data);
        switch (result) {
        case status::success: {
            auto text = secretText(std::move(data));
            if (text) {
                cache_.set(key, *text);
            }
            return text;
        }
        case status::itemNotFound:
            return std::nullopt;
        case status::interactionNotAllowed:
        case status::authFailed:
        case status::userCanceled:
            throw KeychainError::accessDenied();
        default:
            throw KeychainError::unexpectedStatus(result);
        }
    });
}

Task<void> KeychainSecretStore::setSecret(std::string secret, SecretKey key) {
    co_await onKeychainQueue([this, key, secret = std::move(secret)] {
        const auto query = baseQuery(key);
        const auto updated = keychain_->updateData(query, secret);
        if (updated == status::itemNotFound) {
            const auto added = keychain_->addItem(query, secret, "Parlindo \u2013 " + query.account);
            if (added != status::success) {
                throw KeychainError::unexpectedStatus(added);
            }
        } else if (updated != status::success) {
            throw KeychainError::unexpectedStatus(updated);
        }
        cache_.set(key, secret);
    });
}

Task<void> KeychainSecretStore::removeSecret(SecretKey key) {
    co_await onKeychainQueue([this, key] {
        cache_.erase(key);
        const auto result = keychain_->deleteItem(baseQuery(key));
        if (result != status::success && result != status::itemNotFound) {
            throw KeychainError::unexpectedStatus(result);
        }
    });
}

} // namespace TessarinPlatform
