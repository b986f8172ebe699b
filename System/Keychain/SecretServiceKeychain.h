#pragma once

#include "System/Keychain/Keychain.h"

namespace System::Keychain {

// The keychain on the freedesktop Secret Service (GNOME Keyring, KWallet and others) of the session bus,
// through libsecret. Items carry the attributes "service" and "account" under the schema
// "com.tessarin.GenericPassword"; new items go to the default collection.
class SecretServiceKeychain final : public Keychain {
public:
    Status findItem(const ItemQuery& query) override;
    Status copyData(const ItemQuery& query, std::string& data) override;
    Status updateData(const ItemQuery& query, std::string_view data) override;
    Status addItem(const ItemQuery& query, std::string_view data, std::string_view label) override;
    Status deleteItem(const ItemQuery& query) override;
};

} // namespace System::Keychain
