#include "AppModelFixture.h"

#include <stdexcept>

using namespace Parlindo;
using namespace Parlindo::Testing;
using UpdateStatus = AppModel::UpdateStatus;
using VersionInfo = TessarinCloudService::VersionInfo;

TEST_F(AppModelTest, TheVersionIsCheckedAtLaunchAndEveryTwelveHours) {
    grantAll();
    notFirstRun();
    services.cloud->version.willReturn(VersionInfo{"1.3.0", "1.0.0", "https://parlindo.invalid/download"});
    services.cloud->version.willReturn(VersionInfo{"1.4.0", "1.3.0", std::nullopt});
    launch();
    EXPECT_EQ(services.cloud->version.calls(), 1);
    EXPECT_EQ(model->update().get(), UpdateStatus::available("1.3.0", "https://parlindo.invalid/download"));

    executor.advance(twelveHours - ms(1));
    EXPECT_EQ(services.cloud->version.calls(), 1);
    executor.advance(ms(1));
    EXPECT_EQ(services.cloud->version.calls(), 2);
    EXPECT_EQ(model->update().get(), UpdateStatus::required("1.4.0", std::nullopt));

    // The server lowered its numbers: back to up to date.
    executor.advance(twelveHours);
    EXPECT_EQ(services.cloud->version.calls(), 3);
    EXPECT_EQ(model->update().get(), UpdateStatus::upToDate());
}

TEST_F(AppModelTest, TheNextCheckComesTwelveHoursAfterTheLastOneEnded) {
    services.cloud->version.hold();
    build();
    executor.runUntilIdle();
    executor.advance(Duration::seconds(std::int64_t{30}));
    services.cloud->version.release();
    executor.runUntilIdle();
    executor.advance(twelveHours - ms(1));
    EXPECT_EQ(services.cloud->version.calls(), 1);
    executor.advance(ms(1));
    EXPECT_EQ(services.cloud->version.calls(), 2);
}

TEST_F(AppModelTest, TheVersionDecisionCarriesTheLatestVersion) {
    struct Case {
        VersionInfo info;
        UpdateStatus expected;
    };
    const std::vector<Case> cases{
        {{"1.3", "1.3", "https://x.invalid/d"}, UpdateStatus::required("1.3", "https://x.invalid/d")},
        {{"2.0", "1.2.1", std::nullopt}, UpdateStatus::required("2.0", std::nullopt)},
        {{"1.2.1", "1.0", std::nullopt}, UpdateStatus::available("1.2.1", std::nullopt)},
        {{"1.2", "1.2", std::nullopt}, UpdateStatus::upToDate()},
        {{"1.1", "0.9", std::nullopt}, UpdateStatus::upToDate()},
    };
    build();
    executor.runUntilIdle();
    for (const auto& c : cases) {
        services.cloud->version.willReturn(c.info);
        executor.advance(twelveHours);
        EXPECT_EQ(model->update().get(), c.expected) << c.info.latest << " / " << c.info.minimum;
    }
}

TEST_F(AppModelTest, AFailedCheckIsLoggedAndKeepsWhatWasKnown) {
    services.cloud->version.willReturn(VersionInfo{"1.3.0", "1.0.0", std::nullopt});
    services.cloud->version.willThrow(std::runtime_error("The Internet connection appears to be offline."));
    build();
    executor.runUntilIdle();
    executor.advance(twelveHours);
    EXPECT_EQ(model->update().get(), UpdateStatus::available("1.3.0", std::nullopt));
    EXPECT_TRUE(logged("Update check failed: The Internet connection appears to be offline."));
    EXPECT_EQ(services.cloud->version.calls(), 2);
}

TEST_F(AppModelTest, OpeningTheDownloadPageNeedsAnAddress) {
    build();
    executor.runUntilIdle();
    model->openDownloadPage();
    EXPECT_TRUE(desktop->opened.empty());

    services.cloud->version.willReturn(VersionInfo{"1.3", "1.0", std::nullopt});
    services.cloud->version.willReturn(VersionInfo{"1.3", "1.3", "https://parlindo.invalid/download"});
    executor.advance(twelveHours);
    model->openDownloadPage();
    EXPECT_TRUE(desktop->opened.empty());
    executor.advance(twelveHours);
    model->openDownloadPage();
    EXPECT_EQ(desktop->opened, std::vector<std::string>{"https://parlindo.invalid/download"});
}

