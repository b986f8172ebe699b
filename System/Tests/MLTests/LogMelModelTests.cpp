// The log_mel kind against a plain DFT and a mel filterbank written here, in double precision.

#include "System/ML/Model.h"

#include "System/Tests/FileTesting/FileTesting.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace System::ML;
using System::FileTesting::TemporaryFolder;

constexpr int kRate = 16000;
constexpr int kFft = 400;
constexpr int kHop = 160;
constexpr int kMels = 80;

double slaneyMel(double hz) {
    return hz < 1000 ? hz * 3 / 200 : 15 + 27 * std::log(hz / 1000) / std::log(6.4);
}
double slaneyHz(double mel) {
    return mel < 15 ? mel * 200 / 3 : 1000 * std::pow(6.4, (mel - 15) / 27);
}

// filters[m][k]: triangles between consecutive band edges equally spaced in mels, each of area 1 in
// Hz·(2/width).
std::vector<std::vector<double>> melFilterbank() {
    const int bins = kFft / 2 + 1;
    std::vector<std::vector<double>> filters(kMels, std::vector<double>(bins, 0.0));
    const double topMel = slaneyMel(kRate / 2.0);
    for (int m = 0; m < kMels; ++m) {
        const double low = slaneyHz(topMel * m / (kMels + 1));
        const double peak = slaneyHz(topMel * (m + 1) / (kMels + 1));
        const double high = slaneyHz(topMel * (m + 2) / (kMels + 1));
        for (int k = 0; k < bins; ++k) {
            const double f = double(k) * kRate / kFft;
            double weight = 0;
            if (f > low && f <= peak) {
                weight = (f - low) / (peak - low);
            } else if (f > peak && f < high) {
                weight = (high - f) / (high - peak);
            }
            filters[m][k] = weight * 2 / (high - low);
        }
    }
    return filters;
}

// features[m][t] of the Whisper front end, computed the slow way.
std::vector<double> referenceLogMel(const std::vector<float>& audio) {
    const int n = int(audio.size());
    const int frames = n / kHop;
    const int bins = kFft / 2 + 1;
    auto sample = [&](int i) { // the signal mirrored about its first and last samples
        if (i < 0) {
            i = -i;
        }
        if (i >= n) {
            i = 2 * (n - 1) - i;
        }
        return double(audio[std::size_t(i)]);
    };
    const auto filters = melFilterbank();
    std::vector<double> mel(std::size_t(kMels) * frames);
    std::vector<double> power(bins);
    for (int t = 0; t < frames; ++t) {
        for (int k = 0; k < bins; ++k) {
            double re = 0, im = 0;
            for (int j = 0; j < kFft; ++j) {
                const double windowed =
                    sample(t * kHop - kFft / 2 + j) * 0.5 * (1 - std::cos(2 * M_PI * j / kFft));
                re += windowed * std::cos(2 * M_PI * k * j / kFft);
                im -= windowed * std::sin(2 * M_PI * k * j / kFft);
            }
            power[k] = re * re + im * im;
        }
        for (int m = 0; m < kMels; ++m) {
            double sum = 0;
            for (int k = 0; k < bins; ++k) {
                sum += filters[m][k] * power[k];
            }
            mel[std::size_t(m) * frames + t] = std::log10(std::max(sum, 1e-10));
        }
    }
    const double top = *std::max_element(mel.begin(), mel.end());
    for (double& value : mel) {
        value = (std::max(value, top - 8) + 4) / 4;
    }
    return mel;
}

std::vector<float> chirp(int samples) {
    std::vector<float> audio(static_cast<std::size_t>(samples));
    const double seconds = double(samples) / kRate;
    for (int i = 0; i < samples; ++i) {
        const double time = double(i) / kRate;
        // 100 Hz rising linearly to 7 kHz.
        const double phase = 2 * M_PI * (100 * time + (7000 - 100) / (2 * seconds) * time * time);
        audio[std::size_t(i)] = float(0.5 * std::sin(phase));
    }
    return audio;
}

std::shared_ptr<Model> loadLogMel(const TemporaryFolder& folder, int samples) {
    TinyModelGenerator::LogMelOptions options;
    options.sampleCount = samples;
    const auto path = folder / ("Mel" + std::to_string(samples) + ".mlmodelc");
    TinyModelGenerator::writeLogMelModel(path, options);
    return Model::load(path);
}

std::vector<float> predictFeatures(Model& model, const MultiArray& audio) {
    DictionaryFeatureProvider input({{"audio", audio}});
    return model.predict(input)->featureValue("melspectrogram_features")->multiArrayValue()->toFloats();
}

TEST(LogMelModelTest, MatchesAPlainDftAndFilterbankOnAChirp) {
    TemporaryFolder folder("log-mel");
    // A whole number of hops, and one that leaves a partial hop at the end.
    for (int samples : {32000, 8000 + 97}) {
        const auto model = loadLogMel(folder, samples);
        EXPECT_EQ(model->modelDescription()
                      .outputDescriptionsByName.at("melspectrogram_features")
                      .multiArrayConstraint->shape,
                  (std::vector<int>{1, kMels, 1, samples / kHop}));
        const auto audio = chirp(samples);
        const auto features = predictFeatures(*model, MultiArray::withValues<float>({samples}, audio));
        const auto expected = referenceLogMel(audio);
        ASSERT_EQ(features.size(), expected.size());
        double worst = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            worst = std::max(worst, std::abs(features[i] - expected[i]));
        }
        EXPECT_LT(worst, 2e-4) << samples << " samples";
        // The chirp is loud: its features span the whole clamped range of 8 decades, (8 / 4) wide.
        const auto [low, high] = std::minmax_element(expected.begin(), expected.end());
        EXPECT_NEAR(*high - *low, 2.0, 1e-9);
    }
}

TEST(LogMelModelTest, SilenceIsTheFloorEverywhere) {
    TemporaryFolder folder("log-mel");
    const auto model = loadLogMel(folder, 32000);
    const auto features = predictFeatures(*model, MultiArray({32000}, MultiArrayDataType::float32));
    // log10(1e-10) = −10, which is also the maximum: (−10 + 4) / 4.
    EXPECT_EQ(features, std::vector<float>(features.size(), -1.5f));
}

TEST(LogMelModelTest, HalfPrecisionAudioIsReadAsItsFloatValues) {
    TemporaryFolder folder("log-mel");
    const auto model = loadLogMel(folder, 8000);
    auto audio = chirp(8000);
    const auto halves =
        convertedFloats(MultiArray::withValues<float>({8000}, audio), MultiArrayDataType::float16);
    for (float& value : audio) {
        value = float(Half(value));
    }
    EXPECT_EQ(predictFeatures(*model, halves),
              predictFeatures(*model, MultiArray::withValues<float>({8000}, audio)));
}

TEST(LogMelModelTest, TheGeneratorsFiltersAreTheSlaneyFilterbank) {
    const auto generated = TinyModelGenerator::slaneyMelFilters(kMels, kFft, kRate);
    const auto expected = melFilterbank();
    for (int m = 0; m < kMels; ++m) {
        for (int k = 0; k < kFft / 2 + 1; ++k) {
            ASSERT_NEAR(generated[std::size_t(m) * (kFft / 2 + 1) + k], expected[m][k], 1e-6)
                << m << ", " << k;
        }
    }
}

} // namespace
