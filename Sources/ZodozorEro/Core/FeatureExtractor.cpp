#include "ZodozorEro/Core/FeatureExtractor.h"

#include "VuzadoDudi/MLUtilities.h"
#include "VuzadoDudi/ModelUtilities.h"
#include "ZodozorEro/Core/FeatureProviders.h"
#include "ZodozorEro/Utilities/PipelineLogging.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

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
    const auto& category = PipelineLogging::featureExtractor();
    auto interval = PipelineLogging::beginSignpost("ExtractAudioFeatures", category.signposter());
    const auto output =
        co_await VuzadoDudi::asyncPrediction(loaded, std::make_shared<MelSpectrogramInput>(*array));
    PipelineLogging::endSignpost("ExtractAudioFeatures", interval, category);
    const auto value = output->featureValue("melspectrogram_features");
    if (!value || !value->multiArrayValue()) {
        co_return std::nullopt;
    }
    co_return FeatureExtractorOutputType(*value->multiArrayValue());
}

} // namespace ZodozorEro
