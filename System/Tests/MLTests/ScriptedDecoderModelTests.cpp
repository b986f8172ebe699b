// The scripted_decoder kind: logits and alignment weights by cache length, cache updates that say what the
// prediction saw, and scripts that cannot be followed refused at load.

#include "System/ML/Model.h"

#include "ModelTesting.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

namespace {

using namespace System::ML;
using System::FileTesting::TemporaryFolder;
using TinyModelGenerator::ScriptStep;
using Json = nlohmann::json;

TinyModelGenerator::ScriptedDecoderOptions smallScript() {
    TinyModelGenerator::ScriptedDecoderOptions options;
    options.vocabularySize = 12;
    options.width = 4;
    options.cacheChannels = 6;
    options.cachePositions = 8;
    options.encoderPositions = 5;
    options.floor = -50;
    options.script = {
        ScriptStep::token(7), {{{2, 1.5f}, {3, 0.5f}}, {{4, 1.0f}, {1, 0.25f}}}, ScriptStep::token(11)};
    options.featureType = MultiArrayDataType::float16;
    return options;
}

std::shared_ptr<FeatureProvider> predict(Model& model, int token, int position) {
    std::map<std::string, FeatureValue> values;
    for (const auto& [name, description] : model.modelDescription().inputDescriptionsByName) {
        values.emplace(name, MultiArray(description.multiArrayConstraint->shape,
                                        description.multiArrayConstraint->dataType));
    }
    values.insert_or_assign("input_ids", MultiArray::withValues<std::int32_t>({1}, {token}));
    values.insert_or_assign("cache_length", MultiArray::withValues<std::int32_t>({1}, {position}));
    return model.predict(DictionaryFeatureProvider(std::move(values)));
}

std::vector<float> output(const FeatureProvider& provider, const std::string& name) {
    return provider.featureValue(name)->multiArrayValue()->toFloats();
}

TEST(ScriptedDecoderModelTest, AnswersEachCacheLengthWithItsStep) {
    TemporaryFolder folder("scripted");
    TinyModelGenerator::writeScriptedDecoderModel(folder / "S.mlmodelc", smallScript());
    const auto model = Model::load(folder / "S.mlmodelc");

    struct Case {
        int position;
        std::map<int, float> logits;    // the rest at the floor
        std::map<int, float> alignment; // the rest 0
    };
    const std::vector<Case> cases = {
        {0, {{7, 0.0f}}, {}},  {1, {{2, 1.5f}, {3, 0.5f}}, {{4, 1.0f}, {1, 0.25f}}},
        {2, {{11, 0.0f}}, {}}, {5, {{11, 0.0f}}, {}}, // past the end the last step answers again
        {7, {{11, 0.0f}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("position " + std::to_string(c.position));
        const int token = 3 + c.position;
        const auto result = predict(*model, token, c.position);
        const auto logits = output(*result, "logits");
        ASSERT_EQ(logits.size(), 12u);
        for (int i = 0; i < 12; ++i) {
            EXPECT_EQ(logits[std::size_t(i)], c.logits.contains(i) ? c.logits.at(i) : -50.0f)
                << "token " << i;
        }
        const auto alignment = output(*result, "alignment_heads_weights");
        ASSERT_EQ(alignment.size(), 5u);
        for (int f = 0; f < 5; ++f) {
            EXPECT_EQ(alignment[std::size_t(f)], c.alignment.contains(f) ? c.alignment.at(f) : 0.0f);
        }
        EXPECT_EQ(output(*result, "key_cache_updates"), std::vector<float>(6, float(token)));
        EXPECT_EQ(output(*result, "value_cache_updates"), std::vector<float>(6, float(c.position)));
        EXPECT_EQ(result->featureValue("logits")->multiArrayValue()->dataType(), MultiArrayDataType::float16);
    }
    EXPECT_THROW(predict(*model, 0, 8), ModelError);
    EXPECT_THROW(predict(*model, 0, -1), ModelError);
}

TEST(ScriptedDecoderModelTest, LeavesTheAlignmentOutOfAModelWithoutIt) {
    TemporaryFolder folder("scripted");
    auto options = smallScript();
    options.alignment = false;
    TinyModelGenerator::writeScriptedDecoderModel(folder / "S.mlmodelc", options);
    const auto result = predict(*Model::load(folder / "S.mlmodelc"), 1, 1);
    EXPECT_FALSE(result->featureValue("alignment_heads_weights"));
    EXPECT_EQ(output(*result, "logits")[2], 1.5f);
}

TEST(ScriptedDecoderModelTest, RefusesScriptsItCannotFollow) {
    TemporaryFolder folder("scripted");
    const auto good = folder / "Good.mlmodelc";
    TinyModelGenerator::writeScriptedDecoderModel(good, smallScript());
    ModelTesting::expectRefused(
        good, folder.path(),
        {
            {"no script", [](Json& m) { m.erase("script"); }, "script"},
            {"an empty script", [](Json& m) { m["script"] = Json::array(); }, "script"},
            {"a token past the vocabulary", [](Json& m) { m["script"][0] = 12; }, "vocabulary"},
            {"a negative token", [](Json& m) { m["script"][0] = -1; }, "vocabulary"},
            {"a logit for a token past the vocabulary", [](Json& m) { m["script"][1]["logits"]["12"] = 1; },
             "\"12\""},
            {"a logit keyed by no number", [](Json& m) { m["script"][1]["logits"]["2x"] = 1; }, "\"2x\""},
            {"a logit that is no number", [](Json& m) { m["script"][1]["logits"]["2"] = "high"; }, "\"2\""},
            {"a logit beyond float", [](Json& m) { m["script"][1]["logits"]["2"] = 1e300; }, "\"2\""},
            {"a frame past the encoder output", [](Json& m) { m["script"][1]["alignment"]["5"] = 1; },
             "\"5\""},
            {"a step of another type", [](Json& m) { m["script"][2] = "eleven"; }, "neither"},
            {"a floor that is no number", [](Json& m) { m["floor"] = Json(); }, "floor"},
        });
}

} // namespace
