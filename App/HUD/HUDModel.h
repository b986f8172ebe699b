#pragma once

#include "System/Concurrency/Duration.h"
#include "System/Concurrency/Executor.h"
#include "System/Concurrency/Observed.h"
#include "System/Concurrency/Task.h"
#include "TessarinCore/Domain/Dictation.h"
#include "TessarinCore/UseCases/DictationCoordinator.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace Parlindo {

using System::Concurrency::Duration;

// The window that shows the dictation overlay; made by the user-interface toolkit.
class HUDPanel {
public:
    virtual ~HUDPanel() = default;
    // Places the panel on the screen under the mouse and shows it in front, without taking the focus.
    virtual void present() = 0;
    // Takes the panel off the screen.
    virtual void orderOut() = 0;
};

// Decides what the dictation overlay shows and for how long: a listening pill with a level meter while a key
// is held, a spinner while the speech is turned into text, then one message about the outcome that goes away
// by itself. It follows the coordinator's state, last event and input level and owns no dictation logic.
// Lives on the main actor.
class HUDModel : public std::enable_shared_from_this<HUDModel> {
public:
    enum class Style { success, info, warning };

    struct Phase {
        struct Message {
            std::string text;
            std::optional<std::string> detail;
            Style style = Style::info;
            bool operator==(const Message&) const = default;
        };
        struct Hidden {
            bool operator==(const Hidden&) const = default;
        };
        struct Listening {
            bool operator==(const Listening&) const = default;
        };
        struct Transcribing {
            bool operator==(const Transcribing&) const = default;
        };

        std::variant<Message, Hidden, Listening, Transcribing> value = Hidden{};

        static Phase message(std::string text, std::optional<std::string> detail, Style style) {
            return {Message{std::move(text), std::move(detail), style}};
        }
        static Phase hidden() { return {Hidden{}}; }
        static Phase listening() { return {Listening{}}; }
        static Phase transcribing() { return {Transcribing{}}; }

        bool operator==(const Phase&) const = default;
    };

    // What the model follows: the coordinator's observed properties, or stand-ins in tests.
    struct Source {
        System::Concurrency::ReadOnlyObserved<TessarinCore::DictationState> state;
        System::Concurrency::ReadOnlyObserved<std::optional<TessarinCore::DictationEvent>> lastEvent;
        System::Concurrency::ReadOnlyObserved<float> inputLevel;
        System::Concurrency::ReadOnlyObserved<std::optional<TessarinCore::DictationLanguage>> recordingLanguage;
        // Keeps the properties alive while the model follows them.
        std::shared_ptr<void> owner;

        static Source of(std::shared_ptr<TessarinCore::DictationCoordinator> coordinator);
    };

    // Makes the panel, the first time the model shows or hides something.
    using PanelFactory = std::function<std::unique_ptr<HUDPanel>(HUDModel&)>;

    // How a change of phase is animated: a spring.
    struct Spring {
        Duration response;
        double dampingFraction;
        Duration blendDuration;
    };
    static const Spring phaseAnimation;

    static constexpr std::size_t levelHistoryLength = 28;
    // Between hiding the pill and taking the panel off the screen, for the hiding animation.
    static const Duration orderOutDelay;

    // Starts following the dictation and then the input level, each in a main-actor task of its own that
    // ends when the model goes away.
    static std::shared_ptr<HUDModel> create(Source source, System::Concurrency::Executor& mainActor,
                                            PanelFactory makePanel);
    ~HUDModel();
    HUDModel(const HUDModel&) = delete;
    HUDModel& operator=(const HUDModel&) = delete;

    System::Concurrency::ReadOnlyObserved<Phase> phase() { return System::Concurrency::ReadOnlyObserved(phase_); }
    // The newest levels, oldest first, each 0 to 1; always levelHistoryLength entries.
    System::Concurrency::ReadOnlyObserved<std::vector<float>> levels() {
        return System::Concurrency::ReadOnlyObserved(levels_);
    }
    // The language of the recording in progress; never cleared.
    System::Concurrency::ReadOnlyObserved<std::optional<TessarinCore::DictationLanguage>> language() {
        return System::Concurrency::ReadOnlyObserved(language_);
    }

    // Shows `phase`; with a display time, hides it once that has passed.
    void present(Phase phase, std::optional<Duration> displayTime = std::nullopt);

    // An RMS input level on the meter's scale: -55 dBFS and below give 0, -10 dBFS and above give 1, linear
    // in decibels between.
    static float normalizedLevel(float level);
    // The message and display time of a finished dictation; nothing for a cancelled one, which hides the
    // pill.
    static std::optional<std::pair<Phase, Duration>>
    presentation(const TessarinCore::DictationOutcome& outcome);

private:
    HUDModel(Source source, System::Concurrency::Executor& mainActor, PanelFactory makePanel);

    static System::Concurrency::Task<void> followDictation(std::weak_ptr<HUDModel> weak);
    static System::Concurrency::Task<void> followInputLevel(std::weak_ptr<HUDModel> weak);
    // The pending delayed action: `action` once `delay` has passed, unless cancelled first.
    static System::Concurrency::Task<void> after(std::weak_ptr<HUDModel> weak, Duration delay,
                                                 void (HUDModel::*action)());

    void handle(const TessarinCore::DictationState& state,
                const std::optional<TessarinCore::DictationEvent>& event);
    void show(const TessarinCore::DictationOutcome& outcome);
    void dismiss();
    void orderOut();
    HUDPanel& panel();
    void replaceHideTask(System::Concurrency::Task<void> task);

    Source source_;
    System::Concurrency::Executor& mainActor_;
    PanelFactory makePanel_;
    System::Concurrency::Observed<Phase> phase_{Phase::hidden()};
    System::Concurrency::Observed<std::vector<float>> levels_{std::vector<float>(levelHistoryLength, 0.0f)};
    System::Concurrency::Observed<std::optional<TessarinCore::DictationLanguage>> language_;
    std::unique_ptr<HUDPanel> panel_;
    std::optional<System::Concurrency::TaskHandle<void>> hideTask_;
    std::optional<std::int64_t> lastEventID_;
    std::vector<System::Concurrency::TaskHandle<void>> followTasks_;
};

} // namespace Parlindo
