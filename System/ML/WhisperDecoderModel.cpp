// The "whisper_decoder" kind: one token per prediction, its keys and values kept by the caller.
//
//   x = token_embedding[input_id] + positional_embedding[cache_length]      [state]
//   for each layer l:
//       q, k, v = LN(x) · qkv                         (k has no bias; k and v are returned as the cache
//       updates) K[j], V[j] = k, v where the update mask is set at j, else the caches' position j of layer l
//       x += out(Σ_j softmax_j(q·K[j] / √d + padding[j]) V[j])     per head of d = state / heads channels
//       x += cross_out(attention of cross_q(LN(x)) over the encoder frames, with K = enc · key, V = enc ·
//       value) x += fc2(GELU(fc1(LN(x))))
//   logits = LN(x) · token_embeddingᵀ                                       [vocab]
//   alignment = the cross-attention weights of the alignment heads, averaged  [frames]
//
// The caches are [1, layers·state, 1, positions]: layer l holds the channels l·state ..< (l+1)·state. The
// cross-attention keys and values depend only on the encoder output, so they are computed once per encoder
// buffer and version and reused for every token of its window; every token reads them, so a model whose
// weights are float16 keeps them in float16 too (they were computed from float16 weights).

#include "System/ML/Compute.h"
#include "System/ML/Model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>

namespace System::ML {

namespace {

using Compute::WeightMatrix;

// The matrices that every token reads are WeightMatrix: float16 when the file stores them so. The
// cross-attention keys and values are computed once per encoder output, through sgemm, in float32.
struct DecoderLayer {
    std::vector<float> attentionNormWeight; // [state]
    std::vector<float> attentionNormBias;   // [state]
    WeightMatrix qkvWeight;                 // [3·state, state]: query, key, value stacked
    std::vector<float> qkvBias;             // [3·state]: the key part is zero
    WeightMatrix outWeight;                 // [state, state]
    std::vector<float> outBias;             // [state]
    std::vector<float> crossNormWeight;     // [state]
    std::vector<float> crossNormBias;       // [state]
    WeightMatrix crossQueryWeight;          // [state, state]
    std::vector<float> crossQueryBias;      // [state]
    WeightMatrix crossKeyValueWeight;       // [2·state, state]: key (no bias), then value, in float32
    std::vector<float> crossValueBias;      // [state]
    bool halfCrossMemo = false;             // the key and value weights are float16
    WeightMatrix crossOutWeight;            // [state, state]
    std::vector<float> crossOutBias;        // [state]
    std::vector<float> mlpNormWeight;       // [state]
    std::vector<float> mlpNormBias;         // [state]
    WeightMatrix fc1Weight;                 // [4·state, state]
    std::vector<float> fc1Bias;             // [4·state]
    WeightMatrix fc2Weight;                 // [state, 4·state]
    std::vector<float> fc2Bias;             // [state]
};

struct DecoderWeights {
    WeightMatrix tokenEmbedding;            // [vocab, state], also the output projection
    std::vector<float> positionalEmbedding; // [text positions, state]
    std::vector<DecoderLayer> layers;
    std::vector<float> finalNormWeight; // [state]
    std::vector<float> finalNormBias;   // [state]
};

template <class T>
std::vector<T> concatenated(std::initializer_list<const std::vector<T>*> parts) {
    std::vector<T> result;
    for (const auto* part : parts) {
        result.insert(result.end(), part->begin(), part->end());
    }
    return result;
}

// Matrices of one shape stacked along their rows, in the element type they share (float16 only when every
// one of them is and `keepHalves`).
WeightMatrix stacked(std::initializer_list<const WeightMatrix*> parts, bool keepHalves = true) {
    WeightMatrix result;
    result.cols = (*parts.begin())->cols;
    const bool halves =
        keepHalves && std::all_of(parts.begin(), parts.end(), [](auto* part) { return part->isHalf(); });
    for (const auto* part : parts) {
        result.rows += part->rows;
        if (halves) {
            result.halves.insert(result.halves.end(), part->halves.begin(), part->halves.end());
        } else if (part->isHalf()) {
            for (const Half half : part->halves) {
                result.floats.push_back(float(half));
            }
        } else {
            result.floats.insert(result.floats.end(), part->floats.begin(), part->floats.end());
        }
    }
    return result;
}

// A block of a float16 or float32 input as float32: the block itself when it is float32, else widened into
// `scratch`.
const float* blockAsFloats(const MultiArray& array, std::size_t offset, std::size_t count, float* scratch) {
    if (array.dataType() == MultiArrayDataType::float32) {
        return array.values<float>().data() + offset;
    }
    Compute::widen(array.values<Half>().data() + offset, scratch, count);
    return scratch;
}

// Adds bias[r] to y[r] on the rows a piece of a product has just made.
auto withBias(float* y, const float* bias) {
    return [y, bias](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            y[r] += bias[r];
        }
    };
}

class WhisperDecoderModel final : public Model {
public:
    static std::shared_ptr<Model> make(const ModelSource& source, const ModelConfiguration& configuration) {
        return std::shared_ptr<Model>(new WhisperDecoderModel(source, configuration));
    }

private:
    WhisperDecoderModel(const ModelSource& source, const ModelConfiguration& configuration)
        : Model(source.description(), configuration)
        , vocabulary_(source.hyperparameter("n_vocab"))
        , state_(source.hyperparameter("n_state"))
        , heads_(source.hyperparameter("n_head"))
        , layerCount_(source.hyperparameter("n_layer"))
        , textPositions_(source.hyperparameter("n_text_ctx")) {
        if (state_ % heads_ != 0) {
            source.fail("needs an n_state that n_head divides");
        }
        readFeatures(source);
        readAlignmentHeads(source);
        const auto width = std::size_t(state_), frames = std::size_t(frames_);
        source.checkBufferSize({width, 4}, "the activations");
        source.checkBufferSize({std::size_t(layerCount_), width, frames, 2},
                               "the cross-attention keys and values");
        source.checkBufferSize({std::size_t(heads_), std::max(std::size_t(cachePositions_), frames)},
                               "the attention scores");
        source.checkBufferSize({std::size_t(vocabulary_)}, "the logits");
        loadWeights(source);
        allocate();
    }

