#include "System/Speech/PocketSphinxBackend.h"

#include "System/Speech/SpeechError.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/feat.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <random>

namespace System::Speech {

namespace fs = std::filesystem;

namespace {

const Audio::AudioFormat sphinxFormat{16'000, 1};

std::vector<PocketSphinxBackend::Model> findModels(const fs::path& folder) {
    std::vector<PocketSphinxBackend::Model> models;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        const fs::path acoustic = entry.path() / name;
        const fs::path language = entry.path() / (name + ".lm.bin");
        if (!fs::is_regular_file(acoustic / "mdef", error) || !fs::is_regular_file(language, error)) {
            continue;
        }
        std::vector<fs::path> dictionaries;
        for (const auto& file : fs::directory_iterator(entry.path(), error)) {
            if (file.path().extension() == ".dict") {
                dictionaries.push_back(file.path());
            }
        }
        auto locale = Locale::fromPosix(name);
        if (dictionaries.empty() || !locale) {
            continue;
        }
        std::sort(dictionaries.begin(), dictionaries.end());
        models.push_back({*locale, acoustic, language, dictionaries.front()});
    }
    std::sort(models.begin(), models.end(),
              [](const auto& a, const auto& b) { return a.locale.identifier() < b.locale.identifier(); });
    return models;
}

// The audio of a pass is kept and recognized as one utterance when the pass ends. The decoder subtracts a
// cepstral mean from every frame; streamed, it would start from the model's stock mean (far from any real
// microphone's), and it adapts only from one utterance to the next, so the first dictation after a start
// came out as different, wrong words. Measured over the whole utterance first, the mean fits this audio
// from its first frame on, and a pass depends on nothing but its own audio: the same speech gives the same
// text whether it is the first dictation or a later one. (The library's own whole-utterance mode gave wrong
// words on clean speech, so the mean is measured here.)
class PocketSphinxRecognizer : public Recognizer {
public:
    explicit PocketSphinxRecognizer(const PocketSphinxBackend::Model& model) {
        config_ = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(), "-lm",
                              model.languageModel.c_str(), "-dict", model.dictionary.c_str(), "-logfn",
                              "/dev/null", nullptr);
        decoder_ = config_ ? ps_init(config_) : nullptr;
        if (!decoder_) {
            release();
            throw SpeechError(SpeechError::Code::modelUnavailable,
                              "The speech model for " + model.locale.identifier() + " can't be loaded.");
        }
    }
    ~PocketSphinxRecognizer() override { release(); }

    // PocketSphinx has no way to favour given phrases without their pronunciations; they are not used.
    void setContextualStrings(const std::vector<std::string>&) override {}

    void begin() override {
        samples_.clear();
        dither_.seed();
        inUtterance_ = true;
    }

    std::vector<std::string> process(const Audio::AudioPCMBuffer& buffer) override {
        if (buffer.format() != sphinxFormat) {
            throw SpeechError(SpeechError::Code::unsupportedAudioFormat,
                              "The speech recognizer needs 16 kHz mono audio.");
        }
        if (!inUtterance_) {
            begin();
        }
        // Digital silence (a muted input, a sound server with nothing to play) makes frames of no energy at
        // all, whose log spectrum is the floor value and drags the mean far off; a least-significant bit of
        // noise, the same in every pass, turns them into quiet frames.
        const float* input = buffer.channelData(0);
        for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
            const float noise = float(int(dither_() % 3) - 1);
            const float value = std::isnan(input[i]) ? 0.0f : input[i];
            const float scaled = std::round(std::clamp(value, -1.0f, 1.0f) * 32766.0f) + noise;
            samples_.push_back(std::int16_t(scaled));
        }
        return {};
    }

    std::vector<std::string> finish() override {
        if (!inUtterance_) {
            return {};
        }
        inUtterance_ = false;
        std::vector<std::int16_t> samples = std::move(samples_);
        samples_.clear();
        // A stream per pass: the noise estimate starts afresh instead of carrying over from the last pass,
        // and measuring the mean runs the audio through the decoder's front end once, which settles it on
        // this audio's noise before the decoding pass.
        check(ps_start_stream(decoder_));
        cmn_t* normalization = ps_get_feat(decoder_)->cmn_struct;
        if (const auto mean = cepstralMean(samples); mean && normalization) {
            cmn_live_set(normalization, mean->data());
        }
        check(ps_start_utt(decoder_));
        if (!samples.empty()) {
            check(ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, FALSE));
        }
        check(ps_end_utt(decoder_));
        const char* hypothesis = ps_get_hyp(decoder_, nullptr);
        if (!hypothesis || !*hypothesis) {
            return {};
        }
        return {hypothesis};
    }

