#pragma once

#include "System/Concurrency/AsyncStream.h"
#include "System/Concurrency/Task.h"

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace Parlindo {

// A sequence of values read from observed properties (System::Concurrency::Observed, or read-only views of
// one): the current value when iteration starts, then a fresh read after each change. Changes that come
// before the consumer reads again arrive as one value, read when it is delivered. Lives in the consumer's
// task, on the executor the properties belong to.
//
//     Observations<State> states([&] { return model.state().get(); }, model.state());
//     while (auto state = co_await states.next()) { ... }
template <class T>
class Observations {
public:
    template <class... Sources>
    explicit Observations(std::function<T()> read, Sources&&... sources)
        : read_(std::move(read)) {
        auto [stream, changes] = System::Concurrency::AsyncStream<bool>::makeStream(
            System::Concurrency::BufferingPolicy::bufferingNewest(1));
        stream_ = std::move(stream);
        changes.yield(true);
        (subscribe(sources, changes), ...);
    }

    // The next value; nothing once the consumer's task is cancelled or every source is gone.
    System::Concurrency::Task<std::optional<T>> next() {
        if (!co_await stream_.next()) {
            co_return std::nullopt;
        }
        co_return read_();
    }

private:
    template <class Source>
    void subscribe(Source& source, const System::Concurrency::AsyncStream<bool>::Continuation& changes) {
        using Subscription = decltype(source.observe(nullptr));
        subscriptions_.push_back(
            std::make_shared<Subscription>(source.observe([changes](const auto&) { changes.yield(true); })));
    }

    std::function<T()> read_;
    System::Concurrency::AsyncStream<bool> stream_;
    std::vector<std::shared_ptr<void>> subscriptions_;
};

} // namespace Parlindo
