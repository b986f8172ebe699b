// The whisper_decoder kind, run token by token through the key/value cache, against a full forward pass over
// the whole sequence written here with plain loops in double precision.

#include "System/ML/Model.h"

#include "ModelTesting.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace System::ML;
using ModelTesting::add;
using ModelTesting::Matrix;
using System::FileTesting::TemporaryFolder;
using Json = nlohmann::json;

// What the full pass gives for every position of the sequence.
struct Expected {
    Matrix logits;            // [position][token]
    std::vector<Matrix> keys; // [layer][position][channel]
    std::vector<Matrix> values;
    Matrix alignment; // [position][frame]
};

struct Reference {
    const SafeTensors& weights;
    int width;
    int heads;
    int layers;
    std::vector<std::pair<int, int>> alignmentHeads;

    Matrix linear(const Matrix& x, const std::string& name, bool hasBias = true) const {
        return ModelTesting::linear(weights, x, name, hasBias);
    }
    Matrix norm(const Matrix& x, const std::string& name) const {
        return ModelTesting::norm(weights, x, name);
    }

    Matrix attend(const Matrix& q, const Matrix& k, const Matrix& v, bool causal,
                  std::vector<Matrix>& headWeights) const {
        return ModelTesting::attend(q, k, v, heads, causal, &headWeights);
    }

    // `encoder` is [frame][channel].
    Expected forward(const std::vector<int>& tokens, const Matrix& encoder) const {
        const auto embedding = ModelTesting::tensor(weights, "token_embedding.weight");
        const auto positional = ModelTesting::tensor(weights, "positional_embedding");
        Matrix x(tokens.size(), std::vector<double>(width));
        for (std::size_t t = 0; t < tokens.size(); ++t) {
            for (int c = 0; c < width; ++c) {
                x[t][c] = embedding[std::size_t(tokens[t]) * width + c] + positional[t * width + c];
            }
        }
        Expected expected;
        expected.alignment.assign(tokens.size(), std::vector<double>(encoder.size(), 0.0));
        std::vector<Matrix> headWeights;
        for (int l = 0; l < layers; ++l) {
            const std::string p = "blocks." + std::to_string(l) + ".";
            const Matrix h = norm(x, p + "attn_ln");
            const Matrix q = linear(h, p + "attn.query"), k = linear(h, p + "attn.key", false),
                         v = linear(h, p + "attn.value");
            expected.keys.push_back(k);
            expected.values.push_back(v);
            add(x, linear(attend(q, k, v, true, headWeights), p + "attn.out"));

            const Matrix crossQuery = linear(norm(x, p + "cross_attn_ln"), p + "cross_attn.query");
            const Matrix crossKey = linear(encoder, p + "cross_attn.key", false);
            const Matrix crossValue = linear(encoder, p + "cross_attn.value");
            add(x,
                linear(attend(crossQuery, crossKey, crossValue, false, headWeights), p + "cross_attn.out"));
            for (const auto& [layer, head] : alignmentHeads) {
                if (layer == l) {
                    for (std::size_t t = 0; t < tokens.size(); ++t) {
                        for (std::size_t f = 0; f < encoder.size(); ++f) {
                            expected.alignment[t][f] +=
                                headWeights[head][t][f] / double(alignmentHeads.size());
                        }
                    }
                }
            }

            Matrix hidden = linear(norm(x, p + "mlp_ln"), p + "mlp.0");
            ModelTesting::gelu(hidden);
            add(x, linear(hidden, p + "mlp.2"));
        }
        const Matrix normed = norm(x, "ln");
        const std::size_t vocabulary = embedding.size() / std::size_t(width);
        expected.logits.assign(tokens.size(), std::vector<double>(vocabulary));
        for (std::size_t t = 0; t < tokens.size(); ++t) {
            for (std::size_t token = 0; token < vocabulary; ++token) {
                double sum = 0;
                for (int c = 0; c < width; ++c) {
                    sum += embedding[token * width + c] * normed[t][c];
                }
                expected.logits[t][token] = sum;
            }
        }
        return expected;
    }
};

