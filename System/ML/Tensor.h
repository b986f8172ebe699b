#pragma once

#include "System/ML/MultiArray.h"

#include <span>
#include <vector>

namespace System::ML {

// An immutable shaped array of scalars. It owns its values: building one from a MultiArray copies them, so
// later writes to the array do not reach the tensor.
class Tensor {
public:
    explicit Tensor(const MultiArray& array)
        : values_(array.copy()) {}
    template <MultiArrayElement T>
    Tensor(std::vector<int> shape, const std::vector<T>& scalars)
        : values_(MultiArray::withValues<T>(std::move(shape), scalars)) {}

    const std::vector<int>& shape() const { return values_.shape(); }
    MultiArrayDataType scalarType() const { return values_.dataType(); }
    std::size_t scalarCount() const { return values_.count(); }

    // The scalars as T; MultiArrayError when T is not the scalar type.
    template <MultiArrayElement T>
    std::span<const T> scalars() const {
        return values_.values<T>();
    }

    // A new array holding a copy of the scalars.
    MultiArray shapedArray() const { return values_.copy(); }

private:
    MultiArray values_;
};

} // namespace System::ML
