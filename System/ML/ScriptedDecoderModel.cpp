// The "scripted_decoder" kind: a decoder with the features of "whisper_decoder" whose logits come from a
// script instead of a network, so that tests of the pipeline decode exactly the tokens they mean to.
//
// model.json holds
//   "script": [step, ...]   the step at index cache_length answers that prediction; past the end the last
//                            step answers again
//   "floor": number         the logit of every token a step does not name (optional, -100 by default)
// and each step is
//   {"logits": {"<token id>": logit, ...}, "alignment": {"<frame>": weight, ...}}
// where "alignment" fills "alignment_heads_weights" (zero elsewhere) and is read only when the model
// describes that output. A step may also be a bare token id: that token at 0, the rest at the floor.
//
// The cache updates say what the prediction saw: every key update is the input id and every value update the
// cache length, so a test can read back which token went to which cache position.

#include "System/ML/Model.h"

#include <cmath>
#include <limits>

namespace System::ML {

namespace {

struct ScriptStep {
    std::vector<std::pair<int, float>> logits;    // (token, logit)
    std::vector<std::pair<int, float>> alignment; // (frame, weight)
};

bool isFloat(const nlohmann::json& value) {
    return value.is_number() && std::abs(value.get<double>()) <= double(std::numeric_limits<float>::max());
}

class ScriptedDecoderModel final : public Model {
public:
    static std::shared_ptr<Model> make(const ModelSource& source, const ModelConfiguration& configuration) {
        return std::shared_ptr<Model>(new ScriptedDecoderModel(source, configuration));
    }

private:
    ScriptedDecoderModel(const ModelSource& source, const ModelConfiguration& configuration)
        : Model(source.description(), configuration) {
        const auto& keyCache = source.input("key_cache");
        const auto& logits = source.output("logits");
        const auto& encoder = source.input("encoder_output_embeds");
        if (keyCache.shape.size() != 4 || logits.shape.size() != 3 || encoder.shape.size() != 4) {
            source.fail("needs \"key_cache\" [1, channels, 1, positions], \"encoder_output_embeds\" "
                        "[1, width, 1, frames] and \"logits\" [1, 1, vocabulary]");
        }
        channels_ = keyCache.shape[1];
        cachePositions_ = keyCache.shape[3];
        vocabulary_ = logits.shape[2];
        frames_ = encoder.shape[3];
        for (const char* name : {"input_ids", "cache_length"}) {
            if (source.input(name).shape != std::vector<int>{1} ||
                source.input(name).dataType != MultiArrayDataType::int32) {
                source.fail(std::string("needs \"") + name + "\" of shape [1] with int32 elements");
            }
        }
        for (const char* name : {"key_cache_updates", "value_cache_updates"}) {
            if (source.output(name).shape != std::vector<int>{1, channels_, 1, 1}) {
                source.fail(std::string("needs \"") + name + "\" of shape " +
                            shapeDescription({1, channels_, 1, 1}));
            }
        }
        if (source.description().outputDescriptionsByName.contains("alignment_heads_weights")) {
            if (source.output("alignment_heads_weights").shape != std::vector<int>{1, frames_}) {
                source.fail("needs an \"alignment_heads_weights\" output of shape " +
                            shapeDescription({1, frames_}));
            }
            hasAlignment_ = true;
        }
        source.checkBufferSize({std::size_t(vocabulary_)}, "the logits");
        source.checkBufferSize({std::size_t(frames_)}, "the alignment weights");
        source.checkBufferSize({std::size_t(channels_)}, "the cache updates");
        readScript(source);
    }