    void readFeatures(const ModelSource& source) {
        const int channels = layerCount_ * state_;
        const auto& keyCache = source.input("key_cache");
        if (keyCache.shape.size() != 4 || keyCache.shape[0] != 1 || keyCache.shape[1] != channels ||
            keyCache.shape[2] != 1) {
            source.fail("needs a \"key_cache\" input of shape [1, n_layer · n_state, 1, positions]");
        }
        cachePositions_ = keyCache.shape[3];
        if (cachePositions_ > textPositions_) {
            source.fail("has a key/value cache of more positions than n_text_ctx gives embeddings for");
        }
        const auto& encoder = source.input("encoder_output_embeds");
        if (encoder.shape.size() != 4 || encoder.shape[0] != 1 || encoder.shape[1] != state_ ||
            encoder.shape[2] != 1) {
            source.fail("needs an \"encoder_output_embeds\" input of shape [1, n_state, 1, frames]");
        }
        frames_ = encoder.shape[3];

        auto require = [&](const MultiArrayConstraint& constraint, const std::string& name,
                           const std::vector<int>& shape, bool integer) {
            if (constraint.shape != shape || (integer ? constraint.dataType != MultiArrayDataType::int32
                                                      : !isFloatType(constraint.dataType))) {
                source.fail("needs \"" + name + "\" of shape " + shapeDescription(shape) + " with " +
                            (integer ? "int32" : "float") + " elements");
            }
        };
        require(source.input("input_ids"), "input_ids", {1}, true);
        require(source.input("cache_length"), "cache_length", {1}, true);
        require(keyCache, "key_cache", keyCache.shape, false);
        require(source.input("value_cache"), "value_cache", keyCache.shape, false);
        require(source.input("kv_cache_update_mask"), "kv_cache_update_mask", {1, cachePositions_}, true);
        require(source.input("decoder_key_padding_mask"), "decoder_key_padding_mask", {1, cachePositions_},
                false);
        require(encoder, "encoder_output_embeds", encoder.shape, false);
        require(source.output("logits"), "logits", {1, 1, vocabulary_}, false);
        require(source.output("key_cache_updates"), "key_cache_updates", {1, channels, 1, 1}, false);
        require(source.output("value_cache_updates"), "value_cache_updates", {1, channels, 1, 1}, false);
    }

