#pragma once

#include "System/Log/ErrorDescription.h"
#include "System/ML/Half.h"
#include "System/ML/MultiArrayDataType.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace System::ML {

// A shape that cannot be allocated, an element type that does not match, an index outside the array.
class MultiArrayError : public Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

// A dense, row-major array of one element type. Copies of a MultiArray share one buffer (the array is a
// reference, as its callers expect): what one copy writes, every copy reads. `copy()` makes an independent
// one.
//
// The buffer counts its writes: every call that hands out mutable access raises `version()`, so a consumer
// can memoise what it derived from (bufferIdentity(), version()) and know when that is stale.
class MultiArray {
public:
    // A zero-filled array. Every dimension must be at least 0 and the shape non-empty.
    MultiArray(std::vector<int> shape, MultiArrayDataType dataType);

    template <MultiArrayElement T>
    static MultiArray withValues(std::vector<int> shape, std::span<const T> values) {
        MultiArray array(std::move(shape), ElementTypeOf<T>::dataType);
        array.checkCount(values.size());
        std::copy(values.begin(), values.end(), array.mutableValues<T>().begin());
        return array;
    }
    template <MultiArrayElement T>
    static MultiArray withValues(std::vector<int> shape, const std::vector<T>& values) {
        return withValues<T>(std::move(shape), std::span<const T>(values));
    }

    const std::vector<int>& shape() const { return shape_; }
    // Row-major strides in elements: the last is 1.
    const std::vector<int>& strides() const { return strides_; }
    MultiArrayDataType dataType() const { return dataType_; }
    std::size_t count() const { return count_; }
    std::size_t byteCount() const { return count_ * elementSize(dataType_); }

    // The elements as T; MultiArrayError when T is not this array's element type.
    template <MultiArrayElement T>
    std::span<const T> values() const {
        checkType(ElementTypeOf<T>::dataType);
        return {reinterpret_cast<const T*>(buffer_->bytes.get()), count_};
    }
    template <MultiArrayElement T>
    std::span<T> mutableValues() {
        checkType(ElementTypeOf<T>::dataType);
        return {reinterpret_cast<T*>(mutableBytes()), count_};
    }

    const std::byte* bytes() const { return buffer_->bytes.get(); }
    std::byte* mutableBytes();

    // One element by its linear position, converted to or from double whatever the element type;
    // MultiArrayError when the position is outside the array. Integer elements take the value rounded toward
    // zero; a value outside an integer element's range is refused.
    double value(std::size_t position) const;
    void setValue(std::size_t position, double value);

    // Every element as a float, in order.
    std::vector<float> toFloats() const;

    // An independent array with the same shape, type and contents.
    MultiArray copy() const;

    const void* bufferIdentity() const { return buffer_.get(); }
    std::uint64_t version() const { return buffer_->version.load(std::memory_order_acquire); }
    bool sharesBuffer(const MultiArray& other) const { return buffer_ == other.buffer_; }

private:
    struct Buffer {
        struct Free {
            void operator()(std::byte* bytes) const;
        };
        std::unique_ptr<std::byte[], Free> bytes;
        std::atomic<std::uint64_t> version{0};
    };

    void checkType(MultiArrayDataType expected) const;
    void checkCount(std::size_t count) const;
    void checkPosition(std::size_t position) const;

    std::vector<int> shape_;
    std::vector<int> strides_;
    MultiArrayDataType dataType_;
    std::size_t count_ = 0;
    std::shared_ptr<Buffer> buffer_;
};

// "[1, 80, 1, 3000]", for messages.
std::string shapeDescription(const std::vector<int>& shape);

} // namespace System::ML

namespace System::ML {

// A float array as another float type (float16, float32, float64), rounding to nearest; the same array when
// it already is of that type. MultiArrayError for an integer array or type.
MultiArray convertedFloats(const MultiArray& array, MultiArrayDataType dataType);

inline bool isFloatType(MultiArrayDataType type) {
    return type == MultiArrayDataType::float16 || type == MultiArrayDataType::float32 ||
           type == MultiArrayDataType::float64;
}

} // namespace System::ML