namespace {

std::string feedOffering(const std::string& version) {
    return "<rss version=\"2.0\"><channel><item><title>Parlindo " + version + "</title><version>" + version +
           "</version><link>https://parlindo.invalid/feed/" + version + "</link></item></channel></rss>";
}

// What the cloud server and the update feed answer at launch (a server that fails or isn't there answers
// nothing), and the update status the two answers make.
struct UpdateAnswers {
    std::string name;
    bool hasServer;
    std::optional<VersionInfo> server;
    std::optional<std::string> feed;
    UpdateStatus expected;
};

void PrintTo(const UpdateAnswers& answers, std::ostream* out) {
    *out << answers.name;
}

class UpdateAnswersTest : public AppModelTest, public testing::WithParamInterface<UpdateAnswers> {};

TEST_P(UpdateAnswersTest, TheServerAndTheFeedMakeOneUpdateStatus) {
    const UpdateAnswers& c = GetParam();
    System::Bundle::Bundle::InfoDictionary info{
        {"CFBundleShortVersionString", "1.2.0"},
        {"TessarinAPIURL", c.hasServer ? "https://api.parlindo.invalid/" : ""}};
    if (c.feed) {
        info["TessarinAppcastURL"] = "https://updates.parlindo.invalid/appcast.xml";
        services.updateFeed = *c.feed;
    }
    bundle = System::Bundle::Bundle(info, "/opt/parlindo/bin/parlindo");
    if (c.server) {
        services.cloud->version.willReturn(*c.server);
    } else {
        services.cloud->version.willThrow(
            std::runtime_error("The Internet connection appears to be offline."));
    }
    build();
    EXPECT_EQ(model->update().get(),
              c.hasServer || c.feed ? UpdateStatus::notChecked() : UpdateStatus::notSetUp())
        << "before any check";
    executor.runUntilIdle();
    EXPECT_EQ(model->update().get(), c.expected);
}

const std::string emptyFeed = "<rss version=\"2.0\"><channel/></rss>";
const std::optional<VersionInfo> serverFails;
const VersionInfo serverUpToDate{"1.2.0", "1.0", std::nullopt};

INSTANTIATE_TEST_SUITE_P(
    Answers, UpdateAnswersTest,
    testing::Values(
        UpdateAnswers{"NothingToAsk", false, serverFails, std::nullopt, UpdateStatus::notSetUp()},
        UpdateAnswers{"TheServerFailed", true, serverFails, std::nullopt, UpdateStatus::notChecked()},
        UpdateAnswers{"TheServerIsUpToDate", true, serverUpToDate, std::nullopt, UpdateStatus::upToDate()},
        UpdateAnswers{"TheServerFailedAndTheFeedKnowsNothingNewer", true, serverFails, emptyFeed,
                      UpdateStatus::upToDate()},
        UpdateAnswers{"OnlyAFeedWithAnOlderRelease", false, serverFails, feedOffering("1.1.9"),
                      UpdateStatus::upToDate()},
        UpdateAnswers{"OnlyAFeedWithANewerRelease", false, serverFails, feedOffering("1.3.0"),
                      UpdateStatus::available("1.3.0", "https://parlindo.invalid/feed/1.3.0")},
        UpdateAnswers{"TheFeedKnowsANewerReleaseThanTheServer", true, serverUpToDate, feedOffering("1.3.0"),
                      UpdateStatus::available("1.3.0", "https://parlindo.invalid/feed/1.3.0")},
        UpdateAnswers{"TheServerKnowsANewerReleaseThanTheFeed", true,
                      VersionInfo{"1.10", "1.0", "https://parlindo.invalid/download"}, feedOffering("1.9"),
                      UpdateStatus::available("1.10", "https://parlindo.invalid/download")},
        UpdateAnswers{"TheSameReleaseKeepsTheServersPage", true,
                      VersionInfo{"1.3.0", "1.0", "https://parlindo.invalid/download"}, feedOffering("1.3"),
                      UpdateStatus::available("1.3.0", "https://parlindo.invalid/download")},
        UpdateAnswers{"ARequiredUpdateStandsOverANewerRelease", true, VersionInfo{"2.0", "2.0", std::nullopt},
                      feedOffering("2.1"), UpdateStatus::required("2.0", std::nullopt)}),
    [](const testing::TestParamInfo<UpdateAnswers>& info) { return info.param.name; });

} // namespace

