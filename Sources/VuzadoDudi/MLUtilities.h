#pragma once

#include "System/Concurrency/Task.h"
#include "System/Log/ErrorDescription.h"
#include "System/ML/Model.h"
#include "System/ML/MultiArray.h"
#include "System/ML/Tensor.h"

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace VuzadoDudi {

class MLMultiArrayCreationError : public System::Log::DescribedError {
public:
    enum class Case { pixelBufferFailed };

    explicit MLMultiArrayCreationError(Case errorCase)
        : DescribedError("Failed to create IOSurface-backed pixel buffer for MLMultiArray")
        , case_(errorCase) {}

    Case errorCase() const { return case_; }
    bool operator==(const MLMultiArrayCreationError& other) const { return case_ == other.case_; }

private:
    Case case_;
};

// A tensor of a scalar type that a conversion does not read: "Unsupported scalar type: " and the type's name.
class UnsupportedScalarTypeError : public System::Log::DescribedError {
public:
    explicit UnsupportedScalarTypeError(System::ML::MultiArrayDataType type)
        : DescribedError("Unsupported scalar type: " + std::string(System::ML::dataTypeName(type))) {}
};

// The plane a half-precision array is laid out in: the last dimension is a row, all others stack the rows.
struct HalfPlaneLayout {
    int width = 0;
    int height = 0;
    bool operator==(const HalfPlaneLayout&) const = default;
};

// None for an empty shape, which has no plane.
std::optional<HalfPlaneLayout> halfPlaneLayout(const std::vector<int>& shape);

// A new array with every element set to `initialValue` when its type is the element type of `dataType` (Half,
// float, double, std::int32_t, std::int8_t); a value of any other type leaves the array zeroed. A float16
// array needs a plane: an empty shape throws MLMultiArrayCreationError. Other shapes that cannot be allocated
// throw System::ML::MultiArrayError.
template <class T>
System::ML::MultiArray makeMultiArray(std::vector<int> shape, System::ML::MultiArrayDataType dataType,
                                      const T& initialValue) {
    if (dataType == System::ML::MultiArrayDataType::float16 && !halfPlaneLayout(shape)) {
        throw MLMultiArrayCreationError(MLMultiArrayCreationError::Case::pixelBufferFailed);
    }
    System::ML::MultiArray array(std::move(shape), dataType);
    if constexpr (System::ML::MultiArrayElement<T>) {
        if (System::ML::ElementTypeOf<T>::dataType == dataType) {
            auto values = array.mutableValues<T>();
            std::fill(values.begin(), values.end(), initialValue);
        }
    }
    return array;
}

// An int32 array of shape [1, …, 1, n] with `rank` dimensions holding the values in order. MultiArrayError
// when the rank is below 1 or a value does not fit in 32 bits: nothing is truncated.
System::ML::MultiArray multiArrayFrom(std::span<const std::int64_t> values, int rank);
template <std::integral I>
System::ML::MultiArray multiArrayFrom(const std::vector<I>& values, int rank) {
    const std::vector<std::int64_t> wide(values.begin(), values.end());
    return multiArrayFrom(std::span<const std::int64_t>(wide), rank);
}

// The sum of index[i] × strides[i] over the positions both lists have (the array's own strides when none are
// given); no bounds are checked.
std::int64_t linearOffset(const System::ML::MultiArray& array, std::span<const int> index,
                          std::optional<std::span<const int>> strides = std::nullopt);
inline std::int64_t linearOffset(const System::ML::MultiArray& array, std::initializer_list<int> index) {
    return linearOffset(array, std::span<const int>(index.begin(), index.size()));
}

// Writes `value` at positions lowerBound ..< upperBound of the last dimension of a float16 array of shape
// [1, 1, n]. MultiArrayError for another shape or element type, or a range outside 0 ... n.
void fillLastDimension(System::ML::MultiArray& array, int lowerBound, int upperBound, System::ML::Half value);

// Writes `value` at every index that names an element of the array (as many components as dimensions, each
// within its dimension); other indexes are skipped. MultiArrayError when T is not the array's element type.
template <System::ML::MultiArrayElement T>
void fill(System::ML::MultiArray& array, const std::vector<std::vector<int>>& indexes, const T& value) {
    auto values = array.mutableValues<T>();
    const auto& shape = array.shape();
    const auto& strides = array.strides();
    for (const auto& index : indexes) {
        if (index.size() != shape.size()) {
            continue;
        }
        std::size_t offset = 0;
        bool inside = true;
        for (std::size_t i = 0; i < index.size() && inside; ++i) {
            inside = index[i] >= 0 && index[i] < shape[i];
            offset += std::size_t(index[i]) * std::size_t(strides[i]);
        }
        if (inside) {
            values[offset] = value;
        }
    }
}

// A tensor's scalars: int32 ones as integers; float32, float16 and int32 ones as floats or as a new array.
// UnsupportedScalarTypeError for any other scalar type.
std::vector<int> toIntArray(const System::ML::Tensor& tensor);
std::vector<float> toFloatArray(const System::ML::Tensor& tensor);
System::ML::MultiArray toMLMultiArray(const System::ML::Tensor& tensor);

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine" (and "unknown" for any other value).
std::string_view description(System::ML::ComputeUnits units);
// "CPU", "GPU", "All", "Neural Engine" (and "Unknown").
std::string_view displayName(System::ML::ComputeUnits units);

// Runs the (blocking) prediction on a worker thread and resumes the caller on its executor with the
// outputs, or rethrows the prediction's error unchanged.
System::Concurrency::Task<std::shared_ptr<System::ML::FeatureProvider>>
asyncPrediction(std::shared_ptr<System::ML::Model> model,
                std::shared_ptr<const System::ML::FeatureProvider> input,
                System::ML::PredictionOptions options = {});

// The same as a stateful prediction that may read and update `state`, which must be the model's own
// (System::ML::ModelError otherwise).
System::Concurrency::Task<std::shared_ptr<System::ML::FeatureProvider>>
asyncPrediction(std::shared_ptr<System::ML::Model> model,
                std::shared_ptr<const System::ML::FeatureProvider> input,
                std::shared_ptr<System::ML::State> state, System::ML::PredictionOptions options = {});

// Loads a model folder on a worker thread; errors of the load are rethrown unchanged.
System::Concurrency::Task<std::shared_ptr<System::ML::Model>>
asyncLoad(std::filesystem::path folder, System::ML::ModelConfiguration configuration = {});

// A model stage that can be loaded and unloaded.
class MLModelLoading {
public:
    virtual ~MLModelLoading() = default;
    virtual System::Concurrency::Task<void>
    loadModel(std::filesystem::path folder, System::ML::ComputeUnits computeUnits, bool prewarmMode) = 0;
    virtual void unloadModel() = 0;

    System::Concurrency::Task<void> loadModel(std::filesystem::path folder,
                                              System::ML::ComputeUnits computeUnits) {
        return loadModel(std::move(folder), computeUnits, false);
    }
};

} // namespace VuzadoDudi