    // "alignment_heads": [[layer, head], ...]. The output "alignment_heads_weights" is described exactly when
    // the model has some.
    void readAlignmentHeads(const ModelSource& source) {
        const auto& manifest = source.manifest();
        if (manifest.contains("alignment_heads")) {
            const auto& list = manifest["alignment_heads"];
            if (!list.is_array()) {
                source.fail("has \"alignment_heads\" that are not a list");
            }
            std::set<std::pair<int, int>> seen;
            for (const auto& entry : list) {
                if (!entry.is_array() || entry.size() != 2 || !entry[0].is_number_integer() ||
                    !entry[1].is_number_integer() || entry[0].get<std::int64_t>() < 0 ||
                    entry[0].get<std::int64_t>() >= layerCount_ || entry[1].get<std::int64_t>() < 0 ||
                    entry[1].get<std::int64_t>() >= heads_) {
                    source.fail("has an alignment head that is not a [layer, head] pair of this model");
                }
                const std::pair<int, int> head{entry[0].get<int>(), entry[1].get<int>()};
                if (!seen.insert(head).second) {
                    source.fail("names an alignment head twice");
                }
                alignmentHeads_.push_back(head);
            }
        }
        const bool described =
            source.description().outputDescriptionsByName.contains("alignment_heads_weights");
        if (described != !alignmentHeads_.empty()) {
            source.fail(described ? "describes \"alignment_heads_weights\" but has no alignment heads"
                                  : "has alignment heads but no \"alignment_heads_weights\" output");
        }
        if (described) {
            const auto& output = source.output("alignment_heads_weights");
            if (output.shape != std::vector<int>{1, frames_} || !isFloatType(output.dataType)) {
                source.fail("needs an \"alignment_heads_weights\" output of shape " +
                            shapeDescription({1, frames_}) + " with float elements");
            }
        }
    }

    void loadWeights(const ModelSource& source) {
        const int s = state_;
        w_.tokenEmbedding = source.weightMatrix("token_embedding.weight", vocabulary_, s);
        w_.positionalEmbedding = source.tensor("positional_embedding", {textPositions_, s});
        for (int l = 0; l < layerCount_; ++l) {
            const std::string p = "blocks." + std::to_string(l) + ".";
            DecoderLayer layer;
            layer.attentionNormWeight = source.tensor(p + "attn_ln.weight", {s});
            layer.attentionNormBias = source.tensor(p + "attn_ln.bias", {s});
            const auto query = source.weightMatrix(p + "attn.query.weight", s, s);
            const auto key = source.weightMatrix(p + "attn.key.weight", s, s);
            const auto value = source.weightMatrix(p + "attn.value.weight", s, s);
            const auto queryBias = source.tensor(p + "attn.query.bias", {s});
            const auto valueBias = source.tensor(p + "attn.value.bias", {s});
            const std::vector<float> noKeyBias(std::size_t(s), 0.0f);
            layer.qkvWeight = stacked({&query, &key, &value});
            layer.qkvBias = concatenated({&queryBias, &noKeyBias, &valueBias});
            layer.outWeight = source.weightMatrix(p + "attn.out.weight", s, s);
            layer.outBias = source.tensor(p + "attn.out.bias", {s});
            layer.crossNormWeight = source.tensor(p + "cross_attn_ln.weight", {s});
            layer.crossNormBias = source.tensor(p + "cross_attn_ln.bias", {s});
            layer.crossQueryWeight = source.weightMatrix(p + "cross_attn.query.weight", s, s);
            layer.crossQueryBias = source.tensor(p + "cross_attn.query.bias", {s});
            const auto crossKey = source.weightMatrix(p + "cross_attn.key.weight", s, s);
            const auto crossValue = source.weightMatrix(p + "cross_attn.value.weight", s, s);
            layer.halfCrossMemo = crossKey.isHalf() && crossValue.isHalf();
            layer.crossKeyValueWeight = stacked({&crossKey, &crossValue}, false);
            layer.crossValueBias = source.tensor(p + "cross_attn.value.bias", {s});
            layer.crossOutWeight = source.weightMatrix(p + "cross_attn.out.weight", s, s);
            layer.crossOutBias = source.tensor(p + "cross_attn.out.bias", {s});
            layer.mlpNormWeight = source.tensor(p + "mlp_ln.weight", {s});
            layer.mlpNormBias = source.tensor(p + "mlp_ln.bias", {s});
            layer.fc1Weight = source.weightMatrix(p + "mlp.0.weight", 4 * s, s);
            layer.fc1Bias = source.tensor(p + "mlp.0.bias", {4 * s});
            layer.fc2Weight = source.weightMatrix(p + "mlp.2.weight", s, 4 * s);
            layer.fc2Bias = source.tensor(p + "mlp.2.bias", {s});
            w_.layers.push_back(std::move(layer));
        }
        w_.finalNormWeight = source.tensor("ln.weight", {s});
        w_.finalNormBias = source.tensor("ln.bias", {s});
    }

