#include "ZodozorEro/Core/TextDecoder.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include "../Data/LogCapture.h"
#include "StageTesting.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Concurrency/RunLoop.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace ZodozorEro;
using System::Concurrency::blockingRun;
using System::FileTesting::TemporaryFolder;
using System::ML::ComputeUnits;
using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using ZodozorEroTesting::expectWhisperError;

constexpr int kWidth = 16;
constexpr int kLayers = 2;
constexpr int kFrames = 6;
constexpr int kVocabulary = 40;
constexpr int kPositions = Constants::maxTokenContext;

TinyModelGenerator::DecoderOptions tinyDecoder() {
    TinyModelGenerator::DecoderOptions options;
    options.vocabularySize = kVocabulary;
    options.width = kWidth;
    options.layers = kLayers;
    options.heads = 2;
    options.cachePositions = kPositions;
    options.encoderPositions = kFrames;
    options.alignmentHeads = {{1, 0}, {1, 1}};
    return options;
}

// The tokens of a multilingual tokenizer that the prompt is made of; `known` leaves some out.
class PromptTokenizer : public WhisperTokenizer {
public:
    explicit PromptTokenizer(std::map<std::string, int> known = {{"<|en|>", 50259},
                                                                 {"<|de|>", 50261},
                                                                 {"<|ar|>", 50272},
                                                                 {"<|transcribe|>", 50359},
                                                                 {"<|translate|>", 50358}})
        : known_(std::move(known)) {}

