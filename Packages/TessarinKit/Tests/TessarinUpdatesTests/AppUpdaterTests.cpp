#include "System/Concurrency/ManualExecutor.h"
#include "System/Log/Logger.h"
#include "TessarinUpdates/AppUpdater.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

using namespace TessarinUpdates;
using System::Concurrency::Continuation;
using System::Concurrency::Duration;
using System::Concurrency::ManualExecutor;
using System::Concurrency::Task;

namespace {

const auto day = Duration::seconds(std::int64_t{24 * 60 * 60});

std::string feedOffering(const std::string& version) {
    return "<rss version=\"2.0\"><channel><item><title>Parlindo " + version + "</title><version>" + version +
           "</version><link>https://parlindo.invalid/download/" + version + "</link></item></channel></rss>";
}

// Answers each load with the next queued answer (a document or an error), or holds the load until the test
// answers it when nothing is queued.
class FakeFeedLoader final : public FeedLoading {
public:
    struct Answer {
        std::string document;
        std::optional<std::string> error;
    };

    Task<std::string> load(std::string address) override {
        addresses.push_back(address);
        if (answers.empty()) {
            co_return co_await System::Concurrency::withContinuation<std::string>(
                [this](Continuation<std::string> continuation) { held.push_back(continuation); });
        }
        const Answer answer = answers.front();
        answers.pop_front();
        if (answer.error) {
            throw std::runtime_error(*answer.error);
        }
        co_return answer.document;
    }

    std::deque<Answer> answers;
    std::vector<Continuation<std::string>> held;
    std::vector<std::string> addresses;
};

class FakeUserDriver final : public UpdateUserDriver {
public:
    void showUpdateFound(const AppcastItem& item, const std::string& currentVersion, bool userInitiated,
                         std::function<void(Choice)> reply) override {
        shown.push_back("found " + item.version + " over " + currentVersion +
                        (userInitiated ? " (asked)" : " (scheduled)"));
        this->reply = std::move(reply);
    }
    void showUpToDate(const std::string& currentVersion) override {
        shown.push_back("up to date " + currentVersion);
    }
    void showUpdateError(const std::string& message) override { shown.push_back("error " + message); }

    std::vector<std::string> shown;
    std::function<void(Choice)> reply;
};

class AppUpdaterTest : public testing::Test {
protected:
    std::unique_ptr<AppUpdater> makeUpdater() {
        return std::make_unique<AppUpdater>(
            executor, AppUpdater::Configuration{"https://updates.parlindo.invalid/appcast.xml", "1.2.0", day},
            loader, driver,
            AppUpdater::Host{[this] { host.push_back("activate"); },
                             [this](const std::string& address) { host.push_back("open " + address); }});
    }
    void TearDown() override {
        updater.reset();
        for (const auto& held : loader->held) {
            held.resume(feedOffering("1.0"));
        }
        executor.runUntilIdle();
    }

    ManualExecutor executor;
    std::shared_ptr<FakeFeedLoader> loader = std::make_shared<FakeFeedLoader>();
    std::shared_ptr<FakeUserDriver> driver = std::make_shared<FakeUserDriver>();
    std::vector<std::string> host;
    std::unique_ptr<AppUpdater> updater;
    System::Log::CaptureSink log;
};

} // namespace

TEST_F(AppUpdaterTest, AScheduledCheckAtStartShowsANewerReleaseAndBringsTheApplicationForward) {
    loader->answers.push_back({feedOffering("1.3.0")});
    updater = makeUpdater();
    executor.runUntilIdle();

    EXPECT_EQ(loader->addresses, std::vector<std::string>{"https://updates.parlindo.invalid/appcast.xml"});
    EXPECT_EQ(driver->shown, std::vector<std::string>{"found 1.3.0 over 1.2.0 (scheduled)"});
    EXPECT_EQ(host, std::vector<std::string>{"activate"});

    driver->reply(UpdateUserDriver::Choice::download);
    EXPECT_EQ(host.back(), "open https://parlindo.invalid/download/1.3.0");
}

TEST_F(AppUpdaterTest, DismissingOpensNothing) {
    loader->answers.push_back({feedOffering("1.3.0")});
    updater = makeUpdater();
    executor.runUntilIdle();
    driver->reply(UpdateUserDriver::Choice::dismiss);
    EXPECT_EQ(host, std::vector<std::string>{"activate"});
}

