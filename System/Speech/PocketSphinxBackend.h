#pragma once

#include "System/Speech/RecognitionBackend.h"

#include <filesystem>
#include <map>
#include <mutex>

namespace System::Speech {

// Recognition with PocketSphinx on the models installed under a model folder (Debian's packages put them in
// /usr/share/pocketsphinx/model). A model is a folder named after its locale ("en-us") holding the acoustic
// model in a subfolder of the same name, the language model "<name>.lm.bin" and a pronunciation dictionary
// ("*.dict"). Only installed models are supported: they come with the system's packages, so there is nothing
// to download. Recognizers take 16 kHz mono audio; loaded ones are kept for reuse.
class PocketSphinxBackend : public RecognitionBackend {
public:
    static constexpr const char* defaultModelFolder = "/usr/share/pocketsphinx/model";

    explicit PocketSphinxBackend(std::filesystem::path modelFolder = defaultModelFolder);

    std::vector<Locale> supportedLocales(ModuleKind kind) const override;
    bool isInstalled(const Locale& locale) const override;
    void install(const Locale& locale, const std::function<void(double)>& progress) override;
    Audio::AudioFormat audioFormat(const Locale& locale) const override;
    std::unique_ptr<Recognizer> makeRecognizer(const Locale& locale) override;
    void keep(const Locale& locale, std::unique_ptr<Recognizer> recognizer) override;

    struct Model {
        Locale locale;
        std::filesystem::path acousticModel;
        std::filesystem::path languageModel;
        std::filesystem::path dictionary;
    };

private:
    const Model* model(const Locale& locale) const;

    std::vector<Model> models_;
    std::mutex mutex_;
    std::multimap<std::string, std::unique_ptr<Recognizer>> idle_; // by locale identifier
};

} // namespace System::Speech
