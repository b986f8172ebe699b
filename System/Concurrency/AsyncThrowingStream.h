#pragma once

#include "System/Concurrency/AsyncStream.h"

#include <exception>
#include <variant>

namespace System::Concurrency {

// An AsyncStream whose producer may end it with an error: the consumer receives the elements yielded
// before the error, then `next()` rethrows it once; after that the stream is over.
template <class T>
class AsyncThrowingStream {
    using Element = std::variant<T, std::exception_ptr>;

public:
    class Continuation {
    public:
        Continuation() = default;

        YieldResult yield(T value) const { return inner_.yield(Element(std::in_place_index<0>, std::move(value))); }
        void finish() const { inner_.finish(); }
        // Ends the stream with `error` behind the elements already yielded.
        void finish(std::exception_ptr error) const {
            inner_.yield(Element(std::in_place_index<1>, std::move(error)));
            inner_.finish();
        }
        void onTermination(std::function<void(StreamTermination)> handler) const {
            inner_.onTermination(std::move(handler));
        }

    private:
        friend class AsyncThrowingStream;
        explicit Continuation(typename AsyncStream<Element>::Continuation inner)
            : inner_(std::move(inner)) {}
        typename AsyncStream<Element>::Continuation inner_;
    };

    static std::pair<AsyncThrowingStream, Continuation>
    makeStream(BufferingPolicy policy = BufferingPolicy::unbounded()) {
        auto [stream, continuation] = AsyncStream<Element>::makeStream(policy);
        return {AsyncThrowingStream(std::move(stream)), Continuation(std::move(continuation))};
    }

    AsyncThrowingStream() = default;

    bool isValid() const { return inner_.isValid(); }

    // The next element; nothing once the stream has ended or the current task was cancelled. Rethrows the
    // error the producer ended the stream with. The stream must outlive the returned task.
    Task<std::optional<T>> next() {
        if (failed_) {
            co_return std::nullopt;
        }
        auto element = co_await inner_.next();
        if (!element) {
            co_return std::nullopt;
        }
        if (element->index() == 1) {
            failed_ = true;
            inner_.cancel();
            std::rethrow_exception(std::get<1>(*element));
        }
        co_return std::move(std::get<0>(*element));
    }

    void cancel() { inner_.cancel(); }

private:
    explicit AsyncThrowingStream(AsyncStream<Element> inner)
        : inner_(std::move(inner)) {}

    AsyncStream<Element> inner_;
    bool failed_ = false;
};

} // namespace System::Concurrency