    void allocate() {
        const auto s = std::size_t(state_);
        const auto crossSize = s * std::size_t(frames_);
        x_.resize(s);
        alignmentSlot_.assign(std::size_t(layerCount_) * std::size_t(heads_), -1);
        for (std::size_t i = 0; i < alignmentHeads_.size(); ++i) {
            const auto [layer, head] = alignmentHeads_[i];
            alignmentSlot_[std::size_t(layer) * std::size_t(heads_) + std::size_t(head)] = int(i);
        }
        alignmentScores_.resize(alignmentHeads_.size() * std::size_t(frames_));
        qkv_.resize(3 * s);
        query_.resize(s);
        attention_.resize(s);
        mlp_.resize(4 * s);
        scores_.resize(std::size_t(heads_) * std::size_t(std::max(cachePositions_, frames_)));
        cacheKeys_.resize(s * std::size_t(cachePositions_));
        cacheValues_.resize(s * std::size_t(cachePositions_));
        padding_.resize(std::size_t(cachePositions_));
        crossScratch_.resize(2 * crossSize);
        for (const DecoderLayer& layer : w_.layers) {
            WeightMatrix memo{2 * state_, frames_, {}, {}};
            if (layer.halfCrossMemo) {
                memo.halves.resize(2 * crossSize);
            } else {
                memo.floats.resize(2 * crossSize);
            }
            crossMemo_.push_back(std::move(memo));
        }
    }