TEST_F(AppUpdaterTest, ScheduledChecksStayQuietWhenNothingIsNewOrTheFeedFailsAndRepeatDaily) {
    loader->answers.push_back({feedOffering("1.2")});
    loader->answers.push_back({"", "The update feed answered 503 (Service Unavailable)."});
    loader->answers.push_back({feedOffering("1.2.1")});
    updater = makeUpdater();
    executor.runUntilIdle();
    EXPECT_EQ(loader->addresses.size(), 1u);

    executor.advance(day - Duration::seconds(std::int64_t{1}));
    EXPECT_EQ(loader->addresses.size(), 1u);
    executor.advance(Duration::seconds(std::int64_t{1}));
    EXPECT_EQ(loader->addresses.size(), 2u);
    EXPECT_TRUE(driver->shown.empty());
    EXPECT_EQ(log.messages("Updates").back(),
              "Update check failed: The update feed answered 503 (Service Unavailable).");

    executor.advance(day);
    EXPECT_EQ(driver->shown, std::vector<std::string>{"found 1.2.1 over 1.2.0 (scheduled)"});
}

TEST_F(AppUpdaterTest, ACheckTheUserAsksForActivatesFirstAndAlwaysAnswers) {
    loader->answers.push_back({feedOffering("1.0")});
    updater = makeUpdater();
    executor.runUntilIdle();

    updater->checkForUpdates();
    EXPECT_EQ(host, std::vector<std::string>{"activate"});
    EXPECT_FALSE(updater->canCheckForUpdates());
    executor.runUntilIdle();
    ASSERT_EQ(loader->held.size(), 1u);
    loader->held[0].resume(feedOffering("1.1.9"));
    executor.runUntilIdle();
    EXPECT_TRUE(updater->canCheckForUpdates());
    EXPECT_EQ(driver->shown, std::vector<std::string>{"up to date 1.2.0"});

    loader->answers.push_back({"", "The update feed answered 404 (Not Found)."});
    updater->checkForUpdates();
    executor.runUntilIdle();
    EXPECT_EQ(driver->shown.back(), "error The update feed answered 404 (Not Found).");

    loader->answers.push_back({"<html/>"});
    updater->checkForUpdates();
    executor.runUntilIdle();
    EXPECT_EQ(driver->shown.back(), "error The update feed isn't an RSS feed.");

    loader->answers.push_back({feedOffering("2.0")});
    updater->checkForUpdates();
    executor.runUntilIdle();
    EXPECT_EQ(driver->shown.back(), "found 2.0 over 1.2.0 (asked)");
}

TEST_F(AppUpdaterTest, AskingDuringAScheduledCheckShowsThatCheckOutcome) {
    updater = makeUpdater();
    executor.runUntilIdle();
    ASSERT_EQ(loader->held.size(), 1u);

    updater->checkForUpdates();
    executor.runUntilIdle();
    EXPECT_EQ(loader->addresses.size(), 1u);

    loader->held[0].resume(feedOffering("1.2.0"));
    loader->held.clear();
    executor.runUntilIdle();
    EXPECT_EQ(driver->shown, std::vector<std::string>{"up to date 1.2.0"});
}

TEST_F(AppUpdaterTest, ACheckStillInFlightWhenTheUpdaterGoesAwayTellsNoOne) {
    updater = makeUpdater();
    executor.runUntilIdle();
    updater.reset();
    loader->held[0].resume(feedOffering("9.0"));
    loader->held.clear();
    executor.runUntilIdle();
    executor.advance(day * 3);
    EXPECT_TRUE(driver->shown.empty());
    EXPECT_EQ(loader->addresses.size(), 1u);
}

TEST_F(AppUpdaterTest, EveryCheckThatReadTheFeedTellsItsAnswerAndAFailedOneTellsNothing) {
    loader->answers.push_back({feedOffering("1.2.0")});
    loader->answers.push_back({"", "The update feed answered 503 (Service Unavailable)."});
    loader->answers.push_back({feedOffering("1.10")});
    loader->answers.push_back({feedOffering("1.1.9")});
    std::vector<std::optional<AppcastItem>> answers;
    updater = makeUpdater();
    updater->onChecked([&](const std::optional<AppcastItem>& newer) { answers.push_back(newer); });
    executor.runUntilIdle();
    EXPECT_EQ(answers, std::vector<std::optional<AppcastItem>>{std::nullopt})
        << "the same version is no newer";

    executor.advance(day);
    EXPECT_EQ(answers.size(), 1u) << "a failed check";

    updater->checkForUpdates();
    executor.runUntilIdle();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1], (AppcastItem{"Parlindo 1.10", "1.10", "https://parlindo.invalid/download/1.10"}));

    executor.advance(day);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[2], std::nullopt) << "an older release";
}