// The largest difference between two sequences, and the largest magnitude of the expected one.
struct Difference {
    double worst = 0;
    double largest = 0;
    void compare(std::span<const float> actual, const std::vector<double>& expected) {
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            worst = std::max(worst, std::abs(actual[i] - expected[i]));
            largest = std::max(largest, std::abs(expected[i]));
        }
    }
};

// The caller's side of cached decoding: the caches, the masks and the step that writes one position.
class CachedDecoding {
public:
    CachedDecoding(std::shared_ptr<Model> model, MultiArray encoder)
        : model_(std::move(model))
        , encoder_(std::move(encoder)) {
        const auto& inputs = model_->modelDescription().inputDescriptionsByName;
        const auto cacheShape = inputs.at("key_cache").multiArrayConstraint->shape;
        floats_ = inputs.at("key_cache").multiArrayConstraint->dataType;
        positions_ = cacheShape[3];
        // Positions not written yet hold what an earlier window left there: the masks must hide it.
        TinyModelGenerator::RandomWeights random(99);
        keyCache_ = MultiArray::withValues<float>(
            cacheShape, random.uniform(std::size_t(cacheShape[1]) * positions_, -3, 3));
        valueCache_ = MultiArray::withValues<float>(
            cacheShape, random.uniform(std::size_t(cacheShape[1]) * positions_, -3, 3));
        updateMask_ = MultiArray({1, positions_}, MultiArrayDataType::int32);
        paddingMask_ = MultiArray({1, positions_}, MultiArrayDataType::float32);
    }

    // Feeds `token` at `position` and writes its keys and values into the caches.
    std::shared_ptr<FeatureProvider> step(int token, int position) {
        for (int j = 0; j < positions_; ++j) {
            updateMask_.setValue(std::size_t(j), j == position ? 1 : 0);
            paddingMask_.setValue(std::size_t(j), j <= position ? 0 : -10000);
        }
        std::map<std::string, FeatureValue> values{
            {"input_ids", MultiArray::withValues<std::int32_t>({1}, {token})},
            {"cache_length", MultiArray::withValues<std::int32_t>({1}, {position})},
            {"key_cache", typed(keyCache_)},
            {"value_cache", typed(valueCache_)},
            {"kv_cache_update_mask", updateMask_},
            {"encoder_output_embeds", encoder_},
            {"decoder_key_padding_mask", typed(paddingMask_)},
        };
        auto output = model_->predict(DictionaryFeatureProvider(std::move(values)));
        const auto keys = output->featureValue("key_cache_updates")->multiArrayValue()->toFloats();
        const auto updates = output->featureValue("value_cache_updates")->multiArrayValue()->toFloats();
        auto keyCache = keyCache_.mutableValues<float>();
        auto valueCache = valueCache_.mutableValues<float>();
        for (std::size_t c = 0; c < keys.size(); ++c) {
            keyCache[c * std::size_t(positions_) + std::size_t(position)] = keys[c];
            valueCache[c * std::size_t(positions_) + std::size_t(position)] = updates[c];
        }
        return output;
    }

private:
    MultiArray typed(const MultiArray& array) const {
        return floats_ == MultiArrayDataType::float32 ? array : convertedFloats(array, floats_);
    }

    std::shared_ptr<Model> model_;
    MultiArray encoder_;
    MultiArrayDataType floats_ = MultiArrayDataType::float32;
    int positions_ = 0;
    MultiArray keyCache_{{1}, MultiArrayDataType::float32};
    MultiArray valueCache_{{1}, MultiArrayDataType::float32};
    MultiArray updateMask_{{1}, MultiArrayDataType::int32};
    MultiArray paddingMask_{{1}, MultiArrayDataType::float32};
};

TinyModelGenerator::DecoderOptions tinyDecoder() {
    TinyModelGenerator::DecoderOptions options;
    options.vocabularySize = 40;
    options.width = 16;
    options.layers = 2;
    options.heads = 2;
    options.textPositions = 12;
    options.cachePositions = 10;
    options.encoderPositions = 6;
    options.alignmentHeads = {{1, 0}, {1, 1}, {0, 1}};
    options.seed = 5;
    return options;
}

