#pragma once

#include "System/Audio/AudioPCMBuffer.h"
#include "System/Concurrency/AsyncStream.h"
#include "System/Concurrency/Executor.h"
#include "System/Concurrency/Task.h"
#include "System/Speech/SpeechModule.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace System::Speech {

// One block of audio for an analyzer.
struct AnalyzerInput {
    Audio::AudioPCMBuffer buffer;
};

// What the analyzer should expect to hear.
struct AnalysisContext {
    enum class ContextualStringsTag { general };
    std::map<ContextualStringsTag, std::vector<std::string>> contextualStrings;
};

// Runs the recognition of its modules over a stream of audio: the audio is read and recognized on a worker
// executor while the caller goes on, and each module receives the recognized text as results. Operations are
// meant to be called in order: setContext (optional), prepareToAnalyze, start, then one of
// finalizeAndFinishThroughEndOfInput or cancelAndFinishNow. Destroying the analyzer cancels what still runs.
class SpeechAnalyzer {
public:
    enum class ModelRetention {
        whileInUse,      // the model is unloaded when the analysis ends
        processLifetime, // the model stays loaded for later analyzers of the same locale
    };
    struct Options {
        ModelRetention modelRetention = ModelRetention::whileInUse;
    };

    // The audio format the modules take, or nothing when no module is supported.
    static std::optional<Audio::AudioFormat>
    bestAvailableAudioFormat(const std::vector<std::shared_ptr<SpeechModule>>& modules);

    // All modules share the first module's backend and locale. `worker` runs the recognition; by default the
    // process's shared speech worker.
    SpeechAnalyzer(std::vector<std::shared_ptr<SpeechModule>> modules, Options options);
    SpeechAnalyzer(std::vector<std::shared_ptr<SpeechModule>> modules, Options options,
                   Concurrency::Executor& worker);
    ~SpeechAnalyzer();
    SpeechAnalyzer(const SpeechAnalyzer&) = delete;
    SpeechAnalyzer& operator=(const SpeechAnalyzer&) = delete;

    Concurrency::Task<void> setContext(AnalysisContext context);
    // Loads the recognizer; `format` (when given) must be the one bestAvailableAudioFormat names.
    Concurrency::Task<void> prepareToAnalyze(std::optional<Audio::AudioFormat> format);
    // Starts reading `inputSequence` and returns at once; prepares first when that has not been done.
    Concurrency::Task<void> start(Concurrency::AsyncStream<AnalyzerInput> inputSequence);
    // Once the input sequence has been finished: recognizes what is left, delivers the last results and
    // ends every module's results. Throws the analysis error.
    Concurrency::Task<void> finalizeAndFinishThroughEndOfInput();
    // Stops at once without recognizing what is left; every module's results end.
    Concurrency::Task<void> cancelAndFinishNow();

    struct State;

private:
    std::shared_ptr<State> state_;
    Concurrency::Executor& worker_;
    std::optional<Concurrency::TaskHandle<void>> analysis_;
};

} // namespace System::Speech