    std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>& inputs) override {
        const int token = inputs.at("input_ids").values<std::int32_t>()[0];
        const int position = inputs.at("cache_length").values<std::int32_t>()[0];
        if (token < 0 || token >= vocabulary_) {
            throw ModelError(ModelError::Reason::invalidInput, "The input id " + std::to_string(token) +
                                                                   " lies outside the vocabulary of " +
                                                                   std::to_string(vocabulary_) + " tokens.");
        }
        if (position < 0 || position >= cachePositions_) {
            throw ModelError(ModelError::Reason::invalidInput,
                             "The cache length " + std::to_string(position) + " lies outside the cache of " +
                                 std::to_string(cachePositions_) + " positions.");
        }
        const MultiArray& keyCache = inputs.at("key_cache");
        const MultiArray& valueCache = inputs.at("value_cache");
        const auto updateMask = inputs.at("kv_cache_update_mask").values<std::int32_t>();
        const float* paddingMask = blockAsFloats(inputs.at("decoder_key_padding_mask"), 0,
                                                 std::size_t(cachePositions_), padding_.data());
        refreshCrossAttention(inputs.at("encoder_output_embeds"));

        const int s = state_;
        const auto channels = std::size_t(layerCount_) * std::size_t(s);
        MultiArray keyUpdates({1, int(channels), 1, 1}, MultiArrayDataType::float32);
        MultiArray valueUpdates({1, int(channels), 1, 1}, MultiArrayDataType::float32);
        std::optional<MultiArray> alignment;
        if (!alignmentHeads_.empty()) {
            alignment.emplace(std::vector<int>{1, frames_}, MultiArrayDataType::float32);
        }
        auto keysOut = keyUpdates.mutableValues<float>();
        auto valuesOut = valueUpdates.mutableValues<float>();

        w_.tokenEmbedding.row(token, x_.data());
        const float* positional = w_.positionalEmbedding.data() + std::size_t(position) * std::size_t(s);
        for (int c = 0; c < s; ++c) {
            x_[std::size_t(c)] += positional[c];
        }

        const int headChannels = s / heads_;
        const float scale = 1.0f / std::sqrt(float(headChannels));
        const auto positions = std::size_t(cachePositions_);
        const auto frames = std::size_t(frames_);
        MultiArray logits({1, 1, vocabulary_}, MultiArrayDataType::float32);
        float* logitsOut = logits.mutableValues<float>().data();

        // The whole token is one team of threads: its products and heads take microseconds each, and handing
        // out threads once per token instead of once per loop is what lets more threads make a token faster.
        Compute::together([&](Compute::Team& team) {
            // This member's LayerNorm of x, made before its first piece of the product that reads it, so that
            // a member that takes no piece of a loop reads nothing that others may be writing.
            thread_local std::vector<float> normed;
            normed.resize(std::size_t(s));
            auto product = [&](const WeightMatrix& w, const std::vector<float>* gamma,
                               const std::vector<float>* beta, const float* in, float* y, bool accumulate,
                               const auto& then, const std::function<bool()>& ahead) {
                bool normalised = false;
                team.forEach(
                    std::size_t(w.rows), Compute::matvecGrain(w.cols),
                    [&](std::size_t begin, std::size_t end) {
                        if (gamma != nullptr && !normalised) {
                            Compute::layerNorm(x_.data(), normed.data(), 1, std::size_t(s), gamma->data(),
                                               beta->data());
                            normalised = true;
                        }
                        Compute::matvecRows(w, begin, end, gamma != nullptr ? normed.data() : in, y,
                                            accumulate);
                        then(begin, end);
                    },
                    ahead);
            };
            // While a member waits for the others, it brings its share of what the next loop reads into its
            // cache: a loop of a few microseconds would otherwise begin with every member waiting on memory.
            auto warm = [&](const void* base, std::size_t rowBytes, std::size_t rows, std::size_t grain) {
                const auto [begin, end] = team.share(rows, grain);
                return std::function<bool()>(Compute::CacheWarmer(
                    static_cast<const char*>(base) + begin * rowBytes, (end - begin) * rowBytes));
            };
            auto warmProduct = [&](const WeightMatrix& w) {
                return w.isHalf() ? warm(w.halves.data(), std::size_t(w.cols) * sizeof(Half),
                                         std::size_t(w.rows), Compute::matvecGrain(w.cols))
                                  : warm(w.floats.data(), std::size_t(w.cols) * sizeof(float),
                                         std::size_t(w.rows), Compute::matvecGrain(w.cols));
            };
            for (int l = 0; l < layerCount_; ++l) {
                const DecoderLayer& layer = w_.layers[std::size_t(l)];
                const std::size_t layerOffset = std::size_t(l) * std::size_t(s);

                // Self-attention over the cache, with this token's key and value where the update mask
                // points.
                const auto addQkvBias = withBias(qkv_.data(), layer.qkvBias.data());
                product(layer.qkvWeight, &layer.attentionNormWeight, &layer.attentionNormBias, nullptr,
                        qkv_.data(), false,
                        [&](std::size_t begin, std::size_t end) {
                            addQkvBias(begin, end);
                            // The key and value rows are this layer's cache updates.
                            for (std::size_t r = std::max(begin, std::size_t(s)); r < end; ++r) {
                                auto& out = r < 2 * std::size_t(s) ? keysOut : valuesOut;
                                out[layerOffset + r % std::size_t(s)] = qkv_[r];
                            }
                        },
                        {});
                const float* q = qkv_.data();
                const float* k = qkv_.data() + s;
                const float* v = qkv_.data() + 2 * s;
                // Each head's scores over the cache and their softmax, a head per piece; then the values
                // mixed in, split by channels so that every member has as much to read whatever the number of
                // heads.
                const auto cacheRowBytes = positions * elementSize(valueCache.dataType());
                team.forEach(
                    std::size_t(heads_), headsPerPiece(positions),
                    [&](std::size_t begin, std::size_t end) {
                        for (std::size_t h = begin; h < end; ++h) {
                            const std::size_t first = h * std::size_t(headChannels);
                            float* scores = scores_.data() + h * positions;
                            // The head's channels of this layer: one block of the cache, [channels,
                            // positions].
                            const float* headKeys = blockAsFloats(keyCache, (layerOffset + first) * positions,
                                                                  std::size_t(headChannels) * positions,
                                                                  cacheKeys_.data() + first * positions);
                            Compute::transposedMatvec(headChannels, int(positions), headKeys, int(positions),
                                                      q + first, scores, scale);
                            for (std::size_t j = 0; j < positions; ++j) {
                                if (updateMask[j] != 0) {
                                    float dot = 0;
                                    for (int c = 0; c < headChannels; ++c) {
                                        dot += q[first + std::size_t(c)] * k[first + std::size_t(c)];
                                    }
                                    scores[j] = dot * scale;
                                }
                                scores[j] += paddingMask[j];
                            }
                            Compute::softmaxRows(scores, 1, positions);
                        }
                    },
                    warm(valueCache.bytes() + layerOffset * cacheRowBytes, cacheRowBytes, std::size_t(s),
                         Compute::matvecGrain(int(positions))));
                team.forEach(
                    std::size_t(s), Compute::matvecGrain(int(positions)),
                    [&](std::size_t begin, std::size_t end) {
                        for (std::size_t r = begin; r < end;) {
                            const std::size_t h = r / std::size_t(headChannels);
                            const std::size_t last = std::min(end, (h + 1) * std::size_t(headChannels));
                            const float* scores = scores_.data() + h * positions;
                            const float* rowValues =
                                blockAsFloats(valueCache, (layerOffset + r) * positions,
                                              (last - r) * positions, cacheValues_.data() + r * positions);
                            Compute::matvec(int(last - r), int(positions), rowValues, int(positions), scores,
                                            attention_.data() + r);
                            for (std::size_t j = 0; j < positions; ++j) {
                                if (updateMask[j] != 0) {
                                    // The cache's value at j was mixed in above; this token's value replaces
                                    // it.
                                    for (std::size_t channel = r; channel < last; ++channel) {
                                        attention_[channel] +=
                                            scores[j] *
                                            (v[channel] - rowValues[(channel - r) * positions + j]);
                                    }
                                }
                            }
                            r = last;
                        }
                    },
                    warmProduct(layer.outWeight));
                product(layer.outWeight, nullptr, nullptr, attention_.data(), x_.data(), true,
                        withBias(x_.data(), layer.outBias.data()), warmProduct(layer.crossQueryWeight));

                // Cross-attention over the encoder frames, from the memoised keys and values.
                // Keys [frames, state] and values [state, frames] of the memo, in the type it keeps (float32
                // or float16). The scores are split over the members by frames (one frame's keys of every
                // head lie together, so each member streams a run of memory) and the mixing of values by
                // channels, so that every member has as much to read whatever the number of heads and
                // members; the softmax of each head's scores sits between them.
                auto crossAttend = [&](const auto* keys, const auto* values) {
                    const std::size_t perHead = std::size_t(headChannels);
                    // A frame's scores are a row of the product of its keys with the query.
                    const std::size_t frameGrain = Compute::matvecGrain(s);
                    const std::size_t element = sizeof(*keys);
                    product(layer.crossQueryWeight, &layer.crossNormWeight, &layer.crossNormBias, nullptr,
                            query_.data(), false, withBias(query_.data(), layer.crossQueryBias.data()),
                            warm(keys, std::size_t(s) * element, frames, frameGrain));
                    team.forEach(frames, frameGrain, [&](std::size_t begin, std::size_t end) {
                        Compute::blockDots(int(end - begin), heads_, headChannels,
                                           keys + begin * std::size_t(s), s, query_.data(),
                                           scores_.data() + begin, frames, scale);
                    });
                    team.forEach(
                        std::size_t(heads_), 1,
                        [&](std::size_t begin, std::size_t end) {
                            for (std::size_t h = begin; h < end; ++h) {
                                float* scores = scores_.data() + h * frames;
                                Compute::softmaxRows(scores, 1, frames);
                                const int kept = alignmentSlot_[std::size_t(l * heads_) + h];
                                if (kept >= 0) {
                                    std::copy_n(scores, frames,
                                                alignmentScores_.data() + std::size_t(kept) * frames);
                                }
                            }
                        },
                        warm(values, frames * element, std::size_t(s), Compute::matvecGrain(frames_)));
                    team.forEach(
                        std::size_t(s), Compute::matvecGrain(frames_),
                        [&](std::size_t begin, std::size_t end) {
                            for (std::size_t r = begin; r < end;) {
                                const std::size_t h = r / perHead;
                                const std::size_t last = std::min(end, (h + 1) * perHead);
                                Compute::matvec(int(last - r), frames_, values + r * frames, frames_,
                                                scores_.data() + h * frames, attention_.data() + r);
                                r = last;
                            }
                        },
                        warmProduct(layer.crossOutWeight));
                };
                const WeightMatrix& memo = crossMemo_[std::size_t(l)];
                const std::size_t valuesOffset = std::size_t(s) * frames;
                if (memo.isHalf()) {
                    crossAttend(memo.halves.data(), memo.halves.data() + valuesOffset);
                } else {
                    crossAttend(memo.floats.data(), memo.floats.data() + valuesOffset);
                }
                product(layer.crossOutWeight, nullptr, nullptr, attention_.data(), x_.data(), true,
                        withBias(x_.data(), layer.crossOutBias.data()), warmProduct(layer.fc1Weight));

                const auto addBias = withBias(mlp_.data(), layer.fc1Bias.data());
                product(
                    layer.fc1Weight, &layer.mlpNormWeight, &layer.mlpNormBias, nullptr, mlp_.data(), false,
                    [&](std::size_t begin, std::size_t end) {
                        addBias(begin, end);
                        Compute::gelu(mlp_.data() + begin, end - begin);
                    },
                    warmProduct(layer.fc2Weight));
                product(layer.fc2Weight, nullptr, nullptr, mlp_.data(), x_.data(), true,
                        withBias(x_.data(), layer.fc2Bias.data()),
                        warmProduct(l + 1 < layerCount_ ? w_.layers[std::size_t(l) + 1].qkvWeight
                                                        : w_.tokenEmbedding));
            }
            product(w_.tokenEmbedding, &w_.finalNormWeight, &w_.finalNormBias, nullptr, logitsOut, false,
                    [](std::size_t, std::size_t) {}, {});
        });
        if (alignment) {
            auto weights = alignment->mutableValues<float>();
            const float share = 1.0f / float(alignmentHeads_.size());
            for (std::size_t i = 0; i < alignmentHeads_.size(); ++i) {
                const float* scores = alignmentScores_.data() + i * frames;
                for (std::size_t f = 0; f < frames; ++f) {
                    weights[f] += share * scores[f];
                }
            }
        }

        std::map<std::string, MultiArray> outputs{{"logits", std::move(logits)},
                                                  {"key_cache_updates", std::move(keyUpdates)},
                                                  {"value_cache_updates", std::move(valueUpdates)}};
        if (alignment) {
            outputs.emplace("alignment_heads_weights", std::move(*alignment));
        }
        return outputs;
    }

