#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/FeatureProviders.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <gtest/gtest.h>

namespace {

using namespace ZodozorEro;
using System::ML::Half;
using System::ML::MultiArray;
using System::ML::MultiArrayDataType;

MultiArray filled(std::vector<int> shape, float value) {
    MultiArray array(std::move(shape), MultiArrayDataType::float32);
    for (float& element : array.mutableValues<float>()) {
        element = value;
    }
    return array;
}

TEST(FeatureProvidersTest, TheDecoderInputNamesItsSevenArrays) {
    const TextDecoderInput input(MultiArray({1}, MultiArrayDataType::int32),
                                 MultiArray({1}, MultiArrayDataType::int32), filled({1, 4, 1, 3}, 1),
                                 filled({1, 4, 1, 3}, 2), MultiArray({1, 3}, MultiArrayDataType::int32),
                                 filled({1, 4, 1, 5}, 3), filled({1, 3}, -10000));
    EXPECT_EQ(
        input.featureNames(),
        (std::set<std::string>{"input_ids", "cache_length", "key_cache", "value_cache",
                               "kv_cache_update_mask", "encoder_output_embeds", "decoder_key_padding_mask"}));
    for (const auto& name : input.featureNames()) {
        ASSERT_TRUE(input.featureValue(name).has_value()) << name;
    }
    // Each name gives its own array, sharing its buffer.
    EXPECT_TRUE(input.featureValue("cache_length")->multiArrayValue()->sharesBuffer(input.cache_length));
    EXPECT_TRUE(input.featureValue("value_cache")->multiArrayValue()->sharesBuffer(input.value_cache));
    EXPECT_TRUE(input.featureValue("decoder_key_padding_mask")
                    ->multiArrayValue()
                    ->sharesBuffer(input.decoder_key_padding_mask));
    EXPECT_FALSE(input.featureValue("logits").has_value());
    EXPECT_FALSE(input.featureValue("Input_ids").has_value());
}

TEST(FeatureProvidersTest, InputsFromTensorsKeepShapeAndType) {
    const MelSpectrogramInput mel(System::ML::Tensor({3}, std::vector<float>{0.5f, -1, 2}));
    EXPECT_EQ(mel.featureNames(), std::set<std::string>{"audio"});
    EXPECT_EQ(mel.featureValue("audio")->multiArrayValue()->toFloats(), (std::vector<float>{0.5f, -1, 2}));
    EXPECT_FALSE(mel.featureValue("melspectrogram_features").has_value());

    const AudioEncoderInput encoder(
        System::ML::Tensor({1, 2, 1, 1}, std::vector<Half>{Half(1.0f), Half(2.0f)}));
    const auto features = encoder.featureValue("melspectrogram_features")->multiArrayValue();
    EXPECT_EQ(features->dataType(), MultiArrayDataType::float16);
    EXPECT_EQ(features->shape(), (std::vector<int>{1, 2, 1, 1}));

    const System::ML::Tensor ids({1}, std::vector<std::int32_t>{50258});
    const System::ML::Tensor floats({1}, std::vector<float>{0});
    const TextDecoderInput decoder(ids, ids, floats, floats, ids, floats, floats);
    EXPECT_EQ(decoder.input_ids.dataType(), MultiArrayDataType::int32);
    EXPECT_EQ(decoder.input_ids.value(0), 50258.0);
}

TEST(FeatureProvidersTest, TheDecoderOutputHoldsThreeFeaturesAndNoAlignment) {
    const TextDecoderOutput output(filled({1, 1, 6}, 0.25f), filled({1, 4, 1, 1}, 1), filled({1, 4, 1, 1}, 2),
                                   filled({1, 1, 6}, 9));
    EXPECT_EQ(output.featureNames(),
              (std::set<std::string>{"logits", "key_cache_updates", "value_cache_updates"}));
    EXPECT_FALSE(output.alignment_heads_weights().has_value());
    EXPECT_FALSE(output.alignment_heads_weightsShapedArray().has_value());
    EXPECT_EQ(output.value_cache_updates().toFloats(), std::vector<float>(4, 2.0f));

    const auto logits = output.logitsShapedArray();
    EXPECT_EQ(logits.scalarType(), MultiArrayDataType::float16);
    EXPECT_EQ(logits.shape(), (std::vector<int>{1, 1, 6}));
    EXPECT_EQ(float(logits.scalars<Half>()[5]), 0.25f);
}

TEST(FeatureProvidersTest, OutputsReadTheModelsProvider) {
    auto provider = std::make_shared<System::ML::DictionaryFeatureProvider>(
        std::map<std::string, System::ML::FeatureValue>{
            {"logits", filled({1, 1, 2}, 1)},
            {"key_cache_updates", filled({1, 2, 1, 1}, 1)},
            {"value_cache_updates", filled({1, 2, 1, 1}, 1)},
            {"alignment_heads_weights", filled({1, 3}, 0.5f)},
            {"melspectrogram_features", System::ML::FeatureValue(std::string("not an array"))}});
    const TextDecoderOutput decoder(provider);
    ASSERT_TRUE(decoder.alignment_heads_weights().has_value());
    EXPECT_EQ(decoder.alignment_heads_weights()->toFloats(), std::vector<float>(3, 0.5f));
    EXPECT_EQ(decoder.featureNames(), provider->featureNames());

    // A feature that is missing, or not an array, cannot be read through its typed accessor.
    const MelSpectrogramOutput mel(provider);
    const AudioEncoderOutput encoder(provider);
    for (const auto& read : std::vector<std::function<void()>>{
             [&] { mel.melspectrogramFeatures(); }, [&] { encoder.encoder_output_embedsShapedArray(); }}) {
        try {
            read();
            ADD_FAILURE() << "read a feature that is not there";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::transcriptionFailed);
        }
    }
    EXPECT_EQ(AudioEncoderOutput(filled({1, 2, 1, 3}, 4)).featureNames(),
              std::set<std::string>{"encoder_output_embeds"});
}