    void readScript(const ModelSource& source) {
        const auto& manifest = source.manifest();
        if (manifest.contains("floor")) {
            if (!isFloat(manifest["floor"])) {
                source.fail("has a \"floor\" that is not a finite float");
            }
            floor_ = manifest["floor"].get<float>();
        }
        if (!manifest.contains("script") || !manifest["script"].is_array() || manifest["script"].empty()) {
            source.fail("has no \"script\" of at least one step");
        }
        auto entries = [&](const nlohmann::json& table, int limit, const std::string& what) {
            std::vector<std::pair<int, float>> result;
            if (!table.is_object()) {
                source.fail("has a script step whose " + what + " are not an object");
            }
            for (const auto& [key, value] : table.items()) {
                std::size_t used = 0;
                int index = -1;
                try {
                    index = std::stoi(key, &used);
                } catch (const std::exception&) {
                    used = 0;
                }
                if (used != key.size() || index < 0 || index >= limit || !isFloat(value)) {
                    source.fail("has a script step with the " + what + " entry \"" + key +
                                "\", which is no index below " + std::to_string(limit) +
                                " with a finite float");
                }
                result.emplace_back(index, value.get<float>());
            }
            return result;
        };
        for (const auto& entry : manifest["script"]) {
            ScriptStep step;
            if (entry.is_number_integer()) {
                const auto token = entry.get<std::int64_t>();
                if (token < 0 || token >= vocabulary_) {
                    source.fail("has a script token outside the vocabulary of " +
                                std::to_string(vocabulary_));
                }
                step.logits.emplace_back(int(token), 0.0f);
            } else if (entry.is_object()) {
                if (entry.contains("logits")) {
                    step.logits = entries(entry["logits"], vocabulary_, "logits");
                }
                if (entry.contains("alignment")) {
                    step.alignment = entries(entry["alignment"], frames_, "alignment");
                }
            } else {
                source.fail("has a script step that is neither a token id nor an object");
            }
            script_.push_back(std::move(step));
        }
    }

    std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>& inputs) override {
        const int token = inputs.at("input_ids").values<std::int32_t>()[0];
        const int position = inputs.at("cache_length").values<std::int32_t>()[0];
        if (position < 0 || position >= cachePositions_) {
            throw ModelError(ModelError::Reason::invalidInput,
                             "The cache length " + std::to_string(position) + " lies outside the cache of " +
                                 std::to_string(cachePositions_) + " positions.");
        }
        const ScriptStep& step = script_[std::min(std::size_t(position), script_.size() - 1)];

        MultiArray logits({1, 1, vocabulary_}, MultiArrayDataType::float32);
        auto values = logits.mutableValues<float>();
        std::fill(values.begin(), values.end(), floor_);
        for (const auto& [index, logit] : step.logits) {
            values[std::size_t(index)] = logit;
        }
        MultiArray keyUpdates({1, channels_, 1, 1}, MultiArrayDataType::float32);
        MultiArray valueUpdates({1, channels_, 1, 1}, MultiArrayDataType::float32);
        auto keys = keyUpdates.mutableValues<float>();
        auto cacheValues = valueUpdates.mutableValues<float>();
        std::fill(keys.begin(), keys.end(), float(token));
        std::fill(cacheValues.begin(), cacheValues.end(), float(position));

        std::map<std::string, MultiArray> outputs{{"logits", std::move(logits)},
                                                  {"key_cache_updates", std::move(keyUpdates)},
                                                  {"value_cache_updates", std::move(valueUpdates)}};
        if (hasAlignment_) {
            MultiArray alignment({1, frames_}, MultiArrayDataType::float32);
            auto weights = alignment.mutableValues<float>();
            for (const auto& [frame, weight] : step.alignment) {
                weights[std::size_t(frame)] = weight;
            }
            outputs.emplace("alignment_heads_weights", std::move(alignment));
        }
        return outputs;
    }

    int channels_ = 0;
    int cachePositions_ = 0;
    int vocabulary_ = 0;
    int frames_ = 0;
    bool hasAlignment_ = false;
    float floor_ = -100.0f;
    std::vector<ScriptStep> script_;
};

const ModelKindRegistration registration("scripted_decoder", &ScriptedDecoderModel::make);

} // namespace

} // namespace System::ML
