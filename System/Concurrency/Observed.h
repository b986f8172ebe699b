#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace System::Concurrency {

// Observable state for one executor (the main actor): assigning a value equal to the stored one notifies
// nobody; an in-place edit always notifies. Observers run synchronously, in subscription order, and may
// subscribe or unsubscribe while being notified.
template <class T>
class Observed {
public:
    using Observer = std::function<void(const T&)>;

    // Ends its observation when destroyed (or on `cancel()`).
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&&) noexcept = default;
        Subscription& operator=(Subscription&& other) noexcept {
            cancel();
            registry_ = std::move(other.registry_);
            id_ = other.id_;
            return *this;
        }
        ~Subscription() { cancel(); }
        void cancel() {
            if (auto registry = registry_.lock()) {
                registry->erase(id_);
            }
            registry_.reset();
        }

    private:
        friend class Observed;
        Subscription(std::weak_ptr<std::map<std::uint64_t, Observer>> registry, std::uint64_t id)
            : registry_(std::move(registry))
            , id_(id) {}
        std::weak_ptr<std::map<std::uint64_t, Observer>> registry_;
        std::uint64_t id_ = 0;
    };

    Observed() = default;
    explicit Observed(T initial)
        : value_(std::move(initial)) {}
    Observed(const Observed&) = delete;
    Observed& operator=(const Observed&) = delete;

    const T& get() const { return value_; }
    const T& operator*() const { return value_; }
    const T* operator->() const { return &value_; }

    // Stores and notifies only when the new value differs from the stored one.
    void set(T value) {
        if (value == value_) {
            return;
        }
        value_ = std::move(value);
        notify();
    }

    // Edits the value in place and always notifies.
    template <class F>
    void modify(F&& edit) {
        std::forward<F>(edit)(value_);
        notify();
    }

    [[nodiscard]] Subscription observe(Observer observer) {
        const std::uint64_t id = nextId_++;
        observers_->emplace(id, std::move(observer));
        return Subscription(observers_, id);
    }

private:
    void notify() {
        // A snapshot, so observers may change the subscriptions; one removed meanwhile is skipped.
        const auto snapshot = *observers_;
        for (const auto& [id, observer] : snapshot) {
            if (observers_->count(id) != 0) {
                observer(value_);
            }
        }
    }

    T value_{};
    std::shared_ptr<std::map<std::uint64_t, Observer>> observers_ =
        std::make_shared<std::map<std::uint64_t, Observer>>();
    std::uint64_t nextId_ = 1;
};

// Read access to an observed property whose owner alone writes it.
template <class T>
class ReadOnlyObserved {
public:
    explicit ReadOnlyObserved(Observed<T>& observed)
        : observed_(observed) {}

    const T& get() const { return observed_.get(); }
    const T& operator*() const { return observed_.get(); }
    const T* operator->() const { return &observed_.get(); }
    [[nodiscard]] typename Observed<T>::Subscription observe(typename Observed<T>::Observer observer) const {
        return observed_.observe(std::move(observer));
    }

private:
    Observed<T>& observed_;
};

} // namespace System::Concurrency