// A model whose description says what a test needs, set into a stage without loading anything.
class DescribedModel final : public System::ML::Model {
public:
    explicit DescribedModel(System::ML::ModelDescription description)
        : Model(std::move(description), {}) {}

private:
    std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>&) override {
        return {};
    }
};

TEST(FeatureProvidersTest, ShapesComeOnlyFromMultiArrayFeaturesWithEnoughDimensions) {
    using System::ML::FeatureDescription;
    using System::ML::FeatureType;
    using System::ML::MultiArrayConstraint;
    AudioEncoder encoder;
    encoder.setModel(std::make_shared<DescribedModel>(System::ML::ModelDescription{
        {},
        {{"encoder_output_embeds",
          FeatureDescription{"encoder_output_embeds", FeatureType::string, std::nullopt}}}}));
    EXPECT_TRUE(encoder.isModelLoaded());
    EXPECT_EQ(encoder.embedSize(), std::nullopt);
    EXPECT_EQ(encoder.sequenceLength(), std::nullopt);

    encoder.setModel(std::make_shared<DescribedModel>(System::ML::ModelDescription{
        {},
        {{"encoder_output_embeds",
          FeatureDescription{"encoder_output_embeds", FeatureType::multiArray,
                             MultiArrayConstraint{{1, 384}, MultiArrayDataType::float16}}}}}));
    EXPECT_EQ(encoder.embedSize(), 384);
    EXPECT_EQ(encoder.sequenceLength(), std::nullopt); // no fourth dimension

    FeatureExtractor extractor;
    extractor.setModel(std::make_shared<DescribedModel>(System::ML::ModelDescription{
        {{"audio", FeatureDescription{"audio", FeatureType::multiArray,
                                      MultiArrayConstraint{{480000}, MultiArrayDataType::float32}}}},
        {}}));
    EXPECT_EQ(extractor.windowSamples(), 480000);
    EXPECT_EQ(extractor.melCount(), std::nullopt);
}

} // namespace
