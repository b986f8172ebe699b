#include "System/ML/MultiArray.h"
#include "System/ML/Tensor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using System::ML::Half;
using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using System::ML::MultiArrayError;

TEST(MultiArrayDataTypeTest, CodesNamesAndSizes) {
    struct Case {
        MultiArrayDataType type;
        int raw;
        const char* name;
        std::size_t size;
    };
    for (const auto& c : {Case{MultiArrayDataType::float16, 65552, "float16", 2},
                          Case{MultiArrayDataType::float32, 65568, "float32", 4},
                          Case{MultiArrayDataType::float64, 65600, "float64", 8},
                          Case{MultiArrayDataType::int32, 131104, "int32", 4},
                          Case{MultiArrayDataType::int8, 131080, "int8", 1}}) {
        EXPECT_EQ(System::ML::rawValue(c.type), c.raw) << c.name;
        EXPECT_EQ(System::ML::dataTypeFromRawValue(c.raw), c.type) << c.name;
        EXPECT_EQ(System::ML::dataTypeName(c.type), c.name);
        EXPECT_EQ(System::ML::dataTypeFromName(c.name), c.type) << c.name;
        EXPECT_EQ(System::ML::elementSize(c.type), c.size) << c.name;
    }
    EXPECT_FALSE(System::ML::dataTypeFromRawValue(65536 + 8).has_value());
    EXPECT_FALSE(System::ML::dataTypeFromName("bfloat16").has_value());
}

TEST(HalfTest, StoresHalfPrecisionAndComputesInFloat) {
    EXPECT_EQ(Half(1.0f).bitPattern(), 0x3C00);
    EXPECT_EQ(Half(-2.0f).bitPattern(), 0xC000);
    EXPECT_EQ(float(Half::fromBitPattern(0x7BFF)), 65504.0f); // the largest finite half
    EXPECT_TRUE(std::isinf(float(Half(70000.0f))));
    EXPECT_EQ(float(Half(0.1f)), 0.0999755859375f); // rounded to 10 bits of mantissa
    // 2048 + 1 is not representable in half, but the sum is formed in float before it is stored.
    const Half big(2048.0f);
    EXPECT_EQ(big + 1.0f, 2049.0f);
    Half stored = big;
    stored += 1.0f;
    EXPECT_EQ(float(stored), 2048.0f);
}

TEST(MultiArrayTest, ShapeStridesAndZeroedContents) {
    MultiArray array({2, 3, 4}, MultiArrayDataType::float32);
    EXPECT_EQ(array.strides(), (std::vector<int>{12, 4, 1}));
    EXPECT_EQ(array.count(), 24u);
    EXPECT_EQ(array.byteCount(), 96u);
    for (float value : array.values<float>()) {
        EXPECT_EQ(value, 0.0f);
    }
}

TEST(MultiArrayTest, ShapesThatCannotBeAllocatedAreRefused) {
    for (const auto& shape : std::vector<std::vector<int>>{{}, {2, -1}, {1 << 16, 1 << 16}}) {
        EXPECT_THROW(MultiArray(shape, MultiArrayDataType::float32), MultiArrayError)
            << System::ML::shapeDescription(shape);
    }
    EXPECT_EQ(MultiArray({0, 3}, MultiArrayDataType::int8).count(), 0u);
}

TEST(MultiArrayTest, TypedAccessOfAnotherElementTypeIsAnError) {
    MultiArray array({4}, MultiArrayDataType::float16);
    EXPECT_NO_THROW(array.values<Half>());
    EXPECT_THROW(array.values<float>(), MultiArrayError);
    EXPECT_THROW(array.mutableValues<std::int32_t>(), MultiArrayError);
}

TEST(MultiArrayTest, CopiesShareTheBufferAndCopyMakesAnIndependentOne) {
    MultiArray first({3}, MultiArrayDataType::int32);
    MultiArray second = first;
    second.mutableValues<std::int32_t>()[1] = 7;
    EXPECT_EQ(first.values<std::int32_t>()[1], 7);
    EXPECT_TRUE(first.sharesBuffer(second));

    MultiArray independent = first.copy();
    independent.mutableValues<std::int32_t>()[1] = 9;
    EXPECT_EQ(first.values<std::int32_t>()[1], 7);
    EXPECT_FALSE(first.sharesBuffer(independent));
}

