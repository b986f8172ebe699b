#include "App/Platform/LinuxAppServices.h"
#include "App/Platform/XdgDesktopServices.h"
#include "App/Qt/ParlindoApplication.h"
#include "App/Qt/QtMainExecutor.h"
#include "App/Qt/QtUpdateUserDriver.h"
#include "App/Startup/LibraryThreads.h"
#include "System/Pasteboard/X11Pasteboard.h"
#include "System/Paths/Paths.h"
#include "System/Workspace/X11InstanceClaim.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <cstdio>

int main(int argc, char** argv) {
    using namespace Parlindo;
    stopIdleLibraryThreads();
    QApplication qtApplication(argc, argv);
    // The class of every window of the program (WM_CLASS); the inserter never pastes into these.
    QApplication::setApplicationName(QStringLiteral("Parlindo"));
    QApplication::setDesktopFileName(QStringLiteral("parlindo"));

    // A second copy would watch the same keys and insert every dictation again (an autostarted copy and a
    // manual start do this): only one runs on a display.
    const System::Workspace::X11InstanceClaim instance("_PARLINDO_RUNNING");
    if (instance.result() == System::Workspace::X11InstanceClaim::Result::heldElsewhere) {
        const char* message = "Parlindo is already running";
        std::fprintf(stderr, "%s\n", message);
        const QString platform = QGuiApplication::platformName();
        if (platform != QStringLiteral("offscreen") && platform != QStringLiteral("minimal")) {
            QMessageBox::information(nullptr, QStringLiteral("Parlindo"), QString::fromUtf8(message));
        }
        return 0;
    }

    QtMainExecutor mainActor;
    const System::Bundle::Bundle bundle =
        ParlindoApplication::withAddressesFromEnvironment(System::Bundle::Bundle::main());
    auto desktop = std::make_shared<XdgDesktopServices>();

    ParlindoApplication* application = nullptr;
    TessarinUpdates::AppUpdater::Host updaterHost{
        [&application] {
            if (application) {
                application->activate();
            }
        },
        [desktop](const std::string& address) { desktop->openURL(address); }};
    // A start at login must reach the same cloud and update feed as this start.
    LinuxAppServices services(mainActor, bundle, "Parlindo", std::make_shared<QtUpdateUserDriver>(),
                              updaterHost, ParlindoApplication::addressesGivenAtStart());

    ParlindoApplication parlindo(
        mainActor,
        ApplicationSurroundings{bundle, System::Defaults::UserDefaults::standard(),
                                System::Paths::applicationSupportDirectory(), desktop,
                                std::make_shared<System::Pasteboard::X11Pasteboard>(),
                                [](std::string_view line) {
                                    std::fwrite(line.data(), 1, line.size(), stdout);
                                    std::fflush(stdout);
                                }},
        services);
    application = &parlindo;
    parlindo.start(QSystemTrayIcon::isSystemTrayAvailable());
    const int status = QApplication::exec();
    application = nullptr;
    return status;
}
