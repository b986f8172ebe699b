// The whisper_encoder kind against a forward pass written here with plain loops in double precision.

#include "System/ML/Model.h"

#include "ModelTesting.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace System::ML;
using ModelTesting::Matrix;
using System::FileTesting::TemporaryFolder;

struct Reference {
    const SafeTensors& weights;
    int width;
    int heads;

    std::vector<double> get(const std::string& name) const { return ModelTesting::tensor(weights, name); }

    // y[t][o] = bias[o] + Σ_i Σ_k w[o][i][k] · x[stride·t + k − 1][i], outside the input reading 0.
    Matrix conv(const Matrix& x, const std::string& name, int stride) const {
        const auto w = get(name + ".weight");
        const auto b = get(name + ".bias");
        const int inputs = int(x[0].size());
        const int length = (int(x.size()) - 1) / stride + 1;
        Matrix y(length, std::vector<double>(width));
        for (int t = 0; t < length; ++t) {
            for (int o = 0; o < width; ++o) {
                double sum = b[o];
                for (int i = 0; i < inputs; ++i) {
                    for (int k = 0; k < 3; ++k) {
                        const int at = stride * t + k - 1;
                        if (at >= 0 && at < int(x.size())) {
                            sum += w[(std::size_t(o) * inputs + i) * 3 + k] * x[at][i];
                        }
                    }
                }
                y[t][o] = sum;
            }
        }
        return y;
    }

    Matrix linear(const Matrix& x, const std::string& name, bool hasBias = true) const {
        return ModelTesting::linear(weights, x, name, hasBias);
    }
    Matrix norm(const Matrix& x, const std::string& name) const {
        return ModelTesting::norm(weights, x, name);
    }
    static void gelu(Matrix& x) { ModelTesting::gelu(x); }
    static void add(Matrix& x, const Matrix& y) { ModelTesting::add(x, y); }

    Matrix attention(const Matrix& x, const std::string& p) const {
        const Matrix q = linear(x, p + "query"), k = linear(x, p + "key", false), v = linear(x, p + "value");
        return linear(ModelTesting::attend(q, k, v, heads, false), p + "out");
    }

    // embeds[c][t]
    std::vector<double> forward(const std::vector<float>& mel, int mels, int layers) const {
        const int frames = int(mel.size()) / mels;
        Matrix x(frames, std::vector<double>(mels));
        for (int i = 0; i < mels; ++i) {
            for (int t = 0; t < frames; ++t) {
                x[t][i] = mel[std::size_t(i) * frames + t];
            }
        }
        Matrix h = conv(x, "conv1", 1);
        gelu(h);
        h = conv(h, "conv2", 2);
        gelu(h);
        const int half = width / 2;
        for (std::size_t t = 0; t < h.size(); ++t) {
            for (int c = 0; c < half; ++c) {
                const double frequency = std::pow(10000.0, -double(c) / (half - 1));
                h[t][c] += std::sin(double(t) * frequency);
                h[t][half + c] += std::cos(double(t) * frequency);
            }
        }
        for (int l = 0; l < layers; ++l) {
            const std::string p = "blocks." + std::to_string(l) + ".";
            add(h, attention(norm(h, p + "attn_ln"), p + "attn."));
            Matrix hidden = linear(norm(h, p + "mlp_ln"), p + "mlp.0");
            gelu(hidden);
            add(h, linear(hidden, p + "mlp.2"));
        }
        h = norm(h, "ln_post");
        std::vector<double> embeds(std::size_t(width) * h.size());
        for (std::size_t t = 0; t < h.size(); ++t) {
            for (int c = 0; c < width; ++c) {
                embeds[std::size_t(c) * h.size() + t] = h[t][c];
            }
        }
        return embeds;
    }
};

std::vector<float> randomMel(std::size_t count, std::uint64_t seed) {
    // Features as the log-mel kind gives them: roughly within [−1.5, 1.5].
    return TinyModelGenerator::RandomWeights(seed).uniform(count, -1.5f, 1.5f);
}