    std::vector<int> encode(const std::string&) const override { return {}; }
    std::string decode(const std::vector<int>&) const override { return {}; }
    std::optional<int> convertTokenToId(const std::string& token) const override {
        const auto found = known_.find(token);
        return found == known_.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::string> convertIdToToken(int) const override { return std::nullopt; }
    const SpecialTokens& specialTokens() const override { return special_; }
    const std::unordered_set<int>& allLanguageTokens() const override { return languages_; }
    WordTokens splitToWordTokens(const std::vector<int>&) const override { return {}; }

private:
    std::map<std::string, int> known_;
    SpecialTokens special_;
    std::unordered_set<int> languages_{50259, 50261, 50272};
};

// A decoder whose sizes are given, for the state it prepares without any model.
class SizedDecoder : public TextDecoder {
public:
    std::optional<int> embed = 12, positions = kPositions, frames = kFrames;
    std::optional<int> kvCacheEmbedDim() const override { return embed; }
    std::optional<int> kvCacheMaxSequenceLength() const override { return positions; }
    std::optional<int> windowSize() const override { return frames; }
};

std::vector<float> floats(const MultiArray& array) {
    return array.toFloats();
}

TEST(TextDecoderTest, SizesComeFromTheLoadedModel) {
    TemporaryFolder folder("text-decoder");
    auto withoutHeads = tinyDecoder();
    withoutHeads.alignmentHeads.clear();
    TinyModelGenerator::writeDecoderModel(folder / "TextDecoder.mlmodelc", tinyDecoder());
    TinyModelGenerator::writeDecoderModel(folder / "Plain.mlmodelc", withoutHeads);

    TextDecoder decoder;
    EXPECT_FALSE(decoder.supportsWordTimestamps());
    EXPECT_EQ(decoder.logitsSize(), std::nullopt);
    EXPECT_EQ(decoder.kvCacheEmbedDim(), std::nullopt);
    EXPECT_EQ(decoder.kvCacheMaxSequenceLength(), std::nullopt);
    EXPECT_EQ(decoder.windowSize(), std::nullopt);
    EXPECT_EQ(decoder.embedSize(), std::nullopt);
    EXPECT_TRUE(decoder.logitsFilters().has_value() && decoder.logitsFilters()->empty());

    blockingRun(decoder.loadModel(folder / "TextDecoder.mlmodelc", ComputeUnits::cpuOnly, false));
    EXPECT_TRUE(decoder.supportsWordTimestamps());
    EXPECT_EQ(decoder.logitsSize(), kVocabulary);
    EXPECT_EQ(decoder.kvCacheEmbedDim(), kLayers * kWidth);
    EXPECT_EQ(decoder.kvCacheMaxSequenceLength(), kPositions);
    EXPECT_EQ(decoder.windowSize(), kFrames);
    EXPECT_EQ(decoder.embedSize(), kWidth);

    blockingRun(decoder.loadModel(folder / "Plain.mlmodelc", ComputeUnits::cpuOnly, false));
    EXPECT_FALSE(decoder.supportsWordTimestamps());
    decoder.unloadModel();
    EXPECT_EQ(decoder.logitsSize(), std::nullopt);
}

TEST(TextDecoderTest, AModelWhoseCacheIsShorterThanAWindowIsRefused) {
    TemporaryFolder folder("text-decoder");
    auto shortCache = tinyDecoder();
    shortCache.cachePositions = kPositions - 1;
    TinyModelGenerator::writeDecoderModel(folder / "Short.mlmodelc", shortCache);
    TinyModelGenerator::writeDecoderModel(folder / "TextDecoder.mlmodelc", tinyDecoder());

    TextDecoder decoder;
    blockingRun(decoder.loadModel(folder / "TextDecoder.mlmodelc", ComputeUnits::all, false));
    const auto before = decoder.model();
    expectWhisperError(
        [&] { blockingRun(decoder.loadModel(folder / "Short.mlmodelc", ComputeUnits::all, false)); },
        WhisperError::Kind::modelsUnavailable,
        "The text decoder's key/value cache holds 223 positions, fewer than the 224 tokens of a decoding "
        "window");
    EXPECT_EQ(decoder.model(), before);
}

TEST(TextDecoderTest, PreparedStateHasTheModelsSizesWithOnlyPositionZeroOpen) {
    SizedDecoder decoder;
    const auto prepared = decoder.prepareDecoderInputs({50258, 7});
    auto* inputs = dynamic_cast<DecodingInputs*>(prepared.get());
    ASSERT_NE(inputs, nullptr);
    EXPECT_EQ(inputs->initialPrompt(), (std::vector<int>{50258, 7}));
    const auto half = MultiArrayDataType::float16;
    const auto int32 = MultiArrayDataType::int32;
    const std::vector<std::tuple<const char*, MultiArray, std::vector<int>, MultiArrayDataType>> arrays = {
        {"inputIds", inputs->inputIds(), {1}, int32},
        {"cacheLength", inputs->cacheLength(), {1}, int32},
        {"keyCache", inputs->keyCache(), {1, 12, 1, kPositions}, half},
        {"valueCache", inputs->valueCache(), {1, 12, 1, kPositions}, half},
        {"alignmentWeights", inputs->alignmentWeights(), {kPositions, kFrames}, half},
        {"kvCacheUpdateMask", inputs->kvCacheUpdateMask(), {1, kPositions}, int32},
        {"decoderKeyPaddingMask", inputs->decoderKeyPaddingMask(), {1, kPositions}, half},
    };
    for (const auto& [name, array, shape, type] : arrays) {
        SCOPED_TRACE(name);
        EXPECT_EQ(array.shape(), shape);
        EXPECT_EQ(array.dataType(), type);
        const auto values = floats(array);
        const bool isMask = std::string(name) == "kvCacheUpdateMask";
        const bool isPadding = std::string(name) == "decoderKeyPaddingMask";
        for (std::size_t i = 0; i < values.size(); ++i) {
            const float expected = isMask      ? (i == 0 ? 1.0f : 0.0f)
                                   : isPadding ? (i == 0 ? 0.0f : -10000.0f)
                                               : 0.0f;
            ASSERT_EQ(values[i], expected) << "element " << i;
        }
    }

    const std::vector<std::tuple<std::optional<int>, std::optional<int>, std::optional<int>, std::string>>
        missing = {
            {std::nullopt, kPositions, kFrames, "Unable to determine kvCacheEmbedDim"},
            {12, std::nullopt, kFrames, "Unable to determine kvCacheMaxSequenceLength"},
            {12, kPositions, std::nullopt, "Unable to determine encoderOutputDim"},
        };
    for (const auto& [embed, positions, frames, message] : missing) {
        decoder.embed = embed;
        decoder.positions = positions;
        decoder.frames = frames;
        expectWhisperError([&] { decoder.prepareDecoderInputs({}); },
                           WhisperError::Kind::prepareDecoderInputsFailed, message);
    }
}

TEST(TextDecoderTest, PrefillBuildsTheWindowPrompt) {
    const SpecialTokens t;
    const int sot = t.startOfTranscriptToken, en = 50259, de = 50261, transcribe = t.transcribeToken,
              translate = t.translateToken, timestamp = t.timeTokenBegin, noTimestamps = t.noTimestampsToken,
              previous = t.startOfPreviousToken;
    auto range = [](int first, int count) {
        std::vector<int> tokens(static_cast<std::size_t>(count));
        std::iota(tokens.begin(), tokens.end(), first);
        return tokens;
    };
    auto join = [](std::initializer_list<std::vector<int>> parts) {
        std::vector<int> all;
        for (const auto& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    };
    struct Case {
        const char* name;
        bool multilingual;
        std::optional<DecodingOptions> options;
        std::vector<int> expected;
        std::map<std::string, int> known = {
            {"<|en|>", 50259}, {"<|de|>", 50261}, {"<|transcribe|>", 50359}, {"<|translate|>", 50358}};
    };
    const std::vector<Case> cases = {
        {"no options", true, std::nullopt, {sot}},
        {"multilingual, English by default", true, DecodingOptions{}, {sot, en, transcribe, timestamp}},
        {"German translated without timestamps",
         true,
         DecodingOptions{.task = DecodingTask::translate, .language = "de", .withoutTimestamps = true},
         {sot, de, translate, noTimestamps}},
        {"English-only model", false, DecodingOptions{.language = "de"}, {sot, timestamp}},
        {"a language without a token",
         true,
         DecodingOptions{.language = "xx"},
         {sot, en, transcribe, timestamp}},
        {"no translate token",
         true,
         DecodingOptions{.task = DecodingTask::translate},
         {sot, en, transcribe, timestamp},
         {{"<|en|>", 50259}, {"<|transcribe|>", 50359}}},
        {"previous text keeps its last 111 tokens", false, DecodingOptions{.promptTokens = range(1000, 200)},
         join({{previous}, range(1089, 111), {sot, timestamp}})},
        {"previous text of control tokens only",
         false,
         DecodingOptions{.promptTokens = std::vector<int>{t.endToken, timestamp, 50300}},
         {sot, timestamp}},
        {"previous text loses its control tokens",
         false,
         DecodingOptions{.promptTokens = std::vector<int>{5, t.endToken, 6, timestamp + 3}},
         {previous, 5, 6, sot, timestamp}},
        {"a prefix of at most 112 tokens", false, DecodingOptions{.prefixTokens = range(2000, 150)},
         join({{sot, timestamp}, range(2038, 112)})},
        {"a prefix after 120 tokens keeps at most 102", true,
         DecodingOptions{.promptTokens = range(1000, 116), .prefixTokens = range(3000, 150)},
         // 1 + 111 + 4 = 116 ≥ 111 → 222 − 116 = 106
         join({{previous}, range(1005, 111), {sot, en, transcribe, timestamp}, range(3044, 106)})},
        {"a prefix loses its control tokens",
         false,
         DecodingOptions{.withoutTimestamps = true, .prefixTokens = std::vector<int>{9, t.endToken, 8}},
         {sot, noTimestamps, 9, 8}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SizedDecoder decoder;
        decoder.setTokenizer(std::make_shared<PromptTokenizer>(c.known));
        decoder.setIsModelMultilingual(c.multilingual);
        const auto prepared = decoder.prepareDecoderInputs({1, 2, 3});
        auto* inputs = dynamic_cast<DecodingInputs*>(prepared.get());
        inputs->kvCacheUpdateMask().setValue(0, 0);
        inputs->decoderKeyPaddingMask().setValue(0, -10000);
        const auto result = blockingRun(decoder.prefillDecoderInputs(prepared, c.options));
        EXPECT_EQ(result, prepared);
        EXPECT_EQ(inputs->initialPrompt(), c.expected);
        EXPECT_LE(inputs->initialPrompt().size(), std::size_t(Constants::maxTokenContext - 2));
        EXPECT_EQ(inputs->kvCacheUpdateMask().value(0), 1);
        EXPECT_EQ(inputs->decoderKeyPaddingMask().value(0), 0);
    }
}

TEST(TextDecoderTest, PrefillNeedsATokenizerAndTheDecodersOwnState) {
    class OtherState : public DecodingInputsType {
    public:
        std::vector<int>& initialPrompt() override { return prompt_; }
        MultiArray& inputIds() override { return array_; }
        MultiArray& cacheLength() override { return array_; }
        void reset(int) override {}

    private:
        std::vector<int> prompt_;
        MultiArray array_{{1}, MultiArrayDataType::int32};
    };
    SizedDecoder decoder;
    expectWhisperError(
        [&] { blockingRun(decoder.prefillDecoderInputs(decoder.prepareDecoderInputs({}), {})); },
        WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    decoder.setTokenizer(std::make_shared<PromptTokenizer>());
    expectWhisperError([&] { blockingRun(decoder.prefillDecoderInputs(std::make_shared<OtherState>(), {})); },
                       WhisperError::Kind::prepareDecoderInputsFailed,
                       "Unable to cast decoderInputs to DecodingInputs");
}

TEST(TextDecoderTest, CacheUpdatesLandAtTheirPositionAndNowhereElse) {
    const int channels = 3, positions = 5;
    auto cache = [&](MultiArrayDataType type) { return MultiArray({1, channels, 1, positions}, type); };
    for (const auto cacheType : {MultiArrayDataType::float16, MultiArrayDataType::float32}) {
        SCOPED_TRACE(std::string(System::ML::dataTypeName(cacheType)));
        MultiArray keys = cache(cacheType), values = cache(cacheType);
        // Two new positions, as float32 model outputs: key 10·c + j, value −(10·c + j).
        std::vector<float> keySlice, valueSlice;
        for (int c = 0; c < channels; ++c) {
            for (int j = 0; j < 2; ++j) {
                keySlice.push_back(float(10 * c + j));
                valueSlice.push_back(-float(10 * c + j));
            }
        }
        TextDecoding::updateKVCache(keys, MultiArray::withValues<float>({1, channels, 1, 2}, keySlice),
                                    values, MultiArray::withValues<float>({1, channels, 1, 2}, valueSlice),
                                    3);
        const auto k = floats(keys), v = floats(values);
        for (int c = 0; c < channels; ++c) {
            for (int p = 0; p < positions; ++p) {
                const float expected = p >= 3 ? float(10 * c + p - 3) : 0.0f;
                EXPECT_EQ(k[std::size_t(c * positions + p)], expected) << c << ", " << p;
                EXPECT_EQ(v[std::size_t(c * positions + p)], -expected) << c << ", " << p;
            }
        }
    }

    // Updates that do not fit are refused before anything is written.
    MultiArray keys = cache(MultiArrayDataType::float16), values = cache(MultiArrayDataType::float16);
    const MultiArray one({1, channels, 1, 1}, MultiArrayDataType::float32);
    const MultiArray two({1, channels, 1, 2}, MultiArrayDataType::float32);
    const MultiArray otherChannels({1, channels + 1, 1, 1}, MultiArrayDataType::float32);
    const std::vector<std::tuple<const char*, MultiArray, MultiArray, MultiArray, int>> refused = {
        {"past the last position", one, one, values, positions},
        {"two positions from the last", two, two, values, positions - 1},
        {"before the first", one, one, values, -1},
        {"slices of other channels", otherChannels, otherChannels, values, 0},
        {"slices of different shapes", one, two, values, 0},
        {"caches of different shapes", one, one,
         MultiArray({1, channels, 1, positions + 1}, MultiArrayDataType::float16), 0},
        {"an integer cache", one, one, MultiArray({1, channels, 1, positions}, MultiArrayDataType::int32), 0},
    };
    for (auto [name, keySlice, valueSlice, valueCache, index] : refused) {
        SCOPED_TRACE(name);
        EXPECT_THROW(TextDecoding::updateKVCache(keys, keySlice, valueCache, valueSlice, index),
                     WhisperError);
        EXPECT_EQ(keys.version(), 0u) << "the key cache was written";
    }
}

TEST(TextDecoderTest, AlignmentWeightsOfPositionIFillRowIPlusOne) {
    MultiArray tensor({4, 3}, MultiArrayDataType::float16);
    TextDecoding::updateAlignmentWeights(tensor, MultiArray::withValues<float>({1, 3}, {0.5f, 0.25f, 0.25f}),
                                         0);
    TextDecoding::updateAlignmentWeights(tensor, MultiArray::withValues<float>({1, 3}, {0.0f, 1.0f, 0.0f}),
                                         2);
    EXPECT_EQ(floats(tensor), (std::vector<float>{0, 0, 0, 0.5f, 0.25f, 0.25f, 0, 0, 0, 0, 1, 0}));

    const auto before = tensor.version();
    EXPECT_THROW(
        TextDecoding::updateAlignmentWeights(tensor, MultiArray({1, 3}, MultiArrayDataType::float32), 3),
        WhisperError); // row 4 of 4
    EXPECT_THROW(
        TextDecoding::updateAlignmentWeights(tensor, MultiArray({1, 2}, MultiArrayDataType::float32), 0),
        WhisperError);
    EXPECT_THROW(
        TextDecoding::updateAlignmentWeights(tensor, MultiArray({1, 3}, MultiArrayDataType::float32), -1),
        WhisperError);
    EXPECT_EQ(tensor.version(), before);
}

TEST(TextDecoderTest, PredictionWithoutAModelGivesNoLogitsAndOtherInputsAreRefused) {
    TextDecoder decoder;
    const MultiArray scalar({1}, MultiArrayDataType::int32);
    const auto output = blockingRun(decoder.predictLogits(TextDecoderInputType(
        TextDecoderMLMultiArrayInputType{scalar, scalar, scalar, scalar, scalar, scalar, scalar})));
    ASSERT_TRUE(output);
    const auto* arrays = std::any_cast<TextDecoderMLMultiArrayOutputType>(&*output);
    ASSERT_NE(arrays, nullptr);
    EXPECT_FALSE(arrays->logits);
    EXPECT_FALSE(arrays->cache);
    EXPECT_FALSE(blockingRun(decoder.predictLogits(scalar, scalar, scalar, scalar, scalar, scalar, scalar)));

    expectWhisperError([&] { blockingRun(decoder.predictLogits(TextDecoderInputType(scalar))); },
                       WhisperError::Kind::transcriptionFailed,
                       "Input must be TextDecoderMLMultiArrayInputType");
}

// Feeds `tokens` from position 0 through the stage, writing the caches, masks and alignment rows as the token
// loop does, and gives the logits of every step.
std::vector<std::vector<float>> decodeThroughTheStage(TextDecoder& decoder, DecodingInputs& state,
                                                      const MultiArray& encoder,
                                                      const std::vector<int>& tokens) {
    std::vector<std::vector<float>> logits;
    for (int i = 0; i < int(tokens.size()); ++i) {
        state.inputIds().setValue(0, tokens[std::size_t(i)]);
        state.cacheLength().setValue(0, i);
        const auto output =
            blockingRun(decoder.predictLogits(TextDecoderInputType(TextDecoderMLMultiArrayInputType{
                state.inputIds(), state.cacheLength(), state.keyCache(), state.valueCache(),
                state.kvCacheUpdateMask(), encoder, state.decoderKeyPaddingMask()})));
        const auto& result = std::any_cast<const TextDecoderMLMultiArrayOutputType&>(*output);
        logits.push_back(floats(*result.logits));
        TextDecoding::updateKVCache(state.keyCache(), *result.cache->keyCache, state.valueCache(),
                                    *result.cache->valueCache, i);
        state.decoderKeyPaddingMask().setValue(std::size_t(i + 1), 0);
        state.kvCacheUpdateMask().setValue(std::size_t(i), 0);
        state.kvCacheUpdateMask().setValue(std::size_t(i + 1), 1);
        if (result.cache->alignmentWeights) {
            TextDecoding::updateAlignmentWeights(state.alignmentWeights(), *result.cache->alignmentWeights,
                                                 i);
        }
    }
    return logits;
}

TEST(TextDecoderTest, DecodingThroughTheStageMatchesTheModelAskedDirectly) {
    TemporaryFolder folder("text-decoder");
    TinyModelGenerator::writeDecoderModel(folder / "TextDecoder.mlmodelc", tinyDecoder());
    TextDecoder decoder;
    blockingRun(decoder.loadModel(folder / "TextDecoder.mlmodelc", ComputeUnits::all, false));
    const auto model = decoder.model();
    const MultiArray encoder = MultiArray::withValues<float>(
        {1, kWidth, 1, kFrames},
        TinyModelGenerator::RandomWeights(8).normal(std::size_t(kWidth * kFrames), 1.0f));

    // The model asked directly, with float32 caches kept here: the reference for the stage's float16 state.
    auto direct = [&](const std::vector<int>& tokens) {
        const int channels = kLayers * kWidth;
        MultiArray keys({1, channels, 1, kPositions}, MultiArrayDataType::float32);
        MultiArray values({1, channels, 1, kPositions}, MultiArrayDataType::float32);
        std::vector<std::vector<float>> logits, alignment;
        for (int i = 0; i < int(tokens.size()); ++i) {
            MultiArray mask({1, kPositions}, MultiArrayDataType::int32);
            MultiArray padding({1, kPositions}, MultiArrayDataType::float32);
            for (int j = 0; j < kPositions; ++j) {
                mask.setValue(std::size_t(j), j == i);
                padding.setValue(std::size_t(j), j <= i ? 0 : -10000);
            }
            const auto output = model->predict(System::ML::DictionaryFeatureProvider(
                {{"input_ids", MultiArray::withValues<std::int32_t>({1}, {tokens[std::size_t(i)]})},
                 {"cache_length", MultiArray::withValues<std::int32_t>({1}, {i})},
                 {"key_cache", keys},
                 {"value_cache", values},
                 {"kv_cache_update_mask", mask},
                 {"encoder_output_embeds", encoder},
                 {"decoder_key_padding_mask", padding}}));
            logits.push_back(output->featureValue("logits")->multiArrayValue()->toFloats());
            alignment.push_back(
                output->featureValue("alignment_heads_weights")->multiArrayValue()->toFloats());
            const auto newKeys = output->featureValue("key_cache_updates")->multiArrayValue()->toFloats();
            const auto newValues = output->featureValue("value_cache_updates")->multiArrayValue()->toFloats();
            for (int c = 0; c < channels; ++c) {
                keys.setValue(std::size_t(c * kPositions + i), newKeys[std::size_t(c)]);
                values.setValue(std::size_t(c * kPositions + i), newValues[std::size_t(c)]);
            }
        }
        return std::pair(logits, alignment);
    };
    auto expectNear = [](const std::vector<std::vector<float>>& actual,
                         const std::vector<std::vector<float>>& expected, float tolerance) {
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t i = 0; i < actual.size(); ++i) {
            ASSERT_EQ(actual[i].size(), expected[i].size());
            for (std::size_t j = 0; j < actual[i].size(); ++j) {
                EXPECT_NEAR(actual[i][j], expected[i][j], tolerance) << "step " << i << ", element " << j;
            }
        }
    };

    auto state = std::dynamic_pointer_cast<DecodingInputs>(decoder.prepareDecoderInputs({}));
    ASSERT_TRUE(state);
    const std::vector<int> first{3, 17, 29, 5, 11, 2};
    const auto [firstLogits, firstAlignment] = direct(first);
    // The cache holds float16: each entry keeps 11 bits.
    expectNear(decodeThroughTheStage(decoder, *state, encoder, first), firstLogits, 2e-2f);
    const auto rows = floats(state->alignmentWeights());
    EXPECT_EQ(std::vector<float>(rows.begin(), rows.begin() + kFrames), std::vector<float>(kFrames, 0.0f));
    std::vector<std::vector<float>> stored;
    for (std::size_t i = 0; i < first.size(); ++i) {
        stored.emplace_back(rows.begin() + std::ptrdiff_t((i + 1) * kFrames),
                            rows.begin() + std::ptrdiff_t((i + 2) * kFrames));
    }
    expectNear(stored, firstAlignment, 1e-3f);

    // The next window starts over in the same state: what the first left in the caches stays hidden.
    state->reset(Constants::maxTokenContext);
    const std::vector<int> second{8, 1};
    expectNear(decodeThroughTheStage(decoder, *state, encoder, second), direct(second).first, 2e-2f);
}

TEST(TextDecoderTest, AScriptedDecoderAnswersThroughTheStage) {
    TemporaryFolder folder("text-decoder");
    TinyModelGenerator::ScriptedDecoderOptions options;
    options.vocabularySize = kVocabulary;
    options.width = kWidth;
    options.cacheChannels = 4;
    options.encoderPositions = kFrames;
    options.featureType = MultiArrayDataType::float16;
    options.script = {TinyModelGenerator::ScriptStep::token(7),
                      TinyModelGenerator::ScriptStep::token(12),
                      {{{30, 2.0f}}, {{4, 1.0f}}}};
    TinyModelGenerator::writeScriptedDecoderModel(folder / "TextDecoder.mlmodelc", options);
    TextDecoder decoder;
    blockingRun(decoder.loadModel(folder / "TextDecoder.mlmodelc", ComputeUnits::all, false));
    auto state = std::dynamic_pointer_cast<DecodingInputs>(decoder.prepareDecoderInputs({}));
    const MultiArray encoder({1, kWidth, 1, kFrames}, MultiArrayDataType::float16);

    const std::vector<int> fed{21, 22, 23, 24};
    const auto logits = decodeThroughTheStage(decoder, *state, encoder, fed);
    std::vector<int> best;
    for (const auto& step : logits) {
        best.push_back(int(std::max_element(step.begin(), step.end()) - step.begin()));
    }
    EXPECT_EQ(best, (std::vector<int>{7, 12, 30, 30}));
    // The key cache holds the token fed at each position, the value cache the position.
    const auto keys = floats(state->keyCache());
    const auto values = floats(state->valueCache());
    for (int c = 0; c < 4; ++c) {
        for (int p = 0; p < 5; ++p) {
            EXPECT_EQ(keys[std::size_t(c * kPositions + p)], p < 4 ? float(fed[std::size_t(p)]) : 0.0f);
            EXPECT_EQ(values[std::size_t(c * kPositions + p)], p < 4 ? float(p) : 0.0f);
        }
    }
    EXPECT_EQ(state->alignmentWeights().value(std::size_t(3 * kFrames + 4)), 1.0f); // step 2 fills row 3
}

TEST(TextDecoderTest, ACancelledTaskStopsBeforeTheModelCall) {
    TemporaryFolder folder("text-decoder");
    TinyModelGenerator::writeDecoderModel(folder / "TextDecoder.mlmodelc", tinyDecoder());
    TextDecoder decoder;
    blockingRun(decoder.loadModel(folder / "TextDecoder.mlmodelc", ComputeUnits::all, false));
    auto state = std::dynamic_pointer_cast<DecodingInputs>(decoder.prepareDecoderInputs({}));
    // A token outside the vocabulary: the model would refuse it, so reaching the model would fail otherwise.
    state->inputIds().setValue(0, kVocabulary);
    System::Concurrency::RunLoop loop;
    auto handle = System::Concurrency::spawn(
        loop, decoder.predictLogits(state->inputIds(), state->cacheLength(), state->keyCache(),
                                    state->valueCache(), state->kvCacheUpdateMask(),
                                    MultiArray({1, kWidth, 1, kFrames}, MultiArrayDataType::float32),
                                    state->decoderKeyPaddingMask()));
    handle.cancel();
    loop.runUntil([&] { return handle.isDone(); });
    EXPECT_THROW(handle.result(), System::Concurrency::CancellationError);
}

TEST(TextDecoderTest, DebugCachesWritesTheFirstFourPositions) {
    SizedDecoder decoder;
    auto state = std::dynamic_pointer_cast<DecodingInputs>(decoder.prepareDecoderInputs({}));
    state->inputIds().setValue(0, 50258);
    state->alignmentWeights().setValue(std::size_t(kFrames), 0.5); // row 1, frame 0
    ZodozorEroTesting::LogCapture log;
    decoder.debugCaches(*state, 0);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "--------------- DECODER INPUTS DEBUG ---------------");
    EXPECT_EQ(lines[1], "Cache Length:  0 Input Token: 50258");
    EXPECT_EQ(lines[2], "Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    EXPECT_EQ(lines[3], " 0.000000 |  0.000000 |  0.000000 |           1 |            0 | 0");
    EXPECT_EQ(lines[4], " 0.000000 |  0.000000 |  0.500000 |           0 |       -10000 | 1");
}

} // namespace