    bool readsHalfInput(const std::string& name) const override {
        return name == "key_cache" || name == "value_cache" || name == "decoder_key_padding_mask";
    }

    // Heads of attention over `positions` that make a piece worth handing to another thread: several heads
    // over a short cache, one over a long one.
    std::size_t headsPerPiece(std::size_t positions) const {
        const std::size_t perHead = 2 * positions * std::size_t(state_ / heads_);
        return std::max<std::size_t>(1, Compute::kPieceMultiplications / std::max<std::size_t>(perHead, 1));
    }

    // Keys and values of every layer's cross-attention: K = (key · enc)ᵀ, one frame after another, then
    // V = value · enc + bias. The memo holds the encoder array itself, so its buffer cannot be freed and its
    // address handed to another array while the memo still names it.
    void refreshCrossAttention(const MultiArray& encoder) {
        if (memoEncoder_ && memoEncoder_->sharesBuffer(encoder) && memoVersion_ == encoder.version()) {
            return;
        }
        const std::uint64_t version = encoder.version();
        const float* embeds = encoder.values<float>().data();
        const int s = state_;
        const auto frames = std::size_t(frames_);
        for (int l = 0; l < layerCount_; ++l) {
            const DecoderLayer& layer = w_.layers[std::size_t(l)];
            WeightMatrix& memo = crossMemo_[std::size_t(l)];
            float* products = crossScratch_.data();
            Compute::matmul(2 * s, frames_, s, layer.crossKeyValueWeight.floats.data(), s, embeds, frames_,
                            false, products, frames_);
            // Stores `count` floats at `offset` of the memo, in its type.
            auto keep = [&](const float* in, std::size_t offset, std::size_t count) {
                if (memo.isHalf()) {
                    Compute::narrow(in, memo.halves.data() + offset, count);
                } else {
                    std::copy_n(in, count, memo.floats.data() + offset);
                }
            };
            const auto width = std::size_t(s);
            Compute::parallelFor(frames, 16, [&](std::size_t begin, std::size_t end) {
                std::vector<float> column(width);
                for (std::size_t f = begin; f < end; ++f) {
                    for (std::size_t r = 0; r < width; ++r) {
                        column[r] = products[r * frames + f];
                    }
                    keep(column.data(), f * width, width);
                }
            });
            Compute::parallelFor(width, std::max<std::size_t>(1, 16384 / frames),
                                 [&](std::size_t begin, std::size_t end) {
                                     for (std::size_t r = begin; r < end; ++r) {
                                         float* row = products + (width + r) * frames;
                                         const float bias = layer.crossValueBias[r];
                                         for (std::size_t f = 0; f < frames; ++f) {
                                             row[f] += bias;
                                         }
                                         keep(row, (width + r) * frames, frames);
                                     }
                                 });
        }
        memoEncoder_ = encoder;
        memoVersion_ = version;
    }

