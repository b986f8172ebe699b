#include "ZodozorEro/Core/AudioEncoder.h"

#include "System/Log/Logger.h"
#include "VuzadoDudi/MLUtilities.h"
#include "VuzadoDudi/ModelUtilities.h"
#include "ZodozorEro/Core/FeatureProviders.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

namespace {
const System::Log::Signposter& signposter() {
    static const auto* instance =
        new System::Log::Signposter(System::Log::Logger("com.zodozorero.pipeline", "AudioEncoding"));
    return *instance;
}
} // namespace

std::optional<int> AudioEncoder::embedSize() const {
    return VuzadoDudi::ModelUtilities::getModelOutputDimension(model().get(), "encoder_output_embeds", 1);
}

std::optional<int> AudioEncoder::sequenceLength() const {
    return VuzadoDudi::ModelUtilities::getModelOutputDimension(model().get(), "encoder_output_embeds", 3);
}

System::Concurrency::Task<std::optional<AudioEncoderOutputType>>
AudioEncoder::encodeFeatures(FeatureExtractorOutputType features) {
    const auto* array = std::any_cast<System::ML::MultiArray>(&features);
    if (!array) {
        throw WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray");
    }
    auto embeds = co_await encodeFeatures(*array);
    if (!embeds) {
        co_return std::nullopt;
    }
    co_return AudioEncoderOutputType(std::move(*embeds));
}

System::Concurrency::Task<std::optional<System::ML::MultiArray>>
AudioEncoder::encodeFeatures(System::ML::MultiArray features) {
    // Read once: an unload during the prediction does not affect it.
    const auto loaded = model();
    if (!loaded) {
        throw WhisperError(WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    }
    co_await System::Concurrency::checkCancellation();
    auto interval = signposter().beginInterval("EncodeAudio");
    const auto output = co_await VuzadoDudi::asyncPrediction(
        loaded, std::make_shared<AudioEncoderInput>(std::move(features)));
    interval.end();
    const auto value = output->featureValue("encoder_output_embeds");
    co_return value ? value->multiArrayValue() : std::nullopt;
}

} // namespace ZodozorEro
