#include "VuzadoDudi/MLUtilities.h"

#include "System/Concurrency/BlockingRun.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace VuzadoDudi;
using System::ML::ComputeUnits;
using System::ML::Half;
using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using System::ML::MultiArrayError;

TEST(MLUtilitiesTest, NewArraysTakeAnInitialValueOnlyOfTheirElementType) {
    const auto halves = makeMultiArray({1, 1, 448}, MultiArrayDataType::float16, Half(0.25f));
    EXPECT_EQ(halves.shape(), (std::vector<int>{1, 1, 448}));
    for (Half value : halves.values<Half>()) {
        ASSERT_EQ(float(value), 0.25f);
    }
    EXPECT_EQ(halfPlaneLayout({1, 1, 448}), (HalfPlaneLayout{448, 1}));
    EXPECT_EQ(halfPlaneLayout({2, 3, 4}), (HalfPlaneLayout{4, 6}));

    EXPECT_EQ(makeMultiArray({2, 3}, MultiArrayDataType::float32, 0.5f).toFloats(),
              std::vector<float>(6, 0.5f));
    EXPECT_EQ(makeMultiArray({2}, MultiArrayDataType::int8, std::int8_t(-3)).toFloats(),
              std::vector<float>(2, -3));
    EXPECT_EQ(makeMultiArray({2}, MultiArrayDataType::int32, std::int32_t(7)).toFloats(),
              std::vector<float>(2, 7));
    EXPECT_EQ(makeMultiArray({2}, MultiArrayDataType::float64, 1.5).toFloats(), std::vector<float>(2, 1.5f));
    // An int is not a float: the array stays as created, with no error.
    EXPECT_EQ(makeMultiArray({2, 3}, MultiArrayDataType::float32, 1).toFloats(), std::vector<float>(6, 0.0f));
}

