#pragma once

#include "System/Keychain/Keychain.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace System::Keychain {

// A keychain in memory for tests: it behaves as the real one for present and missing items, answers a status
// of the test's choosing for any operation, and counts the calls it receives. Safe from any thread.
class InMemoryKeychain final : public Keychain {
public:
    enum class Operation { find, copy, update, add, remove };

    struct Item {
        std::string data;
        std::string label;
        bool operator==(const Item&) const = default;
    };

    Status findItem(const ItemQuery& query) override;
    Status copyData(const ItemQuery& query, std::string& data) override;
    Status updateData(const ItemQuery& query, std::string_view data) override;
    Status addItem(const ItemQuery& query, std::string_view data, std::string_view label) override;
    Status deleteItem(const ItemQuery& query) override;

    // Every later call of `operation` answers `failure` and changes nothing, until a call with nullopt.
    void setFailure(Operation operation, std::optional<Status> failure);
    // Puts an item in place directly, any bytes allowed.
    void putItem(const ItemQuery& query, Item item);
    std::optional<Item> item(const ItemQuery& query) const;
    int callCount(Operation operation) const;
    int totalCallCount() const;

private:
    using Key = std::pair<std::string, std::string>;
    static Key keyOf(const ItemQuery& query) { return {query.service, query.account}; }
    // Counts the call; the status to answer when a failure is set.
    std::optional<Status> begin(Operation operation);

    mutable std::mutex mutex_;
    std::map<Key, Item> items_;
    std::map<Operation, Status> failures_;
    std::map<Operation, int> calls_;
};

} // namespace System::Keychain
