#include "System/ML/SafeTensors.h"

#include "System/ML/Half.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>

namespace {

using namespace System::ML;
using System::FileTesting::TemporaryFolder;

std::vector<std::byte> fileWithHeader(const std::string& header, std::size_t dataBytes,
                                      std::optional<std::uint64_t> declaredLength = std::nullopt) {
    std::vector<std::byte> bytes(8 + header.size() + dataBytes, std::byte(0));
    const std::uint64_t length = declaredLength.value_or(header.size());
    for (int i = 0; i < 8; ++i) {
        bytes[std::size_t(i)] = std::byte((length >> (8 * i)) & 0xFF);
    }
    std::memcpy(bytes.data() + 8, header.data(), header.size());
    return bytes;
}

TEST(SafeTensorsTest, WrittenTensorsReadBackInEveryDtype) {
    const std::vector<float> values{0.0f, 1.0f, -2.5f, 0.1f, 1e-3f, 65504.0f};
    SafeTensorsWriter writer;
    writer.add("f32", {2, 3}, values, SafeTensorsDType::F32);
    writer.add("f16", {6}, values, SafeTensorsDType::F16);
    writer.add("bf16", {3, 2}, values, SafeTensorsDType::BF16);
    writer.add("empty", {0, 4}, {}, SafeTensorsDType::F32);
    writer.setMetadata("format", "pt");
    TemporaryFolder folder("safetensors");
    writer.write(folder / "w.safetensors");
    const auto file = SafeTensors::open(folder / "w.safetensors");

    EXPECT_EQ(file.metadata(), (std::map<std::string, std::string>{{"format", "pt"}}));
    EXPECT_EQ(file.tensors().size(), 4u);
    EXPECT_EQ(file.floats("f32", {2, 3}), values);
    EXPECT_EQ(file.tensors().at("bf16").shape, (std::vector<int>{3, 2}));
    EXPECT_TRUE(file.floats("empty").empty());
    const auto halves = file.floats("f16");
    const auto brains = file.floats("bf16");
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(halves[i], float(Half(values[i]))) << i;
        // bfloat16 keeps float's exponent and 8 bits of mantissa: within 2⁻⁸ relative, and exact for these.
        EXPECT_NEAR(brains[i], values[i], std::abs(values[i]) / 256.0f) << i;
    }
    EXPECT_EQ(brains[1], 1.0f);
    EXPECT_EQ(brains[2], -2.5f);
    // Every tensor starts on an 8-byte boundary of the data.
    for (const auto& [name, info] : file.tensors()) {
        EXPECT_EQ(info.begin % 8, 0u) << name;
    }
}

TEST(SafeTensorsTest, BFloat16RoundsToNearestEven) {
    SafeTensorsWriter writer;
    // 1 + 2⁻⁸ lies halfway between 1 and 1 + 2⁻⁷: ties go to the even mantissa (1). 1 + 3·2⁻⁸ goes up.
    writer.add("x", {2}, std::vector<float>{1.0f + 0x1.0p-8f, 1.0f + 3 * 0x1.0p-8f}, SafeTensorsDType::BF16);
    const auto bytes = writer.serialized();
    EXPECT_EQ(SafeTensors::fromBytes(bytes).floats("x"), (std::vector<float>{1.0f, 1.0f + 0x1.0p-6f}));
}

TEST(SafeTensorsTest, ReadingAMissingTensorOrAnotherShapeIsAnError) {
    SafeTensorsWriter writer;
    writer.add("x", {2, 2}, std::vector<float>(4, 1.0f));
    EXPECT_THROW(writer.add("x", {1}, std::vector<float>{1.0f}), SafeTensorsError);
    EXPECT_THROW(writer.add("y", {3}, std::vector<float>{1.0f}), SafeTensorsError);
    const auto file = SafeTensors::fromBytes(writer.serialized());
    EXPECT_THROW(file.floats("missing"), SafeTensorsError);
    EXPECT_THROW(file.floats("x", {4}), SafeTensorsError);
    EXPECT_THROW(file.floats("x", {2, 2, 1}), SafeTensorsError);
}

TEST(SafeTensorsTest, MalformedFilesAreRefusedWhenOpened) {
    const std::string good = R"({"x":{"dtype":"F32","shape":[2],"data_offsets":[0,8]}})";
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"shorter than the length", std::vector<std::byte>(5)},
        {"header length past the end", fileWithHeader(good, 8, good.size() + 9)},
        {"header length beyond any file", fileWithHeader(good, 8, ~std::uint64_t(0))},
        {"header not JSON", fileWithHeader("{\"x\":", 8)},
        {"header not an object", fileWithHeader("[1]", 8)},
        {"entry not an object", fileWithHeader(R"({"x":5})", 8)},
        {"no dtype", fileWithHeader(R"({"x":{"shape":[2],"data_offsets":[0,8]}})", 8)},
        {"an integer dtype", fileWithHeader(R"({"x":{"dtype":"I32","shape":[2],"data_offsets":[0,8]}})", 8)},
        {"a double dtype", fileWithHeader(R"({"x":{"dtype":"F64","shape":[1],"data_offsets":[0,8]}})", 8)},
        {"a negative dimension",
         fileWithHeader(R"({"x":{"dtype":"F32","shape":[-2],"data_offsets":[0,8]}})", 8)},
        {"a fractional dimension",
         fileWithHeader(R"({"x":{"dtype":"F32","shape":[2.5],"data_offsets":[0,8]}})", 8)},
        {"a shape that overflows",
         fileWithHeader(
             R"({"x":{"dtype":"F32","shape":[2147483647,2147483647,2147483647],"data_offsets":[0,8]}})", 8)},
        {"data past the end", fileWithHeader(good, 4)},
        {"offsets reversed", fileWithHeader(R"({"x":{"dtype":"F32","shape":[0],"data_offsets":[8,0]}})", 8)},
        {"fewer bytes than the shape",
         fileWithHeader(R"({"x":{"dtype":"F32","shape":[3],"data_offsets":[0,8]}})", 8)},
        {"more bytes than the shape",
         fileWithHeader(R"({"x":{"dtype":"F16","shape":[2],"data_offsets":[0,8]}})", 8)},
        {"one offset", fileWithHeader(R"({"x":{"dtype":"F32","shape":[2],"data_offsets":[8]}})", 8)},
        {"metadata not text", fileWithHeader(R"({"__metadata__":{"a":1}})", 0)},
    };
    TemporaryFolder folder("safetensors");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_THROW(SafeTensors::fromBytes(cases[i].bytes), SafeTensorsError) << cases[i].name;
        const auto path = folder / ("case" + std::to_string(i));
        System::FileTesting::writeFile(
            path, std::string(reinterpret_cast<const char*>(cases[i].bytes.data()), cases[i].bytes.size()));
        try {
            SafeTensors::open(path);
            ADD_FAILURE() << cases[i].name << " was accepted";
        } catch (const SafeTensorsError& error) {
            EXPECT_NE(error.description().find(path.string()), std::string::npos) << error.description();
        }
    }
    EXPECT_NO_THROW(SafeTensors::fromBytes(fileWithHeader(good, 8)));
    EXPECT_THROW(SafeTensors::open(folder / "absent"), SafeTensorsError);
    EXPECT_THROW(SafeTensors::open(folder.path()), SafeTensorsError);
}

} // namespace