TEST(MultiArrayTest, EveryMutableAccessRaisesTheVersionAndReadsDoNot) {
    MultiArray array({2}, MultiArrayDataType::float32);
    MultiArray alias = array;
    const auto start = array.version();
    (void)array.values<float>();
    (void)array.value(0);
    EXPECT_EQ(array.version(), start);
    alias.mutableValues<float>();
    EXPECT_GT(array.version(), start);
    const auto afterWrite = array.version();
    array.setValue(1, 2.5);
    EXPECT_GT(array.version(), afterWrite);
    EXPECT_EQ(array.bufferIdentity(), alias.bufferIdentity());
}

TEST(MultiArrayTest, GenericValuesConvertAndRefuseWhatDoesNotFit) {
    MultiArray ints({2}, MultiArrayDataType::int8);
    ints.setValue(0, -128.9); // truncated toward zero, like a conversion to an integer
    EXPECT_EQ(ints.value(0), -128.0);
    EXPECT_THROW(ints.setValue(1, 128.0), MultiArrayError);
    EXPECT_THROW(ints.setValue(1, std::nan("")), MultiArrayError);
    EXPECT_THROW(ints.setValue(2, 0.0), MultiArrayError);
    EXPECT_THROW((void)ints.value(2), MultiArrayError);

    MultiArray halves({1}, MultiArrayDataType::float16);
    halves.setValue(0, 0.1);
    EXPECT_EQ(halves.value(0), double(0.0999755859375f));
}

TEST(MultiArrayTest, WithValuesChecksTheCount) {
    EXPECT_THROW(MultiArray::withValues<float>({2, 2}, std::vector<float>{1, 2, 3}), MultiArrayError);
    const auto array = MultiArray::withValues<float>({2, 2}, std::vector<float>{1, 2, 3, 4});
    EXPECT_EQ(array.toFloats(), (std::vector<float>{1, 2, 3, 4}));
}

TEST(MultiArrayTest, FloatConversionsRoundToTheTargetType) {
    const auto source = MultiArray::withValues<float>({3}, std::vector<float>{0.1f, -3.0f, 70000.0f});
    const auto halves = System::ML::convertedFloats(source, MultiArrayDataType::float16);
    EXPECT_EQ(halves.dataType(), MultiArrayDataType::float16);
    EXPECT_EQ(halves.values<Half>()[0].bitPattern(), Half(0.1f).bitPattern());
    EXPECT_EQ(float(halves.values<Half>()[1]), -3.0f);
    EXPECT_TRUE(std::isinf(float(halves.values<Half>()[2])));
    const auto doubles = System::ML::convertedFloats(halves, MultiArrayDataType::float64);
    EXPECT_EQ(doubles.values<double>()[1], -3.0);
    EXPECT_TRUE(System::ML::convertedFloats(source, MultiArrayDataType::float32).sharesBuffer(source));
    EXPECT_THROW(
        System::ML::convertedFloats(MultiArray({1}, MultiArrayDataType::int32), MultiArrayDataType::float32),
        MultiArrayError);
}

TEST(TensorTest, OwnsACopyOfItsScalars) {
    auto array = MultiArray::withValues<std::int32_t>({1, 2}, std::vector<std::int32_t>{4, 5});
    const System::ML::Tensor tensor(array);
    array.mutableValues<std::int32_t>()[0] = 99;
    EXPECT_EQ(tensor.scalars<std::int32_t>()[0], 4);
    EXPECT_EQ(tensor.shape(), (std::vector<int>{1, 2}));
    EXPECT_EQ(tensor.scalarType(), MultiArrayDataType::int32);
    EXPECT_THROW(tensor.scalars<float>(), MultiArrayError);
}

} // namespace
