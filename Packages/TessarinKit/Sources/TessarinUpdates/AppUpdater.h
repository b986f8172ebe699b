#pragma once

#include "System/Concurrency/Duration.h"
#include "System/Concurrency/Executor.h"
#include "System/Concurrency/Task.h"
#include "TessarinUpdates/Appcast.h"
#include "TessarinUpdates/FeedLoading.h"
#include "TessarinUpdates/UpdateUserDriver.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace TessarinUpdates {

// The application's software update: it reads the update feed, compares the newest release with the running
// version and tells the user of a newer one; when the user wants it, it opens the release's download page.
// It installs nothing. Checks run on a schedule from construction on, and when the user asks. Lives on the
// main actor.
class AppUpdater {
public:
    struct Configuration {
        std::string feedAddress;
        std::string currentVersion;
        // Between scheduled checks; the first runs at construction.
        System::Concurrency::Duration checkInterval =
            System::Concurrency::Duration::seconds(std::int64_t{24 * 60 * 60});
    };
    // What the updater asks of the application around it.
    struct Host {
        std::function<void()> activateApplication;
        std::function<void(const std::string& address)> openURL;
    };

    // Starts the scheduled checks at once.
    AppUpdater(System::Concurrency::Executor& mainActor, Configuration configuration,
               std::shared_ptr<FeedLoading> loader, std::shared_ptr<UpdateUserDriver> userDriver, Host host);
    // Stops the scheduled checks; a check in flight ends without telling anyone.
    ~AppUpdater();
    AppUpdater(const AppUpdater&) = delete;
    AppUpdater& operator=(const AppUpdater&) = delete;

    // The user asked: brings the application to the front and checks now, telling the user the outcome
    // whatever it is. While a scheduled check runs, that check's outcome is shown instead of starting
    // another.
    void checkForUpdates();
    // False while a check runs.
    bool canCheckForUpdates() const;
    // Told the answer of every check that read the feed, scheduled or asked for: the newest release when it
    // is newer than the running version, nothing when none is. A check that failed tells it nothing.
    void onChecked(std::function<void(const std::optional<AppcastItem>& newer)> observer);

private:
    struct State;
    static System::Concurrency::Task<void> checkPeriodically(std::shared_ptr<State> state);
    static System::Concurrency::Task<void> check(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
};

} // namespace TessarinUpdates
