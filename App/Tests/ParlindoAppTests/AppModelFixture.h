#pragma once

#include "App/AppModel.h"
#include "FakeAppServices.h"
#include "System/Concurrency/ManualExecutor.h"
#include "System/Log/Logger.h"
#include "System/Pasteboard/MemoryPasteboard.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <algorithm>
#include <string>
#include <vector>

namespace Parlindo::Testing {

using namespace TessarinCore;
using System::Concurrency::ManualExecutor;
using Status = System::LoginItem::Status;

inline Duration ms(std::int64_t count) {
    return Duration::milliseconds(count);
}

inline const auto twelveHours = Duration::seconds(std::int64_t{12 * 60 * 60});

// Samples alternating between +level and -level, so every frame has exactly that RMS level.
inline std::vector<float> tone(Duration length, float level) {
    std::vector<float> samples(
        static_cast<std::size_t>(length.milliseconds() * AudioClip::sampleRate / 1000));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = i % 2 == 0 ? level : -level;
    }
    return samples;
}

// Half a second of clear speech between half-second stretches of room noise.
inline std::vector<float> clearSpeech() {
    std::vector<float> all = tone(ms(500), 0.001f);
    const auto speech = tone(ms(500), 0.2f);
    all.insert(all.end(), speech.begin(), speech.end());
    const auto after = tone(ms(500), 0.001f);
    all.insert(all.end(), after.begin(), after.end());
    return all;
}

class NullPanel final : public HUDPanel {
public:
    void present() override {}
    void orderOut() override {}
};

// An application model on fakes of every service, on a manual executor. Nothing runs until the test lets the
// executor run.
class AppModelTest : public testing::Test {
protected:
    void SetUp() override {
        System::Log::setPrivateLoggingEnabled(false);
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale("en_US"), status);
    }

    // Whatever a test left waiting is let go, so every task ends before the executor goes.
    void TearDown() override {
        for (auto* engine : {services.appleSpeech.get(), services.cloud->transcriber.get()}) {
            engine->preparing.release();
            engine->finishing.release();
        }
        services.permissions->reading.release();
        services.permissions->requesting.release();
        services.recorder->preparing.release();
        services.inserter->inserting.release();
        services.cloud->account.release();
        services.cloud->version.release();
        executor.runUntilIdle();
        if (model) {
            model->coordinator()->stop();
            executor.runUntilIdle();
        }
        model.reset();
        executor.runUntilIdle();
    }

    AppEnvironment environment() {
        return AppEnvironment{executor,
                              bundle,
                              defaults,
                              "/home/user/.local/share",
                              desktop,
                              application,
                              pasteboard,
                              [](HUDModel&) { return std::make_unique<NullPanel>(); },
                              [this](std::string_view line) { output += line; }};
    }

    // Builds the model; its tasks have not run yet.
    void build() { model = AppModel::create(environment(), services); }
    // Builds the model and runs its launch to the end.
    void launch() {
        build();
        executor.runUntilIdle();
    }

    void grantAll() {
        services.permissions->statuses = {{Permission::microphone, PermissionStatus::granted},
                                          {Permission::inputMonitoring, PermissionStatus::granted},
                                          {Permission::postEvents, PermissionStatus::granted}};
    }
    // A run after the first: open at login was set up and points at this application.
    void notFirstRun() {
        defaults->set("openAtLoginSetUp", true);
        defaults->set("loginItemPointsAtParlindo", true);
    }

    std::vector<std::string> appLog() const { return logs.messages("App"); }
    bool logged(const std::string& line) const {
        const auto lines = appLog();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::map<Permission, PermissionStatus> permissionStatus() { return model->permissionStatus().get(); }
    std::optional<AppModel::EngineStatus> engineStatus(EngineID engine) {
        const auto& statuses = model->engineStatus().get();
        const auto found = statuses.find(engine);
        return found == statuses.end() ? std::nullopt : std::optional(found->second);
    }

    void press(const Hotkey& key = Hotkey::function()) {
        services.hotkeySource->press(key, executor.now());
        executor.runUntilIdle();
    }
    void release(const Hotkey& key = Hotkey::function()) {
        services.hotkeySource->release(key, executor.now());
        executor.runUntilIdle();
    }
    // Holds the key, speaks, releases and lets the release tail pass.
    void dictate(std::vector<float> samples = clearSpeech(), const Hotkey& key = Hotkey::function()) {
        press(key);
        services.recorder->speak(std::move(samples));
        executor.advance(ms(1500));
        release(key);
        executor.advance(ms(100));
    }

    System::Log::CaptureSink logs;
    ManualExecutor executor;
    FakeAppServices services{executor};
    System::Bundle::Bundle bundle{{{"CFBundleShortVersionString", "1.2.0"},
                                   {"TessarinAPIURL", "https://api.parlindo.invalid/"},
                                   {"TessarinAppcastURL", "https://updates.parlindo.invalid/appcast.xml"}},
                                  "/opt/parlindo/bin/parlindo"};
    std::shared_ptr<System::Defaults::UserDefaults> defaults =
        std::make_shared<System::Defaults::UserDefaults>();
    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    std::shared_ptr<FakeApplicationControl> application = std::make_shared<FakeApplicationControl>();
    std::shared_ptr<System::Pasteboard::MemoryPasteboard> pasteboard =
        std::make_shared<System::Pasteboard::MemoryPasteboard>();
    std::string output;
    std::shared_ptr<AppModel> model;
};

} // namespace Parlindo::Testing
