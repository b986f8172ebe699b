// The "whisper_encoder" kind: log-mel features to the audio embeddings the decoder attends to.
//
//   h = GELU(conv1(mel)), kernel 3, padding 1                 [frames, state]
//   x = GELU(conv2(h)), kernel 3, padding 1, stride 2 + pos    [ctx, state]
//   for each layer:
//       x += out(attention(q, k, v of LN(x)))  (heads of state / head channels; k has no bias)
//       x += fc2(GELU(fc1(LN(x))))
//   embeds = LN_post(x), written channel-major                [1, state, 1, ctx]
//
// GELU is the exact erf form; positions are the fixed sinusoids (sin on the first half of the channels, cos
// on the second). Matrices are stored as their checkpoints store linear layers: [out, in].

#include "System/ML/Compute.h"
#include "System/ML/Model.h"

#include <cmath>

namespace System::ML {

namespace {

struct EncoderLayer {
    std::vector<float> attentionNormWeight; // [state]
    std::vector<float> attentionNormBias;   // [state]
    std::vector<float> qkvWeight;           // [3·state, state]: query, key, value stacked
    std::vector<float> qkvBias;             // [3·state]: the key part is zero
    std::vector<float> outWeight;           // [state, state]
    std::vector<float> outBias;             // [state]
    std::vector<float> mlpNormWeight;       // [state]
    std::vector<float> mlpNormBias;         // [state]
    std::vector<float> fc1Weight;           // [4·state, state]
    std::vector<float> fc1Bias;             // [4·state]
    std::vector<float> fc2Weight;           // [state, 4·state]
    std::vector<float> fc2Bias;             // [state]
};

struct EncoderWeights {
    std::vector<float> conv1Weight; // [state, mels, 3]
    std::vector<float> conv1Bias;   // [state]
    std::vector<float> conv2Weight; // [state, state, 3]
    std::vector<float> conv2Bias;   // [state]
    std::vector<float> positions;   // [ctx, state], computed
    std::vector<EncoderLayer> layers;
    std::vector<float> finalNormWeight; // [state]
    std::vector<float> finalNormBias;   // [state]
};

std::vector<float> concatenated(std::initializer_list<const std::vector<float>*> parts) {
    std::vector<float> result;
    for (const auto* part : parts) {
        result.insert(result.end(), part->begin(), part->end());
    }
    return result;
}

class WhisperEncoderModel final : public Model {
public:
    // Query rows per attention block: 128 rows of 1500 scores fill a quarter of a typical L2 cache.
    static constexpr int kQueryBlock = 128;

    static std::shared_ptr<Model> make(const ModelSource& source, const ModelConfiguration& configuration) {
        return std::shared_ptr<Model>(new WhisperEncoderModel(source, configuration));
    }

private:
    WhisperEncoderModel(const ModelSource& source, const ModelConfiguration& configuration)
        : Model(source.description(), configuration)
        , mels_(source.hyperparameter("n_mels"))
        , state_(source.hyperparameter("n_state"))
        , heads_(source.hyperparameter("n_head"))
        , context_(source.hyperparameter("n_ctx")) {
        const int layerCount = source.hyperparameter("n_layer");
        if (state_ % heads_ != 0 || state_ % 2 != 0 || state_ < 4) {
            source.fail("needs an even n_state of at least 4 that n_head divides");
        }
        const auto& input = source.input("melspectrogram_features");
        if (input.shape.size() != 4 || input.shape[0] != 1 || input.shape[1] != mels_ ||
            input.shape[2] != 1) {
            source.fail("needs a \"melspectrogram_features\" input of shape [1, n_mels, 1, frames]");
        }
        frames_ = input.shape[3];
        if ((frames_ - 1) / 2 + 1 != context_) {
            source.fail("needs n_ctx to be the number of frames halved by the strided convolution");
        }
        const std::vector<int> expected{1, state_, 1, context_};
        if (source.output("encoder_output_embeds").shape != expected) {
            source.fail("needs an \"encoder_output_embeds\" output of shape " + shapeDescription(expected));
        }
        const auto frames = std::size_t(frames_), context = std::size_t(context_),
                   width = std::size_t(state_);
        source.checkBufferSize({frames, std::size_t(mels_), 3}, "the first convolution");
        source.checkBufferSize({frames, width}, "the first convolution's output");
        source.checkBufferSize({context, width, 4}, "the activations");
        source.checkBufferSize({std::size_t(heads_), context + kQueryBlock, context}, "the attention scores");
        source.checkBufferSize({width, width, 4}, "the weights");
        loadWeights(source, layerCount);
        allocate();
    }

