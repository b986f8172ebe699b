#include "ZodozorEro/Core/FeatureExtractor.h"

#include "System/Log/Logger.h"
#include "VuzadoDudi/MLUtilities.h"
#include "VuzadoDudi/ModelUtilities.h"
#include "ZodozorEro/Core/FeatureProviders.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

namespace {
const System::Log::Signposter& signposter() {
    static const auto* instance =
        new System::Log::Signposter(System::Log::Logger("com.zodozorero.pipeline", "FeatureExtractor"));
    return *instance;
}
} // namespace

std::optional<int> FeatureExtractor::melCount() const {
    return VuzadoDudi::ModelUtilities::getModelOutputDimension(model().get(), "melspectrogram_features", 1);
}

std::optional<int> FeatureExtractor::windowSamples() const {
    return VuzadoDudi::ModelUtilities::getModelInputDimension(model().get(), "audio", 0);
}

System::Concurrency::Task<std::optional<FeatureExtractorOutputType>>
FeatureExtractor::logMelSpectrogram(AudioProcessorOutputType audio) {
    const auto* array = std::any_cast<System::ML::MultiArray>(&audio);
    if (!array) {
        throw WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray");
    }
    // Read once: an unload during the prediction does not affect it.
    const auto loaded = model();
    if (!loaded) {
        throw WhisperError(WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    }
    co_await System::Concurrency::checkCancellation();
    auto interval = signposter().beginInterval("ExtractAudioFeatures");
    const auto output =
        co_await VuzadoDudi::asyncPrediction(loaded, std::make_shared<MelSpectrogramInput>(*array));
    interval.end();
    const auto value = output->featureValue("melspectrogram_features");
    if (!value || !value->multiArrayValue()) {
        co_return std::nullopt;
    }
    co_return FeatureExtractorOutputType(*value->multiArrayValue());
}

} // namespace ZodozorEro
