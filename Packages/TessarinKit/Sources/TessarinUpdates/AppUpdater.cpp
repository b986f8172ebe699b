#include "TessarinUpdates/AppUpdater.h"

#include "System/Log/ErrorDescription.h"
#include "System/Log/Logger.h"
#include "TessarinCore/Domain/Version.h"
#include "TessarinUpdates/Appcast.h"

namespace TessarinUpdates {

using System::Concurrency::CancellationError;
using System::Concurrency::Task;
using System::Log::Public;

namespace {
const System::Log::Logger logger{"com.tessarin.Tessarin", "Updates"};
}

struct AppUpdater::State {
    System::Concurrency::Executor& mainActor;
    Configuration configuration;
    std::shared_ptr<FeedLoading> loader;
    std::shared_ptr<UpdateUserDriver> userDriver;
    Host host;
    std::function<void(const std::optional<AppcastItem>&)> checked;
    bool checking = false;
    // The running check answers the user: it was asked for, or asked for while it ran.
    bool userInitiated = false;
    bool stopped = false;
    System::Concurrency::TaskHandle<void> scheduled;
};

AppUpdater::AppUpdater(System::Concurrency::Executor& mainActor, Configuration configuration,
                       std::shared_ptr<FeedLoading> loader, std::shared_ptr<UpdateUserDriver> userDriver,
                       Host host)
    : state_(std::make_shared<State>(State{mainActor, std::move(configuration), std::move(loader),
                                           std::move(userDriver), std::move(host)})) {
    state_->scheduled = System::Concurrency::spawn(mainActor, checkPeriodically(state_));
}

AppUpdater::~AppUpdater() {
    state_->stopped = true;
    state_->scheduled.cancel();
}

void AppUpdater::checkForUpdates() {
    if (state_->host.activateApplication) {
        state_->host.activateApplication();
    }
    state_->userInitiated = true;
    if (!state_->checking) {
        state_->checking = true;
        System::Concurrency::spawn(state_->mainActor, check(state_));
    }
}

bool AppUpdater::canCheckForUpdates() const {
    return !state_->checking;
}

void AppUpdater::onChecked(std::function<void(const std::optional<AppcastItem>& newer)> observer) {
    state_->checked = std::move(observer);
}

Task<void> AppUpdater::checkPeriodically(std::shared_ptr<State> state) {
    while (!co_await System::Concurrency::isCancelled()) {
        if (!state->checking) {
            state->checking = true;
            co_await check(state);
        }
        try {
            co_await System::Concurrency::sleep(state->configuration.checkInterval);
        } catch (const CancellationError&) {
        }
    }
}

Task<void> AppUpdater::check(std::shared_ptr<State> state) {
    // The newest release of the feed, kept only when it is newer than the running version.
    std::optional<AppcastItem> newer;
    std::optional<std::string> failure;
    try {
        const std::string document = co_await state->loader->load(state->configuration.feedAddress);
        newer = newestItem(parseAppcast(document));
    } catch (...) {
        failure = System::Log::errorDescription(std::current_exception());
    }
    const bool userInitiated = std::exchange(state->userInitiated, false);
    state->checking = false;
    if (state->stopped) {
        co_return;
    }
    const std::string& current = state->configuration.currentVersion;
    if (newer && !TessarinCore::isVersion(current, newer->version)) {
        newer.reset();
    }
    if (!failure && state->checked) {
        state->checked(newer);
    }
    if (failure) {
        logger.error("Update check failed: {}", Public(*failure));
        if (userInitiated) {
            state->userDriver->showUpdateError(*failure);
        }
    } else if (newer) {
        logger.info("Version {} is available (running {})", Public(newer->version), Public(current));
        // The window comes up over whatever the user is doing, so the application comes forward with it.
        state->mainActor.post([state] {
            if (!state->stopped && state->host.activateApplication) {
                state->host.activateApplication();
            }
        });
        state->userDriver->showUpdateFound(
            *newer, current, userInitiated,
            // Holds only what it needs: the driver may keep it, and the updater keeps the driver.
            [openURL = state->host.openURL, page = newer->downloadPage](UpdateUserDriver::Choice choice) {
                if (choice == UpdateUserDriver::Choice::download && openURL) {
                    openURL(page);
                }
            });
    } else {
        logger.info("No newer version than {}", Public(current));
        if (userInitiated) {
            state->userDriver->showUpToDate(current);
        }
    }
}

} // namespace TessarinUpdates