TEST(MLUtilitiesTest, AHalfArrayWithoutAPlaneIsACreationError) {
    EXPECT_FALSE(halfPlaneLayout({}).has_value());
    try {
        makeMultiArray({}, MultiArrayDataType::float16, Half(0.0f));
        FAIL() << "an empty float16 shape was accepted";
    } catch (const MLMultiArrayCreationError& error) {
        EXPECT_EQ(error, MLMultiArrayCreationError(MLMultiArrayCreationError::Case::pixelBufferFailed));
        EXPECT_STREQ(error.what(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
    }
    EXPECT_THROW(makeMultiArray({}, MultiArrayDataType::float32, 0.0f), MultiArrayError);
}

TEST(MLUtilitiesTest, FromIntegersBuildsARowOfTheGivenRankAndRefusesWhatDoesNotFit) {
    const auto array = multiArrayFrom(std::vector<int>{5, 6, 7}, 3);
    EXPECT_EQ(array.shape(), (std::vector<int>{1, 1, 3}));
    EXPECT_EQ(array.dataType(), MultiArrayDataType::int32);
    EXPECT_EQ(array.toFloats(), (std::vector<float>{5, 6, 7}));
    EXPECT_EQ(multiArrayFrom(std::vector<std::int64_t>{-2147483648LL, 2147483647LL}, 1).shape(),
              (std::vector<int>{2}));

    EXPECT_THROW(multiArrayFrom(std::vector<std::int64_t>{1, 2147483648LL}, 1), MultiArrayError);
    EXPECT_THROW(multiArrayFrom(std::vector<std::int64_t>{-2147483649LL}, 1), MultiArrayError);
    EXPECT_THROW(multiArrayFrom(std::vector<int>{1}, 0), MultiArrayError);
}

TEST(MLUtilitiesTest, LinearOffsetSumsOverThePositionsBothListsHave) {
    const MultiArray array({2, 3, 4}, MultiArrayDataType::float32);
    const std::vector<int> strides{12, 4, 1};
    struct Case {
        std::vector<int> index;
        std::optional<std::vector<int>> strides;
        std::int64_t offset;
    };
    for (const auto& c : std::vector<Case>{
             {{0, 2, 3}, strides, 11},
             {{}, strides, 0},
             {{1, 2, 3}, std::nullopt, 12 + 8 + 3}, // the array's own strides
             {{1, 1}, std::vector<int>{100, 10, 1}, 110},
             {{1, 1, 1}, std::vector<int>{7}, 7},
         }) {
        std::optional<std::span<const int>> given;
        if (c.strides) {
            given = std::span<const int>(*c.strides);
        }
        EXPECT_EQ(linearOffset(array, c.index, given), c.offset) << ::testing::PrintToString(c.index);
    }
}

TEST(MLUtilitiesTest, FillLastDimensionWritesTheRangeOnly) {
    auto array = makeMultiArray({1, 1, 8}, MultiArrayDataType::float16, Half(0.0f));
    fillLastDimension(array, 2, 5, Half(-10000.0f));
    EXPECT_EQ(array.toFloats(), (std::vector<float>{0, 0, -10000, -10000, -10000, 0, 0, 0}));
    fillLastDimension(array, 6, 6, Half(1.0f)); // an empty range writes nothing
    fillLastDimension(array, 7, 8, Half(1.0f)); // up to the end
    EXPECT_EQ(array.toFloats(), (std::vector<float>{0, 0, -10000, -10000, -10000, 0, 0, 1}));
}

TEST(MLUtilitiesTest, FillLastDimensionRefusesOtherShapesTypesAndRanges) {
    auto good = makeMultiArray({1, 1, 8}, MultiArrayDataType::float16, Half(0.0f));
    auto otherShape = makeMultiArray({1, 2, 8}, MultiArrayDataType::float16, Half(0.0f));
    auto otherType = makeMultiArray({1, 1, 8}, MultiArrayDataType::float32, 0.0f);
    struct Case {
        const char* name;
        MultiArray* array;
        int lower;
        int upper;
    };
    for (const auto& c :
         {Case{"past the end", &good, 5, 9}, Case{"negative", &good, -1, 2}, Case{"reversed", &good, 4, 2},
          Case{"shape [1, 2, 8]", &otherShape, 0, 1}, Case{"float32 elements", &otherType, 0, 1}}) {
        EXPECT_THROW(fillLastDimension(*c.array, c.lower, c.upper, Half(1.0f)), MultiArrayError) << c.name;
    }
    EXPECT_EQ(good.toFloats(), std::vector<float>(8, 0.0f));
}

TEST(MLUtilitiesTest, FillWritesOnlyIndexesInsideTheArray) {
    MultiArray array({1, 4}, MultiArrayDataType::float32);
    fill(array, {{0, 1}, {0, 9}, {1}, {1, 0}, {0, -1}, {0, 3}}, 2.5f);
    EXPECT_EQ(array.toFloats(), (std::vector<float>{0, 2.5f, 0, 2.5f}));
}

TEST(MLUtilitiesTest, FillRefusesAValueOfAnotherElementType) {
    // Written as a double, the value would have landed at twice the offset and across two elements.
    MultiArray array({1, 4}, MultiArrayDataType::float32);
    EXPECT_THROW(fill(array, {{0, 1}}, 2.5), MultiArrayError);
    EXPECT_THROW(fill(array, {{0, 1}}, std::int32_t(2)), MultiArrayError);
    EXPECT_EQ(array.toFloats(), std::vector<float>(4, 0.0f));

    MultiArray halves({2, 2}, MultiArrayDataType::float16);
    fill(halves, {{1, 1}}, Half(3.0f));
    EXPECT_EQ(halves.toFloats(), (std::vector<float>{0, 0, 0, 3}));
}

TEST(MLUtilitiesTest, TensorConversionsByScalarType) {
    const System::ML::Tensor ints({1, 3}, std::vector<std::int32_t>{-1, 0, 70000});
    EXPECT_EQ(toIntArray(ints), (std::vector<int>{-1, 0, 70000}));
    EXPECT_EQ(toFloatArray(ints), (std::vector<float>{-1, 0, 70000}));

    const System::ML::Tensor halves({2}, std::vector<Half>{Half(0.5f), Half(-2.0f)});
    EXPECT_EQ(toFloatArray(halves), (std::vector<float>{0.5f, -2.0f}));
    const auto array = toMLMultiArray(halves);
    EXPECT_EQ(array.dataType(), MultiArrayDataType::float16);
    EXPECT_EQ(array.shape(), (std::vector<int>{2}));
    EXPECT_EQ(toFloatArray(System::ML::Tensor({1}, std::vector<float>{1.25f})), (std::vector<float>{1.25f}));

    const System::ML::Tensor doubles({1}, std::vector<double>{1.0});
    for (auto convert : std::vector<std::function<void()>>{
             [&] { toFloatArray(doubles); }, [&] { toMLMultiArray(doubles); }, [&] { toIntArray(halves); }}) {
        try {
            convert();
            ADD_FAILURE() << "converted an unsupported scalar type";
        } catch (const UnsupportedScalarTypeError& error) {
            EXPECT_EQ(std::string(error.what()).rfind("Unsupported scalar type: ", 0), 0u) << error.what();
        }
    }
}

TEST(MLUtilitiesTest, ComputeUnitNames) {
    struct Case {
        int raw;
        const char* description;
        const char* displayName;
    };
    for (const auto& c : {Case{0, "cpuOnly", "CPU"}, Case{1, "cpuAndGPU", "GPU"}, Case{2, "all", "All"},
                          Case{3, "cpuAndNeuralEngine", "Neural Engine"}, Case{4, "unknown", "Unknown"},
                          Case{-1, "unknown", "Unknown"}}) {
        EXPECT_EQ(description(ComputeUnits(c.raw)), c.description);
        EXPECT_EQ(displayName(ComputeUnits(c.raw)), c.displayName);
    }
}

// Records the thread it predicts on; fails for a negative input.
class ThreadRecordingModel final : public System::ML::Model {
public:
    ThreadRecordingModel()
        : Model(description(), {}) {}
    std::thread::id predictedOn;

private:
    static System::ML::ModelDescription description() {
        System::ML::FeatureDescription x{"x", System::ML::FeatureType::multiArray,
                                         System::ML::MultiArrayConstraint{{1}, MultiArrayDataType::float32}};
        System::ML::FeatureDescription y = x;
        y.name = "y";
        return {{{"x", x}}, {{"y", y}}};
    }
    std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>& inputs) override {
        predictedOn = std::this_thread::get_id();
        if (inputs.at("x").value(0) < 0) {
            throw std::runtime_error("negative");
        }
        return {{"y", inputs.at("x").copy()}};
    }
};

std::shared_ptr<System::ML::FeatureProvider> input(float x) {
    return std::make_shared<System::ML::DictionaryFeatureProvider>(
        std::map<std::string, System::ML::FeatureValue>{
            {"x", MultiArray::withValues<float>({1}, std::vector<float>{x})}});
}

TEST(MLUtilitiesTest, AsyncPredictionRunsOffTheCallersThreadAndPassesErrorsOn) {
    auto model = std::make_shared<ThreadRecordingModel>();
    const auto output = System::Concurrency::blockingRun(asyncPrediction(model, input(4)));
    EXPECT_EQ(output->featureValue("y")->multiArrayValue()->value(0), 4.0);
    EXPECT_NE(model->predictedOn, std::this_thread::get_id());

    EXPECT_THROW(System::Concurrency::blockingRun(asyncPrediction(model, input(-1))), std::runtime_error);

    // With a state: the same prediction off the caller's thread; the model's own state only.
    model->predictedOn = {};
    const auto stateful =
        System::Concurrency::blockingRun(asyncPrediction(model, input(5), model->makeState()));
    EXPECT_EQ(stateful->featureValue("y")->multiArrayValue()->value(0), 5.0);
    EXPECT_NE(model->predictedOn, std::this_thread::get_id());
    EXPECT_NE(model->predictedOn, std::thread::id{});
    EXPECT_THROW(System::Concurrency::blockingRun(asyncPrediction(model, input(-1), model->makeState())),
                 std::runtime_error);
    const auto other = std::make_shared<ThreadRecordingModel>();
    for (const auto& state : {other->makeState(), std::shared_ptr<System::ML::State>()}) {
        try {
            System::Concurrency::blockingRun(asyncPrediction(model, input(5), state));
            ADD_FAILURE() << "predicted with a state that is not the model's";
        } catch (const System::ML::ModelError& error) {
            EXPECT_EQ(error.reason(), System::ML::ModelError::Reason::invalidInput);
        }
    }
    try {
        System::Concurrency::blockingRun(asyncLoad("/nonexistent/Model.mlmodelc"));
        FAIL() << "loaded a model that is not there";
    } catch (const System::ML::ModelError& error) {
        EXPECT_EQ(error.reason(), System::ML::ModelError::Reason::missingFile);
    }
}

} // namespace
