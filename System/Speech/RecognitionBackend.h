#pragma once

#include "System/Audio/AudioFormat.h"
#include "System/Audio/AudioPCMBuffer.h"
#include "System/Speech/Locale.h"
#include "System/Speech/SpeechError.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace System::Speech {

// The two kinds of speech module: plain transcription and dictation (which may add punctuation).
enum class ModuleKind { transcription, dictation };

// One recognition pass over one stretch of audio. Used from one thread at a time; may throw SpeechError.
class Recognizer {
public:
    virtual ~Recognizer() = default;

    // Words or phrases the audio is likely to contain; a recognizer that can't use them ignores them.
    virtual void setContextualStrings(const std::vector<std::string>& strings) = 0;
    // Starts a fresh pass; a recognizer can run many passes one after another.
    virtual void begin() = 0;
    // Adds audio in the backend's format; returns the texts of the utterances it completed.
    virtual std::vector<std::string> process(const Audio::AudioPCMBuffer& buffer) = 0;
    // Ends the pass and returns the texts of the utterances still open.
    virtual std::vector<std::string> finish() = 0;
};

// What recognizes speech underneath the analyzer: the installed models and how to run them.
class RecognitionBackend {
public:
    virtual ~RecognitionBackend() = default;

    // The locales the backend can recognize with a module of `kind`, installed or installable.
    virtual std::vector<Locale> supportedLocales(ModuleKind kind) const = 0;
    virtual bool isInstalled(const Locale& locale) const = 0;
    // Fetches and installs the locale's assets, calling `progress` with the fraction done (0 to 1);
    // throws SpeechError. Blocking.
    virtual void install(const Locale& locale, const std::function<void(double)>& progress) = 0;
    // The audio format its recognizers take.
    virtual Audio::AudioFormat audioFormat(const Locale& locale) const = 0;
    // A recognizer for the locale; throws SpeechError. Slow the first time: it loads the model.
    virtual std::unique_ptr<Recognizer> makeRecognizer(const Locale& locale) = 0;
    // Takes back a recognizer that is done, to serve a later makeRecognizer() without loading the model
    // again.
    virtual void keep(const Locale& locale, std::unique_ptr<Recognizer> recognizer) {
        (void)locale;
        recognizer.reset();
    }
};

} // namespace System::Speech