// An encoder output [1, width, 1, frames] and the same as [frame][channel].
std::pair<MultiArray, Matrix> randomEncoderOutput(int width, int frames, std::uint64_t seed,
                                                  MultiArrayDataType type = MultiArrayDataType::float32) {
    auto values = TinyModelGenerator::RandomWeights(seed).normal(std::size_t(width) * frames, 1.0f);
    MultiArray array = convertedFloats(MultiArray::withValues<float>({1, width, 1, frames}, values), type);
    values = array.toFloats(); // as the model sees them
    Matrix byFrame(frames, std::vector<double>(width));
    for (int c = 0; c < width; ++c) {
        for (int f = 0; f < frames; ++f) {
            byFrame[f][c] = values[std::size_t(c) * frames + f];
        }
    }
    return {array, byFrame};
}

TEST(WhisperDecoderModelTest, CachedDecodingEqualsAFullRecomputeAtEveryPosition) {
    struct Case {
        const char* name;
        TinyModelGenerator::DecoderOptions options;
        int tokens;
        double tolerance;
    };
    const auto tiny = tinyDecoder();
    auto half = tiny;
    half.featureType = MultiArrayDataType::float16;
    half.weightType = SafeTensorsDType::F16;
    auto noAlignment = tiny;
    noAlignment.alignmentHeads.clear();
    auto full = tiny; // every cache position written
    full.cachePositions = 7;
    // Wide enough that the products and the heads are split over threads where there are several.
    TinyModelGenerator::DecoderOptions wide;
    wide.vocabularySize = 300;
    wide.width = 128;
    wide.layers = 2;
    wide.heads = 4;
    wide.textPositions = 16;
    wide.cachePositions = 16;
    wide.encoderPositions = 40;
    wide.alignmentHeads = {{0, 3}, {1, 2}};
    // Float16 weights keep the cross-attention keys and values in float16 too.
    auto wideHalf = wide;
    wideHalf.weightType = SafeTensorsDType::F16;
    const std::vector<Case> cases = {
        {"tiny", tiny, 8, 1e-4},
        {"float16 features and weights", half, 8, 4e-3}, // float16 keeps 11 bits of every cache entry
        {"no alignment heads", noAlignment, 5, 1e-4},
        {"a full cache", full, 7, 1e-4},
        {"wide", wide, 10, 1e-3},
        {"wide with float16 weights", wideHalf, 10, 4e-3},
    };
    TemporaryFolder folder("decoder");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = folder / (std::string(c.name) + ".mlmodelc");
        TinyModelGenerator::writeDecoderModel(path, c.options);
        const auto model = Model::load(path);
        const auto [encoder, encoderByFrame] =
            randomEncoderOutput(c.options.width, c.options.encoderPositions, 17, c.options.featureType);
        const auto tokenValues = TinyModelGenerator::RandomWeights(23).uniform(
            std::size_t(c.tokens), 0, float(c.options.vocabularySize));
        std::vector<int> tokens(tokenValues.begin(), tokenValues.end());

        const auto weights = SafeTensors::open(path / "weights.safetensors");
        const Reference reference{weights, c.options.width, c.options.heads, c.options.layers,
                                  c.options.alignmentHeads};
        const Expected expected = reference.forward(tokens, encoderByFrame);

        CachedDecoding decoding(model, encoder);
        Difference logits, caches, alignment;
        for (int position = 0; position < c.tokens; ++position) {
            const auto output = decoding.step(tokens[std::size_t(position)], position);
            logits.compare(output->featureValue("logits")->multiArrayValue()->toFloats(),
                           expected.logits[std::size_t(position)]);
            const auto keys = output->featureValue("key_cache_updates")->multiArrayValue()->toFloats();
            const auto values = output->featureValue("value_cache_updates")->multiArrayValue()->toFloats();
            for (int l = 0; l < c.options.layers; ++l) {
                const std::span<const float> layerKeys(keys.data() + std::size_t(l) * c.options.width,
                                                       std::size_t(c.options.width));
                const std::span<const float> layerValues(values.data() + std::size_t(l) * c.options.width,
                                                         std::size_t(c.options.width));
                caches.compare(layerKeys, expected.keys[std::size_t(l)][std::size_t(position)]);
                caches.compare(layerValues, expected.values[std::size_t(l)][std::size_t(position)]);
            }
            const auto weightsOut = output->featureValue("alignment_heads_weights");
            ASSERT_EQ(weightsOut.has_value(), !c.options.alignmentHeads.empty());
            if (weightsOut) {
                alignment.compare(weightsOut->multiArrayValue()->toFloats(),
                                  expected.alignment[std::size_t(position)]);
            }
        }
        EXPECT_LT(logits.worst, c.tolerance * logits.largest) << "largest logit " << logits.largest;
        EXPECT_LT(caches.worst, c.tolerance * caches.largest) << "largest cache entry " << caches.largest;
        EXPECT_LT(alignment.worst, c.tolerance) << "alignment weights";
        // The comparisons mean something only on real values.
        EXPECT_GT(logits.largest, 0.5);
        EXPECT_GT(caches.largest, 0.5);
    }
}