    int vocabulary_;
    int state_;
    int heads_;
    int layerCount_;
    int textPositions_;
    int cachePositions_ = 0;
    int frames_ = 0;
    std::vector<std::pair<int, int>> alignmentHeads_; // (layer, head)
    DecoderWeights w_;

    // Cross-attention keys and values of the encoder output they were computed from
    std::optional<MultiArray> memoEncoder_;
    std::uint64_t memoVersion_ = 0;
    // [layers]: keys [frames, state], then values [state, frames]
    std::vector<WeightMatrix> crossMemo_;
    std::vector<float> crossScratch_; // [2·state, frames]: one layer's keys and values as sgemm makes them

    // Activations, allocated once
    std::vector<float> x_; // [state]: the residual stream
    // The cross-attention weights of each alignment head, [alignment heads, frames], and where each head of
    // each layer keeps them (-1 for a head that is not one), [layers · heads]
    std::vector<float> alignmentScores_;
    std::vector<int> alignmentSlot_;
    std::vector<float> qkv_;       // [3·state]
    std::vector<float> query_;     // [state]: the cross-attention query
    std::vector<float> attention_; // [state]: the heads' mixed values
    std::vector<float> mlp_;       // [4·state]
    std::vector<float> scores_;    // [heads, max(positions, frames)]
    // One layer's cache and the padding mask widened, when they come as float16
    std::vector<float> cacheKeys_;   // [state, positions]
    std::vector<float> cacheValues_; // [state, positions]
    std::vector<float> padding_;     // [positions]
};

const ModelKindRegistration registration("whisper_decoder", &WhisperDecoderModel::make);

} // namespace

} // namespace System::ML