private:
    static void check(int status) {
        if (status < 0) {
            throw SpeechError(SpeechError::Code::analysisFailed, "The speech recognizer failed.");
        }
    }

    // The mean cepstrum of the frames of `samples`, made by the decoder's own front end; nothing when they
    // make no frame.
    std::optional<std::vector<mfcc_t>> cepstralMean(const std::vector<std::int16_t>& samples) {
        fe_t* meter = ps_get_fe(decoder_);
        const int length = fe_get_output_size(meter);
        constexpr int batch = 256;
        std::vector<mfcc_t> storage(std::size_t(batch + 1) * length);
        std::vector<mfcc_t*> frames(batch + 1);
        for (int i = 0; i <= batch; ++i) {
            frames[i] = storage.data() + std::size_t(i) * length;
        }
        std::vector<double> sum(length, 0.0);
        long count = 0;
        const auto add = [&](int made) {
            for (int f = 0; f < made; ++f) {
                for (int c = 0; c < length; ++c) {
                    sum[c] += frames[f][c];
                }
            }
            count += made;
        };
        check(fe_start_utt(meter));
        const std::int16_t* next = samples.data();
        std::size_t left = samples.size();
        while (left > 0) {
            int32 made = batch;
            check(fe_process_frames(meter, &next, &left, frames.data(), &made, nullptr));
            if (made == 0) {
                break;
            }
            add(made);
        }
        int32 tail = 0;
        check(fe_end_utt(meter, frames[0], &tail));
        add(tail);
        if (count == 0) {
            return std::nullopt;
        }
        std::vector<mfcc_t> mean(length);
        for (int c = 0; c < length; ++c) {
            mean[c] = mfcc_t(sum[c] / double(count));
        }
        return mean;
    }

    void release() {
        if (decoder_) {
            ps_free(decoder_);
            decoder_ = nullptr;
        }
        if (config_) {
            cmd_ln_free_r(config_);
            config_ = nullptr;
        }
    }

    cmd_ln_t* config_ = nullptr;
    ps_decoder_t* decoder_ = nullptr;
    bool inUtterance_ = false;
    std::vector<std::int16_t> samples_;
    std::minstd_rand dither_;
};

} // namespace

PocketSphinxBackend::PocketSphinxBackend(fs::path modelFolder)
    : models_(findModels(modelFolder)) {
    // The library logs to stderr until told otherwise, also before a decoder's own "-logfn" takes effect.
    static std::once_flag quiet;
    std::call_once(quiet, [] { err_set_logfp(nullptr); });
}

const PocketSphinxBackend::Model* PocketSphinxBackend::model(const Locale& locale) const {
    for (const auto& model : models_) {
        if (model.locale == locale) {
            return &model;
        }
    }
    return nullptr;
}

std::vector<Locale> PocketSphinxBackend::supportedLocales(ModuleKind) const {
    std::vector<Locale> locales;
    for (const auto& model : models_) {
        locales.push_back(model.locale);
    }
    return locales;
}

bool PocketSphinxBackend::isInstalled(const Locale& locale) const {
    return model(locale) != nullptr;
}

void PocketSphinxBackend::install(const Locale& locale, const std::function<void(double)>&) {
    if (!isInstalled(locale)) {
        throw SpeechError(SpeechError::Code::installationFailed,
                          "No speech model for " + locale.identifier() + " is installed on this computer.");
    }
}

Audio::AudioFormat PocketSphinxBackend::audioFormat(const Locale&) const {
    return sphinxFormat;
}

std::unique_ptr<Recognizer> PocketSphinxBackend::makeRecognizer(const Locale& locale) {
    {
        std::lock_guard lock(mutex_);
        auto idle = idle_.find(locale.identifier());
        if (idle != idle_.end()) {
            auto recognizer = std::move(idle->second);
            idle_.erase(idle);
            return recognizer;
        }
    }
    const Model* found = model(locale);
    if (!found) {
        throw SpeechError(SpeechError::Code::modelUnavailable,
                          "No speech model for " + locale.identifier() + " is installed on this computer.");
    }
    return std::make_unique<PocketSphinxRecognizer>(*found);
}

void PocketSphinxBackend::keep(const Locale& locale, std::unique_ptr<Recognizer> recognizer) {
    std::lock_guard lock(mutex_);
    idle_.emplace(locale.identifier(), std::move(recognizer));
}

} // namespace System::Speech
