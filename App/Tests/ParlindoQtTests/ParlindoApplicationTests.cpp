#include "App/Qt/ParlindoApplication.h"

#include "WindowTest.h"

#include <cstdlib>

namespace Parlindo::Testing {
namespace {

class ParlindoApplicationTest : public WindowTest {
protected:
    // The application owns the model here: it goes after the model's tasks have stopped.
    void closeWindows() override {
        if (model) {
            model->coordinator()->stop();
            executor.runUntilIdle();
            model.reset();
        }
        application.reset();
    }

    // The application over the fixture's fakes; its model's tasks have not run yet.
    void make() {
        application = std::make_unique<ParlindoApplication>(
            executor,
            ApplicationSurroundings{bundle, defaults, "/home/user/.local/share", desktop, pasteboard,
                                    [this](std::string_view line) { output += line; }},
            services);
        model = std::shared_ptr<AppModel>(&application->model(), [](AppModel*) {});
    }

    std::unique_ptr<ParlindoApplication> application;
};

TEST_F(ParlindoApplicationTest, WithATrayNoWindowOpensWhileEverythingIsInPlace) {
    grantAll();
    notFirstRun();
    make();
    application->start(true);
    settle();
    ASSERT_NE(application->tray(), nullptr);
    EXPECT_EQ(application->setupWindow(), nullptr);
    EXPECT_EQ(application->settingsWindow(), nullptr);
}

TEST_F(ParlindoApplicationTest, TheSetupWindowOpensByItselfEachTimeSetupBecomesNeeded) {
    grantAll();
    notFirstRun();
    make();
    application->start(true);
    settle();
    ASSERT_EQ(application->setupWindow(), nullptr);

    auto readPermissions = [&](PermissionStatus microphone) {
        services.permissions->statuses[Permission::microphone] = microphone;
        System::Concurrency::spawn(executor, model->refreshPermissions());
        settle();
    };
    readPermissions(PermissionStatus::denied);
    ASSERT_NE(application->setupWindow(), nullptr);
    EXPECT_TRUE(application->setupWindow()->isVisible());

    // Closed by the user, it stays closed while setup is still needed, and opens again the next time.
    application->setupWindow()->close();
    readPermissions(PermissionStatus::denied);
    EXPECT_FALSE(application->setupWindow()->isVisible());
    readPermissions(PermissionStatus::granted);
    EXPECT_FALSE(application->setupWindow()->isVisible());
    readPermissions(PermissionStatus::denied);
    EXPECT_TRUE(application->setupWindow()->isVisible());
}

TEST_F(ParlindoApplicationTest, WithoutATrayTheSettingsWindowOpensAtStart) {
    grantAll();
    notFirstRun();
    make();
    application->start(false);
    settle();
    ASSERT_NE(application->settingsWindow(), nullptr);
    EXPECT_TRUE(application->settingsWindow()->isVisible());
    EXPECT_EQ(application->tray(), nullptr);
}

TEST(ParlindoApplicationAddressTest, TheEnvironmentCanPointTheCloudAndTheUpdatesElsewhere) {
    const System::Bundle::Bundle built(
        {{"TessarinAPIURL", "https://api.parlindo.invalid/"},
         {"TessarinAppcastURL", "https://updates.parlindo.invalid/appcast.xml"},
         {"CFBundleShortVersionString", "1.0.0"}},
        "/opt/parlindo/bin/parlindo");
    unsetenv("PARLINDO_API_URL");
    unsetenv("PARLINDO_APPCAST_URL");
    EXPECT_EQ(ParlindoApplication::withAddressesFromEnvironment(built).infoDictionary(),
              built.infoDictionary());

    setenv("PARLINDO_API_URL", "http://127.0.0.1:8080/", 1);
    setenv("PARLINDO_APPCAST_URL", "", 1);
    const System::Bundle::Bundle local = ParlindoApplication::withAddressesFromEnvironment(built);
    unsetenv("PARLINDO_API_URL");
    unsetenv("PARLINDO_APPCAST_URL");
    EXPECT_EQ(local.object("TessarinAPIURL"), "http://127.0.0.1:8080/");
    EXPECT_EQ(local.object("TessarinAppcastURL"), "https://updates.parlindo.invalid/appcast.xml");
    EXPECT_EQ(local.object("CFBundleShortVersionString"), "1.0.0");
    EXPECT_EQ(local.executablePath(), "/opt/parlindo/bin/parlindo");
}

} // namespace
} // namespace Parlindo::Testing
