#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace System::Keychain {

// The outcome of a keychain call. The values are the ones the stores above this layer have always known, so
// that they can tell a missing item from a refused access.
using Status = std::int32_t;
namespace status {
inline constexpr Status success = 0;
inline constexpr Status userCanceled = -128;            // the user dismissed the unlock prompt
inline constexpr Status parameter = -50;                // a query the backend cannot express
inline constexpr Status internalComponent = -2070;      // the backend failed in an unexpected way
inline constexpr Status notAvailable = -25291;          // no keychain service is running
inline constexpr Status authFailed = -25293;            // the keyring could not be unlocked
inline constexpr Status duplicateItem = -25299;         // adding an item that exists
inline constexpr Status itemNotFound = -25300;          // no such item
inline constexpr Status interactionNotAllowed = -25308; // the item is locked and no prompt could unlock it
} // namespace status

// The keychain's own sentence for a status; nothing for a status it has none for.
std::optional<std::string> errorMessage(Status status);

// One generic-password item is named by its service and account.
struct ItemQuery {
    std::string service;
    std::string account;
    bool operator==(const ItemQuery&) const = default;
};

// Generic-password items of the user's keychain. Every call blocks its thread for one round trip to the
// keychain; callers that must not block run them on a queue of their own. Safe to call from any thread.
class Keychain {
public:
    virtual ~Keychain() = default;

    // Whether the item exists; reads no data and never asks to unlock (locked items count).
    virtual Status findItem(const ItemQuery& query) = 0;
    // The item's data into `data`, unlocking its keyring when needed (which may prompt the user).
    virtual Status copyData(const ItemQuery& query, std::string& data) = 0;
    // Replaces the data of an existing item, keeping its label; itemNotFound when there is none.
    virtual Status updateData(const ItemQuery& query, std::string_view data) = 0;
    // Creates the item in the default keyring; duplicateItem when it exists.
    virtual Status addItem(const ItemQuery& query, std::string_view data, std::string_view label) = 0;
    // Deletes the item; itemNotFound when there is none.
    virtual Status deleteItem(const ItemQuery& query) = 0;
};

} // namespace System::Keychain
