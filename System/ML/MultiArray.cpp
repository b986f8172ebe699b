#include "System/ML/MultiArray.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace System::ML {

namespace {
// Enough for any vector instruction set, so that kernels may read a buffer with aligned loads.
constexpr std::align_val_t kAlignment{64};

template <class Integer>
Integer checkedInteger(double value) {
    const double truncated = std::trunc(value);
    if (!(truncated >= double(std::numeric_limits<Integer>::min()) &&
          truncated <= double(std::numeric_limits<Integer>::max()))) {
        throw MultiArrayError("The value " + std::to_string(value) + " does not fit in an element of type " +
                              std::string(dataTypeName(ElementTypeOf<Integer>::dataType)) + ".");
    }
    return static_cast<Integer>(truncated);
}
} // namespace

void MultiArray::Buffer::Free::operator()(std::byte* bytes) const {
    ::operator delete[](bytes, kAlignment);
}

MultiArray::MultiArray(std::vector<int> shape, MultiArrayDataType dataType)
    : shape_(std::move(shape))
    , dataType_(dataType) {
    if (shape_.empty()) {
        throw MultiArrayError("An array needs at least one dimension.");
    }
    std::size_t count = 1;
    for (int dimension : shape_) {
        if (dimension < 0) {
            throw MultiArrayError("The shape " + shapeDescription(shape_) + " has a negative dimension.");
        }
        if (__builtin_mul_overflow(count, static_cast<std::size_t>(dimension), &count) ||
            count > std::numeric_limits<int>::max()) {
            throw MultiArrayError("The shape " + shapeDescription(shape_) + " holds too many elements.");
        }
    }
    count_ = count;
    strides_.assign(shape_.size(), 1);
    for (std::size_t i = shape_.size() - 1; i > 0; --i) {
        strides_[i - 1] = strides_[i] * std::max(shape_[i], 1);
    }
    const std::size_t bytes = std::max<std::size_t>(byteCount(), 1);
    buffer_ = std::make_shared<Buffer>();
    buffer_->bytes.reset(static_cast<std::byte*>(::operator new[](bytes, kAlignment)));
    std::memset(buffer_->bytes.get(), 0, bytes);
}

std::byte* MultiArray::mutableBytes() {
    buffer_->version.fetch_add(1, std::memory_order_acq_rel);
    return buffer_->bytes.get();
}

void MultiArray::checkType(MultiArrayDataType expected) const {
    if (expected != dataType_) {
        throw MultiArrayError("The array holds " + std::string(dataTypeName(dataType_)) + " elements, not " +
                              std::string(dataTypeName(expected)) + ".");
    }
}

void MultiArray::checkCount(std::size_t count) const {
    if (count != count_) {
        throw MultiArrayError("The shape " + shapeDescription(shape_) + " holds " + std::to_string(count_) +
                              " elements, not " + std::to_string(count) + ".");
    }
}

void MultiArray::checkPosition(std::size_t position) const {
    if (position >= count_) {
        throw MultiArrayError("The position " + std::to_string(position) + " lies outside an array of " +
                              std::to_string(count_) + " elements.");
    }
}

double MultiArray::value(std::size_t position) const {
    checkPosition(position);
    const std::byte* at = bytes() + position * elementSize(dataType_);
    switch (dataType_) {
    case MultiArrayDataType::float16:
        return float(*reinterpret_cast<const Half*>(at));
    case MultiArrayDataType::float32:
        return *reinterpret_cast<const float*>(at);
    case MultiArrayDataType::float64:
        return *reinterpret_cast<const double*>(at);
    case MultiArrayDataType::int32:
        return *reinterpret_cast<const std::int32_t*>(at);
    case MultiArrayDataType::int8:
        return *reinterpret_cast<const std::int8_t*>(at);
    }
    return 0;
}

void MultiArray::setValue(std::size_t position, double value) {
    checkPosition(position);
    std::byte* at = mutableBytes() + position * elementSize(dataType_);
    switch (dataType_) {
    case MultiArrayDataType::float16:
        *reinterpret_cast<Half*>(at) = Half(float(value));
        break;
    case MultiArrayDataType::float32:
        *reinterpret_cast<float*>(at) = float(value);
        break;
    case MultiArrayDataType::float64:
        *reinterpret_cast<double*>(at) = value;
        break;
    case MultiArrayDataType::int32:
        *reinterpret_cast<std::int32_t*>(at) = checkedInteger<std::int32_t>(value);
        break;
    case MultiArrayDataType::int8:
        *reinterpret_cast<std::int8_t*>(at) = checkedInteger<std::int8_t>(value);
        break;
    }
}

std::vector<float> MultiArray::toFloats() const {
    std::vector<float> result(count_);
    auto convert = [&](auto span) { std::copy(span.begin(), span.end(), result.begin()); };
    switch (dataType_) {
    case MultiArrayDataType::float16:
        convert(values<Half>());
        break;
    case MultiArrayDataType::float32:
        convert(values<float>());
        break;
    case MultiArrayDataType::float64:
        convert(values<double>());
        break;
    case MultiArrayDataType::int32:
        convert(values<std::int32_t>());
        break;
    case MultiArrayDataType::int8:
        convert(values<std::int8_t>());
        break;
    }
    return result;
}

MultiArray MultiArray::copy() const {
    MultiArray result(shape_, dataType_);
    std::memcpy(result.mutableBytes(), bytes(), byteCount());
    return result;
}

std::string shapeDescription(const std::vector<int>& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(shape[i]);
    }
    return text + "]";
}

} // namespace System::ML

namespace System::ML {

MultiArray convertedFloats(const MultiArray& array, MultiArrayDataType dataType) {
    if (!isFloatType(array.dataType()) || !isFloatType(dataType)) {
        throw MultiArrayError("Only float arrays convert between float types, not " +
                              std::string(dataTypeName(array.dataType())) + " to " +
                              std::string(dataTypeName(dataType)) + ".");
    }
    if (array.dataType() == dataType) {
        return array;
    }
    MultiArray result(array.shape(), dataType);
    auto write = [&](auto target) {
        using Target = typename decltype(target)::value_type;
        auto read = [&](auto source) {
            std::transform(source.begin(), source.end(), target.begin(),
                           [](auto value) { return Target(float(value)); });
        };
        switch (array.dataType()) {
        case MultiArrayDataType::float16:
            read(array.values<Half>());
            break;
        case MultiArrayDataType::float32:
            read(array.values<float>());
            break;
        default: {
            auto source = array.values<double>();
            std::transform(source.begin(), source.end(), target.begin(),
                           [](double value) { return Target(value); });
        }
        }
    };
    switch (dataType) {
    case MultiArrayDataType::float16:
        write(result.mutableValues<Half>());
        break;
    case MultiArrayDataType::float32:
        write(result.mutableValues<float>());
        break;
    default:
        write(result.mutableValues<double>());
        break;
    }
    return result;
}

} // namespace System::ML
