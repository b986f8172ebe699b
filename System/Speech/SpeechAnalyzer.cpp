#include "System/Speech/SpeechAnalyzer.h"

#include "System/Speech/SpeechError.h"
#include "System/Speech/SpeechWorker.h"

#include <mutex>

namespace System::Speech {

namespace Con = System::Concurrency;

// Shared by the analyzer and its analysis task, which may outlive it. The recognizer is touched only on the
// worker.
struct SpeechAnalyzer::State {
    std::vector<std::shared_ptr<SpeechModule>> modules;
    Options options;
    std::vector<std::string> contextualStrings;
    std::unique_ptr<Recognizer> recognizer;
    std::once_flag ended;

    RecognitionBackend& backend() const { return *modules.front()->backend(); }
    const Locale& locale() const { return modules.front()->locale(); }

    void deliver(const std::vector<std::string>& texts) {
        for (const auto& text : texts) {
            for (const auto& module : modules) {
                module->deliver(SpeechResult{text});
            }
        }
    }

    // Ends every module's results, once; a recognizer that is kept goes back to the backend.
    void end(std::exception_ptr error) {
        std::call_once(ended, [&] {
            for (const auto& module : modules) {
                module->finishResults(error);
            }
            if (recognizer && !error && options.modelRetention == ModelRetention::processLifetime) {
                backend().keep(locale(), std::move(recognizer));
            }
            recognizer.reset();
        });
    }
};

namespace {

Con::Task<void> analyze(std::shared_ptr<SpeechAnalyzer::State> state,
                        Con::AsyncStream<AnalyzerInput> inputs) {
    try {
        while (auto input = co_await inputs.next()) {
            state->deliver(state->recognizer->process(input->buffer));
        }
        if (co_await Con::isCancelled()) {
            state->end(nullptr);
            co_return;
        }
        state->deliver(state->recognizer->finish());
    } catch (...) {
        state->end(std::current_exception());
        throw;
    }
    state->end(nullptr);
}

} // namespace

std::optional<Audio::AudioFormat>
SpeechAnalyzer::bestAvailableAudioFormat(const std::vector<std::shared_ptr<SpeechModule>>& modules) {
    if (modules.empty()) {
        return std::nullopt;
    }
    const auto& module = *modules.front();
    const auto supported = module.backend()->supportedLocales(module.kind());
    if (std::find(supported.begin(), supported.end(), module.locale()) == supported.end()) {
        return std::nullopt;
    }
    return module.backend()->audioFormat(module.locale());
}

SpeechAnalyzer::SpeechAnalyzer(std::vector<std::shared_ptr<SpeechModule>> modules, Options options)
    : SpeechAnalyzer(std::move(modules), options, sharedSpeechWorker()) {}

SpeechAnalyzer::SpeechAnalyzer(std::vector<std::shared_ptr<SpeechModule>> modules, Options options,
                               Con::Executor& worker)
    : state_(std::make_shared<State>())
    , worker_(worker) {
    state_->modules = std::move(modules);
    state_->options = options;
}

SpeechAnalyzer::~SpeechAnalyzer() {
    if (analysis_) {
        analysis_->cancel(); // the task ends on the worker and ends the results there
    } else if (!state_->modules.empty()) {
        worker_.post([state = state_] { state->end(nullptr); });
    }
}

Con::Task<void> SpeechAnalyzer::setContext(AnalysisContext context) {
    std::vector<std::string> strings =
        context.contextualStrings[AnalysisContext::ContextualStringsTag::general];
    co_await Con::runOn(worker_, [state = state_, strings] {
        state->contextualStrings = strings;
        if (state->recognizer) {
            state->recognizer->setContextualStrings(strings);
        }
    });
}

Con::Task<void> SpeechAnalyzer::prepareToAnalyze(std::optional<Audio::AudioFormat> format) {
    co_await Con::runOn(worker_, [state = state_, format] {
        if (state->modules.empty()) {
            throw SpeechError(SpeechError::Code::invalidState, "The speech analyzer has no module.");
        }
        if (format && *format != state->backend().audioFormat(state->locale())) {
            throw SpeechError(SpeechError::Code::unsupportedAudioFormat,
                              "The speech analyzer can't take audio in this format.");
        }
        if (!state->recognizer) {
            state->recognizer = state->backend().makeRecognizer(state->locale());
            state->recognizer->setContextualStrings(state->contextualStrings);
            state->recognizer->begin();
        }
    });
}

Con::Task<void> SpeechAnalyzer::start(Con::AsyncStream<AnalyzerInput> inputSequence) {
    if (analysis_) {
        throw SpeechError(SpeechError::Code::invalidState, "The speech analyzer has already started.");
    }
    co_await prepareToAnalyze(std::nullopt);
    analysis_ = Con::spawn(worker_, analyze(state_, std::move(inputSequence)));
}

Con::Task<void> SpeechAnalyzer::finalizeAndFinishThroughEndOfInput() {
    if (!analysis_) {
        throw SpeechError(SpeechError::Code::invalidState, "The speech analyzer has not started.");
    }
    co_await analysis_->value();
}

Con::Task<void> SpeechAnalyzer::cancelAndFinishNow() {
    if (!analysis_) {
        co_await Con::runOn(worker_, [state = state_] { state->end(nullptr); });
        co_return;
    }
    analysis_->cancel();
    try {
        co_await analysis_->value();
    } catch (...) {
        // Cancelled: whatever the analysis ended with no longer matters.
    }
}

} // namespace System::Speech