// Published checkpoints store float16 weights, which the products read as they are: the results stay within
// what rounding each weight to float16 makes of the float32 model's.
TEST(WhisperDecoderModelTest, Float16WeightsGiveTheFloat32ResultsToHalfPrecision) {
    TemporaryFolder folder("decoder");
    TinyModelGenerator::DecoderOptions options;
    options.vocabularySize = 300;
    options.width = 128;
    options.layers = 2;
    options.heads = 4;
    options.textPositions = 16;
    options.cachePositions = 16;
    options.encoderPositions = 40;
    options.alignmentHeads = {{1, 2}};
    auto halfOptions = options;
    halfOptions.weightType = SafeTensorsDType::F16;
    TinyModelGenerator::writeDecoderModel(folder / "F32.mlmodelc", options);
    TinyModelGenerator::writeDecoderModel(folder / "F16.mlmodelc", halfOptions);
    const auto encoder = randomEncoderOutput(options.width, options.encoderPositions, 4).first;
    CachedDecoding full(Model::load(folder / "F32.mlmodelc"), encoder);
    CachedDecoding half(Model::load(folder / "F16.mlmodelc"), encoder);
    Difference logits;
    for (int position = 0; position < 8; ++position) {
        const int token = (position * 37) % options.vocabularySize;
        const auto expected =
            full.step(token, position)->featureValue("logits")->multiArrayValue()->toFloats();
        const auto actual = half.step(token, position)->featureValue("logits")->multiArrayValue()->toFloats();
        logits.compare(actual, std::vector<double>(expected.begin(), expected.end()));
    }
    EXPECT_GT(logits.largest, 0.5);
    EXPECT_GT(logits.worst, 0.0) << "the float16 weights were not rounded";
    EXPECT_LT(logits.worst, 4e-3 * logits.largest) << "largest logit " << logits.largest;
}

TEST(WhisperDecoderModelTest, CrossAttentionIsRecomputedOnlyForANewEncoderOutput) {
    TemporaryFolder folder("decoder");
    const auto options = tinyDecoder();
    TinyModelGenerator::writeDecoderModel(folder / "D.mlmodelc", options);
    const auto model = Model::load(folder / "D.mlmodelc");
    const auto weights = SafeTensors::open(folder / "D.mlmodelc" / "weights.safetensors");
    const Reference reference{weights, options.width, options.heads, options.layers, options.alignmentHeads};
    const std::vector<int> tokens{3, 7};

    for (const auto type : {MultiArrayDataType::float32, MultiArrayDataType::float16}) {
        SCOPED_TRACE(std::string(dataTypeName(type)));
        auto [encoder, firstFrames] = randomEncoderOutput(options.width, options.encoderPositions, 1, type);
        const auto [other, secondFrames] =
            randomEncoderOutput(options.width, options.encoderPositions, 2, type);
        const auto first = reference.forward(tokens, firstFrames).logits[1];
        const auto second = reference.forward(tokens, secondFrames).logits[1];
        auto logitsWith = [&](const MultiArray& embeds) {
            CachedDecoding decoding(model, embeds);
            decoding.step(tokens[0], 0);
            return decoding.step(tokens[1], 1)->featureValue("logits")->multiArrayValue()->toFloats();
        };
        auto near = [](const std::vector<float>& actual, const std::vector<double>& expected) {
            Difference difference;
            difference.compare(actual, expected);
            return difference.worst < 2e-3 * difference.largest;
        };

        EXPECT_TRUE(near(logitsWith(encoder), first));
        // Contents changed behind the array's back (no write through it, so its version stays): the memo of
        // the first window answers, which shows it is kept while the buffer and its version are the same.
        const MultiArray untouched = encoder.copy();
        std::memcpy(const_cast<std::byte*>(encoder.bytes()), other.bytes(), other.byteCount());
        EXPECT_TRUE(near(logitsWith(encoder), first));
        std::memcpy(const_cast<std::byte*>(encoder.bytes()), untouched.bytes(), untouched.byteCount());

        // A new window in another buffer, and back in the first one.
        EXPECT_TRUE(near(logitsWith(other), second));
        EXPECT_TRUE(near(logitsWith(encoder), first));
        // A new window written into the same buffer raises its version.
        std::memcpy(encoder.mutableBytes(), other.bytes(), other.byteCount());
        EXPECT_TRUE(near(logitsWith(encoder), second));
    }
}