TEST_F(AppModelTest, ResultLogLinesAreExact) {
    struct Case {
        DictationResult result;
        std::string line;
    };
    const auto result = [](EngineID engine, std::optional<std::string> language, Duration releaseToText,
                           std::string text) {
        DictationResult r;
        r.text = std::move(text);
        r.transcript = Transcript{r.text, std::move(language), engine};
        r.metrics =
            DictationMetrics{ms(812), ms(900), ms(640), Duration::microseconds(431'500), releaseToText};
        return r;
    };
    const std::vector<Case> cases{
        {result(EngineID::appleSpeech, "en", Duration::microseconds(62'500), "Hello there."),
         "[Tessarin] appleSpeech release\u2192text 63 ms (engine 432 ms, speech 640 ms, hold 812 ms, lang "
         "en): "
         "Hello there.\n"},
        {result(EngineID::openAI, std::nullopt, Duration::microseconds(62'400), "Hi"),
         "[Tessarin] cloud release\u2192text 62 ms (engine 432 ms, speech 640 ms, hold 812 ms, lang ?): "
         "Hi\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AppModel::resultLogLine(c.result), c.line);
    }
}

TEST_F(AppModelTest, EveryTranscribedDictationPrintsOneLineAndNothingElseDoes) {
    grantAll();
    notFirstRun();
    launch();
    EXPECT_EQ(output, "");

    dictate();
    const auto& result = model->coordinator()->lastResult().get();
    ASSERT_TRUE(result);
    EXPECT_EQ(output, AppModel::resultLogLine(*result));
    EXPECT_EQ(output.rfind("[Tessarin] appleSpeech release\u2192text ", 0), 0u);
    EXPECT_NE(output.find("): hello world\n"), std::string::npos);

    // A dictation cut short leaves the last result as it was: nothing new is printed.
    const std::string before = output;
    const auto eventsBefore = model->coordinator()->lastEvent().get()->id;
    press();
    release();
    executor.advance(ms(200));
    EXPECT_EQ(model->coordinator()->lastEvent().get()->id, eventsBefore + 1);
    EXPECT_EQ(output, before);
}

TEST_F(AppModelTest, TheCloudAccountIsMirroredAfterEveryDictationWithoutARequest) {
    grantAll();
    notFirstRun();
    DictationSettings settings = SettingsStore::defaultSettings();
    settings.engines = {EngineID::appleSpeech, EngineID::appleSpeech, EngineID::appleSpeech};
    SettingsStore("dictationSettings", defaults).save(settings);
    launch();
    EXPECT_EQ(model->cloudMinutesLeft().get(), std::nullopt);

    services.cloud->storedSupportID = "device-3";
    services.cloud->knownMinutesLeft = 77;
    services.cloud->blocked = true;
    dictate();
    EXPECT_EQ(model->supportID().get(), "device-3");
    EXPECT_EQ(model->cloudMinutesLeft().get(), 77);
    EXPECT_TRUE(model->cloudBlocked().get());
    EXPECT_EQ(services.cloud->account.calls(), 0);

    // A cancelled dictation publishes an event too; unchanged figures notify nobody.
    int notified = 0;
    auto subscription = model->cloudMinutesLeft().observe([&](const auto&) { ++notified; });
    const auto eventsBefore = model->coordinator()->lastEvent().get()->id;
    press();
    release();
    executor.advance(ms(200));
    EXPECT_EQ(model->coordinator()->lastEvent().get()->id, eventsBefore + 1);
    EXPECT_EQ(notified, 0);
    services.cloud->knownMinutesLeft = 76;
    dictate();
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(model->cloudMinutesLeft().get(), 76);
}
