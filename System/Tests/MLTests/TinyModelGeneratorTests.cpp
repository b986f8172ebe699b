#include "TinyModelGenerator/TinyModelGenerator.h"

#include "System/ML/Model.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace {

using System::FileTesting::TemporaryFolder;

std::string bytesOf(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST(TinyModelGeneratorTest, TheSameSeedGivesTheSameModelAndAnotherSeedAnotherOne) {
    TemporaryFolder folder("tiny-models");
    TinyModelGenerator::EncoderOptions options;
    options.melCount = 4;
    options.width = 8;
    options.heads = 2;
    options.layers = 2;
    options.positions = 3;
    TinyModelGenerator::writeEncoderModel(folder / "a.mlmodelc", options);
    TinyModelGenerator::writeEncoderModel(folder / "b.mlmodelc", options);
    options.seed += 1;
    TinyModelGenerator::writeEncoderModel(folder / "c.mlmodelc", options);
    for (const char* file : {"model.json", "weights.safetensors"}) {
        EXPECT_EQ(bytesOf(folder / "a.mlmodelc" / file), bytesOf(folder / "b.mlmodelc" / file)) << file;
    }
    EXPECT_NE(bytesOf(folder / "a.mlmodelc" / "weights.safetensors"),
              bytesOf(folder / "c.mlmodelc" / "weights.safetensors"));
}

TEST(TinyModelGeneratorTest, NormalValuesHaveTheAskedMeanAndDeviation) {
    const auto values = TinyModelGenerator::RandomWeights(9).normal(200000, 2.0f, 1.0f);
    double sum = 0, squares = 0;
    for (float value : values) {
        sum += value;
        squares += double(value) * value;
    }
    const double mean = sum / double(values.size());
    EXPECT_NEAR(mean, 1.0, 0.02);
    EXPECT_NEAR(std::sqrt(squares / double(values.size()) - mean * mean), 2.0, 0.02);
}

TEST(TinyModelGeneratorTest, TheFrontEndIsSizedForItsEncoder) {
    TemporaryFolder folder("tiny-models");
    TinyModelGenerator::EncoderOptions options;
    options.melCount = 6;
    options.width = 8;
    options.heads = 2;
    options.layers = 1;
    options.positions = 5;
    TinyModelGenerator::writeFrontEnd(folder.path(), options);
    const auto mel = System::ML::Model::load(folder / "MelSpectrogram.mlmodelc");
    const auto encoder = System::ML::Model::load(folder / "AudioEncoder.mlmodelc");
    EXPECT_EQ(mel->modelDescription().inputDescriptionsByName.at("audio").multiArrayConstraint->shape,
              std::vector<int>{2 * 5 * 160});
    EXPECT_EQ(
        mel->modelDescription().outputDescriptionsByName.at("melspectrogram_features").multiArrayConstraint,
        encoder->modelDescription()
            .inputDescriptionsByName.at("melspectrogram_features")
            .multiArrayConstraint);
}

} // namespace
