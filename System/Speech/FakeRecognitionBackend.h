#pragma once

#include "System/Speech/RecognitionBackend.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace System::Speech {

// A recognition backend for tests: its locales, installation and recognizers do what the test scripts, and it
// records what the analyzer handed them. Thread-safe.
class FakeRecognitionBackend : public RecognitionBackend {
public:
    struct Script {
        std::map<ModuleKind, std::vector<Locale>> supported;
        std::vector<Locale> installed;
        Audio::AudioFormat format{16'000, 1};
        // Called by install() in place of a download; may report progress and throw. By default it marks the
        // locale installed.
        std::function<void(const Locale&, const std::function<void(double)>&)> onInstall;
        // The texts each process() call returns, one entry per call; calls beyond the list return none.
        std::vector<std::vector<std::string>> processTexts;
        std::vector<std::string> finishTexts;
        std::optional<SpeechError> makeError;    // thrown by makeRecognizer()
        std::optional<SpeechError> processError; // thrown by every process()
        std::optional<SpeechError> finishError;  // thrown by finish()
    };

    // What the recognizers saw.
    struct Record {
        int recognizersMade = 0;
        std::vector<Locale> recognizerLocales; // of every makeRecognizer() call
        int recognizersKept = 0;
        int installs = 0;
        std::vector<std::string> contextualStrings;
        std::vector<std::vector<float>> buffers;
        int begins = 0;
        int finishes = 0;
    };

    explicit FakeRecognitionBackend(Script script);

    Record record() const;
    void setScript(Script script);

    std::vector<Locale> supportedLocales(ModuleKind kind) const override;
    bool isInstalled(const Locale& locale) const override;
    void install(const Locale& locale, const std::function<void(double)>& progress) override;
    Audio::AudioFormat audioFormat(const Locale& locale) const override;
    std::unique_ptr<Recognizer> makeRecognizer(const Locale& locale) override;
    void keep(const Locale& locale, std::unique_ptr<Recognizer> recognizer) override;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    std::vector<std::unique_ptr<Recognizer>> kept_;
};

} // namespace System::Speech
