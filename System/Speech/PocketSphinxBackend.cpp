#include "System/Speech/PocketSphinxBackend.h"

#include "System/Speech/SpeechError.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/feat.h>

#include <algorithm>
#include <cmath>
#include <limits>
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

// A pass is recognized while it is spoken, so that when it ends only the last stretch of speech and the
// search's end remain, however long the dictation was.
//
// The decoder subtracts a cepstral mean from every frame. Left alone it starts from the model's stock mean,
// far from any real microphone's, and adapts only from one utterance to the next: the first dictation after
// a start came out as other words than later ones. So each pass first measures its own mean on its first
// stretch of speech (seedFrames of the front end's frames from where the speech starts) and only then starts
// decoding, from the audio's start. A pass depends on nothing but its own audio, whatever came before it,
// and the samples are decoded as they came: noise added to them (against digital silence) cost more words
// than it saved.
//
// Where the decoder's voice detector hears a pause, the utterance ends there and the next one begins: its
// text is final, and the end of the pass only has to finish the speech after the last pause.
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
        const int length = fe_get_output_size(ps_get_fe(decoder_));
        frameStorage_.resize(std::size_t(meterBatch) * std::size_t(length));
        frames_.resize(meterBatch);
        for (int i = 0; i < meterBatch; ++i) {
            frames_[std::size_t(i)] = frameStorage_.data() + std::size_t(i) * std::size_t(length);
        }
        meanSum_.resize(std::size_t(length));
    }
    ~PocketSphinxRecognizer() override { release(); }

    // PocketSphinx has no way to favour given phrases without their pronunciations; they are not used.
    void setContextualStrings(const std::vector<std::string>&) override {}

    void begin() override {
        if (decoding_) {
            // A pass that was given up without its end still has an utterance open.
            check(ps_end_utt(decoder_));
        }
        // A stream per pass: the front end's noise estimate starts afresh instead of carrying over.
        check(ps_start_stream(decoder_));
        check(fe_start_utt(ps_get_fe(decoder_)));
        pending_.clear();
        std::fill(meanSum_.begin(), meanSum_.end(), 0.0);
        meteredFrames_ = 0;
        quietest_ = std::numeric_limits<double>::infinity();
        decoding_ = false;
        heardSpeech_ = false;
        inPass_ = true;
    }

    std::vector<std::string> process(const Audio::AudioPCMBuffer& buffer) override {
        if (buffer.format() != sphinxFormat) {
            throw SpeechError(SpeechError::Code::unsupportedAudioFormat,
                              "The speech recognizer needs 16 kHz mono audio.");
        }
        if (!inPass_) {
            begin();
        }
        const std::size_t first = pending_.size();
        const float* input = buffer.channelData(0);
        for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
            const float value = std::isnan(input[i]) ? 0.0f : input[i];
            pending_.push_back(std::int16_t(std::lround(std::clamp(value, -1.0f, 1.0f) * 32766.0f)));
        }
        if (decoding_) {
            std::vector<std::string> texts;
            decode(pending_.data(), pending_.size(), texts);
            pending_.clear();
            return texts;
        }
        meter(first);
        if (meteredFrames_ < seedFrames) {
            return {};
        }
        return startDecoding();
    }

    std::vector<std::string> finish() override {
        if (!inPass_) {
            return {};
        }
        inPass_ = false;
        std::vector<std::string> texts = decoding_ ? std::vector<std::string>{} : startDecoding();
        decoding_ = false;
        check(ps_end_utt(decoder_));
        appendHypothesis(texts);
        return texts;
    }

private:
    // A second and a half of speech: a mean measured on less gave clearly more wrong words.
    static constexpr long seedFrames = 150;
    // How much louder than the quietest frame (in the front end's log energy, c0) a frame must be to start
    // the speech: noise floors sit 20 to 30 below speech, digital silence far below.
    static constexpr double speechOnset = 15.0;
    static constexpr int meterBatch = 64;
    // What the decoder takes at a time: the voice detector's state is read between blocks, as a
    // microphone's blocks would come.
    static constexpr std::size_t decodeBlock = 1'600;

    static void check(int status) {
        if (status < 0) {
            throw SpeechError(SpeechError::Code::analysisFailed, "The speech recognizer failed.");
        }
    }

    // Adds the frames that the decoder's own front end makes of pending_[from...] to the mean's sum, from
    // the first frame that is clearly louder than the quietest one so far: the speech's start. The frames of
    // a microphone's noise before it (a key held a while before speaking) would otherwise make up the mean.
    void meter(std::size_t from) {
        fe_t* frontEnd = ps_get_fe(decoder_);
        const std::int16_t* next = pending_.data() + from;
        std::size_t left = pending_.size() - from;
        while (left > 0 && meteredFrames_ < seedFrames) {
            int32 made = meterBatch;
            check(fe_process_frames(frontEnd, &next, &left, frames_.data(), &made, nullptr));
            if (made == 0) {
                break;
            }
            for (int f = 0; f < made && meteredFrames_ < seedFrames; ++f) {
                const mfcc_t* frame = frames_[std::size_t(f)];
                quietest_ = std::min(quietest_, double(frame[0]));
                if (meteredFrames_ == 0 && double(frame[0]) <= quietest_ + speechOnset) {
                    continue;
                }
                for (std::size_t c = 0; c < meanSum_.size(); ++c) {
                    meanSum_[c] += frame[c];
                }
                ++meteredFrames_;
            }
        }
    }

    // Sets the measured mean (none when the audio made no frame yet) and decodes what was kept from the
    // pass's start; from here on audio is decoded as it comes.
    std::vector<std::string> startDecoding() {
        cmn_t* normalization = ps_get_feat(decoder_)->cmn_struct;
        if (meteredFrames_ > 0 && normalization) {
            std::vector<mfcc_t> mean(meanSum_.size());
            for (std::size_t c = 0; c < mean.size(); ++c) {
                mean[c] = mfcc_t(meanSum_[c] / double(meteredFrames_));
            }
            cmn_live_set(normalization, mean.data());
        }
        check(ps_start_utt(decoder_));
        decoding_ = true;
        std::vector<std::string> texts;
        decode(pending_.data(), pending_.size(), texts);
        pending_.clear();
        return texts;
    }

    // Decodes `count` samples; an utterance that a pause ended adds its text to `texts`.
    void decode(const std::int16_t* samples, std::size_t count, std::vector<std::string>& texts) {
        for (std::size_t offset = 0; offset < count; offset += decodeBlock) {
            const std::size_t length = std::min(decodeBlock, count - offset);
            check(ps_process_raw(decoder_, samples + offset, length, FALSE, FALSE));
            if (ps_get_in_speech(decoder_)) {
                heardSpeech_ = true;
            } else if (heardSpeech_) {
                heardSpeech_ = false;
                check(ps_end_utt(decoder_));
                appendHypothesis(texts);
                check(ps_start_utt(decoder_));
            }
        }
    }

    void appendHypothesis(std::vector<std::string>& texts) {
        const char* hypothesis = ps_get_hyp(decoder_, nullptr);
        if (hypothesis && *hypothesis) {
            texts.emplace_back(hypothesis);
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
    bool inPass_ = false;
    bool decoding_ = false;
    bool heardSpeech_ = false;
    // Samples not decoded yet: the pass's start while its mean is measured, else the block at hand.
    std::vector<std::int16_t> pending_;
    std::vector<mfcc_t> frameStorage_;
    std::vector<mfcc_t*> frames_;
    std::vector<double> meanSum_;
    long meteredFrames_ = 0;
    double quietest_ = std::numeric_limits<double>::infinity();
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
