#pragma once

// Locks and lock-guarded values for state shared between tasks. Nothing here owns a thread; no lock is held
// while calling out, except the body of UnfairLock::withLock.

#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "VuzadoDudi/UUID.h"

namespace VuzadoDudi {

namespace ConcurrencyUtilities {
// The processors this process may run on now, asked of the system at every call.
int activeProcessorCount();
} // namespace ConcurrencyUtilities

// A plain, non-recursive lock.
class UnfairLock {
public:
    UnfairLock() = default;
    virtual ~UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    // Runs `body` under the lock; whatever it throws is passed on after the lock is released.
    template <class Body>
    decltype(auto) withLock(Body&& body) {
        std::lock_guard guard(mutex_);
        return std::forward<Body>(body)();
    }

private:
    std::mutex mutex_;
};

// A value behind its own lock. A copy takes a copy of the value and shares the lock object.
template <class T>
class PropertyLock {
public:
    PropertyLock()
        requires std::is_default_constructible_v<T>
        : lock_(std::make_shared<UnfairLock>()) {}
    explicit PropertyLock(T wrappedValue)
        : lock_(std::make_shared<UnfairLock>())
        , value_(std::move(wrappedValue)) {}
    PropertyLock(const PropertyLock& other)
        : lock_(other.lock_)
        , value_(other.get()) {}
    PropertyLock& operator=(const PropertyLock& other) {
        if (this != &other) {
            T copy = other.get();
            lock_ = other.lock_;
            set(std::move(copy));
        }
        return *this;
    }

    T get() const {
        return lock_->withLock([&] { return value_; });
    }
    void set(T newValue) {
        // The old value is destroyed after the lock is released, so its destructor runs outside.
        [[maybe_unused]] T old = lock_->withLock([&] { return std::exchange(value_, std::move(newValue)); });
    }
    // Read, change and write back in one critical section: concurrent modifications are never lost. `change`
    // must not touch this wrapper.
    template <class Change>
    decltype(auto) modify(Change&& change) {
        return lock_->withLock([&]() -> decltype(auto) { return std::forward<Change>(change)(value_); });
    }

    // The wrapper adds nothing to the coded form: it is that of the value.
    nlohmann::json encode() const {
        return lock_->withLock([&] { return nlohmann::json(value_); });
    }
    static PropertyLock decode(const nlohmann::json& json) { return PropertyLock(json.get<T>()); }

private:
    std::shared_ptr<UnfairLock> lock_;
    T value_;
};

// A value living in one allocation with its lock. Copies share the allocation, so they share the value.
template <class T>
class Protected {
public:
    Protected()
        requires std::is_default_constructible_v<T>
        : state_(std::make_shared<State>()) {}
    explicit Protected(T wrappedValue)
        : state_(std::make_shared<State>(std::move(wrappedValue))) {}

    T get() const {
        std::lock_guard guard(state_->mutex);
        return state_->value;
    }
    void set(T newValue) {
        // The old value is destroyed after the lock is released.
        [[maybe_unused]] T old = [&] {
            std::lock_guard guard(state_->mutex);
            return std::exchange(state_->value, std::move(newValue));
        }();
    }
    // Read, change and write back in one critical section. `change` must not touch this wrapper.
    template <class Change>
    decltype(auto) modify(Change&& change) {
        std::lock_guard guard(state_->mutex);
        return std::forward<Change>(change)(state_->value);
    }

private:
    struct State {
        State() = default;
        explicit State(T initial)
            : value(std::move(initial)) {}
        std::mutex mutex;
        T value{};
    };
    std::shared_ptr<State> state_;
};

// A reference that does not keep its object alive; it reads as nothing once the object is gone.
template <class T>
class WeakSendableWrapper {
public:
    explicit WeakSendableWrapper(const std::shared_ptr<T>& value = nullptr)
        : value_(value) {}

    std::shared_ptr<T> value() const {
        std::lock_guard guard(mutex_);
        return value_.lock();
    }
    void setValue(const std::shared_ptr<T>& value) {
        std::lock_guard guard(mutex_);
        value_ = value;
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<T> value_;
};

// The stop flags of the running decoding tasks, one per task identifier. Its operations never overlap.
class EarlyStopActor {
public:
    EarlyStopActor() = default;
    virtual ~EarlyStopActor() = default;

    virtual void set(bool value, const UUID& id);
    // false for an identifier without an entry.
    virtual bool get(const UUID& id) const;
    // The removed flag, or nothing (and no change) when the identifier has no entry.
    virtual std::optional<bool> remove(const UUID& id);

private:
    mutable std::mutex mutex_;
    std::unordered_map<UUID, bool> shouldStop_;
};

} // namespace VuzadoDudi
