#include "System/Keychain/InMemoryKeychain.h"

namespace System::Keychain {

std::optional<Status> InMemoryKeychain::begin(Operation operation) {
    ++calls_[operation];
    const auto found = failures_.find(operation);
    return found == failures_.end() ? std::nullopt : std::optional(found->second);
}

Status InMemoryKeychain::findItem(const ItemQuery& query) {
    std::lock_guard lock(mutex_);
    if (auto failure = begin(Operation::find)) {
        return *failure;
    }
    return items_.contains(keyOf(query)) ? status::success : status::itemNotFound;
}

Status InMemoryKeychain::copyData(const ItemQuery& query, std::string& data) {
    std::lock_guard lock(mutex_);
    if (auto failure = begin(Operation::copy)) {
        return *failure;
    }
    const auto found = items_.find(keyOf(query));
    if (found == items_.end()) {
        return status::itemNotFound;
    }
    data = found->second.data;
    return status::success;
}

Status InMemoryKeychain::updateData(const ItemQuery& query, std::string_view data) {
    std::lock_guard lock(mutex_);
    if (auto failure = begin(Operation::update)) {
        return *failure;
    }
    const auto found = items_.find(keyOf(query));
    if (found == items_.end()) {
        return status::itemNotFound;
    }
    found->second.data = data;
    return status::success;
}

Status InMemoryKeychain::addItem(const ItemQuery& query, std::string_view data, std::string_view label) {
    std::lock_guard lock(mutex_);
    if (auto failure = begin(Operation::add)) {
        return *failure;
    }
    const auto [position, inserted] =
        items_.try_emplace(keyOf(query), Item{std::string(data), std::string(label)});
    return inserted ? status::success : status::duplicateItem;
}

Status InMemoryKeychain::deleteItem(const ItemQuery& query) {
    std::lock_guard lock(mutex_);
    if (auto failure = begin(Operation::remove)) {
        return *failure;
    }
    return items_.erase(keyOf(query)) > 0 ? status::success : status::itemNotFound;
}

void InMemoryKeychain::setFailure(Operation operation, std::optional<Status> failure) {
    std::lock_guard lock(mutex_);
    if (failure) {
        failures_[operation] = *failure;
    } else {
        failures_.erase(operation);
    }
}

void InMemoryKeychain::putItem(const ItemQuery& query, Item item) {
    std::lock_guard lock(mutex_);
    items_[keyOf(query)] = std::move(item);
}

std::optional<InMemoryKeychain::Item> InMemoryKeychain::item(const ItemQuery& query) const {
    std::lock_guard lock(mutex_);
    const auto found = items_.find(keyOf(query));
    return found == items_.end() ? std::nullopt : std::optional(found->second);
}

int InMemoryKeychain::callCount(Operation operation) const {
    std::lock_guard lock(mutex_);
    const auto found = calls_.find(operation);
    return found == calls_.end() ? 0 : found->second;
}

int InMemoryKeychain::totalCallCount() const {
    std::lock_guard lock(mutex_);
    int total = 0;
    for (const auto& [operation, count] : calls_) {
        total += count;
    }
    return total;
}

} // namespace System::Keychain