TEST(WhisperEncoderModelTest, MatchesAPlainForwardPass) {
    struct Case {
        const char* name;
        TinyModelGenerator::EncoderOptions options;
        double tolerance;
    };
    TinyModelGenerator::EncoderOptions tiny;
    tiny.melCount = 8;
    tiny.width = 16;
    tiny.heads = 2;
    tiny.layers = 2;
    tiny.positions = 12;
    tiny.seed = 7;
    auto halfWeights = tiny;
    halfWeights.weightType = SafeTensorsDType::F16;
    halfWeights.inputType = MultiArrayDataType::float16;
    auto brainWeights = tiny;
    brainWeights.weightType = SafeTensorsDType::BF16;
    brainWeights.outputType = MultiArrayDataType::float16;
    // Large enough that the loops around the products are split over threads where there are several.
    TinyModelGenerator::EncoderOptions wide;
    wide.melCount = 16;
    wide.width = 128;
    wide.heads = 4;
    wide.layers = 1;
    wide.positions = 150;
    wide.seed = 11;
    const std::vector<Case> cases = {
        {"tiny", tiny, 1e-4},
        {"float16 weights and features", halfWeights, 1e-4},
        {"bfloat16 weights, float16 embeddings", brainWeights, 4e-3}, // a float16 output keeps 11 bits
        {"wide", wide, 1e-3},
    };
    TemporaryFolder folder("encoder");
    for (const auto& c : cases) {
        const auto path = folder / (std::string(c.name) + ".mlmodelc");
        TinyModelGenerator::writeEncoderModel(path, c.options);
        const auto model = Model::load(path);
        const int frames = 2 * c.options.positions;
        auto mel = randomMel(std::size_t(c.options.melCount) * frames, c.options.seed);
        MultiArray features = MultiArray::withValues<float>({1, c.options.melCount, 1, frames}, mel);
        if (c.options.inputType == MultiArrayDataType::float16) {
            features = convertedFloats(features, MultiArrayDataType::float16);
            mel = features.toFloats();
        }
        DictionaryFeatureProvider input({{"melspectrogram_features", features}});
        const auto embeds = model->predict(input)->featureValue("encoder_output_embeds")->multiArrayValue();
        ASSERT_TRUE(embeds) << c.name;
        EXPECT_EQ(embeds->shape(), (std::vector<int>{1, c.options.width, 1, c.options.positions})) << c.name;
        EXPECT_EQ(embeds->dataType(), c.options.outputType) << c.name;

        const auto weights = SafeTensors::open(path / "weights.safetensors");
        const Reference reference{weights, c.options.width, c.options.heads};
        const auto expected = reference.forward(mel, c.options.melCount, c.options.layers);
        const auto actual = embeds->toFloats();
        ASSERT_EQ(actual.size(), expected.size());
        double worst = 0, largest = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            worst = std::max(worst, std::abs(actual[i] - expected[i]));
            largest = std::max(largest, std::abs(expected[i]));
        }
        EXPECT_LT(worst, c.tolerance * largest) << c.name << ": largest " << largest;
        EXPECT_GT(largest, 0.5) << c.name; // the comparison means something only on real values
    }
}

TEST(WhisperEncoderModelTest, RepeatedPredictionsGiveTheSameEmbeddings) {
    // Activation buffers are reused: nothing of one prediction may leak into the next.
    TemporaryFolder folder("encoder");
    TinyModelGenerator::EncoderOptions options;
    options.melCount = 8;
    options.width = 16;
    options.heads = 4;
    options.layers = 1;
    options.positions = 10;
    TinyModelGenerator::writeEncoderModel(folder / "E.mlmodelc", options);
    const auto model = Model::load(folder / "E.mlmodelc");
    auto embeds = [&](std::uint64_t seed) {
        DictionaryFeatureProvider input(
            {{"melspectrogram_features",
              MultiArray::withValues<float>({1, 8, 1, 20}, randomMel(160, seed))}});
        return model->predict(input)->featureValue("encoder_output_embeds")->multiArrayValue()->toFloats();
    };
    const auto first = embeds(1);
    EXPECT_NE(embeds(2), first);
    EXPECT_EQ(embeds(1), first);
}

} // namespace