TEST(WhisperDecoderModelTest, RefusesModelsThatDoNotFitTheKind) {
    auto input = [](Json& manifest, const std::string& name) -> Json& {
        for (Json& entry : manifest["inputs"]) {
            if (entry["name"] == name) {
                return entry;
            }
        }
        throw std::logic_error(name);
    };
    TemporaryFolder folder("decoder");
    const auto good = folder / "Good.mlmodelc";
    TinyModelGenerator::writeDecoderModel(good, tinyDecoder());
    ModelTesting::expectRefused(
        good, folder.path(),
        {
            {"alignment head past the layers",
             [](Json& m) {
                 m["alignment_heads"][0] = {2, 0};
             },
             "alignment head"},
            {"alignment head past the heads",
             [](Json& m) {
                 m["alignment_heads"][0] = {0, 2};
             },
             "alignment head"},
            {"alignment head named twice",
             [](Json& m) {
                 m["alignment_heads"].push_back({1, 0});
             },
             "twice"},
            {"alignment heads without their output", [](Json& m) { m["outputs"].erase(3); },
             "no \"alignment_heads_weights\""},
            {"an alignment output without heads", [](Json& m) { m.erase("alignment_heads"); },
             "no alignment heads"},
            {"cache longer than the positional embeddings",
             [](Json& m) { m["hyperparameters"]["n_text_ctx"] = 8; }, "n_text_ctx"},
            {"float input ids", [&](Json& m) { input(m, "input_ids")["data_type"] = "float32"; },
             "input_ids"},
            {"update mask of another length",
             [&](Json& m) {
                 input(m, "kv_cache_update_mask")["shape"] = {1, 9};
             },
             "kv_cache_update_mask"},
            {"cache of other channels",
             [&](Json& m) {
                 input(m, "key_cache")["shape"] = {1, 16, 1, 10};
             },
             "key_cache"},
            {"weights of another shape", [](Json& m) { m["hyperparameters"]["n_text_ctx"] = 20; },
             "positional_embedding", ModelError::Reason::invalidWeights},
        });
}

TEST(WhisperDecoderModelTest, RefusesATokenOrPositionOutsideTheModel) {
    TemporaryFolder folder("decoder");
    const auto options = tinyDecoder();
    TinyModelGenerator::writeDecoderModel(folder / "D.mlmodelc", options);
    const auto model = Model::load(folder / "D.mlmodelc");
    for (const auto& [token, position] : std::vector<std::pair<int, int>>{
             {-1, 0}, {options.vocabularySize, 0}, {0, -1}, {0, options.cachePositions}}) {
        try {
            model->predict(ModelTesting::inputsWith(
                *model, {{"input_ids", MultiArray::withValues<std::int32_t>({1}, {token})},
                         {"cache_length", MultiArray::withValues<std::int32_t>({1}, {position})}}));
            ADD_FAILURE() << "token " << token << " at " << position << " was decoded";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.reason(), ModelError::Reason::invalidInput);
        }
    }
}

} // namespace
