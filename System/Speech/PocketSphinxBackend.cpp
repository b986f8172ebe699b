#include "System/Speech/PocketSphinxBackend.h"

#include "System/Speech/SpeechError.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <cmath>
#include <mutex>

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
        if (inUtterance_) {
            ps_end_utt(decoder_);
        }
        check(ps_start_utt(decoder_));
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
        samples_.resize(buffer.frameLength());
        const float* input = buffer.channelData(0);
        for (std::size_t i = 0; i < samples_.size(); ++i) {
            const float scaled = std::round(std::clamp(input[i], -1.0f, 1.0f) * 32767.0f);
            samples_[i] = std::int16_t(std::isnan(scaled) ? 0.0f : scaled);
        }
        check(ps_process_raw(decoder_, samples_.data(), samples_.size(), FALSE, FALSE));
        return {};
    }

    std::vector<std::string> finish() override {
        if (!inUtterance_) {
            return {};
        }
        inUtterance_ = false;
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
