#include "App/HUD/HUDModel.h"

#include "App/KeyNames.h"
#include "App/Observations.h"
#include "TessarinCore/Domain/Overloaded.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"

#include <algorithm>
#include <cmath>

namespace Parlindo {

using namespace TessarinCore;
using System::Concurrency::CancellationError;
using System::Concurrency::Task;

namespace {

Duration milliseconds(std::int64_t count) {
    return Duration::milliseconds(count);
}

// The overlay has room for two short lines of text and two of detail. A failure whose sentence is longer
// shows a shorter form; the log keeps the whole sentence.
std::optional<HUDModel::Phase> shortForm(const DictationFailure& failure) {
    using CloudError = TessarinPlatform::TessarinCloudTranscriber::CloudError;
    const auto* failed = std::get_if<DictationFailure::TranscriptionFailed>(&failure.value());
    if (failed && failed->reason == CloudError::notConfigured().description()) {
        return HUDModel::Phase::message("Parlindo Cloud is not set up",
                                        "Start Parlindo with PARLINDO_API_URL set to your server\u2019s "
                                        "address.",
                                        HUDModel::Style::warning);
    }
    return std::nullopt;
}

} // namespace

const HUDModel::Spring HUDModel::phaseAnimation{milliseconds(200), 0.85, Duration()};
const Duration HUDModel::orderOutDelay = milliseconds(250);

HUDModel::Source HUDModel::Source::of(std::shared_ptr<DictationCoordinator> coordinator) {
    return Source{coordinator->state(), coordinator->lastEvent(), coordinator->inputLevel(),
                  coordinator->recordingLanguage(), coordinator};
}

std::shared_ptr<HUDModel> HUDModel::create(Source source, System::Concurrency::Executor& mainActor,
                                           PanelFactory makePanel) {
    std::shared_ptr<HUDModel> model(new HUDModel(std::move(source), mainActor, std::move(makePanel)));
    model->followTasks_.push_back(System::Concurrency::spawn(mainActor, followDictation(model)));
    model->followTasks_.push_back(System::Concurrency::spawn(mainActor, followInputLevel(model)));
    return model;
}

HUDModel::HUDModel(Source source, System::Concurrency::Executor& mainActor, PanelFactory makePanel)
    : source_(std::move(source))
    , mainActor_(mainActor)
    , makePanel_(std::move(makePanel)) {}

HUDModel::~HUDModel() {
    for (const auto& task : followTasks_) {
        task.cancel();
    }
    if (hideTask_) {
        hideTask_->cancel();
    }
}

float HUDModel::normalizedLevel(float level) {
    const float decibels = 20.0f * std::log10(std::max(level, 0.000001f));
    return std::clamp((decibels + 55.0f) / 45.0f, 0.0f, 1.0f);
}

std::optional<std::pair<HUDModel::Phase, Duration>> HUDModel::presentation(const DictationOutcome& outcome) {
    using Result = std::optional<std::pair<Phase, Duration>>;
    return std::visit(
        Overloaded{
            [](const DictationOutcome::Transcribed& transcribed) -> Result {
                const DictationResult& result = transcribed.result;
                return std::visit(
                    Overloaded{
                        [&](const InsertionOutcome::Inserted&) -> Result {
                            if (!result.fallbackReason) {
                                return std::pair{Phase::message(result.text, std::nullopt, Style::success),
                                                 milliseconds(1500)};
                            }
                            return std::pair{Phase::message(result.text,
                                                            *result.fallbackReason +
                                                                " Transcribed on this computer instead.",
                                                            Style::success),
                                             milliseconds(5000)};
                        },
                        [&](const InsertionOutcome::CopiedToClipboard& copied) -> Result {
                            return std::pair{Phase::message(result.text,
                                                            "Copied. Press " + std::string(pasteShortcut) +
                                                                " to paste. " + copied.reason + ".",
                                                            Style::info),
                                             milliseconds(5000)};
                        },
                        [&](const InsertionOutcome::Skipped& skipped) -> Result {
                            return std::pair{Phase::message(result.text, skipped.reason, Style::info),
                                             milliseconds(4000)};
                        },
                    },
                    result.outcome.value);
            },
            [](const DictationOutcome::Failed& failed) -> Result {
                if (auto shorter = shortForm(failed.failure)) {
                    return std::pair{std::move(*shorter), milliseconds(6000)};
                }
                if (std::holds_alternative<DictationFailure::MicrophoneSilent>(failed.failure.value())) {
                    return std::pair{
                        Phase::message(failed.failure.description(),
                                       "Quit and reopen Parlindo. Still silent? Check that the microphone "
                                       "isn't muted in your sound settings.",
                                       Style::warning),
                        milliseconds(6000)};
                }
                return std::pair{Phase::message(failed.failure.description(), std::nullopt, Style::warning),
                                 milliseconds(4000)};
            },
            [](const DictationOutcome::NoSpeech&) -> Result {
                return std::pair{Phase::message("No speech detected", std::nullopt, Style::info),
                                 milliseconds(1500)};
            },
            [](const DictationOutcome::Cancelled&) -> Result { return std::nullopt; },
        },
        outcome.value);
}

Task<void> HUDModel::followDictation(std::weak_ptr<HUDModel> weak) {
    using Pair = std::pair<DictationState, std::optional<DictationEvent>>;
    std::optional<Observations<Pair>> pairs;
    if (auto model = weak.lock()) {
        Source& source = model->source_;
        pairs.emplace(
            [&source] {
                return Pair{source.state.get(), source.lastEvent.get()};
            },
            source.state, source.lastEvent);
    }
    while (pairs) {
        const auto pair = co_await pairs->next();
        auto model = weak.lock();
        if (!pair || !model) {
            co_return;
        }
        model->handle(pair->first, pair->second);
    }
}

void HUDModel::handle(const DictationState& state, const std::optional<DictationEvent>& event) {
    if (event && event->id != lastEventID_) {
        lastEventID_ = event->id;
        show(event->outcome);
        return;
    }
    if (std::holds_alternative<DictationState::Recording>(state.value)) {
        levels_.set(std::vector<float>(levelHistoryLength, 0.0f));
        language_.set(source_.recordingLanguage.get());
        present(Phase::listening());
    } else if (std::holds_alternative<DictationState::Transcribing>(state.value) ||
               std::holds_alternative<DictationState::Inserting>(state.value)) {
        present(Phase::transcribing());
    }
}

void HUDModel::show(const DictationOutcome& outcome) {
    if (auto shown = presentation(outcome)) {
        present(std::move(shown->first), shown->second);
    } else {
        dismiss();
    }
}

void HUDModel::present(Phase phase, std::optional<Duration> displayTime) {
    if (hideTask_) {
        hideTask_->cancel();
    }
    phase_.set(std::move(phase));
    panel().present();
    if (displayTime) {
        replaceHideTask(after(weak_from_this(), *displayTime, &HUDModel::dismiss));
    }
}

void HUDModel::dismiss() {
    if (hideTask_) {
        hideTask_->cancel();
    }
    phase_.set(Phase::hidden());
    replaceHideTask(after(weak_from_this(), orderOutDelay, &HUDModel::orderOut));
}

HUDPanel& HUDModel::panel() {
    if (!panel_) {
        panel_ = makePanel_(*this);
    }
    return *panel_;
}

void HUDModel::replaceHideTask(Task<void> task) {
    hideTask_ = System::Concurrency::spawn(mainActor_, std::move(task));
}

Task<void> HUDModel::after(std::weak_ptr<HUDModel> weak, Duration delay, void (HUDModel::*action)()) {
    try {
        co_await System::Concurrency::sleep(delay);
    } catch (const CancellationError&) {
        co_return;
    }
    // The sleep may have ended just before a cancellation that has not been handled yet.
    const bool cancelled = co_await System::Concurrency::isCancelled();
    if (auto model = weak.lock(); model && !cancelled) {
        ((*model).*action)();
    }
}

void HUDModel::orderOut() {
    panel().orderOut();
}

Task<void> HUDModel::followInputLevel(std::weak_ptr<HUDModel> weak) {
    std::optional<Observations<float>> levels;
    if (auto model = weak.lock()) {
        Source& source = model->source_;
        levels.emplace([&source] { return source.inputLevel.get(); }, source.inputLevel);
    }
    while (levels) {
        const auto level = co_await levels->next();
        auto model = weak.lock();
        if (!level || !model) {
            co_return;
        }
        if (!std::holds_alternative<Phase::Listening>(model->phase_.get().value)) {
            continue;
        }
        model->levels_.modify([&](std::vector<float>& history) {
            history.erase(history.begin());
            history.push_back(normalizedLevel(*level));
        });
    }
}

} // namespace Parlindo
