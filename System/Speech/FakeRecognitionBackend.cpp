#include "System/Speech/FakeRecognitionBackend.h"

#include "System/Speech/SpeechError.h"

#include <algorithm>
#include <mutex>

namespace System::Speech {

struct FakeRecognitionBackend::Shared {
    mutable std::mutex mutex;
    Script script;
    Record record;
};

namespace {

class FakeRecognizer : public Recognizer {
public:
    explicit FakeRecognizer(std::shared_ptr<FakeRecognitionBackend::Shared> shared)
        : shared_(std::move(shared)) {}

    void setContextualStrings(const std::vector<std::string>& strings) override {
        std::lock_guard lock(shared_->mutex);
        shared_->record.contextualStrings = strings;
    }

    void begin() override {
        std::lock_guard lock(shared_->mutex);
        ++shared_->record.begins;
    }

    std::vector<std::string> process(const Audio::AudioPCMBuffer& buffer) override {
        std::lock_guard lock(shared_->mutex);
        if (shared_->script.processError) {
            throw *shared_->script.processError;
        }
        const float* samples = buffer.channelData(0);
        shared_->record.buffers.emplace_back(samples, samples + buffer.frameLength());
        const std::size_t call = calls_++;
        return call < shared_->script.processTexts.size() ? shared_->script.processTexts[call]
                                                          : std::vector<std::string>{};
    }

    std::vector<std::string> finish() override {
        std::lock_guard lock(shared_->mutex);
        ++shared_->record.finishes;
        if (shared_->script.finishError) {
            throw *shared_->script.finishError;
        }
        return shared_->script.finishTexts;
    }

private:
    std::shared_ptr<FakeRecognitionBackend::Shared> shared_;
    std::size_t calls_ = 0;
};

} // namespace

FakeRecognitionBackend::FakeRecognitionBackend(Script script)
    : shared_(std::make_shared<Shared>()) {
    shared_->script = std::move(script);
}

FakeRecognitionBackend::Record FakeRecognitionBackend::record() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->record;
}

void FakeRecognitionBackend::setScript(Script script) {
    std::lock_guard lock(shared_->mutex);
    shared_->script = std::move(script);
}

std::vector<Locale> FakeRecognitionBackend::supportedLocales(ModuleKind kind) const {
    std::lock_guard lock(shared_->mutex);
    auto found = shared_->script.supported.find(kind);
    return found == shared_->script.supported.end() ? std::vector<Locale>{} : found->second;
}

bool FakeRecognitionBackend::isInstalled(const Locale& locale) const {
    std::lock_guard lock(shared_->mutex);
    const auto& installed = shared_->script.installed;
    return std::find(installed.begin(), installed.end(), locale) != installed.end();
}

void FakeRecognitionBackend::install(const Locale& locale, const std::function<void(double)>& progress) {
    std::function<void(const Locale&, const std::function<void(double)>&)> hook;
    {
        std::lock_guard lock(shared_->mutex);
        ++shared_->record.installs;
        hook = shared_->script.onInstall;
    }
    if (hook) {
        hook(locale, progress); // outside the lock: the hook may drive the test's executors
    }
    std::lock_guard lock(shared_->mutex);
    shared_->script.installed.push_back(locale);
}

Audio::AudioFormat FakeRecognitionBackend::audioFormat(const Locale&) const {
    std::lock_guard lock(shared_->mutex);
    return shared_->script.format;
}

std::unique_ptr<Recognizer> FakeRecognitionBackend::makeRecognizer(const Locale& locale) {
    std::lock_guard lock(shared_->mutex);
    shared_->record.recognizerLocales.push_back(locale);
    if (shared_->script.makeError) {
        throw *shared_->script.makeError;
    }
    if (!kept_.empty()) {
        auto recognizer = std::move(kept_.back());
        kept_.pop_back();
        return recognizer;
    }
    ++shared_->record.recognizersMade;
    return std::make_unique<FakeRecognizer>(shared_);
}

void FakeRecognitionBackend::keep(const Locale&, std::unique_ptr<Recognizer> recognizer) {
    std::lock_guard lock(shared_->mutex);
    ++shared_->record.recognizersKept;
    kept_.push_back(std::move(recognizer));
}

} // namespace System::Speech