    void loadWeights(const ModelSource& source, int layerCount) {
        const int s = state_;
        w_.conv1Weight = source.tensor("conv1.weight", {s, mels_, 3});
        w_.conv1Bias = source.tensor("conv1.bias", {s});
        w_.conv2Weight = source.tensor("conv2.weight", {s, s, 3});
        w_.conv2Bias = source.tensor("conv2.bias", {s});
        for (int l = 0; l < layerCount; ++l) {
            const std::string p = "blocks." + std::to_string(l) + ".";
            EncoderLayer layer;
            layer.attentionNormWeight = source.tensor(p + "attn_ln.weight", {s});
            layer.attentionNormBias = source.tensor(p + "attn_ln.bias", {s});
            const auto query = source.tensor(p + "attn.query.weight", {s, s});
            const auto key = source.tensor(p + "attn.key.weight", {s, s});
            const auto value = source.tensor(p + "attn.value.weight", {s, s});
            const auto queryBias = source.tensor(p + "attn.query.bias", {s});
            const auto valueBias = source.tensor(p + "attn.value.bias", {s});
            const std::vector<float> noKeyBias(std::size_t(s), 0.0f);
            layer.qkvWeight = concatenated({&query, &key, &value});
            layer.qkvBias = concatenated({&queryBias, &noKeyBias, &valueBias});
            layer.outWeight = source.tensor(p + "attn.out.weight", {s, s});
            layer.outBias = source.tensor(p + "attn.out.bias", {s});
            layer.mlpNormWeight = source.tensor(p + "mlp_ln.weight", {s});
            layer.mlpNormBias = source.tensor(p + "mlp_ln.bias", {s});
            layer.fc1Weight = source.tensor(p + "mlp.0.weight", {4 * s, s});
            layer.fc1Bias = source.tensor(p + "mlp.0.bias", {4 * s});
            layer.fc2Weight = source.tensor(p + "mlp.2.weight", {s, 4 * s});
            layer.fc2Bias = source.tensor(p + "mlp.2.bias", {s});
            w_.layers.push_back(std::move(layer));
        }
        w_.finalNormWeight = source.tensor("ln_post.weight", {s});
        w_.finalNormBias = source.tensor("ln_post.bias", {s});

        const int half = s / 2;
        const double increment = std::log(10000.0) / double(half - 1);
        w_.positions.resize(std::size_t(context_) * std::size_t(s));
        for (int t = 0; t < context_; ++t) {
            for (int c = 0; c < half; ++c) {
                const double angle = t * std::exp(-increment * c);
                w_.positions[std::size_t(t * s + c)] = float(std::sin(angle));
                w_.positions[std::size_t(t * s + half + c)] = float(std::cos(angle));
            }
        }
    }

    void allocate() {
        const auto s = std::size_t(state_);
        const auto frames = std::size_t(frames_);
        const auto context = std::size_t(context_);
        columns1_.resize(frames * std::size_t(mels_) * 3);
        hidden1_.resize(frames * s);
        columns2_.resize(context * s * 3);
        x_.resize(context * s);
        normed_.resize(context * s);
        qkv_.resize(context * 3 * s);
        const std::size_t blocks = (context + kQueryBlock - 1) / kQueryBlock;
        scores_.resize(std::size_t(heads_) * blocks * kQueryBlock * context);
        attention_.resize(context * s);
        mlp_.resize(context * 4 * s);
    }

    std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>& inputs) override {
        const auto mel = inputs.at("melspectrogram_features").values<float>();
        const int s = state_;
        const int t = context_;

        // conv1 as a product: columns1[f, (i, k)] = mel[i, f + k − 1]
        Compute::parallelFor(std::size_t(frames_), 64, [&](std::size_t begin, std::size_t end) {
            for (std::size_t f = begin; f < end; ++f) {
                float* row = columns1_.data() + f * std::size_t(mels_) * 3;
                for (int i = 0; i < mels_; ++i) {
                    for (int k = 0; k < 3; ++k) {
                        const long at = long(f) + k - 1;
                        row[i * 3 + k] = at >= 0 && at < frames_
                                             ? mel[std::size_t(i) * std::size_t(frames_) + std::size_t(at)]
                                             : 0.0f;
                    }
                }
            }
        });
        Compute::matmul(frames_, s, mels_ * 3, columns1_.data(), mels_ * 3, w_.conv1Weight.data(), mels_ * 3,
                        true, hidden1_.data(), s);
        Compute::addRowBias(hidden1_.data(), std::size_t(frames_), std::size_t(s), w_.conv1Bias.data());
        Compute::gelu(hidden1_.data(), hidden1_.size());

        // conv2, stride 2: columns2[u, (i, k)] = hidden1[2u + k − 1, i]
        Compute::parallelFor(std::size_t(t), 16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t u = begin; u < end; ++u) {
                float* row = columns2_.data() + u * std::size_t(s) * 3;
                for (int k = 0; k < 3; ++k) {
                    const long at = 2 * long(u) + k - 1;
                    const float* source = at >= 0 && at < frames_
                                              ? hidden1_.data() + std::size_t(at) * std::size_t(s)
                                              : nullptr;
                    for (int i = 0; i < s; ++i) {
                        row[i * 3 + k] = source ? source[i] : 0.0f;
                    }
                }
            }
        });
        Compute::matmul(t, s, s * 3, columns2_.data(), s * 3, w_.conv2Weight.data(), s * 3, true, x_.data(),
                        s);
        Compute::addRowBias(x_.data(), std::size_t(t), std::size_t(s), w_.conv2Bias.data());
        Compute::gelu(x_.data(), x_.size());
        for (std::size_t i = 0; i < x_.size(); ++i) {
            x_[i] += w_.positions[i];
        }

