#include "VuzadoDudi/MLUtilities.h"

#include "System/Concurrency/WorkerThreads.h"

#include <limits>

namespace VuzadoDudi {

using System::ML::Half;
using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using System::ML::MultiArrayError;
using System::ML::Tensor;

std::optional<HalfPlaneLayout> halfPlaneLayout(const std::vector<int>& shape) {
    if (shape.empty()) {
        return std::nullopt;
    }
    HalfPlaneLayout layout{shape.back(), 1};
    for (std::size_t i = 0; i + 1 < shape.size(); ++i) {
        layout.height *= shape[i];
    }
    return layout;
}

MultiArray multiArrayFrom(std::span<const std::int64_t> values, int rank) {
    if (rank < 1) {
        throw MultiArrayError("An array needs a rank of at least 1, not " + std::to_string(rank) + ".");
    }
    for (std::int64_t value : values) {
        if (value < std::numeric_limits<std::int32_t>::min() ||
            value > std::numeric_limits<std::int32_t>::max()) {
            throw MultiArrayError("The value " + std::to_string(value) + " does not fit in 32 bits.");
        }
    }
    std::vector<int> shape(std::size_t(rank), 1);
    shape.back() = int(values.size());
    MultiArray array(std::move(shape), MultiArrayDataType::int32);
    std::copy(values.begin(), values.end(), array.mutableValues<std::int32_t>().begin());
    return array;
}

std::int64_t linearOffset(const MultiArray& array, std::span<const int> index,
                          std::optional<std::span<const int>> strides) {
    const std::span<const int> used = strides ? *strides : std::span<const int>(array.strides());
    std::int64_t offset = 0;
    for (std::size_t i = 0; i < std::min(index.size(), used.size()); ++i) {
        offset += std::int64_t(index[i]) * used[i];
    }
    return offset;
}

void fillLastDimension(MultiArray& array, int lowerBound, int upperBound, Half value) {
    const auto& shape = array.shape();
    if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1) {
        throw MultiArrayError(
            "Only an array of shape [1, 1, n] can be filled along its last dimension, not " +
            System::ML::shapeDescription(shape) + ".");
    }
    if (lowerBound < 0 || lowerBound > upperBound || upperBound > shape[2]) {
        throw MultiArrayError("The positions " + std::to_string(lowerBound) + " ..< " +
                              std::to_string(upperBound) + " lie outside the last dimension of " +
                              System::ML::shapeDescription(shape) + ".");
    }
    auto values = array.mutableValues<Half>();
    const int stride = array.strides()[2];
    for (int i = lowerBound; i < upperBound; ++i) {
        values[std::size_t(i) * std::size_t(stride)] = value;
    }
}

std::vector<int> toIntArray(const Tensor& tensor) {
    if (tensor.scalarType() != MultiArrayDataType::int32) {
        throw UnsupportedScalarTypeError(tensor.scalarType());
    }
    const auto scalars = tensor.scalars<std::int32_t>();
    return {scalars.begin(), scalars.end()};
}

std::vector<float> toFloatArray(const Tensor& tensor) {
    auto widen = [](auto scalars) { return std::vector<float>(scalars.begin(), scalars.end()); };
    switch (tensor.scalarType()) {
    case MultiArrayDataType::float32:
        return widen(tensor.scalars<float>());
    case MultiArrayDataType::float16:
        return widen(tensor.scalars<Half>());
    case MultiArrayDataType::int32:
        return widen(tensor.scalars<std::int32_t>());
    default:
        throw UnsupportedScalarTypeError(tensor.scalarType());
    }
}

MultiArray toMLMultiArray(const Tensor& tensor) {
    switch (tensor.scalarType()) {
    case MultiArrayDataType::float32:
    case MultiArrayDataType::float16:
    case MultiArrayDataType::int32:
        return tensor.shapedArray();
    default:
        throw UnsupportedScalarTypeError(tensor.scalarType());
    }
}

std::string_view description(System::ML::ComputeUnits units) {
    switch (units) {
    case System::ML::ComputeUnits::cpuOnly:
        return "cpuOnly";
    case System::ML::ComputeUnits::cpuAndGPU:
        return "cpuAndGPU";
    case System::ML::ComputeUnits::all:
        return "all";
    case System::ML::ComputeUnits::cpuAndNeuralEngine:
        return "cpuAndNeuralEngine";
    }
    return "unknown";
}

std::string_view displayName(System::ML::ComputeUnits units) {
    switch (units) {
    case System::ML::ComputeUnits::cpuOnly:
        return "CPU";
    case System::ML::ComputeUnits::cpuAndGPU:
        return "GPU";
    case System::ML::ComputeUnits::all:
        return "All";
    case System::ML::ComputeUnits::cpuAndNeuralEngine:
        return "Neural Engine";
    }
    return "Unknown";
}

namespace {
// Runs `work` on a worker thread: the caller's executor is never blocked by a model.
template <class R, class F>
System::Concurrency::Task<R> offThread(F work) {
    co_return co_await System::Concurrency::withContinuation<R>(
        [work = std::move(work)](System::Concurrency::Continuation<R> continuation) mutable {
            System::Concurrency::runOnWorkerThread([work = std::move(work), continuation]() mutable {
                // The work's captures (a model, its inputs) are released before the caller resumes, so
                // nothing of the caller's is freed on this thread after the caller has moved on.
                std::optional<R> result;
                std::exception_ptr error;
                try {
                    result.emplace(work());
                } catch (...) {
                    error = std::current_exception();
                }
                { [[maybe_unused]] auto released = std::move(work); }
                if (error) {
                    continuation.resumeThrowing(error);
                } else {
                    continuation.resume(std::move(*result));
                }
            });
        });
}
} // namespace

System::Concurrency::Task<std::shared_ptr<System::ML::FeatureProvider>>
asyncPrediction(std::shared_ptr<System::ML::Model> model,
                std::shared_ptr<const System::ML::FeatureProvider> input,
                System::ML::PredictionOptions options) {
    co_return co_await offThread<std::shared_ptr<System::ML::FeatureProvider>>(
        [model = std::move(model), input = std::move(input), options] {
            return model->predict(*input, options);
        });
}

System::Concurrency::Task<std::shared_ptr<System::ML::FeatureProvider>>
asyncPrediction(std::shared_ptr<System::ML::Model> model,
                std::shared_ptr<const System::ML::FeatureProvider> input,
                std::shared_ptr<System::ML::State> state, System::ML::PredictionOptions options) {
    co_return co_await offThread<std::shared_ptr<System::ML::FeatureProvider>>(
        [model = std::move(model), input = std::move(input), state = std::move(state), options] {
            if (!state) {
                throw System::ML::ModelError(System::ML::ModelError::Reason::invalidInput,
                                             "No state was given.");
            }
            return model->predict(*input, *state, options);
        });
}

System::Concurrency::Task<std::shared_ptr<System::ML::Model>>
asyncLoad(std::filesystem::path folder, System::ML::ModelConfiguration configuration) {
    co_return co_await offThread<std::shared_ptr<System::ML::Model>>(
        [folder = std::move(folder), configuration] {
            return System::ML::Model::load(folder, configuration);
        });
}

} // namespace VuzadoDudi
