// The "log_mel" kind: audio samples to the log-mel features the encoder reads.
//
//   frames   = centred windows of n_fft samples every hop_length samples (the signal reflected at both ends),
//              each times a periodic Hann window; the frame centred past the last hop is dropped
//   power    = |FFT(frame)|²                                  [frames, n_fft/2 + 1]
//   mel      = mel_filters · powerᵀ                           [n_mels, frames]
//   log      = log10(max(mel, 1e-10)), raised to at least its maximum − 8, then (log + 4) / 4

#include "System/ML/Compute.h"
#include "System/ML/Model.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include <fftw3.h>

namespace System::ML {

namespace {

// FFTW's planner is not thread-safe; executing a plan is.
std::mutex& plannerLock() {
    static std::mutex lock;
    return lock;
}

template <class T>
struct FftwFree {
    void operator()(T* pointer) const { fftwf_free(pointer); }
};
template <class T>
using FftwBuffer = std::unique_ptr<T[], FftwFree<T>>;

class LogMelModel final : public Model {
public:
    static std::shared_ptr<Model> make(const ModelSource& source, const ModelConfiguration& configuration) {
        return std::shared_ptr<Model>(new LogMelModel(source, configuration));
    }

    ~LogMelModel() override {
        std::lock_guard guard(plannerLock());
        fftwf_destroy_plan(plan_);
    }

private:
    LogMelModel(const ModelSource& source, const ModelConfiguration& configuration)
        : Model(source.description(), configuration)
        , melCount_(source.hyperparameter("n_mels"))
        , fftLength_(source.hyperparameter("n_fft"))
        , hopLength_(source.hyperparameter("hop_length")) {
        const auto& audio = source.input("audio");
        if (audio.shape.size() != 1) {
            source.fail("needs a one-dimensional \"audio\" input");
        }
        sampleCount_ = audio.shape[0];
        if (fftLength_ < 2 || fftLength_ % 2 != 0 || sampleCount_ <= fftLength_ / 2) {
            source.fail("needs an even n_fft of at least 2 and more than n_fft / 2 samples of audio");
        }
        binCount_ = fftLength_ / 2 + 1;
        frameCount_ = sampleCount_ / hopLength_;
        const std::vector<int> expected{1, melCount_, 1, frameCount_};
        if (source.output("melspectrogram_features").shape != expected) {
            source.fail("needs a \"melspectrogram_features\" output of shape " + shapeDescription(expected));
        }
        source.checkBufferSize({std::size_t(frameCount_), std::size_t(fftLength_)}, "the frames");
        source.checkBufferSize({std::size_t(frameCount_), std::size_t(binCount_), 2}, "the spectrum");
        source.checkBufferSize({std::size_t(melCount_), std::size_t(frameCount_)}, "the mel energies");
        melFilters_ = source.tensor("mel_filters", {melCount_, binCount_});

        window_.resize(std::size_t(fftLength_));
        for (int n = 0; n < fftLength_; ++n) {
            window_[std::size_t(n)] = float(0.5 - 0.5 * std::cos(2.0 * M_PI * n / fftLength_));
        }
        padded_.resize(std::size_t(sampleCount_ + fftLength_));
        frames_.reset(fftwf_alloc_real(std::size_t(frameCount_) * std::size_t(fftLength_)));
        spectrum_.reset(fftwf_alloc_complex(std::size_t(frameCount_) * std::size_t(binCount_)));
        power_.resize(std::size_t(frameCount_) * std::size_t(binCount_));
        mel_.resize(std::size_t(melCount_) * std::size_t(frameCount_));
        std::lock_guard guard(plannerLock());
        plan_ = fftwf_plan_many_dft_r2c(1, &fftLength_, frameCount_, frames_.get(), nullptr, 1, fftLength_,
                                        spectrum_.get(), nullptr, 1, binCount_, FFTW_ESTIMATE);
        if (!plan_) {
            source.fail("has a transform length the FFT cannot plan");
        }
    }

    std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>& inputs) override {
        const auto audio = inputs.at("audio").values<float>();
        reflectPad(audio);
        for (int t = 0; t < frameCount_; ++t) {
            const float* source = padded_.data() + std::size_t(t) * std::size_t(hopLength_);
            float* frame = frames_.get() + std::size_t(t) * std::size_t(fftLength_);
            for (int n = 0; n < fftLength_; ++n) {
                frame[n] = source[n] * window_[std::size_t(n)];
            }
        }
        fftwf_execute(plan_);
        for (std::size_t i = 0; i < power_.size(); ++i) {
            power_[i] = spectrum_[i][0] * spectrum_[i][0] + spectrum_[i][1] * spectrum_[i][1];
        }
        Compute::matmul(melCount_, frameCount_, binCount_, melFilters_.data(), binCount_, power_.data(),
                        binCount_, true, mel_.data(), frameCount_);

        float largest = -HUGE_VALF;
        for (float& value : mel_) {
            value = std::log10(std::max(value, 1e-10f));
            largest = std::max(largest, value);
        }
        MultiArray output({1, melCount_, 1, frameCount_}, MultiArrayDataType::float32);
        auto features = output.mutableValues<float>();
        for (std::size_t i = 0; i < mel_.size(); ++i) {
            features[i] = (std::max(mel_[i], largest - 8.0f) + 4.0f) / 4.0f;
        }
        return {{"melspectrogram_features", std::move(output)}};
    }

    // The signal with n_fft / 2 samples mirrored at each end (the edge sample itself is not repeated).
    void reflectPad(std::span<const float> audio) {
        const int pad = fftLength_ / 2;
        for (int i = 0; i < pad; ++i) {
            padded_[std::size_t(i)] = audio[std::size_t(pad - i)];
            padded_[std::size_t(pad + sampleCount_ + i)] = audio[std::size_t(sampleCount_ - 2 - i)];
        }
        std::copy(audio.begin(), audio.end(), padded_.begin() + pad);
    }

    int melCount_;
    int fftLength_;
    int hopLength_;
    int sampleCount_ = 0;
    int binCount_ = 0;
    int frameCount_ = 0;

    // Weights
    std::vector<float> melFilters_; // [n_mels, n_fft/2 + 1]

    // Activations, allocated once
    std::vector<float> window_;          // [n_fft]
    std::vector<float> padded_;          // [samples + n_fft]
    FftwBuffer<float> frames_;           // [frames, n_fft]
    FftwBuffer<fftwf_complex> spectrum_; // [frames, n_fft/2 + 1]
    std::vector<float> power_;           // [frames, n_fft/2 + 1]
    std::vector<float> mel_;             // [n_mels, frames]
    fftwf_plan plan_ = nullptr;
};

const ModelKindRegistration registration("log_mel", &LogMelModel::make);

} // namespace

} // namespace System::ML