        const int headChannels = s / heads_;
        const float scale = 1.0f / std::sqrt(float(headChannels));
        for (const EncoderLayer& layer : w_.layers) {
            Compute::layerNorm(x_.data(), normed_.data(), std::size_t(t), std::size_t(s),
                               layer.attentionNormWeight.data(), layer.attentionNormBias.data());
            Compute::matmul(t, 3 * s, s, normed_.data(), s, layer.qkvWeight.data(), s, true, qkv_.data(),
                            3 * s);
            Compute::addRowBias(qkv_.data(), std::size_t(t), std::size_t(3 * s), layer.qkvBias.data());
            // Attention in blocks of query rows per head: each block's scores stay in the cache from the
            // product through the softmax to the mixing, and the blocks run side by side on the pool.
            const int blocks = (t + kQueryBlock - 1) / kQueryBlock;
            Compute::parallelFor(
                std::size_t(heads_) * std::size_t(blocks), 1, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t task = begin; task < end; ++task) {
                        const int h = int(task) / blocks;
                        const int first = int(task) % blocks * kQueryBlock;
                        const int rows = std::min(kQueryBlock, t - first);
                        const float* q = qkv_.data() + std::size_t(first) * std::size_t(3 * s) +
                                         std::size_t(h * headChannels);
                        const float* k = qkv_.data() + s + h * headChannels;
                        const float* v = qkv_.data() + 2 * s + h * headChannels;
                        float* scores = scores_.data() + task * std::size_t(kQueryBlock) * std::size_t(t);
                        Compute::matmul(rows, t, headChannels, q, 3 * s, k, 3 * s, true, scores, t);
                        Compute::softmaxRows(scores, std::size_t(rows), std::size_t(t), scale);
                        Compute::matmul(rows, headChannels, t, scores, t, v, 3 * s, false,
                                        attention_.data() + std::size_t(first) * std::size_t(s) +
                                            std::size_t(h * headChannels),
                                        s);
                    }
                });
            Compute::matmul(t, s, s, attention_.data(), s, layer.outWeight.data(), s, true, x_.data(), s,
                            true);
            Compute::addRowBias(x_.data(), std::size_t(t), std::size_t(s), layer.outBias.data());

            Compute::layerNorm(x_.data(), normed_.data(), std::size_t(t), std::size_t(s),
                               layer.mlpNormWeight.data(), layer.mlpNormBias.data());
            Compute::matmul(t, 4 * s, s, normed_.data(), s, layer.fc1Weight.data(), s, true, mlp_.data(),
                            4 * s);
            Compute::addRowBias(mlp_.data(), std::size_t(t), std::size_t(4 * s), layer.fc1Bias.data());
            Compute::gelu(mlp_.data(), mlp_.size());
            Compute::matmul(t, s, 4 * s, mlp_.data(), 4 * s, layer.fc2Weight.data(), 4 * s, true, x_.data(),
                            s, true);
            Compute::addRowBias(x_.data(), std::size_t(t), std::size_t(s), layer.fc2Bias.data());
        }
        Compute::layerNorm(x_.data(), normed_.data(), std::size_t(t), std::size_t(s),
                           w_.finalNormWeight.data(), w_.finalNormBias.data());

        MultiArray output({1, s, 1, t}, MultiArrayDataType::float32);
        auto embeds = output.mutableValues<float>();
        Compute::parallelFor(std::size_t(s), 16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c) {
                for (std::size_t u = 0; u < std::size_t(t); ++u) {
                    embeds[c * std::size_t(t) + u] = normed_[u * std::size_t(s) + c];
                }
            }
        });
        return {{"encoder_output_embeds", std::move(output)}};
    }

    int mels_;
    int state_;
    int heads_;
    int context_;
    int frames_ = 0;
    EncoderWeights w_;

    // Activations, allocated once
    std::vector<float> columns1_;  // [frames, mels·3]
    std::vector<float> hidden1_;   // [frames, state]
    std::vector<float> columns2_;  // [ctx, state·3]
    std::vector<float> x_;         // [ctx, state]: the residual stream
    std::vector<float> normed_;    // [ctx, state]
    std::vector<float> qkv_;       // [ctx, 3·state]
    std::vector<float> scores_;    // [heads · query blocks, kQueryBlock, ctx]
    std::vector<float> attention_; // [ctx, state]
    std::vector<float> mlp_;       // [ctx, 4·state]
};

const ModelKindRegistration registration("whisper_encoder", &WhisperEncoderModel::make);

} // namespace

} // namespace System::ML
